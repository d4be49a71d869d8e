// The "Debug Console" window over Win32: a black rich edit in the console's sixteen colours,
// written from any thread (text from elsewhere is posted to the window's thread and goes in
// there in order), and the keys of every window of the program for the wait-key pause, taken
// by a keyboard hook on the user-interface thread while a pause reads them.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string_view>

#include "platform/console/console.h"
#include "platform/window/win32_internal.h"

namespace kdx::win::w32 {

namespace {

const char* const kConsole_Class = "KdxDebugConsole";
constexpr UINT kFlush = WM_APP + 1;
constexpr UINT kPlace = WM_APP + 2;   // wparam: the frame
constexpr LONG kMost_Text = 4 << 20;  // characters kept; the oldest go first
// HWND_TOP spelled with the system's handle type (the macro's cast would take ours here).
const ::HWND kTop = nullptr;

COLORREF Console_Colour(int32_t index) {
    static const COLORREF colours[16] = {
        RGB(0, 0, 0),       RGB(0, 0, 128),   RGB(0, 128, 0),   RGB(0, 128, 128),
        RGB(128, 0, 0),     RGB(128, 0, 128), RGB(128, 128, 0), RGB(192, 192, 192),
        RGB(128, 128, 128), RGB(0, 0, 255),   RGB(0, 255, 0),   RGB(0, 255, 255),
        RGB(255, 0, 0),     RGB(255, 0, 255), RGB(255, 255, 0), RGB(255, 255, 255)};
    return colours[index & 15];
}

struct Keys {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<int32_t> queue;
    int pausing = 0;
};
Keys keys;
HHOOK key_hook = nullptr;
::HWND console_window = nullptr;  // the open console (user-interface thread)

// While a pause reads keys, a key pressed in any window of the program is the pause's.
LRESULT CALLBACK Key_Hook(int code, WPARAM vk, LPARAM flags) {
    if (code == HC_ACTION && !(flags & (LPARAM(1) << 31))) {
        std::lock_guard<std::mutex> g(keys.lock);
        if (keys.pausing > 0) {
            keys.queue.push_back(int32_t(vk));
            keys.arrived.notify_all();
            return 1;
        }
    }
    return CallNextHookEx(key_hook, code, vk, flags);
}

struct Piece {
    std::string text;
    int32_t attribute;
};

struct Console_State {
    std::mutex lock;
    std::deque<Piece> pending;
    bool flush_posted = false;
    ::HWND window = nullptr;
    ::HWND edit = nullptr;
};

// The pieces as one document in their colours: one stream per flush, not one per piece.
std::string Pieces_Rtf(const std::deque<Piece>& pieces) {
    static const char* const Hex = "0123456789abcdef";
    std::string rtf = "{\\rtf1{\\colortbl;";
    for (int i = 0; i < 16; ++i) {
        COLORREF c = Console_Colour(i);
        rtf += "\\red" + std::to_string(GetRValue(c)) + "\\green" + std::to_string(GetGValue(c)) +
               "\\blue" + std::to_string(GetBValue(c)) + ";";
    }
    rtf += '}';
    for (const Piece& p : pieces) {
        rtf += "{\\cf" + std::to_string((p.attribute & 15) + 1);
        if (p.attribute & 0xF0)
            rtf += "\\highlight" + std::to_string(((p.attribute >> 4) & 15) + 1);
        rtf += ' ';
        for (char ch : p.text) {
            unsigned char b = static_cast<unsigned char>(ch);
            if (ch == '\r') continue;  // a line ends at its LF, as on Qt
            if (ch == '\n') {
                rtf += "\\par ";
            } else if (ch == '\t') {
                rtf += "\\tab ";
            } else if (ch == '\\' || ch == '{' || ch == '}') {
                rtf += '\\';
                rtf += ch;
            } else if (b > 127) {
                rtf += "\\'";
                rtf += Hex[b >> 4];
                rtf += Hex[b & 15];
            } else {
                rtf += ch;
            }
        }
        rtf += '}';
    }
    rtf += '}';
    return rtf;
}

DWORD CALLBACK Rtf_In(DWORD_PTR cookie, LPBYTE buffer, LONG size, LONG* delivered) {
    auto* rest = reinterpret_cast<std::string_view*>(cookie);
    size_t n = std::min(rest->size(), size_t(std::max<LONG>(size, 0)));
    std::copy(rest->begin(), rest->begin() + n, buffer);
    rest->remove_prefix(n);
    *delivered = LONG(n);
    return 0;
}

// The pieces written since the last flush go in at the end. Lines are not wrapped: the view
// keeps its place sideways (the start of the lines shows, as on Qt; the scroll bar reaches
// the rest) and follows the newest line while it showed the end.
void Flush(Console_State& s) {
    std::deque<Piece> pieces;
    {
        std::lock_guard<std::mutex> g(s.lock);
        pieces.swap(s.pending);
        s.flush_posted = false;
    }
    if (!s.edit || pieces.empty()) return;
    SCROLLINFO bar{};
    bar.cbSize = sizeof bar;
    bar.fMask = SIF_ALL;
    bool follow = !GetScrollInfo(s.edit, SB_VERT, &bar) || bar.nPage == 0 ||
                  bar.nPos + int(bar.nPage) >= bar.nMax - 1;
    POINT view{};
    SendMessageA(s.edit, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&view));
    GETTEXTLENGTHEX how{GTL_NUMCHARS | GTL_PRECISE, 1200};
    LONG end = LONG(SendMessageA(s.edit, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&how), 0));
    if (end > kMost_Text) {
        // The oldest quarter goes, from the start of a line.
        LRESULT line = SendMessageA(s.edit, EM_EXLINEFROMCHAR, 0, end / 4);
        LRESULT cut = SendMessageA(s.edit, EM_LINEINDEX, WPARAM(line + 1), 0);
        if (cut <= 0) cut = end / 4;
        SendMessageA(s.edit, EM_SETSEL, 0, cut);
        SendMessageA(s.edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
        end = LONG(SendMessageA(s.edit, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&how), 0));
    }
    SendMessageA(s.edit, EM_SETSEL, end, end);
    std::string rtf = Pieces_Rtf(pieces);
    std::string_view rest = rtf;
    ::EDITSTREAM stream{};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(&rest);
    stream.pfnCallback = &Rtf_In;
    SendMessageA(s.edit, EM_STREAMIN, SF_RTF | SFF_SELECTION, reinterpret_cast<LPARAM>(&stream));
    if (follow) {
        SendMessageA(s.edit, WM_VSCROLL, SB_BOTTOM, 0);
        POINT now{};
        SendMessageA(s.edit, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&now));
        view.y = now.y;
    }
    SendMessageA(s.edit, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&view));
}

