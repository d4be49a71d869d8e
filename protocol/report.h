// The diagnostic report: an HTML page, named with the moment of its creation, listing every
// serial port of the machine as a collapsible block with a nested "Device" block, each with
// its labels (written as private-profile keys with empty values, so they land inside the
// blocks whose title lines are their sections).
#pragma once
#include <cstdint>
#include <string>

#include "platform/os/system.h"

namespace kdx {

// What every label starts with: a line break and five non-breaking spaces.
inline constexpr const char* Report_Key_Prefix = "<br/>&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;";

// "KDX Diagnostic MM-DD-YYYY HHMMSS.html" for the given local time.
std::string Report_Name(const platform::System_Time& time);

// The path its labels are written by: the current directory + "/" + name, or the name alone
// where that path is too long for the profile functions.
std::string Report_Key_Path(const std::string& name);

// Writes the report into the current directory and returns its name (without folder). A
// report that could not be written whole is traced and removed, and "" is returned. The
// report is always created as a new file, never through a link at its name; a file of this
// user's at the name (a report of the same second) is replaced.
std::string HTML_Template_Create();

// Why the last HTML_Template_Create on this thread returned "": the file and the reason
// ("KDX Diagnostic ....html: disk full", "...: is a symbolic link"); "" when it did not.
std::string HTML_Template_Create_Error();

}  // namespace kdx
