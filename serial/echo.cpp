#include "serial/echo.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <deque>

#include "files/port_log.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "serial/serial_port.h"
#include "trace/trace.h"

namespace kdx {

namespace {

const char* const kFontTable = "{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset0 Courier New;}}";
const char* const kSentColours = "{\\colortbl;\\red0\\green200\\blue255;}";
const char* const kStatusColours = "{\\colortbl;\\red0\\green128\\blue0;}";
const char* const kReceivedColours = "{\\colortbl;\\red255\\green255\\blue0;}";

// A document waiting in the queue, with the form it was built in.
struct Pending {
    Echo_Document document;
    bool plain = false;
    uint64_t order = 0;  // when it was queued, among every control's documents
    int64_t shown = 0;   // fewest characters it shows
};

// The documents waiting for one control, and the fewest characters they show together.
struct Control_Queue {
    int32_t control = 0;
    std::deque<Pending> pending;
    int64_t shown = 0;
};

struct Queue {
    std::mutex lock;
    std::mutex apply_lock;  // one applier at a time, so documents reach the sink in order
    // One queue per control, so the oldest document of one control can go without a search;
    // applied in the order of `order` across them.
    std::vector<Control_Queue> controls;
    uint64_t next_order = 0;
    size_t waiting = 0;
    Echo_Sink* sink = nullptr;
    std::thread::id ui_thread;
    std::function<void()> post;

