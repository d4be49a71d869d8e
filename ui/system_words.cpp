// The windowed program's words for Linux: the ports directory and the dialout group.
#include "ui/system_words.h"

namespace kdx {

const char* Help_System_Words() {
    return "Environment:\n"
           "  KDX_PORTS   the ports directory of COM<n> links (default "
           "$XDG_RUNTIME_DIR/kdx/ports)\n"
           "  KDX_CONSOLE window, terminal, capture or none: where the trace goes\n"
           "\n"
           "Opening a serial port needs membership of the dialout group.\n";
}

const char* Port_No_Permission_Words() {
    return "no permission: serial ports belong to the dialout group (sudo usermod -aG dialout "
           "$USER, then log in again)";
}

}  // namespace kdx
