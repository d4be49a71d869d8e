// Long exchanges on the user-interface thread: their pauses run the window's event loop (it
// paints, shows how far the operation is and can be closed), and meanwhile every command and
// control that would start another exchange is kept from the operator.
#include <thread>
#include <vector>

#include "platform/os/system.h"
#include "ui/ui.h"

namespace kdx {

namespace {

struct Deferred {
    HWND Window;
    uint32_t Message;
    WPARAM Wparam;
    LPARAM Lparam;
};

int depth = 0;    // exchanges running on the user-interface thread (nested count)
int pumping = 0;  // inside the wait pump
bool blocked = false;
bool close_pending = false;
int modal = 0;       // modal dialogs a command shows (the file dialog)
std::string notice;  // a failure the strip keeps saying until the operator starts something
std::vector<Deferred> deferred;
std::thread::id ui_thread;
KDX_Progress last_progress;
int progress_hidden = 0;

// What would start an exchange: the Terminal's and the QuickMove dialog's controls, and
// the menu items.
const int32_t Terminal_Controls[] = {
    OptPortOpen,       OptPortClosed,     Port_List,          CmbBaudRate,
    Cmd_Send,          Cmd_Set_Id + 1,    Cmd_Set_Id + 2,     Cmd_Set_Id + 3,
    Cmd_Set_Id + 4,    Cmd_Flash_Led + 1, Cmd_Flash_Led + 2,  Cmd_Flash_Led + 3,
    Cmd_Flash_Led + 4, Cmd_Refresh_Ids,   QuickMove_Negative, QuickMove_Positive,
};
const int32_t Quick_Move_Controls[] = {QuickMove_Negative, QuickMove_Positive};
const int32_t Frame_Items[] = {
    IDM_Send_To_Device,
    IDM_KDX_Help,
    IDM_Locate_KDX,
    IDM_Identify_Device,
    IDM_KDX_Test_USB_Commo,
    IDM_KDX_Test_Axis1_Program1,
    IDM_KDX_Test_Axis2_Program2,
    IDM_KDX_Test_Axis3_Program3,
    IDM_KDX_Test_Axis4_Program4,
};

void Block(bool on) {
    blocked = on;
    for (int32_t id : Terminal_Controls)
        win::Block_Input(win::Get_Dlg_Item(win::Terminal_Dialog, id), on);
    for (int32_t id : Quick_Move_Controls)
        win::Block_Input(win::Get_Dlg_Item(QuickMove_Dialog, id), on);
    for (int32_t id : Frame_Items) win::Enable_Menu_Item(win::Menu_Bar, uint32_t(id), !on);
    win::Enable_Menu_Item(Terminal_Menu_Bar, IDM_Refresh_Ports, !on);
}

// The wait pump: the first wait of an exchange takes the operator's way to others.
void Pump(uint32_t ms) {
    if (depth > 0 && !blocked) Block(true);
    ++pumping;
    win::Pump_Messages(ms);
    --pumping;
}

// The frame closes once nothing that was running when it was asked to is left.
void Close_If_Pending() {
    if (!close_pending || depth > 0 || modal > 0) return;
    close_pending = false;
    win::Post_Message(win::Frame_Window, win::WM_CLOSE);
}

}  // namespace

Ui_Exchange::Ui_Exchange() {
    if (depth++ > 0) return;
    // The operator has seen the notice and acts; the last verdict was another operation's.
    notice.clear();
    Status_Clear();
}

Ui_Exchange::~Ui_Exchange() {
    if (--depth > 0) return;
    if (blocked) Block(false);
    std::vector<Deferred> waiting;
    waiting.swap(deferred);
    for (const auto& m : waiting) win::Post_Message(m.Window, m.Message, m.Wparam, m.Lparam);
    Close_If_Pending();
}

Ui_Modal::Ui_Modal() {
    ++modal;
}

Ui_Modal::~Ui_Modal() {
    --modal;
    Close_If_Pending();
}

bool Ui_Modal_Running() {
    return modal > 0;
}

bool Ui_Exchange_Running() {
    return depth > 0;
}

bool Ui_Exchange_Refused() {
    return pumping > 0;
}

void Ui_Defer_Message(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    deferred.push_back({window, message, wparam, lparam});
}

void Ui_Close_After_Exchange() {
    KDX_Request_Stop();
    // A dialog's loop ends first (as cancelled); the frame goes once its command has ended.
    win::End_Modal_Dialogs();
    close_pending = true;
}

std::string Visible_Controls(const std::string& text) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c < 32 || c == 127) {
            out += '<';
            out += Hex[c >> 4];
            out += Hex[c & 15];
            out += '>';
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string Progress_Text(const KDX_Progress& p) {
    std::string text = p.Operation;
    if (p.Item.empty())
        return text + ": finished, " + std::to_string(p.Done) + " of " + std::to_string(p.Total);
    return text + ": " + Visible_Controls(p.Item) + " (" + std::to_string(p.Done + 1) + " of " +
           std::to_string(p.Total) + ")";
}

void Long_Operations_Install() {
    ui_thread = std::this_thread::get_id();
    platform::Set_Sleep_Hook([](uint32_t ms) { Pump(ms); });
    KDX_Set_Progress_Hook([](const KDX_Progress& p) {
        // Only the window's own thread may touch it.
        if (std::this_thread::get_id() != ui_thread) return;
        last_progress = p;
        if (progress_hidden > 0) return;
        std::string text = Progress_Text(p);
        if (!notice.empty()) text += "  |  " + notice;
        win::Set_Status(win::Frame_Window, text, p.Done, p.Item.empty() ? 0 : p.Total);
    });
}

void Ui_Status_Notice(const std::string& text) {
    notice = text;
    win::Set_Status(win::Frame_Window, text);
    win::Set_Status_Tone(win::Frame_Window, win::Status_Tone::Failed);
}

const std::string& Ui_Status_Notice_Now() {
    return notice;
}

Progress_Hidden::Progress_Hidden() {
    ++progress_hidden;
}

Progress_Hidden::~Progress_Hidden() {
    --progress_hidden;
}

const KDX_Progress& Progress_Last() {
    return last_progress;
}

void Long_Operations_Remove() {
    KDX_Set_Progress_Hook(nullptr);
    platform::Set_Sleep_Hook(nullptr);
}

}  // namespace kdx
