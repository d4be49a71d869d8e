// Opening a port for a kdx-cli command, with the cause of a failure told the way the user
// can act on it, and the colour rule every command follows.
#pragma once
#include <cstdint>
#include <string>

namespace kdx::cli {

// Opens COM<number> at baud and returns its handle; on failure prints on standard error
// why (no such port, held by another program, no permission, not a serial line) with what
// to do about it, and returns 0.
int32_t Open_Port_Explained(const char* command, int32_t number, int32_t baud);

// Why the thread's latest open failed, in a few words ("no such port", "another program
// holds it", ...); "" after a success.
std::string Open_Failure_Cause();

// True when text written to fd may carry colour sequences: fd is a terminal and NO_COLOR
// is unset (or empty).
bool Colour_Wanted(int fd);

}  // namespace kdx::cli
