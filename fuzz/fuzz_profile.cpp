// The settings reader and writer on any file content and any names and value: no crash, and
// a key written is read back as written (less the white space around it).
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/os/profile.h"

namespace {

std::string Trim(const std::string& text) {
    const char* space = " \t\r\n\v\f";
    size_t a = text.find_first_not_of(space);
    if (a == std::string::npos) return std::string();
    return text.substr(a, text.find_last_not_of(space) - a + 1);
}

const std::string& Page() {
    static const std::string path = [] {
        const char* shm = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(shm) + "/kdx-fuzz-profile-" + std::to_string(getpid()) + ".html";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kdx::platform;
    FuzzedDataProvider in(data, size);
    std::string section = in.ConsumeRandomLengthString(64);
    std::string key = in.ConsumeRandomLengthString(64);
    std::string value = in.ConsumeRandomLengthString(64);
    std::string content = in.ConsumeRemainingBytesAsString();
    std::ofstream(Page(), std::ios::binary | std::ios::trunc) << content;

    std::string out;
    Get_Private_Profile_String(section, key, "default", out, 260, Page());
    int32_t written = Write_Private_Profile_String(section, key, value, Page());
    // Empty names together are the flush call, which writes nothing.
    bool plain = !Trim(section).empty() && !Trim(key).empty() &&
                 section.find('\0') == std::string::npos && key.find('\0') == std::string::npos &&
                 value.find('\0') == std::string::npos && Trim(value).size() < 259;
    if (written && plain) {
        Get_Private_Profile_String(section, key, "default", out, 260, Page());
        if (out != Trim(value)) std::abort();
    }
    return 0;
}
