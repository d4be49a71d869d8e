// The QuickMove dialog: one move of one motor per button press, and the hints of every
// dialog of the program.
#include <cmath>
#include <cstdio>
#include <vector>

#include "serial/serial_port.h"
#include "trace/trace.h"
#include "ui/ui.h"

namespace kdx {

int32_t QuickMove_Motor = 0;
HWND QuickMove_Dialog = 0;

namespace {

using K = win::Control_Kind;

int32_t open_flag = 0;
HWND tooltip_window = 0;

constexpr uint32_t Box = win::ES_AUTOHSCROLL | win::WS_TABSTOP;
constexpr uint32_t Option = win::BS_AUTORADIOBUTTON | win::WS_TABSTOP;

const win::Dialog_Template Dialog{
    "QuickMove Single Axis", 198, 80,
    win::WS_POPUP | win::WS_CAPTION | win::WS_SYSMENU | win::WS_MINIMIZEBOX | win::WS_CLIPSIBLINGS |
        win::DS_MODALFRAME | win::DS_SETFONT | win::DS_3DLOOK | win::DS_NOFAILCREATE,
    win::WS_EX_CONTROLPARENT};

struct Row {
    win::Control_Template Control;
    const char* Tooltip = nullptr;
};

const std::vector<Row> Rows = {
    {{QuickMove_Distance_Label, K::Label, "Distance", 37, 5, 30, 10}},
    {{QuickMove_Distance, K::Edit, "400", 68, 5, 45, 10, Box, win::WS_EX_CLIENTEDGE},
     "Enter Distance"},
    {{QuickMove_Velocity_Label, K::Label, "Velocity", 38, 19, 30, 10}},
    {{QuickMove_Velocity, K::Edit, "2000", 68, 20, 45, 10, Box, win::WS_EX_CLIENTEDGE},
     "Enter Velocity"},
    {{QuickMove_Steps_Label, K::Label, "Steps", 114, 5, 40, 10}},
    {{QuickMove_Speed_Label, K::Label, "Steps per Second", 114, 20, 80, 10}},
    {{QuickMove_Negative, K::Button, "Negative", 40, 35, 55, 15,
      win::BS_PUSHBUTTON | win::WS_TABSTOP},
     "Press to Move Towards Motor"},
    {{QuickMove_Positive, K::Button, "Positive", 100, 35, 55, 15,
      win::BS_PUSHBUTTON | win::WS_TABSTOP},
     "Press to Move Away from Motor"},
    {{QuickMove_Auto_Reverse, K::Button, "AutoReverse", 40, 60, 55, 15,
      win::BS_AUTOCHECKBOX | win::WS_TABSTOP},
     "Check to return after move"},
    {{-1, K::Label, "Repeat", 125, 65, 30, 15}},
    {{QuickMove_Repeat, K::Edit, "", 150, 65, 20, 10, win::ES_CENTER | win::WS_TABSTOP,
      win::WS_EX_CLIENTEDGE},
     "Enter Number of Times to Repeat Motion"},
    {{-1, K::Label, "Times", 175, 65, 20, 15}},
    {{1133, K::Button, "1", 10, 15, 20, 15, Option}, "Motor to Move"},
    {{1134, K::Button, "2", 10, 30, 20, 15, Option}, "Motor to Move"},
    {{1135, K::Button, "3", 10, 45, 20, 15, Option}, "Motor to Move"},
    {{1136, K::Button, "4", 10, 60, 20, 15, Option}, "Motor to Move"},
    {{QuickMove_Motor_Group, K::Button, "Motor", 5, 5, 30, 75, win::BS_GROUPBOX,
      win::WS_EX_TRANSPARENT}},
};

std::string Without(std::string text, char c) {
    std::erase(text, c);
    return text;
}

}  // namespace

double Text_Value(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    double sign = 1;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) sign = text[i++] == '-' ? -1 : 1;
    double value = 0;
    bool digits = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i++] - '0');
        digits = true;
    }
    if (i < text.size() && text[i] == '.') {
        double scale = 0.1;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, scale /= 10) {
            value += (text[i] - '0') * scale;
            digits = true;
        }
    }
    return digits ? sign * value : 0;
}

std::string Fixed_Text(double value) {
    // Four decimal places, as the move code keeps them.
    int64_t fixed = std::llround(value * 10000);
    std::string text = fixed < 0 ? "-" : "";
    uint64_t magnitude = fixed < 0 ? uint64_t(-(fixed + 1)) + 1 : uint64_t(fixed);
    text += std::to_string(magnitude / 10000);
    if (uint64_t fraction = magnitude % 10000) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04u", unsigned(fraction));
        std::string f = digits;
        while (!f.empty() && f.back() == '0') f.pop_back();
        text += "." + f;
    }
    return text;
}

