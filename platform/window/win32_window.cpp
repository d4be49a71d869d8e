// The window backend over Win32: the frame with its MDI client and status strip, dialogs
// made from in-memory templates, the standard controls and Msftedit's rich edit, menus, and
// the message loop. Handles are the system's own; every control is subclassed once, so a
// procedure that subclasses it again and the class's own handling form one chain.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <tuple>
#include <vector>

#include "platform/os/file.h"
#include "platform/window/win32_internal.h"

namespace kdx::win::w32 {

HINSTANCE instance = nullptr;
DWORD ui_thread = 0;
HFONT dialog_font = nullptr;

namespace {

const char* const kFrame_Class = "KDX";
constexpr UINT kFirst_Mdi_Child = 50000;  // no MDI documents: the client's ids stay clear
constexpr int kStatus_Id = 2;
constexpr UINT_PTR kStatus_Timer_Id = 0x5354;
constexpr int kProgress_Width = 240;
constexpr int kPort_Width = 220;
// HWND_TOP spelled with the system's handle type (the macro's cast would take ours here).
const ::HWND kTop_Of_Siblings = nullptr;
// The MDI client's request to weigh its scroll bars again (WM_MDICALCCHILDSCROLL, which the
// headers leave out).
constexpr UINT kMdi_Calc_Child_Scroll = 0x003F;

Base_Units base_units{6, 13};
void (*first_paint)() = nullptr;

// A frame or a dialog.
struct Top_Info {
    bool frame = false;
    Window_Proc frame_proc = nullptr;
    Dialog_Proc dialog_proc = nullptr;
    ::HWND status = nullptr;
    ::HWND progress = nullptr;
    std::string status_text;
    // What the strip was last told, shown at most 25 times a second (a long operation
    // reports every command, and under Wine the progress bar repaints at once when moved).
    int64_t status_done = 0, status_total = 0;
    bool status_waiting = false;
    bool status_timer = false;
    int64_t status_due_ms = 0;
    Status_Tone tone = Status_Tone::Plain;
    bool filling = false;  // a dialog shown maximised in the MDI client: follows its size
    bool centred = true;   // no position given yet: the first showing centres it
    bool painted = false;  // a frame's first paint is behind it
    SIZE initial{0, 0};    // the size its control table gave, menu bar included
    int32_t next_group = 0;
};

std::map<::HWND, Control_Info> controls;
std::map<::HWND, Top_Info> tops;
std::vector<::HWND> modal_dialogs;  // asking now, the innermost last

Top_Info* Top_Of(::HWND h) {
    auto it = tops.find(h);
    return it == tops.end() ? nullptr : &it->second;
}

LRESULT CALLBACK Control_Thunk(::HWND h, UINT message, WPARAM wparam, LPARAM lparam);

// Puts a control (or tooltip, or the MDI client) under the layer's own window procedure.
Control_Info& Adopt(::HWND h, Kind kind) {
    Control_Info& c = controls[h];
    c.kind = kind;
    c.original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Control_Thunk)));
    return c;
}

void Apply_Enabled(::HWND h, const Control_Info& c) {
    bool enable = !c.own_disabled && !c.blocked;
    // A disabled control loses the focus to its dialog, not to the next control.
    if (!enable && GetFocus() == h && c.dialog) SetFocus(c.dialog);
    EnableWindow(h, enable);
}

// A click by message, as the operator's would be: an auto option checks itself and clears
// the others of its group, an auto check box turns over, and the dialog hears BN_CLICKED.
// It works on a hidden dialog and while only the operator is kept away.
LRESULT Click(::HWND h, Control_Info& c) {
    if (c.own_disabled) return 0;
    LONG style = GetWindowLongA(h, GWL_STYLE) & 0xF;
    if (style == BS_AUTORADIOBUTTON) {
        for (auto& [other, info] : controls) {
            if (other == h || info.dialog != c.dialog || info.group != c.group) continue;
            if ((GetWindowLongA(other, GWL_STYLE) & 0xF) == BS_AUTORADIOBUTTON)
                CallWindowProcA(info.original, other, BM_SETCHECK, BST_UNCHECKED, 0);
        }
        CallWindowProcA(c.original, h, BM_SETCHECK, BST_CHECKED, 0);
    } else if (style == BS_AUTOCHECKBOX) {
        LRESULT was = CallWindowProcA(c.original, h, BM_GETCHECK, 0, 0);
        CallWindowProcA(c.original, h, BM_SETCHECK,
                        was == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
    }
    ::HWND parent = GetParent(h);
    int id = GetDlgCtrlID(h);
    SendMessageA(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(h));
    return 0;
}

::HWND Parent_Of(::HWND h);

// The frame's first paint (its own or its client area's, which covers it): the start-up
// benchmark hears of it, and now that the frame stands where it stays, an open console goes
// beside it again, and in front of it once the start-up's work is done.
void Frame_Painted(::HWND frame) {
    First_Painted();
    Top_Info* f = Top_Of(frame);
    if (!f || !f->frame || f->painted) return;
    f->painted = true;
    Place_Console_Beside(frame);
    Place_Console_Beside_Later(frame);
}

// Scrolls the windows of the MDI client (the class's own scrolling would weigh its scroll
// bars again after it, by its documents only, and take them away).
LRESULT Scroll_Client(::HWND client, int bar, WPARAM wparam) {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    if (!GetScrollInfo(client, bar, &info)) return 0;
    int pos = info.nPos, last = std::max(info.nMin, info.nMax - int(info.nPage) + 1);
    int line = bar == SB_VERT ? base_units.Y : base_units.X;
    switch (LOWORD(wparam)) {
        case SB_LINEUP:
            pos -= line;
            break;
        case SB_LINEDOWN:
            pos += line;
            break;
        case SB_PAGEUP:
            pos -= int(info.nPage);
            break;
        case SB_PAGEDOWN:
            pos += int(info.nPage);
            break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION:
            pos = info.nTrackPos;
            break;
        case SB_TOP:
            pos = info.nMin;
            break;
        case SB_BOTTOM:
            pos = last;
            break;
        default:
            return 0;
    }
    pos = std::clamp(pos, info.nMin, last);
    if (pos == info.nPos) return 0;
    SetScrollPos(client, bar, pos, TRUE);
    int shift = info.nPos - pos;
    ScrollWindowEx(client, bar == SB_HORZ ? shift : 0, bar == SB_VERT ? shift : 0, nullptr, nullptr,
                   nullptr, nullptr, SW_SCROLLCHILDREN | SW_INVALIDATE | SW_ERASE);
    return 0;
}

// The class's own handling of a control's message, the plain interface's records made the
// system's on the way.
LRESULT Control_Default(::HWND h, UINT message, WPARAM wparam, LPARAM lparam) {
    Control_Info* c = Control_Of(h);
    if (!c) return DefWindowProcA(h, message, wparam, lparam);
    LRESULT result = 0;
    if (message == BM_CLICK) return Click(h, *c);
    if (c->kind == Kind::Rich_Edit && Rich_Edit_Message(h, *c, message, wparam, lparam, result))
        return result;
    if (c->kind == Kind::Tooltip && Tooltip_Message(h, *c, message, wparam, lparam, result))
        return result;
    if (c->kind == Kind::Mdi_Client && message == WM_MDIGETACTIVE) return 0;  // no documents
    // Its scroll bars are the layer's (set as the Terminal fills it): the class would weigh
    // only MDI documents, of which it has none.
    if (c->kind == Kind::Mdi_Client && message == kMdi_Calc_Child_Scroll) return 0;
    if (c->kind == Kind::Mdi_Client && (message == WM_HSCROLL || message == WM_VSCROLL))
        return Scroll_Client(h, message == WM_HSCROLL ? SB_HORZ : SB_VERT, wparam);
    result = CallWindowProcA(c->original, h, message, wparam, lparam);
    if (message == WM_PAINT && c->kind == Kind::Mdi_Client) Frame_Painted(Parent_Of(h));
    return result;
}

// Whether a menu bar has an item with that letter after its "&".
bool Has_Mnemonic(::HMENU menu, char letter) {
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        char text[256] = {};
        if (GetMenuStringA(menu, UINT(i), text, sizeof text, MF_BYPOSITION) <= 0) continue;
        for (const char* p = text; *p && p[1]; ++p) {
            if (*p != '&') continue;
            if (p[1] == '&') {
                ++p;
                continue;
            }
            if (std::toupper(static_cast<unsigned char>(p[1])) ==
                std::toupper(static_cast<unsigned char>(letter)))
                return true;
        }
    }
    return false;
}

