// The protocol's view of the line: the echo of the program's own lines and the exchange
// helpers shared by the status, information and test procedures.
#pragma once
#include <cstdint>
#include <string>

#include "serial/echo.h"

namespace kdx::protocol {

inline bool Usable(int32_t handle) {
    return handle != 0 && handle != -1;
}

// Removes every occurrence of what from text.
inline void Remove_All(std::string& text, const std::string& what) {
    if (what.empty()) return;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at))
        text.erase(at, what.size());
}

inline void Remove_All(std::string& text, char what) {
    std::erase(text, what);
}

// Cuts a command text to the capacity of the buffer it is built in.
std::string Command(std::string text);

}  // namespace kdx::protocol
