// The user interface: start-up and the message loop, the MDI frame and its commands, the
// Terminal dialog and the QuickMove dialog. Written against the plain window interface.
#pragma once
#include <cstdint>
#include <string>

#include "platform/window/window.h"
#include "protocol/kdx_progress.h"
#include "protocol/terminal_controls.h"

namespace kdx {

using win::HMENU;
using win::HWND;
using win::LPARAM;
using win::LRESULT;
using win::WPARAM;

// Frame menu commands.
enum : int32_t {
    IDM_Edit = 1001,
    IDM_Send_To_Device = 1002,
    IDM_Tools = 4024,
    IDM_QuickMove = 4034,
    IDM_Terminal = 4124,
    IDM_KDX_Help = 5024,
    IDM_KDX_Diagnostic = 5034,
    IDM_KDX_Serial_Number = 5124,
    IDM_KDX_Order_Numbers = 5125,
    IDM_KDX_Tester = 5224,
    IDM_KDX_Test_USB_Commo = 5234,
    IDM_KDX_Test_Memory = 5244,
    IDM_KDX_Test_Axis1_Program1 = 5245,
    IDM_KDX_Test_Axis2_Program2 = 5246,
    IDM_KDX_Test_Axis3_Program3 = 5247,
    IDM_KDX_Test_Axis4_Program4 = 5248,
    IDM_Locate_KDX = 5524,
    IDM_Identify_Device = 5624,
    IDM_KDX_Testing_Routines = 6024,
    IDM_App_Debug = 7024,
};

// QuickMove controls (the same ids in the Terminal's QuickMove group).
enum : int32_t {
    QuickMove_Group = 1124,
    QuickMove_Negative = 1125,
    QuickMove_Positive = 1126,
    QuickMove_Distance_Label = 1127,
    QuickMove_Distance = 1128,
    QuickMove_Velocity_Label = 1129,
    QuickMove_Velocity = 1130,
    QuickMove_Steps_Label = 1131,
    QuickMove_Speed_Label = 1132,
    QuickMove_Motor1 = 1133,
    QuickMove_Motor4 = 1136,
    QuickMove_Motor_Group = 1137,
    QuickMove_Auto_Reverse = 1138,
    QuickMove_Repeat = 1139,
};

// Private message: the traffic echo has documents waiting for the rich edits.
constexpr uint32_t WM_KDX_ECHO = win::WM_USER + 0x101;
// Private message to the Terminal: the port with this handle (wparam) hung up.
constexpr uint32_t WM_KDX_HANG_UP = win::WM_USER + 0x102;

// Start-up and the message loop.
int32_t WinMain(int32_t instance, int32_t previous, const std::string& arguments, int32_t show);
int32_t Main_Message_Loop();
// The argument text of a command line: the words after the program name, one blank apart.
std::string Command_Line_Arguments(int argc, char** argv);

// The MDI frame.
HWND Mdi_Parent_Create(int32_t& unused);
HWND Window_Create(const std::string& class_name, const std::string& caption, uint32_t style,
                   int32_t x, int32_t y, int32_t width, int32_t height, HWND parent, HMENU menu,
                   int32_t instance, int32_t& creation);
HMENU Menu_Bar_Create(HWND& frame);
HWND Mdi_Client_Create(HWND& frame);
LRESULT Frame_Window_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam);
// The frame's menu commands, by command id.
void Frame_Command(int32_t id);
// The frame's timer that watches the editors File > Edit started, and its handler (WM_TIMER
// with this id): one that ends at once with a failure is reported in the status strip.
constexpr uint64_t Edit_Watch_Timer_Id = 2;
void Edit_Watch_Tick();
// "Send to Device": asks for a file and sends it; a file that cannot be read is named with
// the reason in the Response window.
void Send_File();
// The open-file dialog (GetOpenFileNameA's arguments); false when no file was chosen.
bool Get_Open_File_Name(HWND owner, const std::string& title, std::string& file,
                        const std::string& initial_dir, const std::string& filter,
                        const std::string& default_ext, uint32_t& flags);

// Exchanges started by the operator on the user-interface thread. Their waits let the window
// work (it paints, shows progress and can be closed), so while one runs every command and
// control that would start another is kept from the operator and refused.
class Ui_Exchange {
  public:
    Ui_Exchange();
    ~Ui_Exchange();
    Ui_Exchange(const Ui_Exchange&) = delete;
    Ui_Exchange& operator=(const Ui_Exchange&) = delete;

  private:
    KDX_Operation operation_;
};
// True while an exchange runs on the user-interface thread.
bool Ui_Exchange_Running();
// True while the window works inside an exchange's wait: what the operator does then must
// not start an exchange.
bool Ui_Exchange_Refused();
// A message that must wait until the running exchange has ended (a device change); posted
// again then.
void Ui_Defer_Message(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam);
// A modal dialog of a command (the file dialog) while it asks, from constructor to destructor.
class Ui_Modal {
  public:
    Ui_Modal();
    ~Ui_Modal();
    Ui_Modal(const Ui_Modal&) = delete;
    Ui_Modal& operator=(const Ui_Modal&) = delete;
};
bool Ui_Modal_Running();
// The frame was asked to close during an exchange or while a command's dialog asks: the
// exchange is asked to stop after its current command, the dialog is cancelled, and the frame
// closes once both have ended (its windows cannot go while a loop inside them runs).
void Ui_Close_After_Exchange();
// A failure the status strip shows and keeps showing (beside the progress of an operation
// that runs on) until the operator starts something.
void Ui_Status_Notice(const std::string& text);
// The notice the strip keeps saying ("" when none).
const std::string& Ui_Status_Notice_Now();
// Installs the wait pump and the progress display on the calling (user-interface) thread,
// and removes them again.
void Long_Operations_Install();
void Long_Operations_Remove();
// Control characters shown as <0D>, so a text stays on one line and shows what it holds.
std::string Visible_Controls(const std::string& text);
// The progress of a long operation as the status strip shows it.
std::string Progress_Text(const KDX_Progress& progress);
// The last progress the strip showed (what a verdict counts from).
const KDX_Progress& Progress_Last();

