// Msftedit's rich edit and the tooltip under the plain interface's records. The echo's RTF
// documents for the end of the text wait for the control's tick (one after a quiet tick goes
// in at once) and go in together, merged into one document: each stream into a line lays the
// whole line out again, so a stream per document cost as much as the line was long (the
// communication test's line of counts). What waits never holds more than the text limit; the
// text is trimmed from the front at the limit, whole lines where one starts near the cut; the
// newest text stays in view while the view was at the bottom. Tool records become the system's.
#include <algorithm>
#include <cctype>
#include <climits>
#include <deque>
#include <string_view>
#include <vector>

#include "platform/window/win32_internal.h"

namespace kdx::win::w32 {

namespace {

constexpr UINT_PTR kTick_Id = 0x4B44;
// As the echo's own tick: 25 a second, faster than anyone reads scrolling text.
constexpr int64_t kTick_Ms = 40;

struct Piece {
    size_t bytes = 0;   // of the merged body
    int64_t shown = 0;  // characters it shows
};

}  // namespace

// Documents waiting for the tick, merged: their colour and font tables made one, their bodies
// one group each with the colour and font numbers of the merged tables.
struct Rich_Batch {
    std::vector<COLORREF> colours;   // \cf n is colours[n - 1]; 0 the automatic colour
    std::vector<std::string> fonts;  // \f n: the entry's text after its number
    std::string body;
    std::deque<Piece> pieces;
    int64_t shown = 0;
    int64_t due_ms = INT64_MIN / 2;  // when the next may go in
    bool ticking = false;            // its timer is set
    std::string control_font;        // the control's own font's entry, once asked
    bool font_known = false;
};

namespace {

int64_t Now_Ms() {
    return int64_t(GetTickCount64());
}

bool Letter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

bool Digit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// The byte two hex digits give (256 when they are none).
int Hex_Value(std::string_view digits) {
    int v = 0;
    for (char c : digits) {
        int d = Digit(c)                 ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
        if (d < 0) return 256;
        v = v * 16 + d;
    }
    return v;
}

// A control word at rtf[at] (a backslash and a letter): its name, its number, and where it
// ends (after the space that delimits it).
struct Word {
    std::string_view name;
    int value = 0;
    bool has_value = false;
    size_t end = 0;
};

Word Read_Word(std::string_view rtf, size_t at) {
    size_t j = at + 1;
    while (j < rtf.size() && Letter(rtf[j])) ++j;
    Word w;
    w.name = rtf.substr(at + 1, j - at - 1);
    size_t k = j < rtf.size() && rtf[j] == '-' ? j + 1 : j;
    size_t digits = k;
    int64_t v = 0;
    while (k < rtf.size() && Digit(rtf[k])) {
        if (v < INT_MAX / 10) v = v * 10 + (rtf[k] - '0');
        ++k;
    }
    if (k > digits) {
        w.value = int(rtf[j] == '-' ? -v : v);
        w.has_value = true;
        j = k;
    }
    if (j < rtf.size() && rtf[j] == ' ') ++j;
    w.end = j;
    return w;
}

// Where the group opened at rtf[at] ends (after its "}"), escapes heeded.
size_t Group_End(std::string_view rtf, size_t at) {
    int depth = 0;
    for (size_t i = at; i < rtf.size(); ++i) {
        if (rtf[i] == '\\') {
            ++i;
            continue;
        }
        if (rtf[i] == '{') ++depth;
        if (rtf[i] == '}' && --depth == 0) return i + 1;
    }
    return rtf.size();
}

// The first control word of the group opened at rtf[at] ("" when it starts otherwise).
std::string_view Group_Word(std::string_view rtf, size_t at) {
    size_t i = at + 1;
    while (i < rtf.size() && (rtf[i] == '\r' || rtf[i] == '\n' || rtf[i] == ' ')) ++i;
    if (i + 1 >= rtf.size() || rtf[i] != '\\') return "";
    if (rtf[i + 1] == '*') return "*";
    return Letter(rtf[i + 1]) ? Read_Word(rtf, i).name : "";
}

// A colour table's entries into the merged one: the merged number of each entry (0 for the
// automatic colour, an entry without components).
std::vector<int> Merge_Colours(Rich_Batch& b, std::string_view table) {
    std::vector<int> numbers;
    int red = 0, green = 0, blue = 0;
    bool given = false;
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i] == ';') {
            int number = 0;
            if (given) {
                COLORREF colour = RGB(red & 255, green & 255, blue & 255);
                auto it = std::find(b.colours.begin(), b.colours.end(), colour);
                if (it == b.colours.end()) it = b.colours.insert(it, colour);
                number = int(it - b.colours.begin()) + 1;
            }
            numbers.push_back(number);
            red = green = blue = 0;
            given = false;
        } else if (table[i] == '\\' && i + 1 < table.size() && Letter(table[i + 1])) {
            Word w = Read_Word(table, i);
            if (w.name == "red") red = w.value, given = true;
            if (w.name == "green") green = w.value, given = true;
            if (w.name == "blue") blue = w.value, given = true;
            i = w.end - 1;
        }
    }
    return numbers;
}

