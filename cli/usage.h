// How every kdx-cli command tells its user about a command line it cannot take: one line on
// standard error in one wording, "kdx-cli send: unknown option --baudd (kdx-cli send --help)",
// exit status 2; a port or an input file that is not there is no usage error but a missing
// thing, exit status 1, said before any port is opened.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kdx::cli {

// "kdx-cli COMMAND: TEXT (kdx-cli COMMAND --help)" on standard error; returns 2.
int Usage_Error(const std::string& command, const std::string& text);
// A word the command does not take: "unknown option --x" for an option, "unexpected argument
// x" for anything else; returns 2.
int Unknown_Argument(const std::string& command, const std::string& word);
// An option given without its value, or a command without a word it needs:
// "expected WHAT after WHERE" ("expected RATE after --baud", "expected AXIS after the port");
// returns 2.
int Missing(const std::string& command, const std::string& what, const std::string& where);

// The port word (COM<n>, the number alone when numbers_alone, or a device's path) as its
// number: 0 when taken; 2 with the usage line when it is no port's form; 1 when it names a
// device that is not there or no port of this machine, said as a port that cannot be opened.
int Take_Port(const std::string& command, const std::string& word, int32_t& number,
              bool numbers_alone = false);

// A file the command reads: 0 when it is a file that can be read; else says why in a line
// ("kdx-cli send: no such file: x.kdx") and returns 1.
int Check_Input_File(const std::string& command, const std::string& path);

// The name of names nearest to word, when it is a near miss (a letter or two wrong, missing,
// extra or swapped); "" when none is that near.
std::string Near_Miss(const std::string& word, const std::vector<std::string>& names);

}  // namespace kdx::cli
