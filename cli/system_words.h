// The words of kdx-cli's help and messages that name things of the system it runs on (where
// ports come from, where files go, what a refused open means), one form per operating system
// (system_words.cpp, system_words_win32.cpp): a Windows user never reads of udev or /dev.
#pragma once
#include <string>

namespace kdx::cli {

// A help text with each "{name}" slot replaced by this system's words for it (see the
// table in system_words.cpp); a name the table lacks is left as it is.
std::string Help_Text(const char* help);

// What follows "cannot open COM<n>: no such port": where the ports are listed and made.
std::string No_Such_Port_Hint();
// What follows "no permission".
std::string No_Permission_Hint();
// What follows "not a serial line".
std::string Not_Serial_Hint();

// The system's words for a slot name ("" for one it lacks); each system's file has the table.
const char* System_Words(const std::string& name);

}  // namespace kdx::cli
