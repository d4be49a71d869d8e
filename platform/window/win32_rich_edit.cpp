// Msftedit's rich edit and the tooltip under the plain interface's records: the echo's RTF
// goes in at the end of the text through EM_STREAMIN, the text is trimmed from the front at
// its limit, and the newest text stays in view; tool records become the system's.
#include <vector>

#include "platform/window/win32_internal.h"

namespace kdx::win::w32 {

namespace {

// Hands the system's stream-in callback on to the plain interface's.
DWORD CALLBACK Stream_In(DWORD_PTR cookie, LPBYTE buffer, LONG size, LONG* delivered) {
    auto* stream = reinterpret_cast<EDITSTREAM*>(cookie);
    int32_t got = 0;
    uint32_t error = stream->pfnCallback(stream->dwCookie, buffer, size, &got);
    *delivered = got;
    stream->dwError = error;
    return error;
}

LONG Length(::HWND h, WNDPROC original) {
    GETTEXTLENGTHEX how{GTL_NUMCHARS | GTL_PRECISE, 1200};
    return LONG(
        CallWindowProcA(original, h, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&how), 0));
}

void Select(::HWND h, WNDPROC original, LONG from, LONG to) {
    ::CHARRANGE range{from, to};
    CallWindowProcA(original, h, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
}

// Text beyond the limit goes from the front; the caret ends after the newest text, which is
// scrolled into view.
void Trim_And_Follow(::HWND h, const Control_Info& c) {
    LONG length = Length(h, c.original);
    if (length > c.limit) {
        Select(h, c.original, 0, length - c.limit);
        CallWindowProcA(c.original, h, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
        length = Length(h, c.original);
    }
    Select(h, c.original, length, length);
    CallWindowProcA(c.original, h, EM_SCROLLCARET, 0, 0);
}

}  // namespace

bool Rich_Edit_Message(::HWND h, Control_Info& c, UINT message, WPARAM wparam, LPARAM lparam,
                       LRESULT& result) {
    switch (message) {
        case EM_LIMITTEXT:
        case EM_EXLIMITTEXT:
            c.limit = LONG(message == EM_LIMITTEXT ? wparam : LPARAM(lparam));
            if (c.limit <= 0) c.limit = 0x7FFFFFFE;
            result = 0;
            return true;
        case EM_GETLIMITTEXT:
            result = c.limit;
            return true;
        case EM_SETCHARFORMAT: {
            auto* format = reinterpret_cast<const CHARFORMAT*>(lparam);
            result = 0;
            if (!format) return true;
            CHARFORMAT2W native{};
            native.cbSize = sizeof native;
            native.dwMask = format->dwMask & CFM_COLOR;
            native.crTextColor = format->crTextColor;
            native.dwEffects = 0;  // not the automatic colour
            result = CallWindowProcA(c.original, h, EM_SETCHARFORMAT, wparam,
                                     reinterpret_cast<LPARAM>(&native));
            // And the colour of text without one of its own, as a fresh control's would be.
            CallWindowProcA(c.original, h, EM_SETCHARFORMAT, SCF_DEFAULT,
                            reinterpret_cast<LPARAM>(&native));
            return true;
        }
        case EM_STREAMIN: {
            auto* stream = reinterpret_cast<EDITSTREAM*>(lparam);
            result = 0;
            if (!stream || !stream->pfnCallback) return true;
            ::EDITSTREAM native{};
            native.dwCookie = reinterpret_cast<DWORD_PTR>(stream);
            native.pfnCallback = &Stream_In;
            // Into the selection means at the end of the text: where the echo keeps it.
            if (wparam & SFF_SELECTION) {
                LONG length = Length(h, c.original);
                Select(h, c.original, length, length);
            }
            result = CallWindowProcA(c.original, h, EM_STREAMIN, wparam,
                                     reinterpret_cast<LPARAM>(&native));
            Trim_And_Follow(h, c);
            return true;
        }
        default:
            return false;
    }
}

bool Tooltip_Message(::HWND h, Control_Info& c, UINT message, WPARAM wparam, LPARAM lparam,
                     LRESULT& result) {
    if (message != TTM_ADDTOOLA && message != TTM_DELTOOLA && message != TTM_GETTOOLINFOA)
        return false;
    auto* info = reinterpret_cast<const TOOLINFO*>(lparam);
    result = 0;
    if (!info) return true;
    std::vector<char> text(info->lpszText.begin(), info->lpszText.end());
    text.resize(std::max<size_t>(text.size() + 1, 1024), '\0');
    TTTOOLINFOA native{};
    native.cbSize = TTTOOLINFOA_V2_SIZE;
    native.uFlags = info->uFlags;
    native.hwnd = Native(info->hwnd);
    native.uId = (info->uFlags & TTF_IDISHWND) ? reinterpret_cast<UINT_PTR>(Native(info->uId))
                                               : UINT_PTR(info->uId);
    native.lpszText = text.data();
    result = CallWindowProcA(c.original, h, message, wparam, reinterpret_cast<LPARAM>(&native));
    return true;
}

}  // namespace kdx::win::w32
