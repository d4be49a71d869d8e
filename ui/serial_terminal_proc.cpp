// What the Terminal dialog does: its dialog procedure (also the control callback of its
// options and buttons), the rich edits' callback and their subclass procedure.
#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "files/ini.h"
#include "files/port_log.h"
#include "platform/os/error.h"
#include "platform/ports/device_change.h"
#include "protocol/kdx.h"
#include "serial/echo.h"
#include "serial/serial_port.h"
#include "trace/trace.h"
#include "ui/system_words.h"
#include "ui/ui.h"

namespace kdx {

namespace {

// The dialog's texts and command texts are held in 1024-byte buffers.
constexpr size_t Text_Capacity = 1023;

int32_t device_notification = 0;
// The port the Terminal opened last and its entry, for the word that it hung up.
int32_t watched_port = 0;
std::string watched_name;

std::string Cut(std::string text) {
    if (text.size() > Text_Capacity) text.resize(Text_Capacity);
    return text;
}

std::string Item_Text(HWND dialog, int32_t id) {
    return Cut(win::Get_Dlg_Item_Text(dialog, id));
}

// The text of a drop-down list's selected item ("" when none is selected).
std::string Selected_Text(HWND dialog, int32_t id) {
    HWND list = win::Get_Dlg_Item(dialog, id);
    int64_t at = win::Send_Message(list, win::CB_GETCURSEL);
    if (at < 0 || at == int64_t(int32_t(win::CB_ERR))) return std::string();
    int64_t length = win::Send_Message(list, win::CB_GETLBTEXTLEN, uint64_t(at));
    if (length <= 0) return std::string();
    std::string text(size_t(length) + 1, '\0');
    win::Send_Message(list, win::CB_GETLBTEXT, uint64_t(at), reinterpret_cast<LPARAM>(text.data()));
    text.resize(size_t(length));
    return Cut(text);
}

void Write(const std::string& text, bool echo) {
    int32_t flag = echo ? 1 : 0;
    Serial_Port_Write(Serial_Port_State.Handle, Cut(text), echo ? nullptr : &flag);
}

void Enable(HWND dialog, int32_t id, bool enable) {
    win::Enable_Window(win::Get_Dlg_Item(dialog, id), enable);
}

// Port close on a click of "Change Port": the port list may be used again, the controller
// goes off line and the port is closed.
int64_t Port_Closed(HWND dialog, uint32_t code) {
    if (code == 7 || code == 8) return 0;
    if (code != win::BN_CLICKED) {
        ErrCheck_Comment("%OptPortClosed Something Else");
        return 0;
    }
    // With no port open nothing goes out: no operation starts, so what the strip says stays
    // (a second device change must not take back the first one's "Ports changed").
    std::optional<Ui_Exchange> exchange;
    if (Port_Is_Open()) exchange.emplace();
    Enable(dialog, OptPortOpen, true);
    Enable(dialog, Port_List, true);
    win::Check_Radio_Button(dialog, OptPortOpen, OptPortClosed, OptPortClosed);
    int32_t echo = 1;
    Serial_Port_Write(Serial_Port_State.Handle, "Q,\r", &echo);
    Serial_Port_Close(Serial_Port_State.Handle);
    Serial_Port_State.Poller = 0;  // the close has stopped the poller; its handle is released
    return 1;
}

// Port open on a click of "Enable Port": the selected port at the selected rate, its poller,
// the controller on line, the port recorded in the settings page.
int64_t Port_Open(HWND dialog, uint32_t code) {
    if (code != win::BN_CLICKED) return 0;
    Ui_Exchange exchange;
    Enable(dialog, OptPortOpen, false);
    Enable(dialog, Port_List, false);
    std::string port = Selected_Text(dialog, Port_List);
    std::string baud = Selected_Text(dialog, CmbBaudRate);
    if (baud.empty()) baud = "57600";
    std::string number = port;
    std::transform(number.begin(), number.end(), number.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    for (size_t at = number.find("COM"); at != std::string::npos; at = number.find("COM"))
        number.erase(at, 3);
    Serial_Port_State.Number = int32_t(Text_Value(number));
    Serial_Port_State.Name = port.substr(0, 5);
    Serial_Port_State.Baud = int32_t(Text_Value(baud));
    Serial_Port_State.Handle = Serial_Port_Open(Serial_Port_State.Number, Serial_Port_State.Baud);
    bool opened = Serial_Port_State.Handle != 0 && Serial_Port_State.Handle != -1;
    // Port 0 (no number in the entry) makes no call: it names no port.
    int32_t cause = opened ? Open_Ok
                    : Serial_Port_State.Number == 0
                        ? Open_No_Such_Port
                        : Serial_Port_Open_Failure_Cause(platform::Get_Last_Error());
    uint32_t error = platform::Get_Last_Error();
    watched_port = opened ? Serial_Port_State.Handle : 0;
    watched_name = Serial_Port_State.Name;
    Serial_Port_State.Poller = Serial_Port_Poller_Start(Serial_Port_State.Handle);
    int32_t echo = 1;
    Serial_Port_Write(Serial_Port_State.Handle, "F,\r", &echo);
    // The port opens either way; the operator hears when the choice will not be there next time.
    std::string not_saved;
    if (!Ini_Set_Terminal_Port(Serial_Port_State.Name)) {
        std::string why = platform::System_Message(platform::Get_Last_Error());
        while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' '))
            why.pop_back();
        ErrCheck_Comment("port choice not saved in " + Ini_Get_Page_Path());
        not_saved = "the port choice was not saved" + (why.empty() ? "" : ": " + why);
    }
    if (opened && !not_saved.empty()) {
        Status_Port_Show();
        Status_Verdict(Serial_Port_State.Name + " open; " + not_saved, false);
    }
    if (!opened) {
        // Nothing is connected: say why, and show the port as closed again, so nothing
        // typed afterwards vanishes without a word.
        std::string why = Port_Open_Failure_Text(port, cause, error);
        Serial_Port_Echo_Response_Status(why);
        Status_Verdict(why.substr(0, why.size() - 1), false);
        Enable(dialog, OptPortOpen, true);
        Enable(dialog, Port_List, true);
        win::Check_Radio_Button(dialog, OptPortOpen, OptPortClosed, OptPortClosed);
        Serial_Port_Close(Serial_Port_State.Handle);
        Serial_Port_State.Poller = 0;
    }
    return 1;
}

// The operator switched the port log on and has not switched it off (user-interface thread).
bool log_wanted = false;

void Baud_Rate_Changed(HWND dialog) {
    Ui_Exchange exchange;
    Serial_Port_State.Baud = int32_t(Text_Value(Selected_Text(dialog, CmbBaudRate)));
    Serial_Port_DCB(Serial_Port_State.Handle, Serial_Port_State.Baud);
}

void Terminal_Log() {
    if (win::Get_Menu_State(Terminal_Menu_Bar, IDM_Terminal_Log) == 0) {
        win::Set_Menu_State(Terminal_Menu_Bar, IDM_Terminal_Log, win::MFS_CHECKED);
        Port_Log_Open();
        log_wanted = true;
        // Where the traffic goes, in full, so it can be found afterwards.
        std::string path = Port_Log_Current_Path();
        if (!path.empty()) Status_Say("Port log on: " + path);
        Terminal_Log_Check();
    } else if (win::Get_Menu_State(Terminal_Menu_Bar, IDM_Terminal_Log) == win::MFS_CHECKED) {
        log_wanted = false;
        std::string path = Port_Log_Current_Path();
        win::Set_Menu_State(Terminal_Menu_Bar, IDM_Terminal_Log, 0);
        Port_Log_Close();
        Status_Say(path.empty() ? std::string("Port log off") : "Port log off: " + path);
    }
}

// "Send": the box's text as typed (its line ends as CR LF), CR added to a serial-number
// command; the reply is read at once.
void Buffered_Send(HWND dialog) {
    if (!Port_Ready()) return;
    Ui_Exchange exchange;
    std::string text = Item_Text(dialog, Text_Buffered);
    if (text.find("setser#&=") != std::string::npos) text += '\r';
    Write(text, true);
    Serial_Port_Read(Serial_Port_State.Handle);
}

void Set_Id(HWND dialog, int32_t axis) {
    if (!Port_Ready()) return;
    std::string n = std::to_string(axis);
    std::string id = Item_Text(dialog, Axis_Id_Box + axis);
    // An empty id would be stored as it is and the controller restarted without one.
    if (id.find_first_not_of(" \t\r\n") == std::string::npos) {
        Status_Verdict("Set ID: the Axis " + n + " ID box is empty; nothing was sent", false);
        return;
    }
    Ui_Exchange exchange;
    Write("F,setMLH" + n + "M=" + id + ",", true);
    Write("rss,", true);
    Status_Say("Set ID: axis " + n + " set to " + id + "; the controller restarts");
}

void Flash_Led(int32_t axis) {
    if (!Port_Ready()) return;
    Ui_Exchange exchange;
    Write("F,setAXISF" + std::to_string(axis) + "M3,", false);
}

// Whether a device field's value has the form its placeholder shows: X or x any character
// but a blank, ",", "@" or "?"; d a digit; anything else itself.
bool Has_Form(std::string_view value, std::string_view form) {
    if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
    if (value.size() != form.size()) return false;
    for (size_t i = 0; i < form.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        if (form[i] == 'X' || form[i] == 'x') {
            if (c <= ' ' || c == 127 || c == ',' || c == '@' || c == '?') return false;
        } else if (form[i] == 'd') {
            if (c < '0' || c > '9') return false;
        } else if (c != static_cast<unsigned char>(form[i])) {
            return false;
        }
    }
    return true;
}

// The fields read and those among them whose answers are doubtful, with why.
class Doubts {
  public:
    void Read(const std::string& field, const std::string& why) {
        read_.push_back(field);
        if (!why.empty()) doubtful_.emplace_back(field, why);
    }
    int32_t Count() const { return int32_t(doubtful_.size()); }
    int32_t Read_Count() const { return int32_t(read_.size()); }
    // The fields named as fully as fits in room characters: with their reasons, those with
    // the same reason together ("Version, Revision (another query's answer); Axis 1 ID (home
    // switch missing)"); else the names alone; else the few that are not doubtful ("all but
    // Axis 4 ID"); else as many names as fit and how many more.
    std::string Text(size_t room) const {
        std::vector<std::pair<std::string, std::string>> groups;  // reason, names
        for (const auto& [field, why] : doubtful_) {
            auto at = std::find_if(groups.begin(), groups.end(),
                                   [&](const auto& g) { return g.first == why; });
            if (at == groups.end())
                groups.emplace_back(why, field);
            else
                at->second += ", " + field;
        }
        std::string full;
        for (const auto& [why, names] : groups)
            full += (full.empty() ? "" : "; ") + names + " (" + why + ")";
        if (full.size() <= room) return full;
        std::string names;
        for (const auto& d : doubtful_) names += (names.empty() ? "" : ", ") + d.first;
        if (names.size() <= room) return names;
        if (Count() * 2 > Read_Count()) {
            std::string others;
            for (const auto& field : read_)
                if (std::none_of(doubtful_.begin(), doubtful_.end(),
                                 [&](const auto& d) { return d.first == field; }))
                    others += (others.empty() ? "" : ", ") + field;
            std::string text = others.empty() ? "all" : "all but " + others;
            if (text.size() <= room) return text;
        }
        std::string some;
        for (size_t i = 0; i < doubtful_.size(); ++i) {
            std::string more = " and " + std::to_string(doubtful_.size() - i) + " more";
            std::string next = (some.empty() ? "" : ", ") + doubtful_[i].first;
            if (some.size() + next.size() + more.size() > room) return some + more;
            some += next;
        }
        return some;
    }
    // Every doubtful field with its reason, for the trace.
    std::string All() const {
        std::string text;
        for (const auto& [field, why] : doubtful_)
            text += (text.empty() ? "" : "; ") + field + ": " + why;
        return text;
    }