// Alt and a letter: the system opens the menu bar of the first window above the focus that is
// no plain child, which for every control of the Terminal is the Terminal's own (Tools). A
// letter that bar does not have opens the frame's menu of that letter (Alt+F, Alt+H), as it
// does on Qt wherever the focus is. True when the frame took it.
bool Key_Menu_To_Frame(::HWND h, WPARAM command, LPARAM key) {
    if ((command & 0xFFF0) != SC_KEYMENU || key <= ' ' || key > 0xFF) return false;
    ::HWND holder = h;
    while (holder && (GetWindowLongA(holder, GWL_STYLE) & (WS_CHILD | WS_POPUP)) == WS_CHILD)
        holder = GetAncestor(holder, GA_PARENT);
    if (!holder) return false;
    ::HMENU own = GetMenu(holder);
    if (own && Has_Mnemonic(own, char(key))) return false;
    ::HWND frame = nullptr;
    for (::HWND w = holder; w && w != GetDesktopWindow(); w = GetAncestor(w, GA_PARENT))
        if (Top_Info* t = Top_Of(w); t && t->frame) frame = w;
    if (!frame || frame == holder || !GetMenu(frame)) return false;
    SendMessageA(frame, WM_SYSCOMMAND, SC_KEYMENU, key);
    return true;
}

LRESULT CALLBACK Control_Thunk(::HWND h, UINT message, WPARAM wparam, LPARAM lparam) {
    Control_Info* c = Control_Of(h);
    if (!c) return DefWindowProcA(h, message, wparam, lparam);
    if (message == WM_SYSCOMMAND && Key_Menu_To_Frame(h, wparam, lparam)) return 0;
    if (message == WM_NCDESTROY) {
        WNDPROC original = c->original;
        if (c->picture) DeleteObject(c->picture);
        controls.erase(h);
        SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
        return CallWindowProcA(original, h, message, wparam, lparam);
    }
    if (c->kind == Kind::Rich_Edit) {
        // Ctrl+C copies the selection; it is no character for the controller.
        if (message == WM_CHAR && wparam == 3 && GetKeyState(VK_CONTROL) < 0)
            return CallWindowProcA(c->original, h, WM_COPY, 0, 0);
        // Every key is the control's (Tab and Escape go to the controller), except Ctrl+Tab,
        // which leaves it. Asked by the dialog, the class itself would answer in its dialog
        // mode, where Escape closes the dialog.
        if (message == WM_GETDLGCODE) {
            auto* msg = reinterpret_cast<const MSG*>(lparam);
            bool leaving = msg && msg->message == WM_KEYDOWN && msg->wParam == VK_TAB &&
                           GetKeyState(VK_CONTROL) < 0;
            return leaving ? LRESULT(DLGC_WANTCHARS | DLGC_WANTARROWS)
                           : LRESULT(DLGC_WANTALLKEYS | DLGC_WANTCHARS | DLGC_WANTTAB |
                                     DLGC_WANTARROWS | DLGC_HASSETSEL);
        }
    }
    if (c->proc) return c->proc(Ours(h), message, wparam, lparam);
    return Control_Default(h, message, wparam, lparam);
}