// A font table's entries into the merged one: (the document's number, the merged number).
std::vector<std::pair<int, int>> Merge_Fonts(Rich_Batch& b, std::string_view table) {
    std::vector<std::pair<int, int>> numbers;
    int number = -1;
    std::string entry;
    for (size_t i = 0; i < table.size(); ++i) {
        char c = table[i];
        if (c == '{') {
            // An entry's own group, or a destination inside one (its alternative names).
            if (number >= 0 || Group_Word(table, i) == "*") i = Group_End(table, i) - 1;
            continue;
        }
        if (c == '}' || c == '\r' || c == '\n') continue;
        if (c == '\\' && i + 1 < table.size() && Letter(table[i + 1])) {
            Word w = Read_Word(table, i);
            if (w.name == "f" && w.has_value) {
                number = w.value;
                entry.clear();
            } else if (number >= 0) {
                entry.append(table.substr(i, w.end - i));
            }
            i = w.end - 1;
            continue;
        }
        if (number < 0) continue;
        entry += c;
        if (c != ';') continue;
        auto it = std::find(b.fonts.begin(), b.fonts.end(), entry);
        if (it == b.fonts.end()) it = b.fonts.insert(it, entry);
        numbers.emplace_back(number, int(it - b.fonts.begin()));
        number = -1;
    }
    return numbers;
}

// The merged number of a font, as the document's table gave it (-1 when it has none).
int Font_Number(const std::vector<std::pair<int, int>>& fonts, int number) {
    for (auto [own, merged] : fonts)
        if (own == number) return merged;
    return -1;
}

// The font entry of the control's own font (its default character format), for a document
// without a font table: its text shows in that font, as it would stand alone in the control.
std::string Control_Font_Entry(::HWND h, WNDPROC original) {
    CHARFORMAT2A format{};
    format.cbSize = sizeof format;
    format.dwMask = CFM_FACE | CFM_CHARSET;
    CallWindowProcA(original, h, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&format));
    if (!format.szFaceName[0]) return "";
    return "\\fnil\\fcharset" + std::to_string(format.bCharSet) + " " + format.szFaceName + ";";
}

