#include "platform/window/window.h"

#include <atomic>

namespace kdx::win {

HWND Frame_Window = 0;
HWND Menu_Bar = 0;
HWND Mdi_Client = 0;
HWND Terminal_Dialog = 0;

namespace {
std::atomic<Backend*> backend{nullptr};

// Calls f on the installed backend, or gives fallback without one.
template <class R, class F>
R With(R fallback, F&& f) {
    Backend* b = backend.load();
    return b ? f(*b) : fallback;
}
}  // namespace

void Set_Backend(Backend* b) {
    backend.store(b);
}

bool Set_Dlg_Item_Text(HWND dialog, int32_t id, const std::string& text) {
    return dialog != 0 &&
           With(false, [&](Backend& b) { return b.Set_Dlg_Item_Text(dialog, id, text); });
}

std::string Get_Dlg_Item_Text(HWND dialog, int32_t id) {
    if (dialog == 0) return std::string();
    return With(std::string(), [&](Backend& b) { return b.Get_Dlg_Item_Text(dialog, id); });
}

int64_t Send_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) {
    if (window == 0) return 0;
    return With(int64_t(0),
                [&](Backend& b) { return b.Send_Message(window, message, wparam, lparam); });
}

bool Post_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) {
    return window != 0 &&
           With(false, [&](Backend& b) { return b.Post_Message(window, message, wparam, lparam); });
}

bool Invalidate_Rect(HWND window, bool erase) {
    return window != 0 && With(false, [&](Backend& b) { return b.Invalidate_Rect(window, erase); });
}

bool Update_Window(HWND window) {
    return window != 0 && With(false, [&](Backend& b) { return b.Update_Window(window); });
}

bool Set_Timer(HWND window, uint64_t id, uint32_t ms) {
    return window != 0 && With(false, [&](Backend& b) { return b.Set_Timer(window, id, ms); });
}

bool Kill_Timer(HWND window, uint64_t id) {
    return window != 0 && With(false, [&](Backend& b) { return b.Kill_Timer(window, id); });
}

HWND Create_Frame(const std::string& caption, int32_t width, int32_t height, Window_Proc proc) {
    return With(HWND(0), [&](Backend& b) { return b.Create_Frame(caption, width, height, proc); });
}

HWND Create_Mdi_Client(HWND frame) {
    return With(HWND(0), [&](Backend& b) { return b.Create_Mdi_Client(frame); });
}

LRESULT Def_Frame_Proc(HWND frame, HWND mdi_client, uint32_t message, WPARAM wparam,
                       LPARAM lparam) {
    return With(LRESULT(0), [&](Backend& b) {
        return b.Def_Frame_Proc(frame, mdi_client, message, wparam, lparam);
    });
}

LRESULT Def_Window_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) {
    return With(LRESULT(0),
                [&](Backend& b) { return b.Def_Window_Proc(window, message, wparam, lparam); });
}

HWND Create_Dialog(const Dialog_Template& dialog, HWND parent) {
    return With(HWND(0), [&](Backend& b) { return b.Create_Dialog(dialog, parent); });
}

HWND Create_Control(HWND dialog, const Control_Template& control) {
    if (dialog == 0) return 0;
    return With(HWND(0), [&](Backend& b) { return b.Create_Control(dialog, control); });
}

HWND Get_Dlg_Item(HWND dialog, int32_t id) {
    if (dialog == 0) return 0;
    return With(HWND(0), [&](Backend& b) { return b.Get_Dlg_Item(dialog, id); });
}

bool Set_Dialog_Proc(HWND dialog, Dialog_Proc proc) {
    return dialog != 0 && With(false, [&](Backend& b) { return b.Set_Dialog_Proc(dialog, proc); });
}

Window_Proc Set_Window_Proc(HWND control, Window_Proc proc) {
    if (control == 0) return nullptr;
    return With(Window_Proc(nullptr), [&](Backend& b) { return b.Set_Window_Proc(control, proc); });
}

LRESULT Call_Window_Proc(Window_Proc proc, HWND window, uint32_t message, WPARAM wparam,
                         LPARAM lparam) {
    return proc ? proc(window, message, wparam, lparam) : 0;
}

HMENU Create_Menu() {
    return With(HMENU(0), [](Backend& b) { return b.Create_Menu(false); });
}

HMENU Create_Popup_Menu() {
    return With(HMENU(0), [](Backend& b) { return b.Create_Menu(true); });
}