  private:
    std::vector<std::string> read_;
    std::vector<std::pair<std::string, std::string>> doubtful_;
};

// What the status strip shows whole beside the port on a small (800 pixels wide) screen.
constexpr size_t Strip_Room = 80;

// "Refresh ID List": the device fields, then the id rows of the axes the controller found.
// Each field shows what came, "?" included; an answer without the form its query expects (a
// late or slow reply read in the next query's place, a value cut short, a hang-up half-way)
// is named in the status strip with why, so nobody copies it down as the controller's value.
void Identity_Refresh(HWND dialog) {
    if (!Port_Is_Open()) {
        // Without a port every query returns nothing: the fields are blank and nothing is sent.
        for (int32_t id : {Field_Serial_Num, Field_Order_Num, Field_Version, Field_Revision,
                           Field_Axis_Mode, Field_Detected})
            win::Set_Dlg_Item_Text(dialog, id, "");
        for (int32_t a = 1; a <= 4; ++a) win::Set_Dlg_Item_Text(dialog, Axis_Id_Box + a, "");
        Port_Ready();
        return;
    }
    Ui_Exchange exchange;
    int32_t missing = 0;
    Doubts doubts;
    int32_t& handle = Serial_Port_State.Handle;
    KDX_Progress progress{"Refreshing ID List", "", 0, 7};
    auto step = [&](const std::string& item) {
        progress.Item = item;
        KDX_Progress_Report(progress);
        ++progress.Done;
        return !KDX_Stop_Requested();
    };
    using Getter = std::string (*)(int32_t&);
    struct Field {
        int32_t id;
        const char* name;
        Getter get;
        const char* tag;
        const char* form;  // as the placeholder shows it
    };
    const Field fields[] = {
        {Field_Serial_Num, "Serial Num", &KDX_Serial_Number_Get, "getD4", "XXXX-xx"},
        {Field_Order_Num, "Order Num", &KDX_Order_Number_Get, "getD4", "XXXXXXX"},
        {Field_Version, "Version", &KDX_Firmware_Version_Get, "getD0", "X.xx"},
        {Field_Revision, "Revision", &KDX_Firmware_Revision_Get, "getD1", "XX-XX-XX"},
        {Field_Axis_Mode, "Axis Mode", &KDX_Axis_Set, "getAS", "dddd"},
        {Field_Detected, "Detected", &KDX_Axis_Found, "getAF", "dddd"},
    };
    for (const auto& f : fields) {
        if (!step("F," + std::string(f.tag) + ",")) {
            Status_Say("Refresh ID List stopped");
            return;
        }
        win::Set_Dlg_Item_Text(dialog, f.id, "");
        std::string value = f.get(handle);
        std::string why = KDX_Reply_Doubt(KDX_Last_Query_Reply(), f.tag);
        if (why.empty() && !Has_Form(value, f.form)) why = "not of the form " + std::string(f.form);
        win::Set_Dlg_Item_Text(dialog, f.id, Cut(value));
        if (why == "missing") ++missing;
        doubts.Read(f.name, why);
    }
    for (int32_t a = 1; a <= 4; ++a) win::Set_Dlg_Item_Text(dialog, Axis_Id_Box + a, "");
    const std::string port = Serial_Port_State.Name;
    if (!step("F,getAF,")) {
        Status_Say("Refresh ID List stopped");
        return;
    }
    std::string found = KDX_Axis_Found(handle);
    int32_t rows = 0;
    for (char c : {'4', '3', '2'})
        if (rows == 0 && found.find(c) != std::string::npos) rows = c - '0';
    if (rows == 0 && found.find_first_of("10") != std::string::npos) rows = 1;
    progress.Total += rows;
    for (int32_t a = rows; a >= 1; --a) {
        std::string n = std::to_string(a);
        if (!step("axis " + n)) {
            Status_Say("Refresh ID List stopped");
            return;
        }
        int32_t axis = a;
        using Axis_Getter = std::string (*)(int32_t&, int32_t&);
        struct Part {
            const char* name;
            Axis_Getter get;
            const char* tag;
        };
        const Part parts[] = {{"motor", &KDX_Axis_Motor_Get, "getMT"},
                              {"limit switches", &KDX_Axis_Limit_Get, "getL"},
                              {"home switch", &KDX_Axis_Home_Switch_Get, "getHS"}};
        // The row's reason: the one all its doubtful replies share, else the first part's
        // ("home switch missing").
        std::string row, why, first;
        int32_t doubtful = 0, parts_missing = 0;
        bool same = true;
        for (const auto& part : parts) {
            std::string value = part.get(handle, axis);
            std::string doubt = KDX_Reply_Doubt(KDX_Last_Query_Reply(), part.tag + n + "M=");
            row += (part.get == parts[0].get ? "" : ",") + value;
            if (doubt.empty()) continue;
            parts_missing += doubt == "missing";
            if (++doubtful == 1) {
                why = doubt;
                first = part.name + (" " + doubt);
            } else {
                same = same && doubt == why;
            }
        }
        win::Set_Dlg_Item_Text(dialog, Axis_Id_Box + a, Cut(row));
        if (parts_missing == 3) ++missing;
        doubts.Read("Axis " + n + " ID", doubtful == 0           ? std::string()
                                         : doubtful == 3 && same ? why
                                                                 : first);
    }
    progress.Item.clear();
    KDX_Progress_Report(progress);
    // The strip says what came back, not only that every query went out.
    if (doubts.Count() > 0) ErrCheck_Comment("doubtful: " + doubts.All());
    if (missing == doubts.Read_Count()) {
        Status_Verdict("Refresh ID List: no answer from " + port, false);
    } else if (doubts.Count() > 0) {
        std::string lead = "Refresh ID List: " + std::to_string(doubts.Count()) + " of " +
                           std::to_string(doubts.Read_Count()) + " fields doubtful: ";
        Status_Verdict(lead + doubts.Text(Strip_Room - std::min(Strip_Room, lead.size())), false);
    } else {
        Status_Verdict(
            "Refresh ID List: identity and " + std::to_string(rows) + " axis ids read from " + port,
            true);
    }
}

void QuickMove_Move(HWND dialog, bool positive) {
    if (!Port_Ready()) return;
    Ui_Exchange exchange;
    Write(QuickMove_Command(dialog, positive, "F,PM-0,S", false, 0), true);
}

// The port list anew from the machine's ports; the open port, if any, is closed first.
void Port_List_Rebuild(HWND dialog) {
    win::Send_Message(win::Get_Dlg_Item(dialog, OptPortClosed), win::BM_CLICK);
    HWND list = win::Get_Dlg_Item(dialog, Port_List);
    win::Send_Message(list, win::CB_RESETCONTENT);
    Serial_Terminal_Port_Fill(list);
}

int64_t Device_Change_Handle(HWND dialog, WPARAM event);

// The changes that rebuild the port list or close the port close the open one: the strip says
// so, once, beside the port shown closed.
int64_t Device_Change(HWND dialog, WPARAM event) {
    const bool closes =
        Port_Is_Open() &&
        (event == platform::DBT_DEVICEARRIVAL || event == platform::DBT_DEVICEREMOVECOMPLETE ||
         event == 0x18 || event == platform::DBT_DEVNODES_CHANGED);
    const std::string name = Serial_Port_State.Name;
    int64_t result = Device_Change_Handle(dialog, event);
    if (closes) {
        Status_Port_Show();
        Status_Say("Ports changed: " + name + " was closed; choose a port again");
    }
    return result;
}

int64_t Device_Change_Handle(HWND dialog, WPARAM event) {
    HWND list = win::Get_Dlg_Item(dialog, Port_List);
    switch (event) {
        case platform::DBT_DEVICEARRIVAL:
            ErrCheck_Comment("%DBT_DEVICEARRIVAL");
            Port_List_Rebuild(dialog);
            win::Send_Message(list, win::CB_SETCURSEL, 0);
            return 1;
        case platform::DBT_DEVICEREMOVECOMPLETE:
            ErrCheck_Comment("%DBT_DEVICEREMOVECOMPLETE");
            Port_List_Rebuild(dialog);
            win::Send_Message(list, win::CB_SETCURSEL, uint64_t(-1));
            return 1;
        case 0x18:
            ErrCheck_Comment("%DBT_CONFIGCHANGED");
            Port_List_Rebuild(dialog);
            win::Send_Message(list, win::CB_SETCURSEL, uint64_t(-1));
            return 1;
        case platform::DBT_DEVNODES_CHANGED:
            ErrCheck_Comment("%DBT_DEVNODES_CHANGED");
            Serial_Port_Close(Serial_Port_State.Handle);
            win::Send_Message(win::Get_Dlg_Item(dialog, OptPortClosed), win::BM_CLICK);
            platform::Set_Last_Error(0);
            return 1;
        case 0x17:
            ErrCheck_Comment("%DBT_QUERYCHANGECONFIG");
            return 1;
        case 0x19:
            ErrCheck_Comment("%DBT_CONFIGCHANGECANCELED");
            return 1;
        case 0x8001:
            ErrCheck_Comment("%DBT_DEVICEQUERYREMOVE");
            return 1;
        case 0x8002:
            ErrCheck_Comment("%DBT_DEVICEQUERYREMOVEFAILED");
            return 1;
        case 0x8003:
            ErrCheck_Comment("%DBT_DEVICEREMOVEPENDING");
            return 1;
        default:
            return 1;
    }
}

// WM_COMMAND by control id; the notification code is the high word.
int64_t Command(HWND dialog, int32_t id, uint32_t code) {
    // What the operator does while an exchange waits must not start another.
    bool refused = Ui_Exchange_Refused();
    switch (id) {
        case IDM_Refresh_Ports:
            if (!refused)
                win::Send_Message(win::Terminal_Dialog, win::WM_DEVICECHANGE,
                                  platform::DBT_DEVNODES_CHANGED, 0);
            return 0;
        case IDM_Terminal_Log:
            ErrCheck_Comment("%IDM_Terminal_Log");
            Terminal_Log();
            return 1;
        case CmbBaudRate:
            ErrCheck_Comment("%CmbBaudRate");
            if (!refused) Baud_Rate_Changed(dialog);
            return 0;
        case OptPortClosed:
            ErrCheck_Comment("%OptPortClosed");
            return refused ? 1 : Port_Closed(dialog, code);
        case OptPortOpen:
            ErrCheck_Comment("%OptPortOpen");
            return refused ? 1 : Port_Open(dialog, code);
        case Cmd_Clear_Sent:
        case Cmd_Clear_Received:
            if (code == win::BN_CLICKED)
                win::Set_Dlg_Item_Text(
                    dialog, id == Cmd_Clear_Sent ? Rich_Edit_Sent : Rich_Edit_Received, "");
            return 0;
        case Cmd_Send:
            if (code > 1) return 0;
            if (!refused) Buffered_Send(dialog);
            return 1;
        case Cmd_Refresh_Ids:
            if (code > 1) return 0;
            if (!refused) Identity_Refresh(dialog);
            return 1;
        case QuickMove_Negative:
        case QuickMove_Positive:
            if (!refused) QuickMove_Move(dialog, id == QuickMove_Positive);
            return 0;
        default:
            break;
    }
    if (id > Cmd_Set_Id && id <= Cmd_Set_Id + 4) {
        if (code > 1) return 0;
        if (!refused) Set_Id(dialog, id - Cmd_Set_Id);
        return 1;
    }
    if (id > Cmd_Flash_Led && id <= Cmd_Flash_Led + 4) {
        if (code > 1) return 0;
        if (!refused) Flash_Led(id - Cmd_Flash_Led);
        return 1;
    }
    if (id >= QuickMove_Motor1 && id <= QuickMove_Motor4)
        QuickMove_Motor = id - QuickMove_Motor1 + 1;
    return 0;
}

}  // namespace