LRESULT CALLBACK Console_Proc(::HWND h, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* s = reinterpret_cast<Console_State*>(GetWindowLongPtrA(h, GWLP_USERDATA));
    switch (message) {
        case WM_NCCREATE:
            SetWindowLongPtrA(h, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(
                                  reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams));
            break;
        case WM_SIZE:
            if (s && s->edit) MoveWindow(s->edit, 0, 0, LOWORD(lparam), HIWORD(lparam), TRUE);
            return 0;
        case kFlush:
            if (s) Flush(*s);
            return 0;
        case kPlace:
            Place_Console_Beside(reinterpret_cast<::HWND>(wparam));
            return 0;
        case WM_CLOSE:
            ShowWindow(h, SW_HIDE);  // the program ends the console, not its close box
            return 0;
        default:
            break;
    }
    return DefWindowProcA(h, message, wparam, lparam);
}

class Window_Console final : public platform::Console_Device {
  public:
    // Made on the user-interface thread (the program's start-up opens the console there).
    Window_Console() {
        // A hundred columns by thirty lines of its font, as on Qt.
        HFONT fixed = static_cast<HFONT>(GetStockObject(ANSI_FIXED_FONT));
        SIZE cell{8, 16};
        if (HDC dc = GetDC(nullptr)) {
            HGDIOBJ old = SelectObject(dc, fixed);
            TEXTMETRICA metrics{};
            if (GetTextMetricsA(dc, &metrics))
                cell = SIZE{metrics.tmAveCharWidth, metrics.tmHeight + metrics.tmExternalLeading};
            SelectObject(dc, old);
            ReleaseDC(nullptr, dc);
        }
        RECT outer{0, 0, 100 * cell.cx + GetSystemMetrics(SM_CXVSCROLL) + 12,
                   30 * cell.cy + GetSystemMetrics(SM_CYHSCROLL) + 8};
        AdjustWindowRectEx(&outer, WS_OVERLAPPEDWINDOW, FALSE, 0);
        state_.window =
            CreateWindowExA(0, kConsole_Class, "Debug Console", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                            CW_USEDEFAULT, outer.right - outer.left, outer.bottom - outer.top,
                            nullptr, nullptr, instance, &state_);
        if (!state_.window) return;
        // Lines are not wrapped: a trace line shows from its start, the rest sideways.
        state_.edit =
            CreateWindowExA(0, "RICHEDIT50W", "",
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_DISABLENOSCROLL,
                            0, 0, 0, 0, state_.window, nullptr, instance, nullptr);
        SendMessageA(state_.edit, EM_SETBKGNDCOLOR, 0, RGB(0, 0, 0));
        SendMessageA(state_.edit, EM_EXLIMITTEXT, 0, 0x7FFFFFFE);
        SendMessageA(state_.edit, EM_SETTARGETDEVICE, 0, 1);  // no wrapping
        SendMessageA(state_.edit, WM_SETFONT, reinterpret_cast<WPARAM>(fixed), FALSE);
        RECT r{};
        GetClientRect(state_.window, &r);
        MoveWindow(state_.edit, 0, 0, r.right, r.bottom, FALSE);
        // Raised and active: the keys of a pause before the frame shows come to it.
        ShowWindow(state_.window, SW_SHOW);
        SetForegroundWindow(state_.window);
        console_window = state_.window;
        for (auto& frame : Frames())
            if (IsWindowVisible(frame)) Place_Console_Beside(frame);
    }
    ~Window_Console() override {
        if (console_window == state_.window) console_window = nullptr;
        if (state_.window) DestroyWindow(state_.window);
    }
    void Write(std::string_view text, int32_t attribute) override {
        // Shown when the window's loop next turns (a long operation gives it a turn every few
        // milliseconds), in one stream for every piece written meanwhile: a trace line each
        // streamed at once made the traced communication test minutes long.
        bool post;
        {
            std::lock_guard<std::mutex> g(state_.lock);
            state_.pending.push_back({std::string(text), attribute});
            post = !state_.flush_posted;
            state_.flush_posted = true;
        }
        if (post && !PostMessageA(state_.window, kFlush, 0, 0)) {
            if (GetCurrentThreadId() == ui_thread) return Flush(state_);
            std::lock_guard<std::mutex> g(state_.lock);
            state_.flush_posted = false;
        }
    }
    void Set_Title(const std::string& title) override {
        SetWindowTextA(state_.window, title.c_str());
    }
    void Disable_Close() override {
        if (::HMENU menu = GetSystemMenu(state_.window, FALSE))
            EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    }
    bool Has_Keyboard() override { return state_.window != nullptr; }
    bool Begin_Keys() override {
        {
            std::lock_guard<std::mutex> g(keys.lock);
            if (keys.pausing++ == 0) keys.queue.clear();
        }
        // Keys reach a program only through an active window: with none of ours active, the
        // console takes them.
        if (GetCurrentThreadId() == ui_thread && !GetActiveWindow() && state_.window)
            SetForegroundWindow(state_.window);
        return true;
    }
    bool End_Keys() override {
        std::lock_guard<std::mutex> g(keys.lock);
        if (keys.pausing > 0) --keys.pausing;
        return true;
    }
    int32_t Poll_Key(uint32_t timeout_ms) override {
        auto take = [] {
            if (keys.queue.empty()) return 0;
            int32_t key = keys.queue.front();
            keys.queue.pop_front();
            return key;
        };
        if (GetCurrentThreadId() == ui_thread) {
            // The windows go on painting while the pause waits; only keys and paints are
            // handled meanwhile, so no procedure runs inside the pause.
            Flush(state_);
            DWORD start = GetTickCount();
            for (;;) {
                MSG msg;
                while (PeekMessageA(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE) ||
                       PeekMessageA(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE))
                    DispatchMessageA(&msg);
                {
                    std::lock_guard<std::mutex> g(keys.lock);
                    if (int32_t key = take()) return key;
                }
                DWORD spent = GetTickCount() - start;
                if (spent >= timeout_ms) return 0;
                MsgWaitForMultipleObjects(0, nullptr, FALSE, timeout_ms - spent, QS_KEY | QS_PAINT);
            }
        }
        std::unique_lock<std::mutex> g(keys.lock);
        keys.arrived.wait_for(g, std::chrono::milliseconds(timeout_ms),
                              [] { return !keys.queue.empty(); });
        return take();
    }