// The status strip. Its permanent part names the open port and its rate ("No port open");
// the text beside it says what the last operation came to, coloured when it is a verdict.
// That text goes (Status_Clear) when another operation starts, and Status_Port_Show drops it
// once the port differs from the one it was said beside.
bool Port_Is_Open();
void Status_Port_Show();
void Status_Say(const std::string& text);
void Status_Verdict(const std::string& text, bool passed);
void Status_Clear();
// While one lives, an operation's progress stays out of the strip (a send without a port
// would show its pacing as if the file went out).
class Progress_Hidden {
  public:
    Progress_Hidden();
    ~Progress_Hidden();
    Progress_Hidden(const Progress_Hidden&) = delete;
    Progress_Hidden& operator=(const Progress_Hidden&) = delete;
};
// True when a port is open; else the strip says to open one first (nothing is sent).
bool Port_Ready();

// The Terminal dialog.
extern HMENU Terminal_Menu_Bar;
extern win::Window_Proc Previous_Edit_Proc_Sent;
extern win::Window_Proc Previous_Edit_Proc_Received;
HWND Serial_Terminal_Create(const int32_t* parent = nullptr);
int32_t Serial_Terminal_Show(HWND& dialog);
int32_t Serial_Terminal_Show_Modeless(HWND& dialog);
int32_t Serial_Terminal_Hide(HWND& dialog);
int32_t Serial_Terminal_Destroy(HWND& dialog);
HWND Serial_Terminal_Port_Label(HWND& dialog);
HWND Serial_Terminal_Port_Combo(HWND& dialog);
// Fills the port list with the machine's ports, writing each one's COM name arbiter line.
void Serial_Terminal_Port_Fill(HWND list);
// The open port (this handle) hung up: it is closed and shown closed, and the Response window
// and the status strip say so, so nothing typed afterwards seems sent. Returns what was said
// ("" when that port is no longer the open one).
std::string Serial_Terminal_Port_Hung_Up(int32_t port);
// Why the Terminal could not open a port, as its status line says it.
std::string Port_Open_Failure_Text(const std::string& port, int32_t cause, uint32_t code);
int64_t Serial_Terminal_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam);
int64_t Serial_Terminal_Edit_Callback(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam);
LRESULT Serial_Terminal_Edit_Subclass(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam);
// Where a picture file of the Terminal is read from: the current directory when it is
// there, else the program's own folder.
std::string Picture_Path(const std::string& name);

// The traffic echo into the Terminal's rich edits.
int64_t Rich_Edit_Send(HWND window, const std::string& rtf);
uint32_t Rich_Edit_Stream_In(uintptr_t cookie, uint8_t* buffer, int32_t size, int32_t* delivered);
// Installs the rich-edit sink and hands the echo queue to the calling (user-interface) thread;
// Echo_Window_Remove undoes it.
// The program's windows as start-up makes them: the frame, the Terminal inside it with the
// echo and long operations wired to it, the diagnostic run, "&Terminal" checked and the
// Terminal shown. The message loop is the caller's.
void Main_Windows_Create();
void Echo_Window_Install();
// Takes the "Terminal Log" check mark off, with a status line saying why, when the log the
// operator switched on is not open; called after each echo reaches the window.
void Terminal_Log_Check();
void Echo_Window_Remove();
// The handler of WM_KDX_ECHO: applies the documents waiting.
void Echo_Queue_Apply_Posted();
// The frame's timer that paces a stream's echo, and its handler (WM_TIMER with this id).
constexpr uint64_t Echo_Timer_Id = 1;
void Echo_Window_Tick();

// The QuickMove dialog.
extern int32_t QuickMove_Motor;
extern HWND QuickMove_Dialog;
HWND CreateQuickMoveSingle(const int32_t* parent = nullptr);
int32_t ShowQuickMoveSingle();
int32_t HideQuickMoveSingle();
int32_t IsOpenQuickMoveSingle();
int64_t QuickMoveSingleProc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam);
int64_t Tooltip_Add(HWND dialog, int32_t id, const std::string& text);

// A move command of the QuickMove controls of a dialog. The distance box loses its minus
// signs; with clamp the velocity box is limited to 6000. prefix is "F,C,S" (QuickMove
// dialog) or "F,PM-0,S" (Terminal); the repeat field carries the count plus repeat_add.
std::string QuickMove_Command(HWND dialog, bool positive, const std::string& prefix, bool clamp,
                              int32_t repeat_add);
// Value of a number text as the boxes take it: leading blanks, a sign, digits and a decimal
// point; anything else ends the number (no number is 0).
double Text_Value(const std::string& text);
// A number with at most four decimals, without spaces (whole numbers without a point).
std::string Fixed_Text(double value);

}  // namespace kdx
