// The keys the registry view shows from the machine itself, one form per operating system;
// the view, the hive files and the Reg_* calls (registry_common.cpp) are the same everywhere.
#pragma once
#include <string>
#include <vector>

#include "platform/ports/registry.h"

namespace kdx::platform {

inline constexpr const char* Serial_Comm = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
inline constexpr const char* Arbiter =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter\\Devices";
inline constexpr const char* Ports =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

// The values of the live key (one of the three above) as the machine
// has them now; false when the machine has no such key.
bool Live_Values(const char* key, std::vector<Registry_Value>& values);

}  // namespace kdx::platform