    Control_Queue& Of(int32_t control) {
        for (auto& c : controls)
            if (c.control == control) return c;
        controls.push_back(Control_Queue{control, {}, 0});
        return controls.back();
    }
    // The oldest waiting document of any control; false with none. Call with the lock held.
    bool Take(Pending& out) {
        Control_Queue* first = nullptr;
        for (auto& c : controls)
            if (!c.pending.empty() &&
                (!first || c.pending.front().order < first->pending.front().order))
                first = &c;
        if (!first) return false;
        out = std::move(first->pending.front());
        first->pending.pop_front();
        first->shown -= out.shown;
        --waiting;
        return true;
    }
};

Queue& The_Queue() {
    static Queue queue;
    return queue;
}

// Set while this thread applies the queue: an echo the sink itself makes (directly or through
// a port call) is queued behind the document being applied and taken by the running loop,
// rather than waiting for the lock this thread holds.
thread_local bool applying = false;
// Echo_Hold's depth on this thread: documents queue and are shown when it returns to 0.
thread_local int holding = 0;

// What the installed sink takes; with none, no document is built at all.
enum class Form { None, Rich, Plain };

Form Sink_Form() {
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> guard(q.lock);
    if (!q.sink) return Form::None;
    return q.sink->Echo_Plain() ? Form::Plain : Form::Rich;
}

// Shows what waits: posts it to the dispatcher's thread, or applies it here.
void Show_Queue(std::function<void()> post) {
    // Another thread's echo never waits for the user-interface thread.
    if (post) {
        post();
        return;
    }
    if (applying) return;
    Echo_Queue_Apply();
}

// The fewest characters the window shows for the text: one or more for every byte but a
// received comma and a sent or status LF, which show as none.
int64_t Fewest_Shown(Echo_Kind kind, std::string_view text) {
    char unshown = kind == Echo_Kind::Received ? ',' : '\n';
    return int64_t(text.size()) - int64_t(std::count(text.begin(), text.end(), unshown));
}

void Enqueue(Echo_Document document, bool plain, int64_t shown) {
    Queue& q = The_Queue();
    std::function<void()> post;
    {
        std::lock_guard<std::mutex> guard(q.lock);
        Control_Queue& c = q.Of(document.Control);
        c.pending.push_back(Pending{std::move(document), plain, q.next_order++, shown});
        c.shown += shown;
        ++q.waiting;
        // What the control would drop at once when the newer documents reach it is not kept.
        int64_t keep = q.sink ? q.sink->Echo_Keep(c.control) : -1;
        while (keep >= 0 && c.pending.size() > 1 && c.shown - c.pending.front().shown >= keep) {
            c.shown -= c.pending.front().shown;
            c.pending.pop_front();
            --q.waiting;
        }
        if (holding > 0) return;
        if (q.post && std::this_thread::get_id() != q.ui_thread) post = q.post;
    }
    Show_Queue(std::move(post));
}

// The pieces below append to one output string, each byte handled once: the echo of a flood
// must cost little more than the bytes themselves.

// Appends text to out: ordinary bytes in whole runs, each byte for which special() holds
// through handle(out, index) instead.
template <class Special, class Handle>
void Append_Runs(std::string& out, std::string_view text, Special special, Handle handle) {
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!special(static_cast<unsigned char>(text[i]))) continue;
        out.append(text.data() + run, i - run);
        handle(out, i);
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
}

bool Rtf_Special(unsigned char b) {
    return b == '\\' || b == '{' || b == '}' || b > 127;
}

bool Delimits_Control_Word(unsigned char next) {
    return (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
           (next >= '0' && next <= '9') || next == ' ' || next == '-';
}

void Append_Escaped(std::string& out, char c) {
    static const char* const kHex = "0123456789abcdef";
    unsigned char b = static_cast<unsigned char>(c);
    if (c == '\\' || c == '{' || c == '}') {
        out += '\\';
        out += c;
    } else if (b > 127) {
        out += "\\'";
        out += kHex[b >> 4];
        out += kHex[b & 15];
    } else {
        out += c;
    }
}

// The text escaped for RTF with every CR as \line. A letter, digit, space or hyphen right
// after the control word would be read as part of it (and vanish), so it gets the space
// delimiter.
void Append_Lines_Rtf(std::string& out, std::string_view text) {
    Append_Runs(
        out, text, [](unsigned char b) { return b == '\r' || Rtf_Special(b); },
        [&](std::string& o, size_t i) {
            if (text[i] != '\r') {
                Append_Escaped(o, text[i]);
                return;
            }
            o += "\\line";
            if (i + 1 < text.size() &&
                Delimits_Control_Word(static_cast<unsigned char>(text[i + 1])))
                o += ' ';
        });
}

// A control character as the window names it: CHR$( + code + ).
void Append_Named(std::string& out, unsigned char b) {
    out += "CHR$(";
    if (b >= 10) out += char('0' + b / 10);
    out += char('0' + b % 10);
    out += ')';
}

// The window names every control character but EOT and CR.
bool Window_Names(unsigned char b) {
    return b < 32 && b != 4 && b != 13;
}

// The log keeps the received bytes, except that a CR is a line break and a zero byte gets the
// window's visible form.
void Append_Log_Text(std::string& out, std::string_view text) {
    Append_Runs(
        out, text, [](unsigned char b) { return b == '\r' || b == 0; },
        [&](std::string& o, size_t i) { o += text[i] == '\r' ? "<br>" : "CHR$(0)"; });
}

const char* const kSentSpan = "<span style=\"color:rgb(0, 200, 255)\"> ";
const char* const kStatusSpan = "<span style=\"color:green\"> ";
const char* const kReceivedSpan = "<span style=\"color:rgb(255, 255, 0)\"> ";

std::string Log_Line(Echo_Kind kind, std::string_view text) {
    std::string line;
    line.reserve(text.size() + text.size() / 8 + 64);
    switch (kind) {
        case Echo_Kind::Sent:
            line += kSentSpan;
            Append_Log_Text(line, text);
            line += "</span>";
            break;
        case Echo_Kind::Status:
            line += kStatusSpan;
            Append_Runs(
                line, text, [](unsigned char b) { return b == 0; },
                [](std::string& o, size_t) { o += "CHR$(0)"; });
            line += "</span><br>";
            break;
        case Echo_Kind::Received:
            line += kReceivedSpan;
            Append_Log_Text(line, text);
            line += "</span>";
            break;
    }
    return line;
}

// The line is built only while a log is open to take it.
void Write_Log_Line(Echo_Kind kind, const std::string& text) {
    int32_t file = Port_Log_File;
    // A log that stopped wakes whoever watches for it.
    if (file != 0 && !Port_Log_Write_Line(file, Log_Line(kind, text)) && Port_Log_File == 0)
        Serial_Port_Watch_Notify();
}

std::string Document(Echo_Kind kind, const std::string& text) {
    switch (kind) {
        case Echo_Kind::Sent:
            return Echo_Sent_Document(text);
        case Echo_Kind::Status:
            return Echo_Status_Document(text);
        case Echo_Kind::Received:
            return Echo_Received_Document(text);
    }
    return {};
}

// Writes the log line and queues the document in the form the sink takes. rtf: the document
// when the caller has already built it (for the trace), else empty.
void Echo(Echo_Kind kind, int32_t control, const std::string& text, std::string rtf) {
    Form form = Sink_Form();
    Write_Log_Line(kind, text);
    if (form == Form::None) return;
    Echo_Document document{kind, control, {}, {}};
    int64_t shown = 0;
    if (form == Form::Plain) {
        document.Text = text;
    } else {
        document.Rtf = rtf.empty() ? Document(kind, text) : std::move(rtf);
        shown = Fewest_Shown(kind, text);
    }
    Enqueue(std::move(document), form == Form::Plain, shown);
}

}  // namespace

Echo_Hold::Echo_Hold() {
    ++holding;
}

Echo_Hold::~Echo_Hold() {
    if (--holding > 0) return;
    Queue& q = The_Queue();
    std::function<void()> post;
    {
        std::lock_guard<std::mutex> guard(q.lock);
        if (q.waiting == 0) return;
        if (q.post && std::this_thread::get_id() != q.ui_thread) post = q.post;
    }
    Show_Queue(std::move(post));
}

void Echo_Set_Sink(Echo_Sink* sink) {
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> apply(q.apply_lock);
    std::lock_guard<std::mutex> guard(q.lock);
    q.sink = sink;
}

void Echo_Set_Dispatcher(std::thread::id ui_thread, std::function<void()> post) {
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> guard(q.lock);
    q.ui_thread = ui_thread;
    q.post = std::move(post);
}

namespace {

// Applies documents in order until none wait or the deadline (monotonic ns, -1 none) has
// passed; true when some still wait.
bool Apply_Until(int64_t deadline_ns) {
    if (applying) return false;
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> apply(q.apply_lock);
    struct Applying {
        Applying() { applying = true; }
        ~Applying() { applying = false; }
    } mark;
    // At least one document a slice, so a slow sink still moves on.
    bool applied = false;
    for (;;) {
        Pending item;
        Echo_Sink* sink;
        {
            std::lock_guard<std::mutex> guard(q.lock);
            if (applied && deadline_ns >= 0 && platform::Query_Performance_Counter() >= deadline_ns)
                return q.waiting > 0;
            if (!q.Take(item)) return false;
            sink = q.sink;
        }
        if (!sink) continue;
        // The sink was replaced while the document waited: give it the form it takes (a plain
        // sink then shows the window's text).
        Echo_Document& d = item.document;
        bool plain = sink->Echo_Plain();
        if (plain && !item.plain) {
            d.Text = Rtf_Visible_Text(d.Rtf);
            d.Rtf.clear();
        } else if (!plain && item.plain) {
            d.Rtf = Document(d.Kind, d.Text);
            d.Text.clear();
        }
        sink->Echo_Apply(d);
        applied = true;
    }
}

}  // namespace

void Echo_Queue_Apply() {
    Apply_Until(-1);
}

bool Echo_Queue_Apply_For(int32_t ms) {
    return Apply_Until(platform::Query_Performance_Counter() + int64_t(std::max(ms, 0)) * 1000000);
}

int64_t Echo_Queue_Shown(int32_t control) {
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> guard(q.lock);
    return q.Of(control).shown;
}

std::string Rtf_Escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) Append_Escaped(out, c);
    return out;
}

