// What the Terminal dialog does: its dialog procedure (also the control callback of its
// options and buttons), the rich edits' callback and their subclass procedure.
#include "platform/device_change.h"
#include "serial/serial_port.h"
#include "trace/trace.h"
#include "ui/ui.h"

namespace kdx {

namespace {

int32_t device_notification = 0;

// Port close on a click of "Change Port": the port list may be used again, the controller
// goes off line and the port is closed.
int64_t Port_Closed(HWND dialog, uint32_t code) {
    if (code == 7 || code == 8) return 0;
    if (code != win::BN_CLICKED) {
        ErrCheck_Comment("%OptPortClosed Something Else");
        return 0;
    }
    win::Enable_Window(win::Get_Dlg_Item(dialog, OptPortOpen), true);
    win::Enable_Window(win::Get_Dlg_Item(dialog, Port_List), true);
    win::Check_Radio_Button(dialog, OptPortOpen, OptPortClosed, OptPortClosed);
    int32_t echo = 1;
    Serial_Port_Write(Serial_Port_State.Handle, "Q,\r", &echo);
    Serial_Port_Close(Serial_Port_State.Handle);
    Serial_Port_State.Poller = 0;  // the close has stopped the poller; its handle is released
    return 1;
}

}  // namespace

int64_t Serial_Terminal_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    KDX_CALLBACK_FRAME("Serial_Terminal_Proc", window, message, wparam, lparam);
    int64_t result = 0;
    switch (message) {
        case win::WM_CREATE:
            ErrCheck_Comment("%WM_CREATE");
            break;
        case win::WM_INITDIALOG:
            ErrCheck_Comment("%WM_INITDIALOG");
            // Device changes arrive on the monitor's thread: posted to the dialog.
            device_notification =
                platform::Device_Change_Register([](const platform::Device_Change& c) {
                    win::Post_Message(win::Terminal_Dialog, win::WM_DEVICECHANGE, c.Event, 0);
                });
            break;
        case win::WM_COMMAND:
            switch (win::LOWORD(wparam)) {
                case OptPortClosed:
                    ErrCheck_Comment("%OptPortClosed");
                    result = Port_Closed(window, win::HIWORD(wparam));
                    break;
                default:
                    break;
            }
            break;
        case win::WM_SYSCOMMAND:
            ErrCheck_Comment("%WM_SYSCOMMAND");
            if ((wparam & 0xFFF0) == win::SC_CLOSE) {
                ErrCheck_Comment("%SC_CLOSE");
                Serial_Terminal_Hide(win::Terminal_Dialog);
                win::Check_Menu_Item(win::Menu_Bar, IDM_Terminal, win::MF_UNCHECKED);
                result = 1;
            }
            break;
        case win::WM_DESTROY:
            ErrCheck_Comment("%WM_DESTROY");
            if (device_notification) platform::Device_Change_Unregister(device_notification);
            device_notification = 0;
            break;
        default:
            break;
    }
    if (message == win::WM_MOVE || message == win::WM_SIZE || message == win::WM_CLOSE ||
        message == win::WM_QUERYENDSESSION)
        win::Send_Message(win::Terminal_Dialog, win::WM_PAINT);
    return result;
}

int64_t Serial_Terminal_Edit_Callback(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    KDX_CALLBACK_FRAME("Serial_Terminal_Edit_Callback", window, message, wparam, lparam);
    return 1;
}

LRESULT Serial_Terminal_Edit_Subclass(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    KDX_CALLBACK_FRAME("Serial_Terminal_Edit_Subclass", window, message, wparam, lparam);
    if (message == win::WM_CHAR) {
        // Every key goes to the controller at once; what shows is the echo.
        Serial_Port_Write(Serial_Port_State.Handle, std::string(1, char(win::LOWORD(wparam))));
        Serial_Port_Read(Serial_Port_State.Handle);
        return 0;
    }
    return win::Call_Window_Proc(Previous_Edit_Proc_Sent, window, message, wparam, lparam);
}

}  // namespace kdx
