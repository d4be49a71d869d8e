// Paths as the system writes them, for what a user is shown.
#pragma once
#include <string>

namespace kdx::platform {

// The system's folder separator: "/", or "\" on Windows (which takes "/" too, but a path
// shown to a Windows user is written with its own).
char Path_Separator();
// name in folder: the two joined by the system's separator, not doubled where folder ends
// in one (a drive's root, "C:\"); name alone when folder is empty.
std::string Path_In_Folder(const std::string& folder, const std::string& name);

}  // namespace kdx::platform
