// The Terminal dialog: built at run time from its control table, shown maximised inside the
// frame's client area, hidden (not destroyed) when the operator closes it.
#include <sys/stat.h>

#include <vector>

#include "platform/os/system.h"
#include "platform/ports/registry.h"
#include "serial/serial_enum.h"
#include "trace/trace.h"
#include "ui/ui.h"

namespace kdx {

HMENU Terminal_Menu_Bar = 0;
win::Window_Proc Previous_Edit_Proc_Sent = nullptr;
win::Window_Proc Previous_Edit_Proc_Received = nullptr;

namespace {

using win::Control_Kind;
using win::Control_Template;
using K = Control_Kind;

constexpr uint32_t Child = win::WS_CHILD | win::WS_VISIBLE;
constexpr uint32_t Rich_Style = win::ES_MULTILINE | win::ES_AUTOVSCROLL | win::ES_AUTOHSCROLL |
                                win::ES_NOHIDESEL | win::ES_WANTRETURN | win::WS_TABSTOP |
                                win::WS_VSCROLL | win::WS_HSCROLL;
constexpr uint32_t Default_Button = win::BS_DEFPUSHBUTTON | win::WS_GROUP | win::WS_TABSTOP;
constexpr uint32_t Push_Button = win::BS_PUSHBUTTON | win::WS_TABSTOP;
constexpr uint32_t Id_Box = win::ES_AUTOHSCROLL | win::WS_TABSTOP;
constexpr uint32_t Combo_Style = win::CBS_DROPDOWNLIST | win::WS_VSCROLL | win::WS_TABSTOP;
constexpr uint32_t Option = win::BS_AUTORADIOBUTTON | win::WS_TABSTOP;
// The move buttons carry a tab stop too: without one the keyboard could never reach them.
constexpr uint32_t Move_Button = win::BS_PUSHBUTTON | win::BS_CENTER | 0x10 | win::WS_TABSTOP;
constexpr uint32_t Group_Box = win::BS_GROUPBOX | win::BS_LEFT;
constexpr uint32_t Edge = win::WS_EX_CLIENTEDGE;

const win::Dialog_Template Dialog{"Terminal", 600, 350,
                                  win::WS_POPUP | win::WS_CLIPSIBLINGS | win::WS_CAPTION |
                                      win::WS_SYSMENU | win::WS_MINIMIZEBOX | win::WS_MAXIMIZEBOX |
                                      win::DS_CENTER | win::DS_MODALFRAME | win::DS_SETFONT |
                                      win::DS_NOFAILCREATE | win::DS_3DLOOK,
                                  win::WS_EX_CONTROLPARENT};

struct Row {
    Control_Template Control;
    const char* Tooltip = nullptr;
};

HWND Make(HWND dialog, const Control_Template& t) {
    Control_Template c = t;
    c.Style |= Child;
    return win::Create_Control(dialog, c);
}

HWND Make_All(HWND dialog, const std::vector<Control_Template>& rows) {
    HWND last = 0;
    for (const auto& row : rows) last = Make(dialog, row);
    return last;
}

// Device information: each caption label and its field.
const std::vector<Control_Template> Device_Fields = {
    {-1, K::Label, "Serial Num:", 465, 5, 70, 10},
    {Field_Serial_Num, K::Label, "XXXX-xx", 505, 5, 60, 10},
    {-1, K::Label, "Order Num:", 465, 15, 70, 10},
    {Field_Order_Num, K::Label, "XXXXXXX", 505, 15, 60, 10},
    {-1, K::Label, "Version:", 570, 5, 30, 10},
    {Field_Version, K::Label, "X.xx", 605, 5, 60, 10},
    {-1, K::Label, "Revision:", 570, 15, 30, 10},
    {Field_Revision, K::Label, "XX-XX-XX", 605, 15, 60, 10},
    {-1, K::Label, "Axis Mode:", 465, 25, 70, 10},
    {Field_Axis_Mode, K::Label, "X,x,x,x", 505, 25, 60, 10},
    {-1, K::Label, "Detected:", 570, 25, 70, 10},
    {Field_Detected, K::Label, "X,x,x,x", 605, 25, 60, 10},
};

const std::vector<Control_Template> Axis_Rows = {
    {2001, K::Label, "Axis 1 ID:", 465, 38, 35, 10},
    {2002, K::Label, "Axis 2 ID:", 465, 59, 35, 10},
    {2003, K::Label, "Axis 3 ID:", 465, 80, 35, 10},
    {2004, K::Label, "Axis 4 ID:", 465, 100, 35, 10},
    {2005, K::Edit, "", 505, 38, 60, 10, Id_Box, Edge},
    {2006, K::Edit, "", 505, 59, 60, 10, Id_Box, Edge},
    {2007, K::Edit, "", 505, 80, 60, 10, Id_Box, Edge},
    {2008, K::Edit, "", 505, 100, 60, 10, Id_Box, Edge},
    {2009, K::Button, "Set ID", 570, 35, 30, 15, Push_Button},
    {2010, K::Button, "Set ID", 570, 55, 30, 16, Push_Button},
    {2011, K::Button, "Set ID", 570, 76, 30, 16, Push_Button},
    {2012, K::Button, "Set ID", 570, 97, 30, 16, Push_Button},
    {2013, K::Button, "Flash Online LED", 605, 35, 60, 16, Push_Button},
    {2014, K::Button, "Flash Online LED", 605, 55, 60, 16, Push_Button},
    {2015, K::Button, "Flash Online LED", 605, 76, 60, 16, Push_Button},
    {2016, K::Button, "Flash Online LED", 605, 97, 60, 16, Push_Button},
    {Cmd_Refresh_Ids, K::Button, "Refresh ID List", 505, 118, 100, 16, Push_Button},
};

const char* const Motor_Tip = "Motor to Move";

// The QuickMove group, in creation order; the motor is chosen after the fourth option.
const std::vector<Row> Quick_Move_Rows = {
    {{QuickMove_Group, K::Button, "QuickMove", 460, 280, 210, 105, Group_Box,
      win::WS_EX_TRANSPARENT}},
    {{QuickMove_Motor_Group, K::Button, "Motor", 465, 295, 30, 75, Group_Box,
      win::WS_EX_TRANSPARENT}},
    {{1133, K::Button, "1", 470, 305, 20, 15, Option}, Motor_Tip},
    {{QuickMove_Distance_Label, K::Label, "Distance", 500, 305, 30, 10}},
    {{QuickMove_Distance, K::Edit, "400", 535, 305, 45, 10, Id_Box, Edge},
     "Enter Distance (Enter zero (0) to locate home)"},
    {{QuickMove_Steps_Label, K::Label, "Steps", 585, 305, 40, 10}},
    {{1134, K::Button, "2", 470, 320, 20, 15, Option}, Motor_Tip},
    {{QuickMove_Velocity_Label, K::Label, "Velocity", 500, 320, 30, 10}},
    {{QuickMove_Velocity, K::Edit, "2000", 535, 320, 45, 10, Id_Box, Edge},
     "Enter Velocity (Enter (-) for reduced power, Enter (+) for over power"},
    {{QuickMove_Speed_Label, K::Label, "Steps per Second", 585, 320, 80, 10}},
    {{1135, K::Button, "3", 470, 335, 20, 15, Option}, Motor_Tip},
    {{1136, K::Button, "4", 470, 350, 20, 15, Option}, Motor_Tip},
    {{QuickMove_Negative, K::Button, "Negative", 505, 340, 55, 15, Move_Button},
     "Press to Move Towards Motor"},
    {{QuickMove_Positive, K::Button, "Positive", 570, 340, 55, 15, Move_Button},
     "Press to Move Away from Motor"},
    {{QuickMove_Auto_Reverse, K::Button, "AutoReverse", 500, 365, 55, 15,
      win::BS_AUTOCHECKBOX | win::WS_TABSTOP},
     "Check to return after move"},
    {{-1, K::Label, "Repeat", 570, 370, 30, 15}},
    {{QuickMove_Repeat, K::Edit, "", 600, 370, 20, 10, win::ES_CENTER},
     "Enter Number of Times to Repeat Motion"},
    {{-1, K::Label, "Times", 625, 370, 20, 15}},
};

bool File_Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void Graphic(HWND dialog, int32_t id, int32_t y, const char* picture) {
    HWND graphic = Make(
        dialog, {id, K::Graphic, "Graphic", 10, y, 50, 50, win::SS_OWNERDRAW | win::SS_SUNKEN});
    // A missing picture leaves the graphic empty.
    win::Load_Picture(graphic, Picture_Path(picture));
}

}  // namespace

std::string Picture_Path(const std::string& name) {
    if (File_Exists(name)) return name;
    std::string exe = platform::Module_File_Name();
    size_t slash = exe.find_last_of('/');
    if (slash == std::string::npos) return name;
    std::string beside = exe.substr(0, slash + 1) + name;
    if (File_Exists(beside)) return beside;
    // An installed program's pictures are in share/kdx beside its bin folder.
    std::string installed = exe.substr(0, slash + 1) + "../share/kdx/" + name;
    return File_Exists(installed) ? installed : name;
}

HWND Serial_Terminal_Port_Label(HWND& dialog) {
    KDX_FRAME("Serial_Terminal_Port_Label", dialog);
    Make(dialog, {Port_Label, K::Label, "Serial Port:", 65, 5, 40, 10});
    return kdx_frame.result(win::Get_Dlg_Item(dialog, Port_Label));
}

void Serial_Terminal_Port_Fill(HWND list) {
    std::vector<std::string> ports;
    Serial_Terminal_Port_Enum(ports);
    for (const auto& port : ports) {
        win::Send_Message(list, win::CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(port.c_str()));
        int32_t root = platform::HKEY_LOCAL_MACHINE;
        std::string data;
        int32_t type = 0;
        int32_t status = Registry_Get_Value(
            root, "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter\\Devices", port, data,
            type);
        ErrCheck_Comment("Temp_Results " + std::to_string(status) + "     Returned Value " + data +
                         "\r");
    }
}

HWND Serial_Terminal_Port_Combo(HWND& dialog) {
    KDX_FRAME("Serial_Terminal_Port_Combo", dialog);
    HWND list = Make(dialog, {Port_List, K::Combo, "", 105, 2, 65, 75, Combo_Style});
    win::Send_Message(list, win::CB_RESETCONTENT);
    Serial_Terminal_Port_Fill(list);
    win::Send_Message(win::Get_Dlg_Item(dialog, OptPortClosed), win::BM_CLICK);
    win::Send_Message(list, win::CB_SETCURSEL, 0);
    return kdx_frame.result(list);
}

HWND Serial_Terminal_Create(const int32_t* parent) {
    KDX_FRAME("Serial_Terminal_Create", parent);
    if (win::Terminal_Dialog == 0)
        win::Terminal_Dialog = win::Create_Dialog(Dialog, parent ? *parent : 0);
    HWND& dialog = win::Terminal_Dialog;

    // 1. The dialog's own menu bar.
    Terminal_Menu_Bar = win::Create_Menu();
    HMENU tools = win::Create_Popup_Menu();
    win::Append_Menu(tools, win::MF_STRING, IDM_Refresh_Ports, "Refresh Ports");
    win::Append_Menu(tools, win::MF_SEPARATOR, 0, "-");
    win::Append_Menu(tools, win::MF_STRING, IDM_Terminal_Log, "Terminal Log");
    win::Append_Menu(Terminal_Menu_Bar, win::MF_POPUP, uint64_t(tools), "Tools");
    win::Set_Menu(dialog, Terminal_Menu_Bar);

    // 2.-4. Port choice; the port list's building clicks "Change Port".
    Make(dialog,
         {OptPortOpen, K::Button, "Enable Port", 295, 5, 50, 10,
          win::BS_AUTORADIOBUTTON | win::BS_LEFT | win::WS_GROUP, 0, &Serial_Terminal_Proc});
    Make(dialog, {OptPortClosed, K::Button, "Change Port", 295, 15, 55, 10,
                  win::BS_AUTORADIOBUTTON | win::BS_LEFT, 0, &Serial_Terminal_Proc});
    Serial_Terminal_Port_Label(dialog);
    Serial_Terminal_Port_Combo(dialog);

    // 5. Baud rate, 57600 selected.
    Make(dialog, {Baud_Label, K::Label, "BaudRate:", 185, 5, 40, 10});
    HWND baud = Make(dialog, {CmbBaudRate, K::Combo, "", 225, 2, 50, 75, Combo_Style});
    for (const char* rate : {"9600", "19200", "38400", "57600"})
        win::Send_Message(baud, win::CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(rate));
    win::Send_Message(baud, win::CB_SETCURSEL, 3);

    // 6. Device information.
    Make_All(dialog, Device_Fields);

    // 7.-9. The two rich edits: subclassed, 131070 characters, black, red text.
    Make(dialog, {-1, K::Label, "Immediate Send", 65, 30, 70, 15});
    HWND sent = Make(dialog, {Rich_Edit_Sent, K::Rich_Edit, "", 65, 40, 395, 75, Rich_Style, Edge,
                              &Serial_Terminal_Edit_Callback});
    Make(dialog, {-1, K::Label, "Response", 65, 180, 50, 15});
    HWND received = Make(dialog, {Rich_Edit_Received, K::Rich_Edit, "", 65, 195, 395, 195,
                                  Rich_Style, Edge, &Serial_Terminal_Edit_Callback});
    Previous_Edit_Proc_Sent = win::Set_Window_Proc(sent, &Serial_Terminal_Edit_Subclass);
    Previous_Edit_Proc_Received = win::Set_Window_Proc(received, &Serial_Terminal_Edit_Subclass);
    for (HWND edit : {sent, received}) {
        win::Send_Message(edit, win::EM_LIMITTEXT, 0x1FFFE);
        win::Send_Message(edit, win::EM_SETBKGNDCOLOR, 0, 0);
    }
    win::CHARRANGE all{0, -1};
    win::Send_Message(sent, win::EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&all));
    win::CHARFORMAT red;
    red.dwMask = win::CFM_COLOR;
    red.crTextColor = win::RGB(255, 0, 0);
    for (HWND edit : {sent, received})
        win::Send_Message(edit, win::EM_SETCHARFORMAT, win::SCF_SELECTION,
                          reinterpret_cast<LPARAM>(&red));

