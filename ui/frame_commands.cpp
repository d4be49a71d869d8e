// The frame's menu commands, dispatched by command id. Each handler starts with the trace
// comment of its command.
#include <vector>

#include "platform/os/error.h"
#include "platform/os/process.h"
#include "platform/os/system.h"
#include "platform/ports/serial.h"
#include "protocol/kdx.h"
#include "protocol/kdx_report.h"
#include "protocol/kdx_send.h"
#include "protocol/report.h"
#include "serial/echo.h"
#include "serial/serial_port.h"
#include "trace/trace.h"
#include "ui/ui.h"

namespace kdx {

namespace {

struct Command_Name {
    int32_t Id;
    const char* Comment;  // nullptr: the command writes none
    bool Exchange;        // it talks to the controller
};

const Command_Name Commands[] = {
    {IDM_Edit, nullptr, false},
    {IDM_Send_To_Device, nullptr, true},
    {IDM_Tools, "%IDM_Tools", false},
    {IDM_QuickMove, "%IDM_QuickMove", false},
    {IDM_Terminal, "%IDM_Terminal", false},
    {4224, nullptr, false},
    {IDM_KDX_Help, nullptr, true},
    {IDM_KDX_Diagnostic, "%IDM_KDX_Diagnostic", true},
    {IDM_KDX_Serial_Number, "%IDM_KDX_Serial_Number", false},
    {IDM_KDX_Order_Numbers, "%IDM_KDX_Order_Numbers", false},
    {IDM_KDX_Tester, "%IDM_KDX_Tester", false},
    {IDM_KDX_Test_USB_Commo, "%IDM_KDX_Test_USB_Commo", true},
    {IDM_KDX_Test_Memory, "%IDM_KDX_Test_Memory", false},
    {IDM_KDX_Test_Axis1_Program1, "%IDM_KDX_Test_Axis1_Program1", true},
    {IDM_KDX_Test_Axis2_Program2, "%IDM_KDX_Test_Axis2_Program2", true},
    {IDM_KDX_Test_Axis3_Program3, "%IDM_KDX_Test_Axis3_Program3", true},
    {IDM_KDX_Test_Axis4_Program4, "%IDM_KDX_Test_Axis4_Program4", true},
    {IDM_Locate_KDX, "%IDM_Locate_KDX", true},
    {IDM_Identify_Device, "%IDM_Identify_Device", true},
    {IDM_KDX_Testing_Routines, "%IDM_KDX_Testing_Routines", false},
    {IDM_App_Debug, nullptr, false},
};

// The editors the Edit command started that are still watched, with their command lines.
struct Watched_Editor {
    int64_t Watch;
    std::string How;
};
std::vector<Watched_Editor> editors;
constexpr uint32_t Edit_Watch_Tick_Ms = 100;

std::string File_Name_Of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Program files first, then every file.
const char* const Send_File_Filter = "Program files (*.kdx *.KDX);;All files (*)";

bool Checked(int32_t id) {
    return win::Get_Menu_State(win::Menu_Bar, uint32_t(id)) == win::MFS_CHECKED;
}

void Check(int32_t id, bool on) {
    win::Set_Menu_State(win::Menu_Bar, uint32_t(id), on ? win::MFS_CHECKED : 0u);
}

void Show_Terminal() {
    Check(IDM_Terminal, true);
    Serial_Terminal_Show(win::Terminal_Dialog);
}

// The communication test's verdict from what it sent and what answered.
void Commo_Verdict() {
    if (!Port_Is_Open()) {
        Port_Ready();
        return;
    }
    const KDX_Commo_Count& c = KDX_Tester_Last_Commo();
    const std::string of =
        std::to_string(c.Answered) + " of " + std::to_string(KDX_Commo_Queries) + " answered";
    const std::string wrong =
        c.Wrong > 0 ? ", " + std::to_string(c.Wrong) + " with no status letter" : "";
    if (KDX_Tester_Passed())
        Status_Verdict("Communication test PASSED, " + std::to_string(c.Answered) + " of " +
                           std::to_string(KDX_Commo_Queries),
                       true);
    else if (KDX_Stop_Requested())
        Status_Say("Communication test stopped after query " + std::to_string(c.Sent) + ", " + of +
                   wrong);
    else if (c.Aborted)
        // It stops at the first query nothing answers: the rest were never sent.
        Status_Verdict("Communication test FAILED: aborted at query " + std::to_string(c.Sent) +
                           ": " + of + wrong,
                       false);
    else
        Status_Verdict("Communication test FAILED: " + of + wrong, false);
}

// The memory test's verdict: the first step where the listing differs, when it got one.
void Memory_Verdict(int32_t axis, const std::string& outcome) {
    if (!Port_Is_Open()) {
        Port_Ready();
        return;
    }
    const std::string name = "Memory test axis " + std::to_string(axis);
    const Listing_Comparison& c = KDX_Tester_Last_Comparison();
    size_t steps = 0;
    for (char ch : KDX_Test_Program(axis)) steps += ch == ',';
    if (KDX_Tester_Passed()) {
        Status_Verdict(name + " PASSED, " + std::to_string(steps) + " of " + std::to_string(steps) +
                           " steps listed back",
                       true);
        return;
    }
    std::string why;
    if (c.first_step > 0)
        why = "step " + std::to_string(c.first_step) + " sent " +
              (c.first_sent.empty() ? std::string("nothing") : c.first_sent) + ", listed " +
              (c.first_listed.empty() ? std::string("nothing") : c.first_listed);
    else
        for (char ch : outcome)
            if (ch >= ' ' && ch != 0x7F && why.size() < 120) why += ch;
    if (why.empty()) why = "no listing came back";
    Status_Verdict(name + " FAILED: " + why, false);
}

void Run(int32_t id, trace::Frame& frame) {
    int32_t& handle = Serial_Port_State.Handle;
    switch (id) {
        case IDM_Edit: {
            std::string how;
            int64_t watch = 0;
            if (!platform::Open_Text_Editor(&how, &watch)) {
                uint32_t error = platform::Get_Last_Error();
                frame.check();
                frame.comment("cannot start " + how);
                // The operator sees nothing else happen: the strip says what failed.
                std::string why = platform::System_Message(error);
                while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
                Status_Verdict("Edit: cannot start " + how + ": " + why, false);
            } else {
                // An editor that starts and fails at once shows nothing either: it is
                // watched for its first seconds.
                editors.push_back({watch, how});
                win::Set_Timer(win::Frame_Window, Edit_Watch_Timer_Id, Edit_Watch_Tick_Ms);
            }
            break;
        }
        case IDM_Send_To_Device:
            Send_File();
            break;
        case IDM_QuickMove: {
            int32_t client = win::Mdi_Client;
            HWND dialog = CreateQuickMoveSingle(&client);
            win::Set_Parent(dialog, win::Mdi_Client);
            ShowQuickMoveSingle();
            break;
        }
        case IDM_Terminal:
            if (!Checked(IDM_Terminal)) {
                Show_Terminal();
            } else {
                Check(IDM_Terminal, false);
                Serial_Terminal_Hide(win::Terminal_Dialog);
            }
            break;
        case IDM_KDX_Help: {
            if (!Checked(IDM_Terminal)) Show_Terminal();
            Ui_Exchange exchange;
            int32_t echo = 1;
            Serial_Port_Write(handle, "Help\r", &echo);
            break;
        }
        case IDM_KDX_Diagnostic: {
            Ui_Exchange exchange;
            std::string name = HTML_Template_Create();
            KDX_Report_Port_Keys(name);
            break;
        }
        case IDM_KDX_Test_USB_Commo: {
            Ui_Exchange exchange;
            KDX_Tester_USB_Commo(handle);
            Commo_Verdict();
            break;
        }
        case IDM_KDX_Test_Axis1_Program1:
        case IDM_KDX_Test_Axis2_Program2:
        case IDM_KDX_Test_Axis3_Program3:
        case IDM_KDX_Test_Axis4_Program4: {
            Ui_Exchange exchange;
            int32_t axis = id - IDM_KDX_Test_Memory;
            std::string outcome = KDX_Tester_Commo_Fill_Memory(handle, axis);
            Memory_Verdict(axis, outcome);
            break;
        }
        case IDM_Locate_KDX: {
            Show_Terminal();
            Ui_Exchange exchange;
            bool found = !KDX_Detect().empty();
            int64_t ports = win::Send_Message(win::Get_Dlg_Item(win::Terminal_Dialog, Port_List),
                                              win::CB_GETCOUNT);
            if (found)
                Status_Verdict("Locate: KDX found on " + Serial_Port_State.Name + " at " +
                                   std::to_string(Serial_Port_State.Baud),
                               true);
            else if (ports <= 0)
                Status_Verdict("Locate: no ports listed", false);
            else
                Status_Verdict("Locate: no controller answered on " + std::to_string(ports) +
                                   (ports == 1 ? " port" : " ports"),
                               false);
            break;
        }
        case IDM_Identify_Device: {
            Ui_Exchange exchange;
            KDX_Identify();
            break;
        }
        case IDM_App_Debug: {
            // The check mark follows the console, however it was opened (-Admin too).
            bool open = ErrCheck_Debug(2) != 0;
            ErrCheck_Debug(open ? 0 : 1);
            Check(IDM_App_Debug, ErrCheck_Debug(2) != 0);
            break;
        }
        default:
            break;
    }
}

}  // namespace

void Edit_Watch_Tick() {
    std::erase_if(editors, [](const Watched_Editor& e) {
        int32_t code = 0;
        platform::Watch_State state = platform::Program_Watch_Poll(e.Watch, code);
        if (state == platform::Watch_State::Watching) return false;
        if (state == platform::Watch_State::Exited && code != 0)
            Status_Verdict("Edit: " + e.How + " ended at once with exit code " +
                               std::to_string(code) + "; no editor is open",
                           false);
        return true;
    });
    if (editors.empty()) win::Kill_Timer(win::Frame_Window, Edit_Watch_Timer_Id);
}

void Frame_Command(int32_t id) {
    KDX_FRAME("Frame_Command", id);
    for (const auto& command : Commands) {
        if (command.Id != id) continue;
        if (command.Comment) ErrCheck_Comment(command.Comment);
        // A command given while an exchange waits would start another inside it.
        if (command.Exchange && Ui_Exchange_Refused()) {
            kdx_frame.comment("refused: an exchange is running");
            return;
        }
        Run(id, kdx_frame);
        return;
    }
}

bool Get_Open_File_Name(HWND owner, const std::string& title, std::string& file,
                        const std::string& initial_dir, const std::string& filter,
                        const std::string& default_ext, uint32_t& flags) {
    KDX_FRAME("Get_Open_File_Name", owner, title, file, initial_dir, filter, default_ext, flags);
    win::OPENFILENAME record;
    record.Owner = owner;
    record.Title = title;
    record.File = file;
    record.Initial_Dir = initial_dir;
    record.Filter = filter;
    record.Default_Ext = default_ext;
    record.Flags = flags;
    bool chosen;
    {
        Ui_Modal modal;
        chosen = win::Get_Open_File_Name(record);
    }
    if (chosen) file = record.File;
    flags = record.Flags;
    return kdx_frame.result(chosen);
}

void Send_File() {
    KDX_FRAME("Send_File");
    std::string path;
    uint32_t flags = 0;
    if (!Get_Open_File_Name(win::Frame_Window, "Send File", path, platform::Current_Directory(),
                            Send_File_Filter, "*.txt", flags)) {
        kdx_frame.comment("no file chosen");
        return;
    }
    // A port that hung up while the dialog asked is closed now, so nothing below takes it
    // for a line.
    if (Port_Is_Open() && platform::Comm_Hung_Up(Serial_Port_State.Handle))
        Serial_Terminal_Port_Hung_Up(Serial_Port_State.Handle);
    Ui_Exchange exchange;
    const bool port_open = Port_Is_Open();
    const std::string nothing_sent = "Send: no port open, nothing sent";
    KDX_Send_Outcome outcome;
    if (port_open) {
        outcome = KDX_Send_File(path);
    } else {
        // The Immediate Send window still gets the file's status lines; the strip says at
        // once, and keeps saying, that none of it went anywhere.
        Status_Verdict(nothing_sent, false);
        Progress_Hidden hidden;
        outcome = KDX_Send_File(path);
    }
    if (outcome.Status == KDX_Send_Status::Unreadable) {
        Serial_Port_Echo_Response_Status(outcome.Message + "\r");
        Status_Verdict("Send: " + outcome.Message, false);
        return;
    }
    if (!port_open) {
        Status_Verdict(nothing_sent, false);
        return;
    }
    // A send that ended whole or was stopped says so, not only that its progress finished; a
    // send the line cut short says how far it got, and a port that hung up is closed at once.
    const KDX_Progress& last = Progress_Last();
    const std::string counts = std::to_string(last.Done) + " of " + std::to_string(last.Total);
    std::string closed;
    if (outcome.Error == platform::ERROR_DEVICE_NOT_CONNECTED ||
        (Port_Is_Open() && platform::Comm_Hung_Up(Serial_Port_State.Handle)))
        closed = Serial_Terminal_Port_Hung_Up(Serial_Port_State.Handle);
    if (outcome.Status == KDX_Send_Status::Failed)
        Status_Verdict(
            File_Name_Of(path) + ": " + outcome.Message + (closed.empty() ? "" : "; " + closed),
            false);
    else if (!closed.empty())
        Status_Verdict(File_Name_Of(path) + ": " + closed + " during the send; " + counts +
                           " commands written, not all may have reached the controller",
                       false);
    // Complete means the line took every byte (the send waits for the driver's queue to empty).
    else if (outcome.Status == KDX_Send_Status::Sent)
        Status_Verdict(File_Name_Of(path) + ": Transmission Complete, " + counts +
                           (outcome.Bytes > 0
                                ? ", " + std::to_string(outcome.Bytes) + " bytes taken by the line"
                                : std::string()),
                       true);
    else if (outcome.Status == KDX_Send_Status::Stopped)
        Status_Say(File_Name_Of(path) + ": Transmission Stopped after " + counts);
}

}  // namespace kdx
