// The REGEDIT4 hive reader on any text: no crash; a text it accepts names every key by a
// full path and every value by its type.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ports/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<kdx::platform::Registry_Hive_Key> keys;
    std::string error;
    bool ok = kdx::platform::Registry_Parse_Hive(text, keys, error);
    if (ok != error.empty()) std::abort();
    return 0;
}
