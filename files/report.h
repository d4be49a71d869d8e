// The diagnostic report: an HTML page, named with the moment of its creation, listing every
// serial port of the machine as a collapsible block with a nested "Device" block, each with
// its labels (written as private-profile keys with empty values, so they land inside the
// blocks whose title lines are their sections).
#pragma once
#include <cstdint>
#include <string>

#include "platform/system.h"

namespace kdx {

// What every label starts with: a line break and five non-breaking spaces.
inline constexpr const char* Report_Key_Prefix = "<br/>&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;";

// "KDX Diagnostic MM-DD-YYYY HHMMSS.html" for the given local time.
std::string Report_Name(const platform::System_Time& time);

// The path its labels are written by: the current directory + "/" + name, or the name alone
// where that path is too long for the profile functions.
std::string Report_Key_Path(const std::string& name);

// Writes the report into the current directory and returns its name (without folder). A
// failed creation or write is traced; the name is returned all the same.
std::string HTML_Template_Create();

}  // namespace kdx