    // 10. Buffered send.
    Make(dialog, {1144, K::Label, "Buffered Send", 65, 140, 70, 10, win::WS_GROUP});
    Make(dialog,
         {Cmd_Send, K::Button, "Send", 470, 150, 75, 20, Default_Button, 0, &Serial_Terminal_Proc});
    Make(dialog, {Text_Buffered, K::Edit, "", 65, 150, 395, 25,
                  win::ES_MULTILINE | win::ES_AUTOVSCROLL | win::ES_AUTOHSCROLL |
                      win::ES_NOHIDESEL | win::ES_WANTRETURN | win::WS_TABSTOP | win::WS_VSCROLL});

    // 11. Clear buttons and the data-direction pictures.
    Make(dialog, {Cmd_Clear_Sent, K::Button, "Clear Window", 9, 45, 55, 20, Default_Button, 0,
                  &Serial_Terminal_Proc});
    Graphic(dialog, Graphic_To, 70, "Data Dir Arrow To BB.bmp");
    Make(dialog, {Cmd_Clear_Received, K::Button, "Clear Window", 9, 245, 55, 20, Default_Button, 0,
                  &Serial_Terminal_Proc});
    Graphic(dialog, Graphic_From, 300, "Data Dir Arrow From BB.bmp");

    // 12. Axis ids.
    Make_All(dialog, Axis_Rows);

