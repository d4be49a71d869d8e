// The plain (Qt-free) face of the window layer: window handles, dialogs built from control
// tables in dialog units, control ids, messages with their Win32 numbers, menus addressed by
// command id, and the few window operations the user-interface procedures call. The Qt side
// installs a backend; until it does (command line, tests) every call does nothing and
// returns 0.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kdx::win {

using HWND = int32_t;
using HMENU = int32_t;
using WPARAM = uint64_t;
using LPARAM = int64_t;
using LRESULT = int64_t;

// A window procedure, and a dialog procedure or control callback (1 handled, 0 not).
using Window_Proc = LRESULT (*)(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam);
using Dialog_Proc = int64_t (*)(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam);

// Window globals, set once by start-up; 0 while there is no such window.
extern HWND Frame_Window;
extern HWND Menu_Bar;
extern HWND Mdi_Client;
extern HWND Terminal_Dialog;

enum : uint32_t {
    WM_CREATE = 0x0001,
    WM_DESTROY = 0x0002,
    WM_MOVE = 0x0003,
    WM_SIZE = 0x0005,
    WM_SETFOCUS = 0x0007,
    WM_SETTEXT = 0x000C,
    WM_GETTEXT = 0x000D,
    WM_GETTEXTLENGTH = 0x000E,
    WM_PAINT = 0x000F,
    WM_CLOSE = 0x0010,
    WM_QUERYENDSESSION = 0x0011,
    WM_QUIT = 0x0012,
    WM_NOTIFY = 0x004E,
    WM_KEYDOWN = 0x0100,
    WM_KEYUP = 0x0101,
    WM_CHAR = 0x0102,
    WM_INITDIALOG = 0x0110,
    WM_COMMAND = 0x0111,
    WM_SYSCOMMAND = 0x0112,
    WM_TIMER = 0x0113,
    WM_LBUTTONDOWN = 0x0201,
    WM_DEVICECHANGE = 0x0219,
    WM_MDIGETACTIVE = 0x0229,
    WM_USER = 0x0400,

    BM_GETCHECK = 0x00F0,
    BM_SETCHECK = 0x00F1,
    BM_CLICK = 0x00F5,
    BST_UNCHECKED = 0,
    BST_CHECKED = 1,

    EM_SETSEL = 0x00B1,
    EM_LIMITTEXT = 0x00C5,
    EM_EXSETSEL = 0x0437,
    EM_SETCHARFORMAT = 0x0444,
    EM_SETBKGNDCOLOR = 0x0443,
    EM_STREAMIN = 0x0449,
    EM_GETLIMITTEXT = 0x00D5,

    CB_GETCOUNT = 0x0146,
    CB_GETCURSEL = 0x0147,
    CB_GETLBTEXT = 0x0148,
    CB_GETLBTEXTLEN = 0x0149,
    CB_ADDSTRING = 0x0143,
    CB_RESETCONTENT = 0x014B,
    CB_SETCURSEL = 0x014E,
    CB_ERR = 0xFFFFFFFF,

    TTM_ADDTOOLA = 0x0404,
    TTM_DELTOOLA = 0x0405,
    TTM_GETTOOLINFOA = 0x0408,
    TTM_SETDELAYTIME = 0x0403,
    TTM_SETMAXTIPWIDTH = 0x0418,
    TTDT_AUTOPOP = 2,
    TTS_NOPREFIX = 0x02,
    TTF_IDISHWND = 0x01,
    TTF_SUBCLASS = 0x10,
};

// Notification codes (high word of WM_COMMAND's wparam).
enum : uint32_t {
    BN_CLICKED = 0,
    BN_SETFOCUS = 6,
    BN_KILLFOCUS = 7,
    CBN_SELCHANGE = 1,
    CBN_SETFOCUS = 3,
    CBN_KILLFOCUS = 4,
    CBN_DROPDOWN = 7,
    CBN_CLOSEUP = 8,
    CBN_SELENDOK = 9,
    EN_SETFOCUS = 0x0100,
    EN_KILLFOCUS = 0x0200,
    EN_CHANGE = 0x0300,
};