// Adds one document to the batch: its body as a group of its own. Returns the characters it
// shows.
int64_t Add_Document(Rich_Batch& b, std::string_view rtf, const std::string& control_font) {
    std::vector<int> colours;
    std::vector<std::pair<int, int>> fonts;
    bool has_fonts = false;
    int default_font = 0;
    std::string body;
    int64_t shown = 0;
    int depth = 0;
    auto colour = [&](int n) {
        return n >= 0 && size_t(n) < colours.size() ? colours[size_t(n)] : 0;
    };
    for (size_t i = 0; i < rtf.size(); ++i) {
        char c = rtf[i];
        if (c == '{') {
            std::string_view first = Group_Word(rtf, i);
            if (depth > 0 && (first == "colortbl" || first == "fonttbl" || first == "*")) {
                size_t end = Group_End(rtf, i);
                std::string_view table = rtf.substr(i, end - i);
                if (first == "colortbl") colours = Merge_Colours(b, table.substr(10));
                if (first == "fonttbl") {
                    fonts = Merge_Fonts(b, table.substr(9));
                    has_fonts = true;
                }
                i = end - 1;
                continue;
            }
            if (depth++ > 0) body += c;
            continue;
        }
        if (c == '}') {
            if (--depth <= 0) break;
            body += c;
            continue;
        }
        if (depth == 0) continue;
        // A control character (Escape typed into the Terminal) has no glyph: it shows as
        // nothing, as on Qt, where the control drew an empty box.
        if (static_cast<unsigned char>(c) < 32 && c != '\t') continue;
        if (c != '\\') {
            body += c;
            ++shown;
            continue;
        }
        if (i + 1 >= rtf.size()) break;
        char n = rtf[i + 1];
        if (!Letter(n)) {
            // A symbol: an escaped brace or backslash, a byte in hex, a line break.
            size_t length = n == '\'' ? 4 : 2;
            std::string_view symbol = rtf.substr(i, length);
            bool control = n == '\'' && symbol.size() == 4 && Hex_Value(symbol.substr(2)) < 32 &&
                           Hex_Value(symbol.substr(2)) != '\t';
            if (!control) {
                body.append(symbol);
                if (n != '*') ++shown;
            }
            i += length - 1;
            continue;
        }
        Word w = Read_Word(rtf, i);
        i = w.end - 1;
        if (w.name == "rtf" || w.name == "ansi" || w.name == "ansicpg" || w.name == "deflang" ||
            w.name == "uc")
            continue;
        if (w.name == "deff") {
            default_font = w.value;
        } else if (w.name == "cf" || w.name == "cb" || w.name == "highlight") {
            body += "\\" + std::string(w.name) + std::to_string(colour(w.value)) + " ";
        } else if (w.name == "f") {
            int merged = Font_Number(fonts, w.value);
            if (merged >= 0) body += "\\f" + std::to_string(merged) + " ";
        } else {
            if (w.name == "line" || w.name == "par" || w.name == "tab") ++shown;
            body += "\\" + std::string(w.name);
            if (w.has_value) body += std::to_string(w.value);
            body += ' ';
        }
    }
    // Text before any font word is in the document's default font, or the control's own.
    int start_font = -1;
    if (has_fonts) {
        start_font = Font_Number(fonts, default_font);
    } else if (!control_font.empty()) {
        auto it = std::find(b.fonts.begin(), b.fonts.end(), control_font);
        if (it == b.fonts.end()) it = b.fonts.insert(it, control_font);
        start_font = int(it - b.fonts.begin());
    }
    std::string group = "{";
    if (start_font >= 0) group += "\\f" + std::to_string(start_font) + " ";
    group += body;
    group += '}';
    b.body += group;
    b.pieces.push_back(Piece{group.size(), shown});
    b.shown += shown;
    return shown;
}

// The batch as one document.
std::string Merged_Document(const Rich_Batch& b) {
    std::string rtf = "{\\rtf1";
    if (!b.fonts.empty()) {
        rtf += "{\\fonttbl";
        for (size_t i = 0; i < b.fonts.size(); ++i)
            rtf += "{\\f" + std::to_string(i) + b.fonts[i] + "}";
        rtf += '}';
    }
    rtf += "{\\colortbl;";
    for (COLORREF c : b.colours)
        rtf += "\\red" + std::to_string(GetRValue(c)) + "\\green" + std::to_string(GetGValue(c)) +
               "\\blue" + std::to_string(GetBValue(c)) + ";";
    rtf += '}';
    rtf += b.body;
    rtf += '}';
    return rtf;
}

// What the limit would drop at once when the newer documents go in is not kept.
void Keep_Within(Rich_Batch& b, int64_t limit) {
    while (b.pieces.size() > 1 && b.shown - b.pieces.front().shown >= limit) {
        b.body.erase(0, b.pieces.front().bytes);
        b.shown -= b.pieces.front().shown;
        b.pieces.pop_front();
    }
}

