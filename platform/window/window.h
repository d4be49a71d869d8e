// The plain (Qt-free) face of the window layer: window handles, control ids and the few
// messages the procedures below the user interface send. The Qt side installs a backend;
// until it does (command line, tests) every call does nothing and returns 0.
#pragma once
#include <cstdint>
#include <string>

namespace kdx::win {

using HWND = int32_t;

// Window globals, set once by start-up; 0 while there is no such window.
extern HWND Frame_Window;
extern HWND Menu_Bar;
extern HWND Mdi_Client;
extern HWND Terminal_Dialog;

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
};

// Installs (or with null removes) the backend.
void Set_Backend(Backend* backend);

bool Set_Dlg_Item_Text(HWND dialog, int32_t id, const std::string& text);
std::string Get_Dlg_Item_Text(HWND dialog, int32_t id);
int64_t Send_Message(HWND window, uint32_t message, uint64_t wparam = 0, int64_t lparam = 0);
bool Post_Message(HWND window, uint32_t message, uint64_t wparam = 0, int64_t lparam = 0);
// Marks the whole client area for repainting (erasing the background when asked), and
// paints what is marked at once: how a long exchange shows its echo before it returns.
bool Invalidate_Rect(HWND window, bool erase);
bool Update_Window(HWND window);

enum : uint32_t {
    WM_SETTEXT = 0x000C,
    WM_COMMAND = 0x0111,
    WM_DEVICECHANGE = 0x0219,
    WM_USER = 0x0400,
};

}  // namespace kdx::win
