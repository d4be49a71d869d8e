// Starting other programs of the desktop without waiting for them.
#pragma once
#include <string>
#include <vector>

namespace kdx::platform {

// The full path of an executable program: name itself when it holds a "/", else the first
// match along $PATH; "" when there is none.
std::string Find_Program(const std::string& name);

// Starts argv[0] (looked up as Find_Program does) with the arguments that follow, in a
// session of its own with standard input from /dev/null, and returns at once: the caller
// never waits for the program and no zombie is left behind (the program is not our child).
// False with the last error set (2: no such program, 5: not executable) when it cannot start.
bool Start_Program(const std::vector<std::string>& argv);

// The desktop editors looked for when neither $KDX_EDITOR nor $VISUAL is set, in order.
extern const std::vector<std::string> Desktop_Editors;

// Opens the desktop's text editor on an empty document, without waiting: $KDX_EDITOR, else
// $VISUAL (either a program path, or a command line split at blanks), else the first
// installed of Desktop_Editors, else xdg-open on a new empty text file in the runtime
// folder. how receives the command started (or tried). False with the last error set when
// nothing could be started.
bool Open_Text_Editor(std::string* how = nullptr);

}  // namespace kdx::platform