std::string Port_Open_Failure_Text(const std::string& port, int32_t cause, uint32_t code) {
    std::string name = port.empty() ? std::string("the port") : port;
    std::string why;
    switch (cause) {
        case Open_No_Such_Port:
            why = port.empty() ? "no port is selected" : "no such port (was it unplugged?)";
            break;
        case Open_Held:
            why = "another program holds it; close that program and try again";
            break;
        case Open_No_Permission:
            why = Port_No_Permission_Words();
            break;
        case Open_Not_Serial:
            why = "it is not a serial line";
            break;
        default:
            why = "error " + std::to_string(code) + " " + platform::System_Message(code);
            break;
    }
    return "Cannot open " + name + ": " + why + "\r";
}

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
            // A hang-up ends the poller on its own thread: posted to the dialog as well.
            Serial_Port_Set_Hang_Up_Hook([](int32_t port) {
                win::Post_Message(win::Terminal_Dialog, WM_KDX_HANG_UP, uint64_t(port), 0);
            });
            break;
        case WM_KDX_HANG_UP:
            // During an exchange it waits for the end: the exchange finds the line dead itself.
            if (Ui_Exchange_Running()) {
                Ui_Defer_Message(window, message, wparam, lparam);
                return 1;
            }
            Serial_Terminal_Port_Hung_Up(int32_t(wparam));
            return 1;
        case win::WM_COMMAND:
            result = Command(window, win::LOWORD(wparam), win::HIWORD(wparam));
            break;
        case win::WM_DEVICECHANGE:
            // A change during an exchange waits for its end: the port it uses stays open.
            if (Ui_Exchange_Running()) {
                Ui_Defer_Message(window, message, wparam, lparam);
                return 1;
            }
            // Arrival, removal, configuration and nodes changes return straight away.
            if (wparam == platform::DBT_DEVICEARRIVAL ||
                wparam == platform::DBT_DEVICEREMOVECOMPLETE || wparam == 0x18 ||
                wparam == platform::DBT_DEVNODES_CHANGED)
                kdx_frame.skip_exit_line();
            return Device_Change(window, wparam);
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
            Serial_Port_Set_Hang_Up_Hook(nullptr);
            break;
        case win::WM_KEYUP:
            ErrCheck_Comment(std::to_string(window) + "     " +
                             std::to_string(win::LOWORD(wparam)));
            break;
        default:
            break;
    }
    if (message == win::WM_MOVE || message == win::WM_SIZE || message == win::WM_CLOSE ||
        message == win::WM_QUERYENDSESSION)
        win::Send_Message(win::Terminal_Dialog, win::WM_PAINT);
    if (message == win::WM_COMMAND || message == win::WM_DEVICECHANGE) Status_Port_Show();
    return result;
}

