// Shared between the Win32 files of the window layer. The plain interface comes first:
// Windows' macros of the same names (WM_CREATE, RGB, OPENFILENAME, ...) must not reach its
// declarations; after it they stand for the same numbers.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/window/application.h"
#include "platform/window/window.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <richedit.h>
#undef OPENFILENAME
#undef CHARFORMAT
#undef TOOLINFO

namespace kdx::win::w32 {

// The plain interface's handles are the system's own: user handles are 32-bit values on
// 64-bit Windows too, and sign-extend back.
inline ::HWND Native(HWND h) {
    return reinterpret_cast<::HWND>(static_cast<intptr_t>(h));
}
inline HWND Ours(::HWND h) {
    return HWND(static_cast<int32_t>(reinterpret_cast<intptr_t>(h)));
}
inline ::HMENU Native_Menu(HMENU m) {
    return reinterpret_cast<::HMENU>(static_cast<intptr_t>(m));
}
inline HMENU Ours_Menu(::HMENU m) {
    return HMENU(static_cast<int32_t>(reinterpret_cast<intptr_t>(m)));
}

// What the window layer keeps about each control it made (and its tooltips); touched on the
// user-interface thread only.
enum class Kind { Control, Rich_Edit, Tooltip, Mdi_Client, Graphic };
struct Rich_Batch;  // a rich edit's documents waiting for its next tick (win32_rich_edit.cpp)
struct Control_Info {
    Kind kind = Kind::Control;
    ::HWND dialog = nullptr;
    int32_t id = 0;
    int32_t group = 0;  // radio groups: a new one starts at every WS_GROUP
    Dialog_Proc callback = nullptr;
    Window_Proc proc = nullptr;  // set by subclassing; null: the class's own handling
    WNDPROC original = nullptr;  // the class's own window procedure
    bool own_disabled = false;   // disabled by a procedure (Enable_Window, WS_DISABLED)
    bool blocked = false;        // kept from the operator while a long exchange runs
    int32_t limit = 32767;       // a rich edit's text limit, in characters
    HBITMAP picture = nullptr;   // a graphic's bitmap
    std::shared_ptr<Rich_Batch> batch;
};
Control_Info* Control_Of(::HWND h);

// The class's own handling of a rich edit's or tooltip's message whose record is the plain
// interface's (EM_STREAMIN, EM_SETCHARFORMAT, EM_LIMITTEXT, TTM_ADDTOOLA, ...); false when the
// message is none of those.
bool Rich_Edit_Message(::HWND h, Control_Info& c, UINT message, WPARAM wparam, LPARAM lparam,
                       LRESULT& result);
// Puts what waits for a rich edit's tick into it now (a read of its text, a repaint asked for).
void Rich_Edit_Flush(::HWND h, Control_Info& c);
bool Tooltip_Message(::HWND h, Control_Info& c, UINT message, WPARAM wparam, LPARAM lparam,
                     LRESULT& result);

// A device-independent bitmap from a BMP file's bytes; null when they are no BMP.
HBITMAP Bitmap_From_Bmp(const std::string& bytes);
// The window's pixels as they show (its frame included) in a PNG file.
bool Save_Png(::HWND window, const std::string& path);

// Called by the frame or its client area after their first paint.
void First_Painted();
// The frames made so far that still exist.
std::vector<::HWND> Frames();
// Puts an open "Debug Console" beside the frame, or where it leaves the frame's menu bar
// free, and raises it.
void Place_Console_Beside(::HWND frame);
// The console owned by the frame (so it stays in front of it), or handed back before the
// frame may go (an owned window goes with its owner, and the console outlives the frame).
void Own_Console(::HWND frame);
// The frame came to the front: its console goes right above it (under Wine the window
// system restacks the frame without minding what it owns).
void Console_Above(::HWND frame);
void Release_Console(::HWND frame);
// The same once the messages queued now have run: the start-up that follows the frame's first
// paint can still raise the frame (under Wine without a message to either window).
void Place_Console_Beside_Later(::HWND frame);
// The "Debug Console" window as the console device "window".
void Register_Window_Console();
void Unregister_Window_Console();

extern HINSTANCE instance;
extern DWORD ui_thread;
extern HFONT dialog_font;

}  // namespace kdx::win::w32