// Draws a graphic's bitmap stretched into it.
bool Draw_Graphic(const DRAWITEMSTRUCT& item) {
    Control_Info* c = Control_Of(item.hwndItem);
    if (!c || c->kind != Kind::Graphic) return false;
    FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
    if (!c->picture) return true;
    BITMAP info{};
    GetObjectA(c->picture, sizeof info, &info);
    HDC memory = CreateCompatibleDC(item.hDC);
    HGDIOBJ old = SelectObject(memory, c->picture);
    SetStretchBltMode(item.hDC, HALFTONE);
    StretchBlt(item.hDC, item.rcItem.left, item.rcItem.top, item.rcItem.right - item.rcItem.left,
               item.rcItem.bottom - item.rcItem.top, memory, 0, 0, info.bmWidth, info.bmHeight,
               SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
    return true;
}

// The status strip's text part, in the colours of its tone: dark text on a light ground,
// well above 4.5:1 either way.
void Draw_Status(const DRAWITEMSTRUCT& item, const Top_Info& f) {
    COLORREF text = GetSysColor(COLOR_BTNTEXT);
    HBRUSH ground = GetSysColorBrush(COLOR_BTNFACE);
    HBRUSH made = nullptr;
    if (f.tone == Status_Tone::Passed) {
        text = RGB(0x0b, 0x5d, 0x1e);
        ground = made = CreateSolidBrush(RGB(0xe8, 0xf5, 0xe9));
    } else if (f.tone == Status_Tone::Failed) {
        text = RGB(0xa0, 0x00, 0x18);
        ground = made = CreateSolidBrush(RGB(0xfd, 0xec, 0xea));
    }
    RECT r = item.rcItem;
    FillRect(item.hDC, &r, ground);
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, text);
    r.left += 2;
    DrawTextA(item.hDC, f.status_text.c_str(), int(f.status_text.size()), &r,
              DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    if (made) DeleteObject(made);
}

// The window a window sits in: GetParent gives a popup's owner instead, and the Terminal
// keeps its popup style inside the MDI client.
::HWND Parent_Of(::HWND h) {
    ::HWND parent = GetAncestor(h, GA_PARENT);
    return parent == GetDesktopWindow() ? nullptr : parent;
}

// The size a dialog needs to show every control: its control table's, or more where its
// controls reach beyond that (the Terminal's lower windows do), with a margin of 4 dialog
// units past the furthest, as its frame and menu bar stand.
SIZE Needed_Size(::HWND dialog, const Top_Info& d) {
    RECT outer{}, client{};
    GetWindowRect(dialog, &outer);
    GetClientRect(dialog, &client);
    MapWindowPoints(dialog, nullptr, reinterpret_cast<POINT*>(&client), 2);
    LONG right = client.left, bottom = client.top;
    for (auto& [h, c] : controls) {
        if (c.dialog != dialog || !(GetWindowLongA(h, GWL_STYLE) & WS_VISIBLE)) continue;
        RECT r{};
        GetWindowRect(h, &r);
        right = std::max(right, r.right);
        bottom = std::max(bottom, r.bottom);
    }
    int margin = Dlu_To_Px_X(4);
    LONG width = right + margin + (outer.right - client.right) - outer.left;
    LONG height = bottom + margin + (outer.bottom - client.bottom) - outer.top;
    return SIZE{std::max(d.initial.cx, width), std::max(d.initial.cy, height)};
}

// A dialog shown maximised covers the MDI client's area, but never less than its controls.
void Fill(::HWND dialog, Top_Info& d) {
    ::HWND client = Parent_Of(dialog);
    if (!d.filling || !client) return;
    // The client area's scroll bars reach what does not fit (the client area's own scrolling
    // moves every window it holds); they come and go with the room, which changes the room:
    // fill, set them, and fill what is then left.
    const SIZE need = Needed_Size(dialog, d);
    for (int pass = 0; pass < 3; ++pass) {
        RECT area{};
        GetClientRect(client, &area);
        int width = std::max<int>(area.right, need.cx);
        int height = std::max<int>(area.bottom, need.cy);
        SetWindowPos(dialog, kTop_Of_Siblings, 0, 0, width, height, SWP_NOACTIVATE);
        for (auto [bar, extent, page] :
             {std::tuple{SB_HORZ, width, area.right}, std::tuple{SB_VERT, height, area.bottom}}) {
            SCROLLINFO info{};
            info.cbSize = sizeof info;
            info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
            info.nMax = extent - 1;
            info.nPage = UINT(std::max<LONG>(page, 0));
            SetScrollInfo(client, bar, &info, TRUE);
        }
        RECT after{};
        GetClientRect(client, &after);
        if (after.right == area.right && after.bottom == area.bottom) break;
    }
}

// Shown itself, whatever its parents are.
bool Shown(::HWND h) {
    return h && (GetWindowLongA(h, GWL_STYLE) & WS_VISIBLE) != 0;
}

void Layout_Status(::HWND frame, const Top_Info& f);

// Shows what the strip was last told.
void Show_Status(::HWND frame, Top_Info& f) {
    if (!f.status_waiting || !f.status) return;
    f.status_waiting = false;
    f.status_due_ms = int64_t(GetTickCount64()) + 40;
    if (f.status_timer) KillTimer(frame, kStatus_Timer_Id);
    f.status_timer = false;
    int64_t done = f.status_done, total = f.status_total;
    SendMessageA(f.status, SB_SETTEXTA, 0 | SBT_OWNERDRAW, 0);
    InvalidateRect(f.status, nullptr, TRUE);
    if (Shown(f.progress) != (total > 0)) {
        ShowWindow(f.progress, total > 0 ? SW_SHOW : SW_HIDE);
        Layout_Status(frame, f);
    }
    if (total > 0) {
        // The bar counts in int: large totals are scaled down together.
        int shift = 0;
        while ((total >> shift) > INT32_MAX / 2) ++shift;
        SendMessageA(f.progress, PBM_SETRANGE32, 0, LPARAM(total >> shift));
        SendMessageA(f.progress, PBM_SETPOS, WPARAM(std::clamp<int64_t>(done, 0, total) >> shift),
                     0);
    }
}

// The status strip's parts: the text, the progress bar while it shows, the port. The text
// takes the bar's room while there is no bar, as on Qt, so a verdict's colour spans it whole.
void Layout_Status(::HWND frame, const Top_Info& f) {
    if (!f.status) return;
    RECT area{};
    GetClientRect(frame, &area);
    int progress = Shown(f.progress) ? kProgress_Width : 0;
    int parts[3] = {std::max<int>(area.right - progress - kPort_Width, 60),
                    std::max<int>(area.right - kPort_Width, 60), -1};
    SendMessageA(f.status, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(parts));
    RECT bar{};
    SendMessageA(f.status, SB_GETRECT, 1, reinterpret_cast<LPARAM>(&bar));
    if (f.progress)
        MoveWindow(f.progress, bar.left + 1, bar.top + 1, bar.right - bar.left - 2,
                   bar.bottom - bar.top - 2, TRUE);
}

// The frame's client area: the status strip along the bottom, the MDI client above it.
void Layout_Frame(::HWND frame, Top_Info& f, ::HWND mdi) {
    RECT area{};
    GetClientRect(frame, &area);
    int status_height = 0;
    if (f.status) {
        SendMessageA(f.status, WM_SIZE, 0, 0);
        RECT s{};
        GetWindowRect(f.status, &s);
        status_height = s.bottom - s.top;
        Layout_Status(frame, f);
    }
    if (mdi) MoveWindow(mdi, 0, 0, area.right, std::max<int>(area.bottom - status_height, 0), TRUE);
    for (auto& [dialog, d] : tops)
        if (!d.frame && d.filling && Parent_Of(dialog) == mdi) Fill(dialog, d);
}

// A top-level window within the work area of its screen: made smaller where it would not
// fit, and moved in where it would stand out.
void Fit_To_Work_Area(::HWND h) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoA(MonitorFromWindow(h, MONITOR_DEFAULTTONEAREST), &monitor)) return;
    RECT area = monitor.rcWork, outer{};
    GetWindowRect(h, &outer);
    int width = std::min<int>(outer.right - outer.left, area.right - area.left);
    int height = std::min<int>(outer.bottom - outer.top, area.bottom - area.top);
    int x = std::clamp<int>(outer.left, area.left, area.right - width);
    int y = std::clamp<int>(outer.top, area.top, area.bottom - height);
    if (x != outer.left || y != outer.top || width != outer.right - outer.left ||
        height != outer.bottom - outer.top)
        SetWindowPos(h, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

::HWND Mdi_Of(::HWND frame) {
    for (auto& [h, c] : controls)
        if (c.kind == Kind::Mdi_Client && Parent_Of(h) == frame) return h;
    return nullptr;
}

LRESULT Frame_Default(::HWND frame, ::HWND mdi, UINT message, WPARAM wparam, LPARAM lparam) {
    Top_Info* f = Top_Of(frame);
    if (f && message == WM_SIZE) {
        Layout_Frame(frame, *f, mdi ? mdi : Mdi_Of(frame));
        return 0;
    }
    return DefFrameProcA(frame, mdi, message, wparam, lparam);
}

LRESULT CALLBACK Frame_Thunk(::HWND h, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
        Top_Info& f = tops[h];
        f.frame = true;
        f.frame_proc = reinterpret_cast<Window_Proc>(create->lpCreateParams);
    }
    Top_Info* f = Top_Of(h);
    if (!f) return DefWindowProcA(h, message, wparam, lparam);
    switch (message) {
        case WM_CREATE:
            // The status strip: what a long exchange is doing and how far, and the open port.
            f->status =
                CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, h,
                                reinterpret_cast<::HMENU>(kStatus_Id), instance, nullptr);
            f->progress = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | PBS_SMOOTH, 0, 0, 0, 0,
                                          f->status, nullptr, instance, nullptr);
            SendMessageA(f->status, SB_SETTEXTA, 0 | SBT_OWNERDRAW, 0);
            SendMessageA(f->status, SB_SETTEXTA, 2, reinterpret_cast<LPARAM>("No port open"));
            break;
        case WM_WINDOWPOSCHANGED: {
            auto* pos = reinterpret_cast<const WINDOWPOS*>(lparam);
            if (pos && !(pos->flags & SWP_NOZORDER)) Console_Above(h);
            break;
        }
        case WM_ACTIVATE:
            if (LOWORD(wparam) != WA_INACTIVE) Console_Above(h);
            break;
        case WM_DRAWITEM: {
            auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lparam);
            if (item && item->hwndItem == f->status) {
                Draw_Status(*item, *f);
                return TRUE;
            }
            break;
        }
        case WM_DESTROY: {
            // The dialogs placed in its client area go with it, each told so first.
            std::vector<::HWND> held;
            for (auto& [d, info] : tops)
                if (!info.frame && GetAncestor(d, GA_ROOTOWNER) == h) held.push_back(d);
            for (::HWND d : held)
                if (IsWindow(d)) DestroyWindow(d);
            break;
        }
        case WM_NCDESTROY: {
            LRESULT r = DefWindowProcA(h, message, wparam, lparam);
            tops.erase(h);
            return r;
        }
        default:
            break;
    }
    // Its owned windows go before it hears WM_DESTROY: the console is handed back while it
    // may go, and taken again when it stays.
    if (message == WM_CLOSE) Release_Console(h);
    Window_Proc proc = f->frame_proc;
    LRESULT r = proc ? proc(Ours(h), message, wparam, lparam)
                     : Frame_Default(h, Mdi_Of(h), message, wparam, lparam);
    if (message == WM_CLOSE && IsWindow(h)) Own_Console(h);
    if (message == WM_PAINT) Frame_Painted(h);
    return r;
}

