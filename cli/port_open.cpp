#include "cli/port_open.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/system_words.h"
#include "kdx/kdx.h"

namespace kdx::cli {

std::string Open_Failure_Cause() {
    int32_t error = 0;
    switch (Serial_Port_Open_Failure(&error)) {
        case KDX_OPEN_OK:
            return "";
        case KDX_OPEN_NO_SUCH_PORT:
            return "no such port";
        case KDX_OPEN_HELD:
            return "another program holds it";
        case KDX_OPEN_NO_PERMISSION:
            return "no permission";
        case KDX_OPEN_NOT_SERIAL:
            return "not a serial line";
        default:
            // A ports entry that loops back on itself names no device at all.
            if (error == 1921) return "its entry is a link loop (too many levels of links)";
            return "error " + std::to_string(error);
    }
}

int32_t Open_Port_Explained(const char* command, int32_t number, int32_t baud) {
    int32_t n = number, b = baud;
    int32_t handle = Serial_Port_Open(&n, &b);
    if (handle != 0 && handle != -1) return handle;
    std::string hint;
    switch (Serial_Port_Open_Failure(nullptr)) {
        case KDX_OPEN_NO_SUCH_PORT:
            hint = No_Such_Port_Hint();
            break;
        case KDX_OPEN_HELD:
            hint = " (a terminal, the configurator or another kdx-cli): close it and try again";
            break;
        case KDX_OPEN_NO_PERMISSION:
            hint = No_Permission_Hint();
            break;
        case KDX_OPEN_NOT_SERIAL:
            hint = Not_Serial_Hint();
            break;
        default:
            break;
    }
    std::fprintf(stderr, "kdx-cli %s: cannot open COM%d: %s%s\n", command, int(number),
                 Open_Failure_Cause().c_str(), hint.c_str());
    return 0;
}

bool Colour_Wanted(int fd) {
    const char* no_colour = std::getenv("NO_COLOR");
    return isatty(fd) == 1 && (!no_colour || !*no_colour);
}

}  // namespace kdx::cli