enum : uint32_t {
    SC_CLOSE = 0xF060,
    SW_HIDE = 0,
    SW_SHOWNORMAL = 1,
    SW_MAXIMIZE = 3,
    SW_SHOW = 5,
    MF_STRING = 0x0000,
    MF_POPUP = 0x0010,
    MF_SEPARATOR = 0x0800,
    MF_UNCHECKED = 0x0000,
    MF_CHECKED = 0x0008,
    MFS_CHECKED = 0x0008,
    SF_RTF = 0x0002,
    SFF_SELECTION = 0x8000,
    SFF_PLAINRTF = 0x4000,
    SCF_SELECTION = 0x0001,
    CFM_COLOR = 0x40000000,
};

// Window styles the control tables use.
enum : uint32_t {
    WS_OVERLAPPEDWINDOW = 0x00CF0000,
    WS_POPUP = 0x80000000,
    WS_CHILD = 0x40000000,
    WS_VISIBLE = 0x10000000,
    WS_DISABLED = 0x08000000,
    WS_CLIPSIBLINGS = 0x04000000,
    WS_CLIPCHILDREN = 0x02000000,
    WS_CAPTION = 0x00C00000,
    WS_VSCROLL = 0x00200000,
    WS_HSCROLL = 0x00100000,
    WS_SYSMENU = 0x00080000,
    WS_GROUP = 0x00020000,
    WS_TABSTOP = 0x00010000,
    WS_MINIMIZEBOX = 0x00020000,
    WS_MAXIMIZEBOX = 0x00010000,
    WS_EX_TRANSPARENT = 0x00000020,
    WS_EX_CLIENTEDGE = 0x00000200,
    WS_EX_CONTROLPARENT = 0x00010000,
    DS_MODALFRAME = 0x80,
    DS_SETFONT = 0x40,
    DS_3DLOOK = 0x04,
    DS_NOFAILCREATE = 0x10,
    DS_CENTER = 0x0800,
    BS_PUSHBUTTON = 0x0,
    BS_DEFPUSHBUTTON = 0x1,
    BS_AUTOCHECKBOX = 0x3,
    BS_GROUPBOX = 0x7,
    BS_AUTORADIOBUTTON = 0x9,
    BS_LEFT = 0x100,
    BS_CENTER = 0x300,
    ES_CENTER = 0x1,
    ES_MULTILINE = 0x4,
    ES_AUTOVSCROLL = 0x40,
    ES_AUTOHSCROLL = 0x80,
    ES_NOHIDESEL = 0x100,
    ES_WANTRETURN = 0x1000,
    CBS_DROPDOWNLIST = 0x3,
    SS_OWNERDRAW = 0xD,
    SS_SUNKEN = 0x1000,
};

// Control kinds (the Win32 window classes they stand for).
enum class Control_Kind { Label, Edit, Button, Combo, Rich_Edit, Graphic };

// One row of a control table; position and size in dialog units.
struct Control_Template {
    int32_t Id = -1;
    Control_Kind Kind = Control_Kind::Label;
    std::string Caption;
    int32_t X = 0, Y = 0, Width = 0, Height = 0;
    uint32_t Style = 0;  // WS_CHILD | WS_VISIBLE are implied
    uint32_t Ex_Style = 0;
    Dialog_Proc Callback = nullptr;
};

struct Dialog_Template {
    std::string Caption;
    int32_t Width = 0, Height = 0;  // dialog units
    uint32_t Style = 0;
    uint32_t Ex_Style = 0;
};

// The rich edit's stream-in record (EM_STREAMIN's lparam); the callback is called until it
// delivers 0 bytes.
using Edit_Stream_Callback = uint32_t (*)(uintptr_t cookie, uint8_t* buffer, int32_t size,
                                          int32_t* delivered);