std::string QuickMove_Command(HWND dialog, bool positive, const std::string& prefix, bool clamp,
                              int32_t repeat_add) {
    std::string distance_text = Without(win::Get_Dlg_Item_Text(dialog, QuickMove_Distance), '-');
    win::Set_Dlg_Item_Text(dialog, QuickMove_Distance, distance_text);
    double distance = Text_Value(distance_text);

    std::string velocity_text = win::Get_Dlg_Item_Text(dialog, QuickMove_Velocity);
    if (clamp) {
        double v = Text_Value(velocity_text);
        if (v >= 1 && v > 6000) velocity_text = "6000";
        win::Set_Dlg_Item_Text(dialog, QuickMove_Velocity, velocity_text);
    }
    std::string sign = velocity_text.find('+') != std::string::npos   ? "+"
                       : velocity_text.find('-') != std::string::npos ? "-"
                                                                      : "";
    double velocity = std::fabs(Text_Value(velocity_text));

    if (QuickMove_Motor == 0) QuickMove_Motor = 1;
    std::string m = std::to_string(QuickMove_Motor);
    bool reverse = win::Send_Message(win::Get_Dlg_Item(dialog, QuickMove_Auto_Reverse),
                                     win::BM_GETCHECK) == win::BST_CHECKED;
    double repeat =
        std::nearbyint(Text_Value(win::Get_Dlg_Item_Text(dialog, QuickMove_Repeat)) + repeat_add);

    std::string d = Fixed_Text(distance);
    std::string command = prefix + m + "M" + sign + Fixed_Text(velocity);
    std::string there = ",I" + m + (positive ? "M" : "M-") + d;
    std::string back = ",I" + m + (positive ? "M-" : "M") + d;
    command += there;
    if (reverse) command += back;
    if (repeat >= 2) command += ",LA" + Fixed_Text(repeat);
    command += ",R";
    return command;
}

int64_t Tooltip_Add(HWND dialog, int32_t id, const std::string& text) {
    if (!win::Is_Window(tooltip_window)) {
        // Qt's tooltips show for inactive windows too: the always-tip balloon style.
        uint32_t style = 0x41;  // TTS_ALWAYSTIP | TTS_BALLOON
        tooltip_window = win::Create_Tooltip(dialog, style);
        win::Send_Message(tooltip_window, win::TTM_SETMAXTIPWIDTH, 0, 300);
        win::Send_Message(tooltip_window, win::TTM_SETDELAYTIME, win::TTDT_AUTOPOP, 15000);
    }
    if (!win::Is_Window(tooltip_window)) return 0;
    win::TOOLINFO tool;
    tool.uFlags = win::TTF_IDISHWND | win::TTF_SUBCLASS;
    tool.hwnd = dialog;
    tool.uId = id == 0 ? dialog : win::Get_Dlg_Item(dialog, id);
    tool.lpszText = text;
    LPARAM record = reinterpret_cast<LPARAM>(&tool);
    if (win::Send_Message(tooltip_window, win::TTM_GETTOOLINFOA, 0, record))
        win::Send_Message(tooltip_window, win::TTM_DELTOOLA, 0, record);
    return win::Send_Message(tooltip_window, win::TTM_ADDTOOLA, 0, record);
}

HWND CreateQuickMoveSingle(const int32_t* parent) {
    KDX_FRAME("CreateQuickMoveSingle", parent);
    HWND dialog = win::Create_Dialog(Dialog, parent ? *parent : 0);
    for (const auto& row : Rows) {
        win::Control_Template c = row.Control;
        c.Style |= win::WS_CHILD | win::WS_VISIBLE;
        win::Create_Control(dialog, c);
        if (row.Tooltip) Tooltip_Add(dialog, c.Id, row.Tooltip);
        if (c.Id == QuickMove_Motor4)
            win::Check_Radio_Button(dialog, QuickMove_Motor1, QuickMove_Motor4, QuickMove_Motor1);
    }
    QuickMove_Dialog = dialog;
    return kdx_frame.result(dialog);
}

int32_t ShowQuickMoveSingle() {
    KDX_FRAME("ShowQuickMoveSingle");
    if (!win::Is_Window(QuickMove_Dialog)) CreateQuickMoveSingle();
    win::Set_Dialog_Proc(QuickMove_Dialog, &QuickMoveSingleProc);
    win::Show_Window(QuickMove_Dialog, win::SW_SHOWNORMAL);
    win::Set_Focus(QuickMove_Dialog);
    open_flag = win::Is_Window_Visible(QuickMove_Dialog) ? 1 : 0;
    win::Set_Focus(QuickMove_Dialog);
    return kdx_frame.result(open_flag);
}

int32_t HideQuickMoveSingle() {
    KDX_FRAME("HideQuickMoveSingle");
    if (!win::Is_Window(QuickMove_Dialog)) {
        open_flag = 0;
        return kdx_frame.result(int32_t(0));
    }
    win::Show_Window(QuickMove_Dialog, win::SW_HIDE);
    open_flag = 0;
    return kdx_frame.result(int32_t(1));
}

int32_t IsOpenQuickMoveSingle() {
    KDX_FRAME("IsOpenQuickMoveSingle");
    return kdx_frame.result(open_flag);
}

int64_t QuickMoveSingleProc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    KDX_CALLBACK_FRAME("QuickMoveSingleProc", window, message, wparam, lparam);
    switch (message) {
        case win::WM_INITDIALOG:
            return 0;
        case win::WM_CLOSE:
        case win::WM_DESTROY:
            QuickMove_Dialog = 0;
            return 0;
        case win::WM_LBUTTONDOWN:
            win::Set_Focus(window);
            return 0;
        case win::WM_COMMAND: {
            int32_t id = win::LOWORD(wparam);
            if (id >= QuickMove_Motor1 && id <= QuickMove_Motor4) {
                QuickMove_Motor = id - QuickMove_Motor1 + 1;
            } else if ((id == QuickMove_Negative || id == QuickMove_Positive) &&
                       !Ui_Exchange_Refused() &&  // no move inside another exchange
                       Port_Ready()) {
                Ui_Exchange exchange;
                std::string command =
                    QuickMove_Command(window, id == QuickMove_Positive, "F,C,S", true, 1);
                int32_t echo = 1;
                Serial_Port_Write(Serial_Port_State.Handle, command, &echo);
            }
            return 0;
        }
        default:
            return 0;
    }
}

}  // namespace kdx