int64_t Serial_Terminal_Edit_Callback(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    KDX_CALLBACK_FRAME("Serial_Terminal_Edit_Callback", window, message, wparam, lparam);
    return 1;
}

LRESULT Serial_Terminal_Edit_Subclass(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    KDX_CALLBACK_FRAME("Serial_Terminal_Edit_Subclass", window, message, wparam, lparam);
    if (message == win::WM_CHAR) {
        // Every key goes to the controller at once; what shows is the echo. A key typed
        // while another exchange waits is not sent into it.
        kdx_frame.skip_exit_line();
        if (Ui_Exchange_Refused()) return 0;
        // A key with no port open would go nowhere: the strip says what to do instead.
        if (!Port_Ready()) return 0;
        Ui_Exchange exchange;
        Serial_Port_Write(Serial_Port_State.Handle, std::string(1, char(win::LOWORD(wparam))));
        Serial_Port_Read(Serial_Port_State.Handle);
        return 0;
    }
    return win::Call_Window_Proc(Previous_Edit_Proc_Sent, window, message, wparam, lparam);
}

std::string Serial_Terminal_Port_Hung_Up(int32_t port) {
    // Said once per port opened, also when the removal of its entry closed it meanwhile.
    if (port == 0 || port != watched_port) return "";
    watched_port = 0;
    std::string name = watched_name.empty() ? "The port" : watched_name;
    if (port == Serial_Port_State.Handle) {
        HWND dialog = win::Terminal_Dialog;
        Serial_Port_Close(Serial_Port_State.Handle);
        Serial_Port_State.Poller = 0;
        Enable(dialog, OptPortOpen, true);
        Enable(dialog, Port_List, true);
        win::Check_Radio_Button(dialog, OptPortOpen, OptPortClosed, OptPortClosed);
    }
    std::string text = name + " hung up (the device is gone or its cable was pulled): port closed";
    Serial_Port_Echo_Response_Status("\r" + text + "\r");
    Status_Verdict(text, false);
    Status_Port_Show();
    return text;
}

// A port log the operator switched on that is not open (it could not be opened, or it closed
// itself at a line it could not write) loses the traffic: the check mark comes off, the
// Response window says why on a line of its own, and so does the status strip, where it stays
// until the next thing the operator starts writes there.
void Terminal_Log_Check() {
    if (!log_wanted || Port_Log_File != 0) return;
    log_wanted = false;
    win::Set_Menu_State(Terminal_Menu_Bar, IDM_Terminal_Log, 0);
    std::string why = Port_Log_Failure();
    if (why.empty()) why = "the port log is not open";
    Serial_Port_Echo_Response_Status("\r" + why + "\r");
    Ui_Status_Notice("Port log stopped: " + why);
}

}  // namespace kdx