std::string Echo_Sent_Document(const std::string& text) {
    std::string document;
    document.reserve(text.size() + 128);
    document += "{\\rtf1";
    document += kSentColours;
    document += kFontTable;
    document += "{\\cf1 ";
    Append_Lines_Rtf(document, text);
    document += "}}";
    return document;
}

std::string Echo_Status_Document(const std::string& text) {
    std::string document;
    document.reserve(text.size() + 64);
    document += "{\\rtf1";
    document += kStatusColours;
    document += "{\\cf1 ";
    Append_Lines_Rtf(document, text);
    document += "}}";
    return document;
}

namespace {
// The pieces of received text as the window shows them, for the trace: split at commas (and
// after each CR), control characters other than EOT and CR named, escaped for RTF.
std::vector<std::string> Received_Pieces(const std::string& text) {
    std::vector<std::string> pieces;
    if (text.empty()) return pieces;
    std::string piece;
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (c == ',') {
            pieces.push_back(std::move(piece));
            piece.clear();
        } else if (Window_Names(b)) {
            Append_Named(piece, b);
        } else {
            Append_Escaped(piece, c);
            if (c == '\r') {
                pieces.push_back(std::move(piece));
                piece.clear();
            }
        }
    }
    pieces.push_back(std::move(piece));
    return pieces;
}
}  // namespace