INT_PTR CALLBACK Dialog_Thunk(::HWND h, UINT message, WPARAM wparam, LPARAM lparam) {
    // The procedure hears WM_INITDIALOG when it is attached, not while the template is made.
    if (message == WM_INITDIALOG) return TRUE;
    Top_Info* d = Top_Of(h);
    if (!d) return FALSE;
    switch (message) {
        case WM_SYSCOMMAND:
            if (Key_Menu_To_Frame(h, wparam, lparam)) return TRUE;
            break;
        case WM_COMMAND: {
            ::HWND control = reinterpret_cast<::HWND>(lparam);
            if (control) {
                // The control's own callback first; the dialog's procedure when it declines.
                Control_Info* c = Control_Of(control);
                Dialog_Proc callback = c ? c->callback : nullptr;
                if (callback && callback(Ours(h), message, wparam, lparam)) return TRUE;
            } else if (HIWORD(wparam) == 0 &&
                       (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) &&
                       !GetDlgItem(h, LOWORD(wparam))) {
                return TRUE;  // Enter or Escape with no such button: nothing to press
            }
            break;
        }
        case WM_DRAWITEM:
            if (lparam && Draw_Graphic(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam)))
                return TRUE;
            break;
        case WM_NCDESTROY:
            tops.erase(h);
            std::erase(modal_dialogs, h);
            return FALSE;
        default:
            break;
    }
    Dialog_Proc proc = d->dialog_proc;
    INT_PTR r = proc ? INT_PTR(proc(Ours(h), message, wparam, lparam)) : 0;
    if (r) return r;
    // A dialog whose procedure leaves WM_CLOSE alone goes.
    if (message == WM_CLOSE) {
        DestroyWindow(h);
        return TRUE;
    }
    return FALSE;
}

// An in-memory dialog template without controls (they are made one by one afterwards),
// in the dialog font.
std::vector<DWORD> Dialog_Template_Bytes(const Dialog_Template& t, uint32_t style) {
    std::vector<WORD> words;
    auto put32 = [&](DWORD v) {
        words.push_back(WORD(v & 0xFFFF));
        words.push_back(WORD(v >> 16));
    };
    auto put_text = [&](const std::string& s) {
        for (unsigned char ch : s) words.push_back(WORD(ch));  // Latin-1 to UTF-16
        words.push_back(0);
    };
    put32(style | DS_SETFONT);
    put32(t.Ex_Style);
    words.push_back(0);  // no controls
    words.push_back(0);  // x
    words.push_back(0);  // y
    words.push_back(WORD(std::clamp(t.Width, 0, 0x7FFF)));
    words.push_back(WORD(std::clamp(t.Height, 0, 0x7FFF)));
    words.push_back(0);  // no menu
    words.push_back(0);  // the dialog class
    put_text(t.Caption);
    words.push_back(8);  // points
    put_text("MS Shell Dlg");
    std::vector<DWORD> bytes((words.size() + 1) / 2, 0);
    std::memcpy(bytes.data(), words.data(), words.size() * sizeof(WORD));
    return bytes;
}