void Drop(Rich_Batch& b) {
    b.colours.clear();
    b.fonts.clear();
    b.body.clear();
    b.pieces.clear();
    b.shown = 0;
}

// Hands the system's stream-in callback on to the plain interface's.
DWORD CALLBACK Stream_In(DWORD_PTR cookie, LPBYTE buffer, LONG size, LONG* delivered) {
    auto* stream = reinterpret_cast<EDITSTREAM*>(cookie);
    int32_t got = 0;
    uint32_t error = stream->pfnCallback(stream->dwCookie, buffer, size, &got);
    *delivered = got;
    stream->dwError = error;
    return error;
}

// The system's stream-in callback over a text of ours.
struct Text_Cookie {
    const char* next;
    size_t left;
};

DWORD CALLBACK Text_In(DWORD_PTR cookie, LPBYTE buffer, LONG size, LONG* delivered) {
    auto* c = reinterpret_cast<Text_Cookie*>(cookie);
    size_t n = std::min(c->left, size_t(std::max<LONG>(size, 0)));
    std::copy(c->next, c->next + n, buffer);
    c->next += n;
    c->left -= n;
    *delivered = LONG(n);
    return 0;
}

// The whole document the plain interface's callback gives; false when it reports an error.
bool Read_Document(EDITSTREAM& stream, std::string& out) {
    uint8_t buffer[4096];
    for (;;) {
        int32_t got = 0;
        uint32_t error = stream.pfnCallback(stream.dwCookie, buffer, int32_t(sizeof buffer), &got);
        stream.dwError = error;
        if (error != 0) return false;
        if (got <= 0) return true;
        out.append(reinterpret_cast<const char*>(buffer), size_t(std::min<int32_t>(got, 4096)));
    }
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

// Text beyond the limit goes from the front: whole lines when the next one starts near the
// cut (the first line left keeps its layout, and no half line shows).
void Trim(::HWND h, const Control_Info& c) {
    LONG length = Length(h, c.original);
    if (length <= c.limit) return;
    LONG excess = length - c.limit;
    LONG slack = std::min<LONG>(4096, c.limit / 4);
    LRESULT line = CallWindowProcA(c.original, h, EM_EXLINEFROMCHAR, 0, excess);
    LRESULT next = CallWindowProcA(c.original, h, EM_LINEINDEX, WPARAM(line + 1), 0);
    if (next > excess && next < length && next - excess <= slack) excess = LONG(next);
    Select(h, c.original, 0, excess);
    CallWindowProcA(c.original, h, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
}

// The view shows the end of the text (or all of it).
bool At_Bottom(::HWND h) {
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    if (!GetScrollInfo(h, SB_VERT, &info) || info.nPage == 0) return true;
    return info.nPos + int(info.nPage) >= info.nMax - 1;
}

// Streams a document in at the end of the text, trims, and keeps the view where it was, or
// at the newest text when it showed the end.
LRESULT Append(::HWND h, const Control_Info& c, const std::string& rtf) {
    bool follow = At_Bottom(h);
    POINT view{};
    CallWindowProcA(c.original, h, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&view));
    LONG length = Length(h, c.original);
    Select(h, c.original, length, length);
    Text_Cookie cookie{rtf.data(), rtf.size()};
    ::EDITSTREAM native{};
    native.dwCookie = reinterpret_cast<DWORD_PTR>(&cookie);
    native.pfnCallback = &Text_In;
    LRESULT result = CallWindowProcA(c.original, h, EM_STREAMIN, SF_RTF | SFF_SELECTION,
                                     reinterpret_cast<LPARAM>(&native));
    Trim(h, c);
    length = Length(h, c.original);
    Select(h, c.original, length, length);
    if (follow)
        CallWindowProcA(c.original, h, EM_SCROLLCARET, 0, 0);
    else
        CallWindowProcA(c.original, h, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&view));
    return result;
}