struct EDITSTREAM {
    uintptr_t dwCookie = 0;
    uint32_t dwError = 0;
    Edit_Stream_Callback pfnCallback = nullptr;
};
struct CHARRANGE {
    int32_t cpMin = 0;
    int32_t cpMax = 0;
};
struct CHARFORMAT {
    uint32_t cbSize = 60;
    uint32_t dwMask = 0;
    uint32_t dwEffects = 0;
    int32_t yHeight = 0;
    int32_t yOffset = 0;
    uint32_t crTextColor = 0;  // 0x00BBGGRR
};
// The tooltip's tool record (TTM_ADDTOOLA and friends).
struct TOOLINFO {
    uint32_t cbSize = 48;
    uint32_t uFlags = 0;
    HWND hwnd = 0;
    HWND uId = 0;
    std::string lpszText;
};
constexpr uint32_t RGB(uint8_t r, uint8_t g, uint8_t b) {
    return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16;
}
constexpr uint16_t LOWORD(uint64_t v) {
    return uint16_t(v & 0xFFFF);
}
constexpr uint16_t HIWORD(uint64_t v) {
    return uint16_t((v >> 16) & 0xFFFF);
}
constexpr WPARAM MAKEWPARAM(uint16_t low, uint16_t high) {
    return WPARAM(low) | WPARAM(high) << 16;
}

// The open-file dialog's record (GetOpenFileNameA): File receives the chosen path.
struct OPENFILENAME {
    HWND Owner = 0;
    std::string Title;
    std::string File;
    std::string Initial_Dir;
    // A bare pattern ("*.*": every file), or named filters, the first one chosen at first:
    // "Program files (*.kdx *.KDX);;All files (*)".
    std::string Filter;
    std::string Default_Ext;  // "*.txt" or "txt": added to a typed name without one
    uint32_t Flags = 0;
};

// How the status strip's text reads: plain, or the verdict of an operation that passed or
// failed (each in a colour of readable contrast).
enum class Status_Tone { Plain, Passed, Failed };

