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
// Why the ports directory is not used, "" when it is. The fallback under /tmp is trusted only
// when it and its parent /tmp/kdx-<uid> are folders of this user with mode 0700 (see
// Private_Folder_Problem) (another user
// could have made them first and planted entries that lead to a pty of theirs); otherwise
// every function here fails with 5 and this says why ("the ports folder ... is not used:
// /tmp/kdx-1000 belongs to another user (uid 1001)").
std::string Ports_Directory_Problem();
// Why dir is no private folder of this user: "" when it is one with mode 0700 or does not
// exist; else "is a symbolic link", "belongs to another user (uid N)", "has mode 0777, not
// 0700", ... A folder of the user's that nobody else may write to (0755, as earlier versions
// made it) is given mode 0700 and counts as private.
std::string Private_Folder_Problem(const std::string& dir);
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
