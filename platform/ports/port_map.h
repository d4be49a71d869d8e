// The port map: every COM<n> of this machine with the device node behind it, merged from the
// ports directory (first) and the devices udev knows.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kdx::platform {

struct Port_Map_Entry {
    int32_t Number = 0;       // 5 for COM5
    std::string Node;         // the device node (or the ports directory's link target)
    std::string Device_Name;  // the object name under \Device\ (VCP0, Serial0, pts3, ...)
    std::string Driver;       // kernel driver, "" when unknown
    std::string Identity;     // what the COM name arbiter knows the device by
    std::string Description;  // the device's own product text, may be empty
    bool From_Ports_Dir = false;
    // Why a ports directory entry is no serial line ("it is a plain file", ...): such an
    // entry is listed as unusable, never as a port. "" for a port.
    std::string Unusable;
    std::string Latency;  // as Udev_Port::Latency; "" for a ports directory entry of its own
};

// Every present port, sorted by number, each number once. A ports directory entry whose
// target is gone (a simulator that was killed) is left out; one whose target is not a serial
// line is kept with Unusable saying why.
std::vector<Port_Map_Entry> Port_Map_List();

// Device node of COM<number>: the ports directory first, then udev ("" when none, last
// error 2).
std::string Port_Map_Device(int32_t number);

}  // namespace kdx::platform