// Every comma ends a piece (and is not shown), every CR ends its piece with a line break;
// each piece is a group of its own in the received colour.
std::string Echo_Received_Document(const std::string& text) {
    std::string document;
    document.reserve(text.size() + text.size() / 4 + 128);
    document += "{\\rtf1";
    document += kReceivedColours;
    document += kFontTable;
    if (!text.empty()) {
        document += "{\\cf1 ";
        Append_Runs(
            document, text, [](unsigned char b) { return b == ',' || b < 32 || Rtf_Special(b); },
            [&](std::string& o, size_t i) {
                char c = text[i];
                unsigned char b = static_cast<unsigned char>(c);
                if (c == ',')
                    o += "}{\\cf1 ";
                else if (c == '\r')
                    o += "\r\\line}{\\cf1 ";
                else if (Window_Names(b))
                    Append_Named(o, b);
                else
                    Append_Escaped(o, c);
            });
        document += '}';
    }
    document += '}';
    return document;
}

std::string Echo_Sent_Log_Line(const std::string& text) {
    return Log_Line(Echo_Kind::Sent, text);
}

std::string Echo_Status_Log_Line(const std::string& text) {
    return Log_Line(Echo_Kind::Status, text);
}

std::string Echo_Received_Log_Line(const std::string& text) {
    return Log_Line(Echo_Kind::Received, text);
}

int32_t Serial_Port_Echo_Sent(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Sent", text);
    std::string rtf;
    if (trace::Console_Open()) {
        rtf = Echo_Sent_Document(text);
        ErrCheck_Comment("rtfText " + rtf + "     Len= " + std::to_string(rtf.size()) + "\r\n");
    }
    Echo(Echo_Kind::Sent, 100, text, std::move(rtf));
    return kdx_frame.result(int32_t(0));
}

int32_t Serial_Port_Echo_Status(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Status", text);
    Echo(Echo_Kind::Status, 100, text, {});
    return kdx_frame.result(int32_t(0));
}

int32_t Serial_Port_Echo_Response_Status(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Response_Status", text);
    Echo(Echo_Kind::Status, 101, text, {});
    return kdx_frame.result(int32_t(0));
}

int32_t Serial_Port_Echo_Received(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Received", text);

    if (trace::Console_Open())
        for (const auto& piece : Received_Pieces(text)) ErrCheck_Comment(piece + "\r\n");
    Echo(Echo_Kind::Received, 101, text, {});
    return kdx_frame.result(int32_t(0));
}

std::string Rtf_Visible_Text(std::string_view rtf) {
    std::string out;
    int depth = 0;
    int skip_below = -1;  // inside a table group while depth > skip_below
    bool group_start = false;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < rtf.size(); ++i) {
        char c = rtf[i];
        bool skipping = skip_below >= 0 && depth > skip_below;
        if (c == '{') {
            ++depth;
            group_start = true;
            continue;
        }
        if (c == '}') {
            --depth;
            if (skip_below >= 0 && depth <= skip_below) skip_below = -1;
            group_start = false;
            continue;
        }
        bool at_start = group_start;
        group_start = false;
        if (c == '\r' || c == '\n') continue;
        if (c != '\\') {
            if (!skipping) out += c;
            continue;
        }
        if (i + 1 >= rtf.size()) break;
        char n = rtf[i + 1];
        if (n == '\\' || n == '{' || n == '}') {
            if (!skipping) out += n;
            ++i;
            continue;
        }
        if (n == '\'') {
            if (i + 3 < rtf.size() && hex(rtf[i + 2]) >= 0 && hex(rtf[i + 3]) >= 0 && !skipping)
                out += char(hex(rtf[i + 2]) * 16 + hex(rtf[i + 3]));
            i += 3;
            continue;
        }
        size_t j = i + 1;
        while (j < rtf.size() && std::isalpha(static_cast<unsigned char>(rtf[j]))) ++j;
        std::string_view word = rtf.substr(i + 1, j - i - 1);
        if (j < rtf.size() && (rtf[j] == '-' || std::isdigit(static_cast<unsigned char>(rtf[j])))) {
            ++j;
            while (j < rtf.size() && std::isdigit(static_cast<unsigned char>(rtf[j]))) ++j;
        }
        if (j < rtf.size() && rtf[j] == ' ') ++j;
        i = j - 1;
        if (word.empty()) continue;
        if (at_start && (word == "colortbl" || word == "fonttbl")) {
            skip_below = depth - 1;
            continue;
        }
        if (!skipping && (word == "line" || word == "par")) out += '\n';
    }
    return out;
}