class Backend {
  public:
    virtual ~Backend() = default;
    virtual bool Set_Dlg_Item_Text(HWND dialog, int32_t id, const std::string& text) = 0;
    virtual std::string Get_Dlg_Item_Text(HWND dialog, int32_t id) = 0;
    virtual int64_t Send_Message(HWND window, uint32_t message, uint64_t wparam,
                                 int64_t lparam) = 0;
    virtual bool Post_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) = 0;
    virtual bool Invalidate_Rect(HWND /*window*/, bool /*erase*/) { return false; }
    virtual bool Update_Window(HWND /*window*/) { return false; }
    virtual bool Set_Timer(HWND /*window*/, uint64_t /*id*/, uint32_t /*ms*/) { return false; }
    virtual bool Kill_Timer(HWND /*window*/, uint64_t /*id*/) { return false; }

    // The rest have no use without a display; the defaults do nothing.
    virtual HWND Create_Frame(const std::string& /*caption*/, int32_t /*width*/, int32_t /*height*/,
                              Window_Proc /*proc*/) {
        return 0;
    }
    virtual HWND Create_Mdi_Client(HWND /*frame*/) { return 0; }
    virtual LRESULT Def_Frame_Proc(HWND, HWND, uint32_t, WPARAM, LPARAM) { return 0; }
    virtual LRESULT Def_Window_Proc(HWND, uint32_t, WPARAM, LPARAM) { return 0; }
    virtual HWND Create_Dialog(const Dialog_Template& /*dialog*/, HWND /*parent*/) { return 0; }
    virtual HWND Create_Control(HWND /*dialog*/, const Control_Template& /*control*/) { return 0; }
    virtual HWND Get_Dlg_Item(HWND /*dialog*/, int32_t /*id*/) { return 0; }
    virtual bool Set_Dialog_Proc(HWND /*dialog*/, Dialog_Proc /*proc*/) { return false; }
    virtual Window_Proc Set_Window_Proc(HWND /*control*/, Window_Proc /*proc*/) { return nullptr; }
    virtual HMENU Create_Menu(bool /*popup*/) { return 0; }
    virtual bool Append_Menu(HMENU /*menu*/, uint32_t /*flags*/, uint64_t /*id_or_popup*/,
                             const std::string& /*text*/) {
        return false;
    }
    virtual bool Set_Menu(HWND /*window*/, HMENU /*menu*/) { return false; }
    virtual int32_t Get_Menu_State(HMENU /*menu*/, uint32_t /*id*/) { return -1; }
    virtual bool Set_Menu_State(HMENU /*menu*/, uint32_t /*id*/, uint32_t /*state*/) {
        return false;
    }
    virtual bool Set_Parent(HWND /*child*/, HWND /*parent*/) { return false; }
    virtual bool Show_Window(HWND /*window*/, int32_t /*command*/) { return false; }
    virtual bool Enable_Window(HWND /*window*/, bool /*enable*/) { return false; }
    virtual bool Is_Window(HWND /*window*/) { return false; }
    virtual bool Is_Window_Visible(HWND /*window*/) { return false; }
    virtual bool Is_Window_Enabled(HWND /*window*/) { return false; }
    virtual bool Set_Focus(HWND /*window*/) { return false; }
    virtual bool Destroy_Window(HWND /*window*/) { return false; }
    virtual bool Load_Picture(HWND /*graphic*/, const std::string& /*path*/) { return false; }
    virtual HWND Create_Tooltip(HWND /*parent*/, uint32_t /*style*/) { return 0; }
    virtual void Post_Quit_Message(int32_t /*code*/) {}
    virtual int32_t Message_Loop() { return 0; }
    virtual bool Block_Input(HWND /*window*/, bool /*block*/) { return false; }
    virtual bool Enable_Menu_Item(HMENU /*menu*/, uint32_t /*id*/, bool /*enable*/) {
        return false;
    }
    virtual bool Set_Status(HWND /*frame*/, const std::string& /*text*/, int64_t /*done*/,
                            int64_t /*total*/) {
        return false;
    }
    virtual bool Set_Status_Tone(HWND /*frame*/, Status_Tone /*tone*/) { return false; }
    virtual bool Set_Status_Port(HWND /*frame*/, const std::string& /*text*/) { return false; }
    virtual bool Get_Open_File_Name(OPENFILENAME& /*record*/) { return false; }
    virtual bool End_Modal_Dialogs() { return false; }
    virtual void Pump_Messages(uint32_t /*ms*/) {}
};

// Installs (or with null removes) the backend.
void Set_Backend(Backend* backend);

bool Set_Dlg_Item_Text(HWND dialog, int32_t id, const std::string& text);
std::string Get_Dlg_Item_Text(HWND dialog, int32_t id);
int64_t Send_Message(HWND window, uint32_t message, uint64_t wparam = 0, int64_t lparam = 0);
// Delivered later on the user-interface thread, in the order posted, from any thread.
bool Post_Message(HWND window, uint32_t message, uint64_t wparam = 0, int64_t lparam = 0);
// Marks the whole client area for repainting (erasing the background when asked), and
// paints what is marked at once: how a long exchange shows its echo before it returns.
bool Invalidate_Rect(HWND window, bool erase);
bool Update_Window(HWND window);
// WM_TIMER (wparam: the id) to the window's procedure every ms milliseconds, on the
// user-interface thread, until killed or the window goes; setting a running timer restarts
// it with the new period. Call both on that thread.
bool Set_Timer(HWND window, uint64_t id, uint32_t ms);
bool Kill_Timer(HWND window, uint64_t id);

