// The port scan: the Terminal dialog opens each port of its list in turn, as a user clicking
// "Enable Port" would, and the first port whose controller answers the status query stays
// open at 57600 baud.
#include "platform/window/window.h"
#include "protocol/kdx.h"
#include "protocol/kdx_progress.h"
#include "protocol/terminal_controls.h"
#include "serial/echo.h"
#include "serial/serial_port.h"
#include "trace/trace.h"

namespace kdx {

namespace {

constexpr int32_t Baud_57600_Item = 3;  // "57600", the list's fourth item

void Click(int32_t id) {
    win::Send_Message(win::Get_Dlg_Item(win::Terminal_Dialog, id), win::BM_CLICK);
}

}  // namespace

std::string KDX_Detect_57600() {
    KDX_FRAME("KDX_Detect_57600");
    KDX_Operation operation;
    win::HWND list = win::Get_Dlg_Item(win::Terminal_Dialog, Port_List);
    int64_t count = win::Send_Message(list, win::CB_GETCOUNT);
    KDX_Progress progress{"Locating KDX", "", 0, count};
    std::string reply;
    // A port already open is closed first: "Enable Port" is greyed while one is, so its
    // click would open nothing and the open port would answer for every entry selected.
    if (count > 0 && Serial_Port_State.Handle != 0 && Serial_Port_State.Handle != -1)
        Click(OptPortClosed);
    for (int32_t i = 1; i <= count; ++i) {
        if (operation.Stopped()) break;
        win::Send_Message(list, win::CB_SETCURSEL, uint64_t(i - 1));
        std::string port = win::Get_Dlg_Item_Text(win::Terminal_Dialog, Port_List);
        progress.Item = port;
        KDX_Progress_Report(progress);
        Click(OptPortOpen);  // the dialog opens the port and starts its poller
        {
            Poller_Pause pause(Serial_Port_State.Poller);
            win::Send_Message(win::Get_Dlg_Item(win::Terminal_Dialog, CmbBaudRate),
                              win::CB_SETCURSEL, Baud_57600_Item);
            int32_t baud = 57600;
            Serial_Port_DCB(Serial_Port_State.Handle, baud);
            Serial_Port_Echo_Status(port + ": ");
            reply = KDX_Verify_Status(Serial_Port_State.Handle);
        }
        ++progress.Done;
        if (!reply.empty()) break;
        Click(OptPortClosed);
    }
    progress.Item.clear();
    progress.Done = count;
    KDX_Progress_Report(progress);
    return kdx_frame.result(reply);
}

std::string KDX_Detect() {
    KDX_FRAME("KDX_Detect");
    return kdx_frame.result(KDX_Detect_57600());
}

}  // namespace kdx
