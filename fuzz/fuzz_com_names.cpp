// The COM name arbiter's store on any file content, any identities and any numbers held by
// on-board UARTs and ports directory entries: every present device gets a number of its own
// that nothing else shows under, and a second listing gives each the same number again.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>  // setenv
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/os/system.h"
#include "platform/ports/udev_ports.h"

namespace {

// A config folder of the run's own in memory, so the store is a real file as in use.
void Use_Own_Config_Folder() {
    static const bool done = [] {
        const char* shm = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string dir = std::string(shm) + "/kdx-fuzz-com-names-" + std::to_string(getpid());
        setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
        return kdx::platform::Make_Directories(kdx::platform::Config_Directory());
    }();
    (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kdx::platform;
    Use_Own_Config_Folder();
    FuzzedDataProvider in(data, size);
    std::vector<Udev_Port> ports(in.ConsumeIntegralInRange<size_t>(1, 6));
    for (size_t i = 0; i < ports.size(); ++i) {
        ports[i].Identity = in.ConsumeRandomLengthString(24);
        ports[i].Node = "/dev/ttyUSB" + std::to_string(i);
    }
    std::vector<int32_t> fixed(in.ConsumeIntegralInRange<size_t>(0, 3));
    for (auto& n : fixed) n = in.ConsumeIntegralInRange<int32_t>(1, 12);
    std::vector<Com_Number_Use> avoid(in.ConsumeIntegralInRange<size_t>(0, 4));
    for (auto& use : avoid) {
        use.Number = in.ConsumeIntegralInRange<int32_t>(1, 12);
        // Now and then an entry made by hand for one of the adapters themselves.
        size_t target = in.ConsumeIntegralInRange<size_t>(0, ports.size() + 2);
        use.Device = "/dev/ttyUSB" + std::to_string(target);
    }
    std::string store = in.ConsumeRemainingBytesAsString();
    std::ofstream(Com_Name_Store_Path(), std::ios::binary | std::ios::trunc) << store;

    std::vector<Udev_Port> first = ports;
    Com_Name_Assign(first, fixed, avoid);
    std::set<int32_t> seen;
    for (const Udev_Port& p : first) {
        if (p.Number <= 0 || !seen.insert(p.Number).second) std::abort();
        if (std::find(fixed.begin(), fixed.end(), p.Number) != fixed.end()) std::abort();
        // An entry for another device under the same number would hide this one.
        for (const Com_Number_Use& use : avoid)
            if (use.Number == p.Number && use.Device != p.Node) std::abort();
    }
    std::vector<Udev_Port> second = ports;
    Com_Name_Assign(second, fixed, avoid);
    for (size_t i = 0; i < ports.size(); ++i)
        if (second[i].Number != first[i].Number) std::abort();
    return 0;
}
