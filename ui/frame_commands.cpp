// The frame's menu commands, dispatched by command id. Each handler starts with the trace
// comment of its command.
#include "platform/os/error.h"
#include "platform/os/process.h"
#include "platform/os/system.h"
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

std::string File_Name_Of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

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

// The communication test's verdict from its last progress report (queries answered).
void Commo_Verdict() {
    if (!Port_Is_Open()) {
        Port_Ready();
        return;
    }
    const KDX_Progress& last = Progress_Last();
    int64_t total = KDX_Commo_Queries;
    int64_t answered = last.Operation == "Testing USB" ? last.Done : 0;
    if (KDX_Tester_Passed())
        Status_Verdict("Communication test PASSED, " + std::to_string(answered) + " of " +
                           std::to_string(total),
                       true);
    else if (KDX_Stop_Requested())
        Status_Say("Communication test stopped, " + std::to_string(answered) + " of " +
                   std::to_string(total) + " answered");
    else
        Status_Verdict("Communication test FAILED: " + std::to_string(total - answered) +
                           " queries unanswered",
                       false);
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
            if (!platform::Open_Text_Editor(&how)) {
                uint32_t error = platform::Get_Last_Error();
                frame.check();
                frame.comment("cannot start " + how);
                // The operator sees nothing else happen: the strip says what failed.
                std::string why = platform::System_Message(error);
                while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
                win::Set_Status(win::Frame_Window, "Edit: cannot start " + how + ": " + why);
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
                            "*.*", "*.txt", flags)) {
        kdx_frame.comment("no file chosen");
        return;
    }
    Ui_Exchange exchange;
    KDX_Send_Outcome outcome = KDX_Send_File(path);
    if (outcome.Status == KDX_Send_Status::Unreadable)
        Serial_Port_Echo_Response_Status(outcome.Message + "\r");
    // A send the line cut short says how far it got where the progress was shown; a port that
    // hung up is closed at once, and the strip keeps both.
    // A send that ended whole or was stopped says so, not only that its progress finished.
    const KDX_Progress& last = Progress_Last();
    const std::string counts = std::to_string(last.Done) + " of " + std::to_string(last.Total);
    // Complete means the line took every byte (the send waits for the driver's queue to empty).
    if (outcome.Status == KDX_Send_Status::Sent)
        Status_Verdict(File_Name_Of(path) + ": Transmission Complete, " + counts +
                           (outcome.Bytes > 0
                                ? ", " + std::to_string(outcome.Bytes) + " bytes taken by the line"
                                : std::string()),
                       true);
    else if (outcome.Status == KDX_Send_Status::Stopped)
        Status_Say(File_Name_Of(path) + ": Transmission Stopped after " + counts);
    if (outcome.Status == KDX_Send_Status::Failed) {
        std::string closed;
        if (outcome.Error == platform::ERROR_DEVICE_NOT_CONNECTED)
            closed = Serial_Terminal_Port_Hung_Up(Serial_Port_State.Handle);
        Status_Verdict(
            File_Name_Of(path) + ": " + outcome.Message + (closed.empty() ? "" : "; " + closed),
            false);
    }
}

}  // namespace kdx
