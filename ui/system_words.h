// The words of the windowed program's help and messages that name its system's things, one
// form per operating system (system_words.cpp, system_words_win32.cpp).
#pragma once

namespace kdx {

// The end of --help: the environment it reads and what a port needs.
const char* Help_System_Words();
// Why a port was refused for lack of permission, and what to do.
const char* Port_No_Permission_Words();

}  // namespace kdx
