// Text forms the command line writes for scripts and other programs.
#pragma once
#include <cstdio>
#include <ctime>
#include <string>

#include "cli/system.h"

namespace kdx::cli {

// A JSON string. JSON text is UTF-8; the controller's bytes are not: a byte past ASCII is
// taken as the Latin-1 character it would be, control bytes as escapes.
inline std::string Json_String(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7f || c >= 0x80) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// Local time in ISO 8601 with its offset: 2026-12-07T20:15:01+01:00.
inline std::string Local_Time_Iso(std::time_t t) {
    std::tm tm = sys::Local_Time(t);
    char text[40], zone[8];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::strftime(zone, sizeof zone, "%z", &tm);
    std::string z = zone;
    if (z.size() == 5) z.insert(3, ":");
    return text + z;
}

}  // namespace kdx::cli