  private:
    Console_State state_;
};

}  // namespace

void Place_Console_Beside(::HWND frame) {
    ::HWND console = console_window;
    if (!console || !frame || !IsWindowVisible(console)) return;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoA(MonitorFromWindow(frame, MONITOR_DEFAULTTONEAREST), &monitor)) return;
    RECT area = monitor.rcWork, outer{}, own{};
    GetWindowRect(frame, &outer);
    GetWindowRect(console, &own);
    int width = own.right - own.left, height = own.bottom - own.top;
    int x, y;
    if (area.right - outer.right >= width) {
        x = outer.right;  // beside it, on the right
        y = outer.top;
    } else if (outer.left - area.left >= width) {
        x = outer.left - width;  // on the left
        y = outer.top;
    } else {
        // Over its lower right, below its menu bar, so every menu stays in reach.
        POINT client{0, 0};
        ClientToScreen(frame, &client);
        int room = area.bottom - client.y;
        if (height > room && room > 100) height = room;
        x = std::max<int>(area.left, area.right - width);
        y = std::max<int>(client.y, area.bottom - height);
    }
    // Owned by the frame, it stays in front of it whatever raises the frame (a click in it,
    // the start-up's own work), without taking its activation.
    Own_Console(frame);
    SetWindowPos(console, kTop, x, y, width, height, SWP_NOACTIVATE);
}

