// The ports directory: symlinks named COM<n> pointing at device nodes. The simulator registers
// its pseudo-terminal here; a user may add an entry by hand for a device udev does not name.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kdx::platform {

// $KDX_PORTS; else $XDG_RUNTIME_DIR/kdx/ports; else /tmp/kdx-<uid>/ports. No trailing "/".
std::string Ports_Directory();
// Target of COM<number>, "" when there is no entry (last error 2).
std::string Ports_Dir_Device(int32_t number);
// Every entry as (number, device), sorted by number; names other than COM<n> are ignored.
std::vector<std::pair<int32_t, std::string>> Ports_Dir_List();
// Creates the directory when needed and points COM<number> at device, replacing any entry.
bool Ports_Dir_Register(int32_t number, const std::string& device);
// Removes COM<number>; true when it is gone afterwards.
bool Ports_Dir_Unregister(int32_t number);
// Removes COM<number> only while it still points at device (an entry another registration
// has since taken is left alone); true when no entry of device is left.
bool Ports_Dir_Unregister_Device(int32_t number, const std::string& device);

}  // namespace kdx::platform