void CALLBACK Tick(::HWND h, UINT, UINT_PTR id, DWORD) {
    Control_Info* c = Control_Of(h);
    if (!c || !c->batch || c->batch->pieces.empty()) {
        KillTimer(h, id);
        if (c && c->batch) c->batch->ticking = false;
        return;
    }
    // Unseen, the text waits (at most the limit) until the control shows again: the timer
    // goes on at the tick's pace.
    if (IsWindowVisible(h))
        Rich_Edit_Flush(h, *c);
    else
        SetTimer(h, id, UINT(kTick_Ms), &Tick);
}

// The timer of a control with text waiting, set once (a timer is a call to the system).
void Arm(::HWND h, Rich_Batch& b, int64_t due_ms) {
    if (b.ticking) return;
    b.ticking = SetTimer(h, kTick_Id, UINT(std::clamp<int64_t>(due_ms, 1, 60000)), &Tick) != 0;
}

// Messages that read the text or change it: what waits goes in first.
bool Meets_The_Text(UINT message) {
    switch (message) {
        case WM_GETTEXT:
        case WM_GETTEXTLENGTH:
        case WM_CUT:
        case WM_COPY:
        case WM_PASTE:
        case WM_CLEAR:
        case WM_UNDO:
            return true;
        case EM_SETBKGNDCOLOR:
        case EM_SETEVENTMASK:
        case EM_GETEVENTMASK:
        case EM_SETREADONLY:
            return false;
        default:
            // The edit messages (EM_GETSEL to EM_GETIMESTATUS), the rich edit's own.
            return (message >= 0x00B0 && message <= 0x00DA) ||
                   (message >= WM_USER && message < WM_USER + 0x200);
    }
}

}  // namespace

void Rich_Edit_Flush(::HWND h, Control_Info& c) {
    if (!c.batch || c.batch->pieces.empty()) return;
    // Taken out first: a procedure that hears of the change may read the text meanwhile.
    std::string rtf = Merged_Document(*c.batch);
    Drop(*c.batch);
    if (c.batch->ticking) KillTimer(h, kTick_Id);
    c.batch->ticking = false;
    int64_t start = Now_Ms();
    Append(h, c, rtf);
    // The next waits a tick, or four times what this one cost, whichever is longer: under
    // Wine a stream into a long line or a long text costs tens of milliseconds, and the
    // window's share of a fast exchange then stays a fifth at most.
    int64_t end = Now_Ms();
    c.batch->due_ms = end + std::max(kTick_Ms, 4 * (end - start));
}

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
        case WM_SETFONT:
            if (c.batch) c.batch->font_known = false;
            return false;
        case WM_SETTEXT:
            // The text is replaced: what waited for it goes too.
            if (c.batch) Drop(*c.batch);
            return false;
        case EM_SETCHARFORMAT: {
            Rich_Edit_Flush(h, c);
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
            if ((wparam & (SF_RTF | SFF_SELECTION)) != (SF_RTF | SFF_SELECTION)) {
                // Anything but RTF for the end replaces the text at once.
                if (c.batch) Drop(*c.batch);
                ::EDITSTREAM native{};
                native.dwCookie = reinterpret_cast<DWORD_PTR>(stream);
                native.pfnCallback = &Stream_In;
                result = CallWindowProcA(c.original, h, EM_STREAMIN, wparam,
                                         reinterpret_cast<LPARAM>(&native));
                Trim(h, c);
                return true;
            }
            // Into the selection means at the end of the text: where the echo keeps it.
            std::string rtf;
            if (!Read_Document(*stream, rtf)) return true;
            if (!c.batch) c.batch = std::make_shared<Rich_Batch>();
            Rich_Batch& b = *c.batch;
            if (!b.font_known) b.control_font = Control_Font_Entry(h, c.original);
            b.font_known = true;
            result = Add_Document(b, rtf, b.control_font);
            Keep_Within(b, c.limit);
            int64_t wait = b.due_ms - Now_Ms();
            if (wait <= 0 && IsWindowVisible(h))
                Rich_Edit_Flush(h, c);
            else
                Arm(h, b, wait);
            return true;
        }
        default:
            if (Meets_The_Text(message)) Rich_Edit_Flush(h, c);
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