void Console_Above(::HWND frame) {
    ::HWND console = console_window;
    if (!console || GetWindow(console, GW_OWNER) != frame || !IsWindowVisible(console)) return;
    ::HWND above = GetWindow(frame, GW_HWNDPREV);
    if (above == console) return;
    // Right above the frame, whatever stands above both.
    SetWindowPos(console, above ? above : kTop, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Own_Console(::HWND frame) {
    if (console_window && frame && GetWindow(console_window, GW_OWNER) != frame)
        SetWindowLongPtrA(console_window, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(frame));
}

void Release_Console(::HWND frame) {
    // The trace of the program's end still goes to it.
    if (console_window && frame && GetWindow(console_window, GW_OWNER) == frame)
        SetWindowLongPtrA(console_window, GWLP_HWNDPARENT, 0);
}

void Place_Console_Beside_Later(::HWND frame) {
    if (console_window) PostMessageA(console_window, kPlace, reinterpret_cast<WPARAM>(frame), 0);
}

void Register_Window_Console() {
    WNDCLASSEXA console{};
    console.cbSize = sizeof console;
    console.lpfnWndProc = &Console_Proc;
    console.hInstance = instance;
    console.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    console.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    console.lpszClassName = kConsole_Class;
    RegisterClassExA(&console);
    if (!key_hook) key_hook = SetWindowsHookExA(WH_KEYBOARD, &Key_Hook, nullptr, ui_thread);
    platform::Register_Console_Device("window", [] { return std::make_unique<Window_Console>(); });
}

void Unregister_Window_Console() {
    platform::Register_Console_Device("window", nullptr);
    if (key_hook) UnhookWindowsHookEx(key_hook);
    key_hook = nullptr;
}

}  // namespace kdx::win::w32
