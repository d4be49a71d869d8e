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

// Starts argv as Start_Program does and watches it for its first watch_ms, so that a program
// that fails at once can be reported: returns the watch (0 with the last error set when it
// cannot start), which Program_Watch_Poll reads.
int64_t Start_Program_Watched(const std::vector<std::string>& argv, uint32_t watch_ms);
// Watching: in its first watch_ms still; Running: it outlived them; Exited: it ended within
// them with code (its exit status; killed by a signal: 128 + the signal). Once Running or
// Exited the watch is gone (a later poll says Running).
enum class Watch_State { Watching, Running, Exited };
Watch_State Program_Watch_Poll(int64_t watch, int32_t& code);

// The desktop editors looked for when neither $KDX_EDITOR nor $VISUAL is set, in order.
extern const std::vector<std::string> Desktop_Editors;

// Opens the desktop's text editor on an empty document, without waiting: $KDX_EDITOR, else
// $VISUAL (either a program path, or a command line split at blanks), else the first
// installed of Desktop_Editors, else xdg-open on a new empty text file in the runtime
// folder. how receives the command started (or tried). False with the last error set when
// nothing could be started. With watch, the editor is watched for its first seconds
// (Program_Watch_Poll) and *watch receives the watch.
bool Open_Text_Editor(std::string* how = nullptr, int64_t* watch = nullptr);

// How long Open_Text_Editor watches the editor it started.
constexpr uint32_t Editor_Watch_Ms = 3000;

}  // namespace kdx::platform
