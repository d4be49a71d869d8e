// The windowed program's words for Windows: its files' folders and the Device Manager.
#include "ui/system_words.h"

namespace kdx {

const char* Help_System_Words() {
    return "Environment:\n"
           "  KDX_CONSOLE window, terminal, capture or none: where the trace goes\n"
           "\n"
           "The ports are the COM ports the Device Manager lists under Ports (COM & LPT). The\n"
           "settings page and the port logs lie beside kdx.exe, or in %LOCALAPPDATA%\\kdx when\n"
           "its folder is not the user's to write (an install for all users).\n";
}

const char* Port_No_Permission_Words() {
    return "Windows refused the port to this user";
}

}  // namespace kdx
