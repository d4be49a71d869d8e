// Ctrl+C, Ctrl+Break and the console window's close as requests to stop: the console's
// control handler sets an event that Wait_Stop_Signal waits on.
#include "platform/os/stop_signals.h"

#include "platform/os/win32.h"

namespace kdx::platform {

namespace {
HANDLE Stop_Event() {
    static HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

BOOL WINAPI On_Control(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            ::SetEvent(Stop_Event());
            return TRUE;
        default:
            return FALSE;
    }
}
}  // namespace

void Block_Stop_Signals() {
    Stop_Event();
    static bool installed = ::SetConsoleCtrlHandler(On_Control, TRUE);
    (void)installed;
}

bool Wait_Stop_Signal(uint32_t timeout_ms) {
    Block_Stop_Signals();
    return ::WaitForSingleObject(Stop_Event(), timeout_ms) == WAIT_OBJECT_0;
}

}  // namespace kdx::platform