// The frame: a top-level window with a menu bar whose client area is the MDI client.
HWND Create_Frame(const std::string& caption, int32_t width, int32_t height, Window_Proc proc);
HWND Create_Mdi_Client(HWND frame);
// Default handling of a frame message (WM_CLOSE destroys the frame, which then gets
// WM_DESTROY), and of any other window's.
LRESULT Def_Frame_Proc(HWND frame, HWND mdi_client, uint32_t message, WPARAM wparam, LPARAM lparam);
LRESULT Def_Window_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam);

// A dialog built at run time, hidden until shown, without a procedure until one is attached.
HWND Create_Dialog(const Dialog_Template& dialog, HWND parent);
// One control of a dialog; its handle.
HWND Create_Control(HWND dialog, const Control_Template& control);
HWND Get_Dlg_Item(HWND dialog, int32_t id);
// Attaches the dialog procedure; the first attach sends WM_INITDIALOG.
bool Set_Dialog_Proc(HWND dialog, Dialog_Proc proc);
// Subclassing: replaces a control's window procedure and returns the one before it (a
// control starts with Def_Window_Proc).
Window_Proc Set_Window_Proc(HWND control, Window_Proc proc);
LRESULT Call_Window_Proc(Window_Proc proc, HWND window, uint32_t message, WPARAM wparam,
                         LPARAM lparam);

HMENU Create_Menu();
HMENU Create_Popup_Menu();
bool Append_Menu(HMENU menu, uint32_t flags, uint64_t id_or_popup, const std::string& text);
bool Set_Menu(HWND window, HMENU menu);
// The item's state bits (MFS_CHECKED), -1 when no item has that command id.
int32_t Get_Menu_State(HMENU menu, uint32_t id);
bool Set_Menu_State(HMENU menu, uint32_t id, uint32_t state);
bool Check_Menu_Item(HMENU menu, uint32_t id, uint32_t check);

bool Set_Parent(HWND child, HWND parent);
bool Show_Window(HWND window, int32_t command);
bool Enable_Window(HWND window, bool enable);
bool Is_Window(HWND window);
bool Is_Window_Visible(HWND window);
bool Is_Window_Enabled(HWND window);
bool Set_Focus(HWND window);
bool Destroy_Window(HWND window);
bool Check_Radio_Button(HWND dialog, int32_t first, int32_t last, int32_t id);
// Draws a bitmap file stretched into an owner-drawn graphic; false when it cannot be read.
bool Load_Picture(HWND graphic, const std::string& path);
HWND Create_Tooltip(HWND parent, uint32_t style);

// Keeps the operator's input away from a control while a long exchange runs, without
// changing what procedures see: it looks disabled, takes no clicks or keys, and a procedure's
// own BM_CLICK and Enable_Window still work (the state shows again once unblocked).
bool Block_Input(HWND window, bool block);
// Greys a menu item (by command id) or makes it usable again.
bool Enable_Menu_Item(HMENU menu, uint32_t id, bool enable);
// The frame's status strip: a text and, while total > 0, a bar showing done of total.
bool Set_Status(HWND frame, const std::string& text, int64_t done = 0, int64_t total = 0);
// Colours the strip's text until the next Set_Status (which makes it plain again).
bool Set_Status_Tone(HWND frame, Status_Tone tone);
// The strip's permanent part: which port is open and at what rate.
bool Set_Status_Port(HWND frame, const std::string& text);
// Asks the operator for an existing file (a modal dialog); false when none was chosen.
bool Get_Open_File_Name(OPENFILENAME& record);
// Ends every modal dialog still asking (as its Cancel would): its own loop returns first, so
// whatever opened it can finish before its owner goes. True when one was open.
bool End_Modal_Dialogs();
// Lets the user-interface thread handle its events for about ms milliseconds (once when 0),
// waiting without spinning: the wait pump of long exchanges.
void Pump_Messages(uint32_t ms);

// Ends the message loop with code once the current message is handled.
void Post_Quit_Message(int32_t code);
// Runs the message loop until the quit message; its code.
int32_t Message_Loop();

}  // namespace kdx::win