::HWND Make_Dialog(const Dialog_Template& t, ::HWND parent) {
    uint32_t style = t.Style & ~uint32_t(WS_VISIBLE);
    std::vector<DWORD> bytes = Dialog_Template_Bytes(t, style);
    return CreateDialogIndirectParamA(instance, reinterpret_cast<LPCDLGTEMPLATEA>(bytes.data()),
                                      parent, &Dialog_Thunk, 0);
}

// The dialog font's base units, measured on a dialog of that font as the system maps them.
void Compute_Base_Units() {
    Dialog_Template probe{"", 10, 10, WS_POPUP, 0};
    ::HWND d = Make_Dialog(probe, nullptr);
    if (!d) return;
    RECT r{0, 0, 4, 8};
    if (MapDialogRect(d, &r) && r.right > 0 && r.bottom > 0)
        base_units = Base_Units{r.right, r.bottom};
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(d, WM_GETFONT, 0, 0));
    LOGFONTA logical{};
    if (font && GetObjectA(font, sizeof logical, &logical))
        dialog_font = CreateFontIndirectA(&logical);
    DestroyWindow(d);
}

const char* Class_Of(Control_Kind kind) {
    switch (kind) {
        case Control_Kind::Label:
        case Control_Kind::Graphic:
            return "STATIC";
        case Control_Kind::Edit:
            return "EDIT";
        case Control_Kind::Button:
            return "BUTTON";
        case Control_Kind::Combo:
            return "COMBOBOX";
        case Control_Kind::Rich_Edit:
            return "RICHEDIT50W";
    }
    return "STATIC";
}

// Tab, the arrow keys among options, and the default button, as a dialog has them.
bool Dialog_Message(MSG& msg) {
    for (::HWND w = msg.hwnd; w; w = GetParent(w)) {
        Top_Info* t = Top_Of(w);
        if (!t) continue;
        return !t->frame && IsDialogMessageA(w, &msg);
    }
    return false;
}

// Gives every posted message and the quit message their turn until the deadline (or once).
// False when the quit message came: it is posted again for the loop that waits for it.
bool Pump_Until(DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(int(msg.wParam));
                return false;
            }
            if (Dialog_Message(msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        DWORD spent = GetTickCount() - start;
        if (spent >= ms) return true;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
    }
}

