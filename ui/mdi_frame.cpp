// The MDI frame: its window, menu bar and MDI client, and its window procedure.
#include <cstring>

#include "protocol/kdx.h"
#include "serial/serial_port.h"
#include "trace/trace.h"
#include "ui/ui.h"

namespace kdx {

namespace {

constexpr int32_t CW_USEDEFAULT = int32_t(0x80000000);
const char* const Frame_Caption = "KDX_APP_2025_Build_05_28_2025";

// The frame's window class record as the registration takes it (48 bytes).
struct Window_Class_Record {
    uint32_t Size = 48;
    uint32_t Style = 3;  // CS_HREDRAW | CS_VREDRAW
    uint32_t Procedure = 0;
    int32_t Class_Extra = 0;
    int32_t Window_Extra = 0;
    uint32_t Instance = 0;
    uint32_t Icon = 0;
    uint32_t Cursor = 0;
    uint32_t Background = 0;
    uint32_t Menu_Name = 0;
    uint32_t Class_Name = 0;
    uint32_t Small_Icon = 0;
};
static_assert(sizeof(Window_Class_Record) == 48);

void Append(HMENU menu, uint32_t flags, uint64_t id, const std::string& text) {
    win::Append_Menu(menu, flags, id, text);
}

}  // namespace

HWND Window_Create(const std::string& class_name, const std::string& caption, uint32_t style,
                   int32_t x, int32_t y, int32_t width, int32_t height, HWND parent, HMENU menu,
                   int32_t instance, int32_t& creation) {
    KDX_FRAME("Window_Create", class_name, caption, style, x, y, width, height, parent, menu,
              instance, creation);
    HWND window = 0;
    if (class_name == "KDX")
        window = win::Create_Frame(caption, width, height, &Frame_Window_Proc);
    else if (class_name == "MDICLIENT")
        window = win::Create_Mdi_Client(parent);
    return kdx_frame.result(window);
}

HMENU Menu_Bar_Create(HWND& frame) {
    KDX_FRAME("Menu_Bar_Create", frame);
    HMENU bar = win::Create_Menu();
    HMENU file = win::Create_Popup_Menu();
    Append(file, win::MF_STRING, IDM_Edit, "Edit");
    Append(file, win::MF_STRING, IDM_Send_To_Device, "Send to Device");
    Append(bar, win::MF_POPUP, uint64_t(file), "&File");

    HMENU tools = win::Create_Popup_Menu();
    Append(tools, win::MF_SEPARATOR, 0, "");
    Append(tools, win::MF_STRING, IDM_Terminal, "&Terminal");
    Append(tools, win::MF_SEPARATOR, 0, "");
    Append(bar, win::MF_POPUP, uint64_t(tools), "Tools");

    HMENU help = win::Create_Popup_Menu();
    Append(help, win::MF_STRING, IDM_KDX_Help, "KDX Help");
    Append(help, win::MF_SEPARATOR, 0, "");
    Append(help, win::MF_STRING, IDM_Locate_KDX, "Locate KDX");
    Append(help, win::MF_STRING, IDM_Identify_Device, "Identify Device");
    Append(help, win::MF_SEPARATOR, 0, "");
    Append(help, win::MF_STRING, IDM_KDX_Test_USB_Commo, "KDX Test USB Commo");
    HMENU memory = win::Create_Popup_Menu();
    Append(memory, win::MF_STRING, IDM_KDX_Test_Axis1_Program1, "Axis 1 - Program 1");
    Append(memory, win::MF_STRING, IDM_KDX_Test_Axis2_Program2, "Axis 2 - Program 2");
    Append(memory, win::MF_STRING, IDM_KDX_Test_Axis3_Program3, "Axis 3 - Program 3");
    Append(memory, win::MF_STRING, IDM_KDX_Test_Axis4_Program4, "Axis 4 - Program 4");
    Append(help, win::MF_POPUP, uint64_t(memory), "KDX Test Memory");
    Append(help, win::MF_SEPARATOR, 0, "");
    Append(help, win::MF_STRING, IDM_App_Debug, "App Debug");
    Append(help, win::MF_SEPARATOR, 0, "");
    Append(bar, win::MF_POPUP, uint64_t(help), "&Help");

    win::Menu_Bar = bar;
    win::Set_Menu(frame, bar);
    return kdx_frame.result(bar);
}

HWND Mdi_Client_Create(HWND& frame) {
    KDX_FRAME("Mdi_Client_Create", frame);
    int32_t creation = 0;
    win::Mdi_Client = Window_Create(
        "MDICLIENT", "",
        win::WS_CHILD | win::WS_VISIBLE | win::WS_CLIPCHILDREN | win::WS_VSCROLL | win::WS_HSCROLL,
        0, 0, 0, 0, frame, 1, 0, creation);
    return kdx_frame.result(win::Mdi_Client);
}

HWND Mdi_Parent_Create(int32_t& unused) {
    KDX_FRAME("Mdi_Parent_Create", unused);
    Window_Class_Record record;
    std::string text;
    trace::Format_Raw_Arg(text, &record, sizeof record);
    ErrCheck_Comment("wce = " + text);
    int32_t creation = 0;
    win::Frame_Window = Window_Create("KDX", Frame_Caption, win::WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                      CW_USEDEFAULT, 1024, 768, 0, 0, 0, creation);
    Menu_Bar_Create(win::Frame_Window);
    Mdi_Client_Create(win::Frame_Window);
    win::Show_Window(win::Frame_Window, win::SW_SHOWNORMAL);
    win::Update_Window(win::Frame_Window);
    return kdx_frame.result(win::Mdi_Client);
}

LRESULT Frame_Window_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    KDX_CALLBACK_FRAME("Frame_Window_Proc", window, message, wparam, lparam);
    switch (message) {
        case win::WM_COMMAND:
            Frame_Command(win::LOWORD(wparam));
            Status_Port_Show();
            break;
        case win::WM_CLOSE: {
            // During an exchange: it ends after its current command, then the frame closes;
            // a dialog that asks is cancelled first.
            if (Ui_Exchange_Running() || Ui_Modal_Running()) {
                Ui_Close_After_Exchange();
                return 0;
            }
            // Each active MDI child is asked to close; one that stays (refuses) ends the loop,
            // so the frame still closes.
            HWND last = 0;
            for (;;) {
                HWND child = HWND(win::Send_Message(win::Mdi_Client, win::WM_MDIGETACTIVE));
                if (child == 0 || child == last) break;
                win::Send_Message(child, win::WM_CLOSE);
                last = child;
            }
            break;
        }
        case win::WM_DESTROY:
            Serial_Port_Close(Serial_Port_State.Handle);
            win::Post_Quit_Message(0);
            return 0;
        case WM_KDX_ECHO:
            Echo_Queue_Apply_Posted();
            return 0;
        case win::WM_TIMER:
            if (wparam == Echo_Timer_Id) {
                Echo_Window_Tick();
                return 0;
            }
            if (wparam == Edit_Watch_Timer_Id) {
                Edit_Watch_Tick();
                return 0;
            }
            break;
        default:
            break;
    }
    return win::Def_Frame_Proc(window, win::Mdi_Client, message, wparam, lparam);
}

void Main_Windows_Create() {
    int32_t unused = 0;
    win::Mdi_Client = Mdi_Parent_Create(unused);
    win::Terminal_Dialog = Serial_Terminal_Create();
    win::Set_Parent(win::Terminal_Dialog, win::Mdi_Client);
    Echo_Window_Install();
    Long_Operations_Install();
    KDX_Diagnostic(win::Terminal_Dialog);
    win::Set_Menu_State(win::Menu_Bar, IDM_Terminal, win::MFS_CHECKED);
    Serial_Terminal_Show(win::Terminal_Dialog);
}

}  // namespace kdx