namespace {

// Sent and status text as the window shows it: each CR a line break, a raw LF nothing.
void Append_Window_Lines(std::string& out, std::string_view text, std::string_view line_break) {
    Append_Runs(
        out, text, [](unsigned char b) { return b == '\r' || b == '\n'; },
        [&](std::string& o, size_t i) {
            if (text[i] == '\r') o += line_break;
        });
}

// A control byte as a terminal session names it: <EOT>, <ESC>, <DEL>.
void Append_Ascii_Name(std::string& out, unsigned char b) {
    static const char* const names[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                          "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                          "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                          "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    out += '<';
    out += b == 127 ? "DEL" : names[b & 31];
    out += '>';
}

// Received text for a terminal: CR, LF and CR LF one line break; other control bytes named,
// as CHR$(n) (TAB and EOT as they are), or with ascii_names as <EOT> (TAB as it is), so a
// reply cannot drive the user's terminal.
void Append_Terminal_Received(std::string& out, std::string_view text, bool& after_cr,
                              std::string_view line_break, bool ascii_names = false) {
    auto special = [ascii_names](unsigned char b) {
        return ascii_names ? (b < 32 && b != '\t') || b == 127 : b < 32 && b != '\t' && b != 4;
    };
    Append_Runs(out, text, special, [&](std::string& o, size_t i) {
        char c = text[i];
        bool follows_cr = i == 0 ? after_cr : text[i - 1] == '\r';
        if (c == '\n' && follows_cr) return;
        if (c == '\r' || c == '\n')
            o += line_break;
        else if (ascii_names)
            Append_Ascii_Name(o, static_cast<unsigned char>(c));
        else
            Append_Named(o, static_cast<unsigned char>(c));
    });
    if (!text.empty()) after_cr = text.back() == '\r';
}

bool Ends_With(const std::string& text, std::string_view end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string Clock_Text() {
    platform::System_Time t = platform::Get_Local_Time();
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.Year, t.Month, t.Day,
                  t.Hour, t.Minute, t.Second, t.Milliseconds);
    return text;
}

}  // namespace

std::string Echo_Visible_Text(Echo_Kind kind, std::string_view text) {
    std::string out;
    out.reserve(text.size());
    if (kind != Echo_Kind::Received) {
        Append_Window_Lines(out, text, "\n");
        return out;
    }
    Append_Runs(
        out, text, [](unsigned char b) { return b == ',' || b < 32; },
        [&](std::string& o, size_t i) {
            unsigned char b = static_cast<unsigned char>(text[i]);
            if (b == '\r')
                o += '\n';
            else if (Window_Names(b))
                Append_Named(o, b);
            else if (b != ',')
                o += char(b);
        });
    return out;
}

void Echo_Terminal_Received_Text(std::string_view text, bool& after_cr, std::string& out,
                                 bool ascii_names) {
    Append_Terminal_Received(out, text, after_cr, "\n", ascii_names);
}

Echo_Terminal_Sink::Echo_Terminal_Sink(int fd, bool colour, bool crlf)
    : fd_(fd), colour_(colour), crlf_(crlf) {}

Echo_Terminal_Sink::~Echo_Terminal_Sink() {
    Flush(true);
    std::lock_guard<std::mutex> guard(lock_);
    if (!copy_line_.empty()) Copy_Line("<", copy_line_);
}

void Echo_Terminal_Sink::Set_Options(const Echo_Terminal_Options& options) {
    std::lock_guard<std::mutex> guard(lock_);
    options_ = options;
}

void Echo_Terminal_Sink::Hold_Sent(int ms) {
    std::lock_guard<std::mutex> guard(lock_);
    hold_ms_ = ms > 0 ? ms : 0;
}

int Echo_Terminal_Sink::Flush(bool all) {
    std::lock_guard<std::mutex> guard(lock_);
    if (held_.empty()) return -1;
    int64_t left = held_since_ms_ + hold_ms_ - platform::Tick_Count_Ms();
    if (!all && left > 0) return int(left);
    platform::Write_Descriptor(fd_, held_);
    held_.clear();
    return -1;
}

void Echo_Terminal_Sink::Note(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string_view line_break = crlf_ ? "\r\n" : "\n";
    out_.clear();
    out_.swap(held_);
    if (!at_line_start_) out_ += line_break;
    at_line_start_ = stamp_due_ = true;
    if (text.empty()) {
        // Only the line ended, so what follows starts at the margin.
        platform::Write_Descriptor(fd_, out_);
        return;
    }
    if (colour_) out_ += "\x1b[32m";
    out_ += text;
    if (colour_) out_ += "\x1b[0m";
    out_ += line_break;
    platform::Write_Descriptor(fd_, out_);
    if (options_.copy_fd >= 0) {
        if (!copy_line_.empty()) Copy_Line("<", copy_line_);
        copy_line_.clear();
        Copy_Line("#", text);
    }
}

// The time at the start of a received line: local time to the millisecond, or the gap since
// the last received line started.
void Echo_Terminal_Sink::Append_Stamp() {
    int64_t now = platform::Tick_Count_Ms();
    if (colour_) out_ += "\x1b[90m";
    if (options_.delta) {
        int64_t gap = last_stamp_ms_ < 0 ? 0 : now - last_stamp_ms_;
        char text[32];
        std::snprintf(text, sizeof text, "[+%lld.%03lld] ", static_cast<long long>(gap / 1000),
                      static_cast<long long>(gap % 1000));
        out_ += text;
    } else {
        out_ += '[';
        out_ += Clock_Text().substr(11);
        out_ += "] ";
    }
    if (colour_) out_ += "\x1b[93m";
    last_stamp_ms_ = now;
    stamp_due_ = false;
}

void Echo_Terminal_Sink::Append_Text(const Echo_Document& document, std::string_view line_break) {
    if (document.Text.empty() && !document.Rtf.empty()) {
        // A document made for the rich edits: its visible text.
        for (char c : Rtf_Visible_Text(document.Rtf)) {
            if (c == '\n')
                out_ += line_break;
            else
                out_ += c;
        }
        return;
    }
    if (document.Kind != Echo_Kind::Received) {
        Append_Window_Lines(out_, document.Text, line_break);
        return;
    }
    if (!options_.timestamps) {
        Append_Terminal_Received(out_, document.Text, after_cr_, line_break, options_.own_lines);
        return;
    }
    // Line by line, each line that shows something starting with its time.
    std::string_view text = document.Text;
    for (size_t i = 0; i < text.size();) {
        size_t end = text.find_first_of("\r\n", i);
        if (end == std::string_view::npos) end = text.size();
        if (end > i) {
            if (stamp_due_) Append_Stamp();
            Append_Terminal_Received(out_, text.substr(i, end - i), after_cr_, line_break,
                                     options_.own_lines);
        }
        if (end == text.size()) break;
        size_t before = out_.size();
        Append_Terminal_Received(out_, text.substr(end, 1), after_cr_, line_break,
                                 options_.own_lines);
        if (out_.size() != before) stamp_due_ = true;
        i = end + 1;
    }
}

// Sent and received bytes as hex, 16 a line, with their printable text beside.
void Echo_Terminal_Sink::Append_Hex(const Echo_Document& document, std::string_view line_break) {
    static const char* const digits = "0123456789ABCDEF";
    const std::string_view text = document.Text;
    const char* mark = document.Kind == Echo_Kind::Sent ? "> " : "< ";
    for (size_t at = 0; at < text.size(); at += 16) {
        if (options_.timestamps) Append_Stamp();
        out_ += mark;
        std::string printable;
        for (size_t i = at; i < at + 16; ++i) {
            if (i < text.size()) {
                unsigned char b = static_cast<unsigned char>(text[i]);
                out_ += digits[b >> 4];
                out_ += digits[b & 15];
                out_ += ' ';
                printable += b >= 32 && b < 127 ? char(b) : '.';
            } else {
                out_ += "   ";
            }
        }
        out_ += ' ';
        out_ += printable;
        out_ += line_break;
    }
}

void Echo_Terminal_Sink::Copy_Line(const char* mark, std::string_view text) {
    // A received line carries the time its first byte came.
    std::string line = (*mark == '<' && !copy_line_time_.empty() ? copy_line_time_ : Clock_Text()) +
                       " " + mark + " ";
    for (unsigned char b : text) {
        if (b < 32 || b == 127)
            Append_Ascii_Name(line, b);
        else
            line += char(b);
    }
    line += '\n';
    if (*mark == '<') copy_line_time_.clear();
    platform::Write_Descriptor(options_.copy_fd, line);
}

// The transcript: sent and status text a line per CR, received text a line per line break
// (kept until its line ends, so a reply that comes in pieces is one line).
void Echo_Terminal_Sink::Copy(const Echo_Document& document) {
    std::string_view text = document.Text;
    if (document.Kind == Echo_Kind::Received) {
        for (size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            bool follows_cr = i == 0 ? copy_after_cr_ : text[i - 1] == '\r';
            if (c == '\r' || c == '\n') {
                if (!(c == '\n' && follows_cr)) {
                    Copy_Line("<", copy_line_);
                    copy_line_.clear();
                }
            } else {
                if (copy_line_.empty()) copy_line_time_ = Clock_Text();
                copy_line_ += c;
            }
        }
        if (!text.empty()) copy_after_cr_ = text.back() == '\r';
        return;
    }
    if (!copy_line_.empty()) Copy_Line("<", copy_line_);
    copy_line_.clear();
    const char* mark = document.Kind == Echo_Kind::Sent ? ">" : "#";
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\r') continue;
        std::string_view line = text.substr(start, i - start);
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        if (!line.empty() || (i < text.size() && start == 0)) Copy_Line(mark, line);
        start = i + 1;
    }
}

