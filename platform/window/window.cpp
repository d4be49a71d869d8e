#include "platform/window/window.h"

#include <atomic>

namespace kdx::win {

HWND Frame_Window = 0;
HWND Menu_Bar = 0;
HWND Mdi_Client = 0;
HWND Terminal_Dialog = 0;

namespace {
std::atomic<Backend*> backend{nullptr};
}

void Set_Backend(Backend* b) {
    backend.store(b);
}

bool Set_Dlg_Item_Text(HWND dialog, int32_t id, const std::string& text) {
    Backend* b = backend.load();
    return b && dialog != 0 && b->Set_Dlg_Item_Text(dialog, id, text);
}

std::string Get_Dlg_Item_Text(HWND dialog, int32_t id) {
    Backend* b = backend.load();
    return b && dialog != 0 ? b->Get_Dlg_Item_Text(dialog, id) : std::string();
}

int64_t Send_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) {
    Backend* b = backend.load();
    return b && window != 0 ? b->Send_Message(window, message, wparam, lparam) : 0;
}

bool Post_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) {
    Backend* b = backend.load();
    return b && window != 0 && b->Post_Message(window, message, wparam, lparam);
}

bool Invalidate_Rect(HWND window, bool erase) {
    Backend* b = backend.load();
    return b && window != 0 && b->Invalidate_Rect(window, erase);
}

bool Update_Window(HWND window) {
    Backend* b = backend.load();
    return b && window != 0 && b->Update_Window(window);
}

}  // namespace kdx::win