class Win32_Backend final : public Backend {
  public:
    bool Set_Dlg_Item_Text(HWND dialog, int32_t id, const std::string& text) override {
        ::HWND c = GetDlgItem(Native(dialog), id);
        if (!c) return false;
        SendMessageA(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        return true;
    }
    std::string Get_Dlg_Item_Text(HWND dialog, int32_t id) override {
        ::HWND c = GetDlgItem(Native(dialog), id);
        if (!c) return std::string();
        LRESULT n = SendMessageA(c, WM_GETTEXTLENGTH, 0, 0);
        std::string text(size_t(std::max<LRESULT>(n, 0)) + 1, '\0');
        LRESULT got =
            SendMessageA(c, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
        text.resize(size_t(std::clamp<LRESULT>(got, 0, LRESULT(text.size()))));
        return text;
    }
    int64_t Send_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) override {
        // Another thread's message is handled on the window's own thread by the system.
        return SendMessageA(Native(window), message, wparam, lparam);
    }
    bool Post_Message(HWND window, uint32_t message, uint64_t wparam, int64_t lparam) override {
        return PostMessageA(Native(window), message, wparam, lparam) != FALSE;
    }
    bool Invalidate_Rect(HWND window, bool erase) override {
        return InvalidateRect(Native(window), nullptr, erase) != FALSE;
    }
    bool Update_Window(HWND window) override {
        // Painted now means with the text that waits for a rich edit's tick.
        ::HWND h = Native(window);
        std::vector<::HWND> edits;
        for (auto& [control, c] : controls)
            if (c.kind == Kind::Rich_Edit && (control == h || IsChild(h, control)))
                edits.push_back(control);
        for (::HWND e : edits)
            if (Control_Info* c = Control_Of(e)) Rich_Edit_Flush(e, *c);
        return UpdateWindow(h) != FALSE;
    }
    bool Set_Timer(HWND window, uint64_t id, uint32_t ms) override {
        return SetTimer(Native(window), UINT_PTR(id), ms, nullptr) != 0;
    }
    bool Kill_Timer(HWND window, uint64_t id) override {
        return KillTimer(Native(window), UINT_PTR(id)) != FALSE;
    }

    HWND Create_Frame(const std::string& caption, int32_t width, int32_t height,
                      Window_Proc proc) override {
        ::HWND h =
            CreateWindowExA(0, kFrame_Class, caption.c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                            CW_USEDEFAULT, CW_USEDEFAULT, width, height, nullptr, nullptr, instance,
                            reinterpret_cast<void*>(proc));
        return Ours(h);
    }
    HWND Create_Mdi_Client(HWND frame) override {
        CLIENTCREATESTRUCT create{};
        create.hWindowMenu = nullptr;
        create.idFirstChild = kFirst_Mdi_Child;
        ::HWND h =
            CreateWindowExA(WS_EX_CLIENTEDGE, "MDICLIENT", "",
                            WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_VSCROLL | WS_HSCROLL, 0, 0,
                            0, 0, Native(frame), reinterpret_cast<::HMENU>(1), instance, &create);
        if (!h) return 0;
        Adopt(h, Kind::Mdi_Client);
        // Kept by the class only for its documents: the layer shows them when needed.
        SetWindowLongA(h, GWL_STYLE, GetWindowLongA(h, GWL_STYLE) | WS_HSCROLL | WS_VSCROLL);
        if (Top_Info* f = Top_Of(Native(frame))) Layout_Frame(Native(frame), *f, h);
        return Ours(h);
    }
    LRESULT Def_Frame_Proc(HWND frame, HWND mdi_client, uint32_t message, WPARAM wparam,
                           LPARAM lparam) override {
        return Frame_Default(Native(frame), Native(mdi_client), message, wparam, lparam);
    }
    LRESULT Def_Window_Proc(HWND window, uint32_t message, WPARAM wparam, LPARAM lparam) override {
        ::HWND h = Native(window);
        if (Control_Of(h)) return Control_Default(h, message, wparam, lparam);
        if (Top_Info* t = Top_Of(h); t && t->frame)
            return Frame_Default(h, Mdi_Of(h), message, wparam, lparam);
        if (Top_Of(h)) return 0;  // a dialog's default handling is the dialog manager's
        return DefWindowProcA(h, message, wparam, lparam);
    }

    HWND Create_Dialog(const Dialog_Template& t, HWND parent) override {
        ::HWND h = Make_Dialog(t, Native(parent));
        if (!h) return 0;
        Top_Info& d = tops[h];
        RECT r{};
        GetWindowRect(h, &r);
        d.initial = SIZE{r.right - r.left, r.bottom - r.top};
        return Ours(h);
    }
    HWND Create_Control(HWND dialog, const Control_Template& t) override {
        ::HWND parent = Native(dialog);
        Top_Info* d = Top_Of(parent);
        if (!d) return 0;
        uint32_t style = t.Style | WS_CHILD | WS_VISIBLE;
        uint32_t ex_style = t.Ex_Style;
        Kind kind = Kind::Control;
        if (t.Kind == Control_Kind::Rich_Edit) kind = Kind::Rich_Edit;
        if (t.Kind == Control_Kind::Graphic) {
            kind = Kind::Graphic;
            style = (style & ~0x1Fu) | SS_OWNERDRAW;
        }
        ::HWND h = CreateWindowExA(
            ex_style, Class_Of(t.Kind), t.Caption.c_str(), style, Dlu_To_Px_X(t.X),
            Dlu_To_Px_Y(t.Y), Dlu_To_Px_X(t.Width), Dlu_To_Px_Y(t.Height), parent,
            reinterpret_cast<::HMENU>(static_cast<intptr_t>(t.Id)), instance, nullptr);
        if (!h) return 0;
        HFONT font = reinterpret_cast<HFONT>(SendMessageA(parent, WM_GETFONT, 0, 0));
        SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font ? font : dialog_font), FALSE);
        Control_Info& c = Adopt(h, kind);
        c.dialog = parent;
        c.id = t.Id;
        c.callback = t.Callback;
        if (t.Style & WS_GROUP) ++d->next_group;
        c.group = d->next_group;
        c.own_disabled = (t.Style & WS_DISABLED) != 0;
        if (kind == Kind::Rich_Edit) {
            // The layer keeps the limit itself and trims from the front: the control's own
            // would refuse the newest text instead.
            SendMessageA(h, EM_EXLIMITTEXT, 0, 0x7FFFFFFE);
            SendMessageA(h, EM_SETEVENTMASK, 0, ENM_CHANGE);
            // Only the echo writes into it: the keys (Enter, Backspace, Delete, a paste)
            // reach the controller through WM_CHAR, never the text.
            SendMessageA(h, EM_SETREADONLY, TRUE, 0);
        }
        return Ours(h);
    }
    HWND Get_Dlg_Item(HWND dialog, int32_t id) override {
        return Ours(GetDlgItem(Native(dialog), id));
    }
    bool Set_Dialog_Proc(HWND dialog, Dialog_Proc proc) override {
        Top_Info* d = Top_Of(Native(dialog));
        if (!d || d->frame) return false;
        bool first = d->dialog_proc == nullptr;
        d->dialog_proc = proc;
        if (first && proc) proc(dialog, WM_INITDIALOG, 0, 0);
        return true;
    }
    Window_Proc Set_Window_Proc(HWND control, Window_Proc proc) override {
        Control_Info* c = Control_Of(Native(control));
        if (!c) return nullptr;
        Window_Proc before = c->proc ? c->proc : &win::Def_Window_Proc;
        c->proc = proc;
        return before;
    }
    HMENU Create_Menu(bool popup) override {
        return Ours_Menu(popup ? CreatePopupMenu() : CreateMenu());
    }
    bool Append_Menu(HMENU menu, uint32_t flags, uint64_t id_or_popup,
                     const std::string& text) override {
        UINT_PTR item = (flags & MF_POPUP)
                            ? reinterpret_cast<UINT_PTR>(Native_Menu(HMENU(int64_t(id_or_popup))))
                            : UINT_PTR(id_or_popup);
        const char* caption = (flags & MF_SEPARATOR) ? nullptr : text.c_str();
        return AppendMenuA(Native_Menu(menu), flags, item, caption) != FALSE;
    }
    bool Set_Menu(HWND window, HMENU menu) override {
        ::HWND h = Native(window);
        RECT client{};
        GetClientRect(h, &client);
        if (!SetMenu(h, Native_Menu(menu))) return false;
        // A dialog keeps the client area its control table gave: the bar comes on top.
        if (Top_Info* d = Top_Of(h); d && !d->frame) {
            RECT outer = client;
            AdjustWindowRectEx(&outer, DWORD(GetWindowLongA(h, GWL_STYLE)), TRUE,
                               DWORD(GetWindowLongA(h, GWL_EXSTYLE)));
            d->initial = SIZE{outer.right - outer.left, outer.bottom - outer.top};
            SetWindowPos(h, nullptr, 0, 0, d->initial.cx, d->initial.cy,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        DrawMenuBar(h);
        return true;
    }
    int32_t Get_Menu_State(HMENU menu, uint32_t id) override {
        UINT state = GetMenuState(Native_Menu(menu), id, MF_BYCOMMAND);
        return state == UINT(-1) ? -1 : int32_t(state & MFS_CHECKED);
    }
    bool Set_Menu_State(HMENU menu, uint32_t id, uint32_t state) override {
        return CheckMenuItem(Native_Menu(menu), id,
                             MF_BYCOMMAND | ((state & MFS_CHECKED) ? MF_CHECKED : MF_UNCHECKED)) !=
               DWORD(-1);
    }
    bool Set_Parent(HWND child, HWND parent) override {
        ::HWND c = Native(child);
        ::HWND p = Native(parent);
        if (!IsWindow(c)) return false;
        // The dialog keeps its popup style inside the client area, and with it its menu bar
        // (a child-styled window can have none).
        if (!SetParent(c, p) && GetLastError() != 0) return false;
        if (Top_Info* d = Top_Of(c)) {
            // At the client area's corner until shown: where it stood on the screen would
            // give the client area scroll bars for nothing.
            d->centred = true;
            SetWindowPos(c, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        return true;
    }
    bool Show_Window(HWND window, int32_t command) override {
        ::HWND h = Native(window);
        Top_Info* d = Top_Of(h);
        ::HWND parent = Parent_Of(h);
        bool inside = d && !d->frame && parent && Control_Of(parent) &&
                      Control_Of(parent)->kind == Kind::Mdi_Client;
        bool was = IsWindowVisible(h) != FALSE;
        if (inside && command == SW_MAXIMIZE) {
            d->filling = true;
            d->centred = false;
            Fill(h, *d);
            ShowWindow(h, SW_SHOW);
            SetWindowPos(h, kTop_Of_Siblings, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            return was;
        }
        if (inside && command != SW_HIDE) {
            if (d->filling) {
                d->filling = false;
                SetWindowPos(h, nullptr, 0, 0, d->initial.cx, d->initial.cy,
                             SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            }
            if (d->centred) {
                // The first showing centres it in the client area (no position given).
                d->centred = false;
                RECT area{};
                GetClientRect(parent, &area);
                SetWindowPos(h, nullptr, std::max<int>(0, (area.right - d->initial.cx) / 2),
                             std::max<int>(0, (area.bottom - d->initial.cy) / 2), 0, 0,
                             SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            }
            ShowWindow(h, SW_SHOW);
            SetWindowPos(h, kTop_Of_Siblings, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            return was;
        }
        if (d && d->frame && !was && command != SW_HIDE) Fit_To_Work_Area(h);
        ShowWindow(h, command);
        if (d && d->frame && command != SW_HIDE) Place_Console_Beside(h);
        return was;
    }
    bool Enable_Window(HWND window, bool enable) override {
        ::HWND h = Native(window);
        Control_Info* c = Control_Of(h);
        if (!c) return EnableWindow(h, enable) != FALSE;
        bool was_disabled = c->own_disabled;
        c->own_disabled = !enable;
        Apply_Enabled(h, *c);
        return was_disabled;
    }
    bool Block_Input(HWND window, bool block) override {
        ::HWND h = Native(window);
        Control_Info* c = Control_Of(h);
        if (!c) return false;
        c->blocked = block;
        Apply_Enabled(h, *c);
        return true;
    }
    bool Enable_Menu_Item(HMENU menu, uint32_t id, bool enable) override {
        return EnableMenuItem(Native_Menu(menu), id,
                              MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED)) != -1;
    }
    bool Is_Window(HWND window) override { return IsWindow(Native(window)) != FALSE; }
    bool Is_Window_Visible(HWND window) override {
        return IsWindowVisible(Native(window)) != FALSE;
    }
    bool Is_Window_Enabled(HWND window) override {
        ::HWND h = Native(window);
        if (Control_Info* c = Control_Of(h)) return IsWindow(h) && !c->own_disabled;
        return IsWindowEnabled(h) != FALSE;
    }
    bool Set_Focus(HWND window) override {
        ::HWND h = Native(window);
        if (!IsWindow(h)) return false;
        SetFocus(h);
        return true;
    }
    bool Destroy_Window(HWND window) override {
        Release_Console(Native(window));
        return DestroyWindow(Native(window)) != FALSE;
    }
    bool Load_Picture(HWND graphic, const std::string& path) override {
        ::HWND h = Native(graphic);
        Control_Info* c = Control_Of(h);
        if (!c || c->kind != Kind::Graphic) return false;
        // Read by our own file call, which refuses a pipe or device at the name.
        std::string bytes;
        if (!platform::Read_Whole_File(path, bytes)) return false;
        HBITMAP picture = Bitmap_From_Bmp(bytes);
        if (!picture) return false;
        if (c->picture) DeleteObject(c->picture);
        c->picture = picture;
        InvalidateRect(h, nullptr, TRUE);
        return true;
    }
    HWND Create_Tooltip(HWND parent, uint32_t style) override {
        ::HWND h = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                                   WS_POPUP | TTS_ALWAYSTIP | style, CW_USEDEFAULT, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, Native(parent), nullptr, instance,
                                   nullptr);
        if (!h) return 0;
        Adopt(h, Kind::Tooltip);
        return Ours(h);
    }
    void Post_Quit_Message(int32_t code) override {
        if (GetCurrentThreadId() == ui_thread)
            PostQuitMessage(code);
        else
            PostThreadMessageA(ui_thread, WM_QUIT, WPARAM(code), 0);
    }
    int32_t Message_Loop() override {
        MSG msg{};
        BOOL got;
        while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
            if (Dialog_Message(msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        return got < 0 ? -1 : int32_t(msg.wParam);
    }
    bool Set_Status(HWND frame, const std::string& text, int64_t done, int64_t total) override {
        ::HWND h = Native(frame);
        Top_Info* f = Top_Of(h);
        if (!f || !f->status) return false;
        f->status_text = text;
        f->tone = Status_Tone::Plain;
        f->status_done = done;
        f->status_total = total;
        f->status_waiting = true;
        // A new operation's first word, and its end, show at once.
        int64_t now = int64_t(GetTickCount64());
        if (now >= f->status_due_ms || total <= 0 || done <= 0) {
            Show_Status(h, *f);
        } else if (!f->status_timer) {
            f->status_timer = true;
            SetTimer(h, kStatus_Timer_Id, UINT(f->status_due_ms - now),
                     [](::HWND w, UINT, UINT_PTR id, DWORD) {
                         KillTimer(w, id);
                         if (Top_Info* t = Top_Of(w)) {
                             t->status_timer = false;
                             Show_Status(w, *t);
                         }
                     });
        }
        return true;
    }
    bool Set_Status_Tone(HWND frame, Status_Tone tone) override {
        Top_Info* f = Top_Of(Native(frame));
        if (!f || !f->status) return false;
        Show_Status(Native(frame), *f);
        f->tone = tone;
        InvalidateRect(f->status, nullptr, TRUE);
        return true;
    }
    bool Set_Status_Port(HWND frame, const std::string& text) override {
        Top_Info* f = Top_Of(Native(frame));
        if (!f || !f->status) return false;
        SendMessageA(f->status, SB_SETTEXTA, 2, reinterpret_cast<LPARAM>(text.c_str()));
        return true;
    }
    bool Get_Open_File_Name(OPENFILENAME& record) override {
        if (GetCurrentThreadId() != ui_thread) return false;
        std::string ext = record.Default_Ext;
        if (ext.rfind("*.", 0) == 0) ext.erase(0, 2);
        if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
        std::string filter = record.Filter.empty() ? "*.*" : record.Filter;
        std::string filters;
        if (filter.find('(') == std::string::npos) {
            filters = "All files (" + filter + ")";
            filters += '\0';
            filters += filter;
            filters += '\0';
        } else {
            // "Name (*.a *.b);;Name (*)": each name shown as it is, its patterns ";"-joined.
            for (size_t at = 0; at < filter.size();) {
                size_t end = filter.find(";;", at);
                if (end == std::string::npos) end = filter.size();
                std::string entry = filter.substr(at, end - at);
                at = end + 2;
                size_t open = entry.find('('), close = entry.rfind(')');
                if (open == std::string::npos || close == std::string::npos || close < open)
                    continue;
                std::string patterns = entry.substr(open + 1, close - open - 1);
                for (char& c : patterns)
                    if (c == ' ') c = ';';
                if (patterns == "*") patterns = "*.*";
                filters += entry;
                filters += '\0';
                filters += patterns;
                filters += '\0';
            }
        }
        std::vector<char> file(32768, '\0');
        OPENFILENAMEA ofn{};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = Native(record.Owner);
        ofn.lpstrFilter = filters.c_str();
        ofn.lpstrFile = file.data();
        ofn.nMaxFile = DWORD(file.size());
        ofn.lpstrInitialDir = record.Initial_Dir.empty() ? nullptr : record.Initial_Dir.c_str();
        ofn.lpstrTitle = record.Title.c_str();
        ofn.lpstrDefExt = ext.empty() ? nullptr : ext.c_str();
        ofn.Flags = (record.Flags & ~DWORD(OFN_ENABLEHOOK | OFN_ENABLETEMPLATE |
                                           OFN_ENABLETEMPLATEHANDLE | OFN_ALLOWMULTISELECT)) |
                    OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
                    OFN_NOCHANGEDIR | OFN_ENABLEHOOK;
        // The hook learns the dialog's window, so End_Modal_Dialogs can cancel it.
        ofn.lpfnHook = [](::HWND hook, UINT message, WPARAM, LPARAM) -> UINT_PTR {
            if (message == WM_INITDIALOG) modal_dialogs.push_back(GetParent(hook));
            if (message == WM_DESTROY) std::erase(modal_dialogs, GetParent(hook));
            return 0;
        };
        bool chosen = GetOpenFileNameA(&ofn) != FALSE;
        if (!chosen) return false;
        record.File = file.data();
        return true;
    }
    bool End_Modal_Dialogs() override {
        std::vector<::HWND> asking = modal_dialogs;
        for (::HWND d : asking) PostMessageA(d, WM_COMMAND, IDCANCEL, 0);
        return !asking.empty();
    }
    void Pump_Messages(uint32_t ms) override {
        if (GetCurrentThreadId() != ui_thread) return;
        Pump_Until(ms);
    }
};

Win32_Backend* backend = nullptr;

}  // namespace

std::vector<::HWND> Frames() {
    std::vector<::HWND> frames;
    for (auto& [h, t] : tops)
        if (t.frame && IsWindow(h)) frames.push_back(h);
    return frames;
}

Control_Info* Control_Of(::HWND h) {
    auto it = controls.find(h);
    return it == controls.end() ? nullptr : &it->second;
}

void First_Painted() {
    if (first_paint) {
        auto f = first_paint;
        first_paint = nullptr;
        f();
    }
}

}  // namespace kdx::win::w32

namespace kdx::win {

bool Application_Start(int& /*argc*/, char** /*argv*/) {
    using namespace w32;
    if (w32::backend) return true;
    w32::instance = GetModuleHandleA(nullptr);
    w32::ui_thread = GetCurrentThreadId();
    INITCOMMONCONTROLSEX common{sizeof common, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&common);
    // The rich edit class (RICHEDIT50W) lives in Msftedit.
    if (!LoadLibraryA("Msftedit.dll")) return false;
    WNDCLASSEXA frame{};
    frame.cbSize = sizeof frame;
    frame.style = CS_HREDRAW | CS_VREDRAW;
    frame.lpfnWndProc = &Frame_Thunk;
    frame.hInstance = w32::instance;
    // The program's own icon (resource 1, packaging/windows/kdx.ico), where it has one.
    frame.hIcon = LoadIconA(w32::instance, MAKEINTRESOURCEA(1));
    frame.hIconSm = static_cast<HICON>(LoadImageA(w32::instance, MAKEINTRESOURCEA(1), IMAGE_ICON,
                                                  GetSystemMetrics(SM_CXSMICON),
                                                  GetSystemMetrics(SM_CYSMICON), 0));
    if (!frame.hIcon) frame.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    frame.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    frame.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
    frame.lpszClassName = kFrame_Class;
    if (!RegisterClassExA(&frame) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    Compute_Base_Units();
    w32::backend = new Win32_Backend;
    Set_Backend(w32::backend);
    Register_Window_Console();
    return true;
}

void Application_Stop() {
    using namespace w32;
    if (!w32::backend) return;
    Unregister_Window_Console();
    Set_Backend(nullptr);
    // What is still open goes: the frames (with what they hold), then lone dialogs.
    std::vector<::HWND> windows;
    for (auto& [h, t] : tops)
        if (t.frame) windows.push_back(h);
    for (::HWND h : windows) {
        Release_Console(h);
        if (IsWindow(h)) DestroyWindow(h);
    }
    windows.clear();
    for (auto& [h, t] : tops) windows.push_back(h);
    for (::HWND h : windows)
        if (IsWindow(h)) DestroyWindow(h);
    // A quit message nobody took would end the next loop at once.
    MSG msg;
    while (PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    delete w32::backend;
    w32::backend = nullptr;
}

Base_Units Dialog_Base_Units() {
    return w32::base_units;
}

int32_t Dlu_To_Px_X(int32_t dlu) {
    int64_t v = int64_t(dlu) * w32::base_units.X;
    return int32_t(v >= 0 ? (v + 2) / 4 : -((-v + 2) / 4));
}

int32_t Dlu_To_Px_Y(int32_t dlu) {
    int64_t v = int64_t(dlu) * w32::base_units.Y;
    return int32_t(v >= 0 ? (v + 4) / 8 : -((-v + 4) / 8));
}

void Process_Events(int32_t ms) {
    if (GetCurrentThreadId() != w32::ui_thread) return;
    w32::Pump_Until(DWORD(std::max(ms, 0)));
}

void On_First_Paint(void (*f)()) {
    w32::first_paint = f;
}

bool Save_Window_Picture(HWND window, const std::string& path) {
    ::HWND h = w32::Native(window);
    if (!IsWindow(h)) return false;
    if (w32::Control_Of(h)) h = GetAncestor(h, GA_ROOT);
    return w32::Save_Png(h, path);
}

bool Save_Titled_Window_Picture(const std::string& title, const std::string& path) {
    ::HWND h = FindWindowA(nullptr, title.c_str());
    return h && IsWindowVisible(h) && w32::Save_Png(h, path);
}

}  // namespace kdx::win