void Echo_Terminal_Sink::Echo_Apply(const Echo_Document& document) {
    std::lock_guard<std::mutex> guard(lock_);
    // Held sent text goes out first, in the same write.
    const bool holding_already = !held_.empty();
    std::string_view line_break = crlf_ ? "\r\n" : "\n";
    out_.clear();
    out_.swap(held_);
    const bool hex = options_.hex && document.Kind != Echo_Kind::Status && !document.Text.empty();
    // The program's lines and hex blocks start on a line of their own.
    if ((hex || (options_.own_lines && document.Kind == Echo_Kind::Status)) && !at_line_start_)
        out_ += line_break;
    if (colour_) {
        switch (document.Kind) {
            case Echo_Kind::Sent:
                out_ += "\x1b[96m";
                break;
            case Echo_Kind::Status:
                out_ += "\x1b[32m";
                break;
            case Echo_Kind::Received:
                out_ += "\x1b[93m";
                break;
        }
    }
    const size_t text_start = out_.size();
    if (hex)
        Append_Hex(document, line_break);
    else
        Append_Text(document, line_break);
    if (out_.size() > text_start) {
        at_line_start_ = Ends_With(out_, line_break);
        if (at_line_start_) stamp_due_ = true;
    }
    if (colour_) out_ += "\x1b[0m";
    if (options_.copy_fd >= 0 && !document.Text.empty()) Copy(document);
    if (document.Kind == Echo_Kind::Sent && hold_ms_ > 0) {
        // The deadline runs from the first text held, so typing on cannot delay it.
        held_.swap(out_);
        if (!holding_already) held_since_ms_ = platform::Tick_Count_Ms();
        return;
    }
    // A terminal that has gone away loses the echo, nothing else.
    platform::Write_Descriptor(fd_, out_);
}

void Echo_Capture_Sink::Echo_Apply(const Echo_Document& document) {
    int64_t now = platform::Query_Performance_Counter();
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back(Entry{document, now});
}

std::vector<Echo_Capture_Sink::Entry> Echo_Capture_Sink::Entries() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_;
}

std::string Echo_Capture_Sink::Visible(Echo_Kind kind) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::string out;
    for (const auto& e : entries_)
        if (e.Document.Kind == kind) out += Rtf_Visible_Text(e.Document.Rtf);
    return out;
}

size_t Echo_Capture_Sink::Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_.size();
}

void Echo_Capture_Sink::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.clear();
}

}  // namespace kdx