bool Append_Menu(HMENU menu, uint32_t flags, uint64_t id_or_popup, const std::string& text) {
    return menu != 0 &&
           With(false, [&](Backend& b) { return b.Append_Menu(menu, flags, id_or_popup, text); });
}

bool Set_Menu(HWND window, HMENU menu) {
    return window != 0 && With(false, [&](Backend& b) { return b.Set_Menu(window, menu); });
}

int32_t Get_Menu_State(HMENU menu, uint32_t id) {
    if (menu == 0) return -1;
    return With(int32_t(-1), [&](Backend& b) { return b.Get_Menu_State(menu, id); });
}

bool Set_Menu_State(HMENU menu, uint32_t id, uint32_t state) {
    return menu != 0 && With(false, [&](Backend& b) { return b.Set_Menu_State(menu, id, state); });
}

bool Check_Menu_Item(HMENU menu, uint32_t id, uint32_t check) {
    return Set_Menu_State(menu, id, (check & MF_CHECKED) ? uint32_t(MFS_CHECKED) : 0u);
}

bool Set_Parent(HWND child, HWND parent) {
    return child != 0 && With(false, [&](Backend& b) { return b.Set_Parent(child, parent); });
}

bool Show_Window(HWND window, int32_t command) {
    return window != 0 && With(false, [&](Backend& b) { return b.Show_Window(window, command); });
}

bool Enable_Window(HWND window, bool enable) {
    return window != 0 && With(false, [&](Backend& b) { return b.Enable_Window(window, enable); });
}

bool Is_Window(HWND window) {
    return window != 0 && With(false, [&](Backend& b) { return b.Is_Window(window); });
}

bool Is_Window_Visible(HWND window) {
    return window != 0 && With(false, [&](Backend& b) { return b.Is_Window_Visible(window); });
}

bool Is_Window_Enabled(HWND window) {
    return window != 0 && With(false, [&](Backend& b) { return b.Is_Window_Enabled(window); });
}

bool Set_Focus(HWND window) {
    return window != 0 && With(false, [&](Backend& b) { return b.Set_Focus(window); });
}

bool Destroy_Window(HWND window) {
    return window != 0 && With(false, [&](Backend& b) { return b.Destroy_Window(window); });
}

bool Check_Radio_Button(HWND dialog, int32_t first, int32_t last, int32_t id) {
    if (dialog == 0) return false;
    for (int32_t i = first; i <= last; ++i)
        Send_Message(Get_Dlg_Item(dialog, i), BM_SETCHECK, i == id ? 1u : 0u);
    return true;
}

bool Load_Picture(HWND graphic, const std::string& path) {
    return graphic != 0 && With(false, [&](Backend& b) { return b.Load_Picture(graphic, path); });
}

HWND Create_Tooltip(HWND parent, uint32_t style) {
    return With(HWND(0), [&](Backend& b) { return b.Create_Tooltip(parent, style); });
}

void Post_Quit_Message(int32_t code) {
    With(0, [&](Backend& b) {
        b.Post_Quit_Message(code);
        return 0;
    });
}

int32_t Message_Loop() {
    return With(int32_t(0), [](Backend& b) { return b.Message_Loop(); });
}

bool Block_Input(HWND window, bool block) {
    return window != 0 && With(false, [&](Backend& b) { return b.Block_Input(window, block); });
}

bool Enable_Menu_Item(HMENU menu, uint32_t id, bool enable) {
    return menu != 0 &&
           With(false, [&](Backend& b) { return b.Enable_Menu_Item(menu, id, enable); });
}

bool Set_Status(HWND frame, const std::string& text, int64_t done, int64_t total) {
    return frame != 0 &&
           With(false, [&](Backend& b) { return b.Set_Status(frame, text, done, total); });
}

bool Get_Open_File_Name(OPENFILENAME& record) {
    return With(false, [&](Backend& b) { return b.Get_Open_File_Name(record); });
}

bool End_Modal_Dialogs() {
    return With(false, [](Backend& b) { return b.End_Modal_Dialogs(); });
}

bool Set_Status_Tone(HWND frame, Status_Tone tone) {
    return frame != 0 && With(false, [&](Backend& b) { return b.Set_Status_Tone(frame, tone); });
}

bool Set_Status_Port(HWND frame, const std::string& text) {
    return frame != 0 && With(false, [&](Backend& b) { return b.Set_Status_Port(frame, text); });
}

void Pump_Messages(uint32_t ms) {
    With(0, [&](Backend& b) {
        b.Pump_Messages(ms);
        return 0;
    });
}

}  // namespace kdx::win