    // 13. QuickMove group, each hint right after its control.
    for (const auto& row : Quick_Move_Rows) {
        Make(dialog, row.Control);
        if (row.Tooltip) Tooltip_Add(dialog, row.Control.Id, row.Tooltip);
        if (row.Control.Id == QuickMove_Motor4)
            win::Check_Radio_Button(dialog, QuickMove_Motor1, QuickMove_Motor4, QuickMove_Motor1);
    }
    return kdx_frame.result(dialog);
}

int32_t Serial_Terminal_Show(HWND& dialog) {
    KDX_FRAME("Serial_Terminal_Show", dialog);
    win::Set_Dialog_Proc(dialog, &Serial_Terminal_Proc);
    return kdx_frame.result(int32_t(win::Show_Window(dialog, win::SW_MAXIMIZE)));
}

int32_t Serial_Terminal_Show_Modeless(HWND& dialog) {
    KDX_FRAME("Serial_Terminal_Show_Modeless", dialog);
    return kdx_frame.result(int32_t(win::Show_Window(dialog, win::SW_SHOWNORMAL)));
}

int32_t Serial_Terminal_Hide(HWND& dialog) {
    KDX_FRAME("Serial_Terminal_Hide", dialog);
    return kdx_frame.result(int32_t(win::Show_Window(dialog, win::SW_HIDE)));
}

int32_t Serial_Terminal_Destroy(HWND& dialog) {
    KDX_FRAME("Serial_Terminal_Destroy", dialog);
    win::Destroy_Window(dialog);
    if (dialog == win::Terminal_Dialog) win::Terminal_Dialog = 0;
    return kdx_frame.result(int32_t(0));
}

}  // namespace kdx
