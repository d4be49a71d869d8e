#include "serial/echo.h"

#include <cctype>
#include <deque>

#include "files/port_log.h"
#include "platform/file.h"
#include "platform/system.h"
#include "trace/trace.h"

namespace kdx {

namespace {

const char* const kFontTable = "{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset0 Courier New;}}";
const char* const kSentColours = "{\\colortbl;\\red0\\green200\\blue255;}";
const char* const kStatusColours = "{\\colortbl;\\red0\\green128\\blue0;}";
const char* const kReceivedColours = "{\\colortbl;\\red255\\green255\\blue0;}";

struct Queue {
    std::mutex lock;
    std::mutex apply_lock;  // one applier at a time, so documents reach the sink in order
    std::deque<Echo_Document> pending;
    Echo_Sink* sink = nullptr;
    std::thread::id ui_thread;
    std::function<void()> post;
};

Queue& The_Queue() {
    static Queue queue;
    return queue;
}

// Set while this thread applies the queue: an echo the sink itself makes (directly or through
// a port call) is queued behind the document being applied and taken by the running loop,
// rather than waiting for the lock this thread holds.
thread_local bool applying = false;

void Enqueue(Echo_Document document) {
    Queue& q = The_Queue();
    std::function<void()> post;
    {
        std::lock_guard<std::mutex> guard(q.lock);
        q.pending.push_back(std::move(document));
        if (q.post && std::this_thread::get_id() != q.ui_thread) post = q.post;
    }
    // Another thread's echo never waits for the user-interface thread.
    if (post) {
        post();
        return;
    }
    if (applying) return;
    Echo_Queue_Apply();
}

// Text with every CR replaced by \line. A letter, digit, space or hyphen right after the
// control word would be read as part of it (and vanish), so it gets the space delimiter.
std::string Lines_To_Rtf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            out += text[i];
            continue;
        }
        out += "\\line";
        if (i + 1 < text.size()) {
            unsigned char next = static_cast<unsigned char>(text[i + 1]);
            if (std::isalnum(next) || next == ' ' || next == '-') out += ' ';
        }
    }
    return out;
}

std::string Replace_All(std::string_view text, char from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == from)
            out += to;
        else
            out += c;
    }
    return out;
}

// The log keeps the received bytes, except that a zero byte gets the window's visible form.
std::string Log_Text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '\r')
            out += "<br>";
        else if (c == '\0')
            out += "CHR$(0)";
        else
            out += c;
    }
    return out;
}

void Write_Log_Line(const std::string& line) {
    int32_t file = Port_Log_File;
    if (file != 0) Port_Log_Write_Line(file, line);
}

}  // namespace

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

void Echo_Queue_Apply() {
    if (applying) return;
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> apply(q.apply_lock);
    struct Applying {
        Applying() { applying = true; }
        ~Applying() { applying = false; }
    } mark;
    for (;;) {
        Echo_Document document;
        Echo_Sink* sink;
        {
            std::lock_guard<std::mutex> guard(q.lock);
            if (q.pending.empty()) return;
            document = std::move(q.pending.front());
            q.pending.pop_front();
            sink = q.sink;
        }
        if (sink) sink->Echo_Apply(document);
    }
}

std::string Rtf_Escape(std::string_view text) {
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
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
    return out;
}

std::string Echo_Sent_Document(const std::string& text) {
    return std::string("{\\rtf1") + kSentColours + kFontTable + "{\\cf1 " +
           Lines_To_Rtf(Rtf_Escape(text)) + "}" + "}";
}

std::string Echo_Status_Document(const std::string& text) {
    return std::string("{\\rtf1") + kStatusColours + "{\\cf1 " + Lines_To_Rtf(Rtf_Escape(text)) +
           "}" + "}";
}

namespace {
// The pieces of received text as the window shows them: split at commas (and after each CR),
// control characters other than EOT and CR named, escaped for RTF.
std::vector<std::string> Received_Pieces(const std::string& text) {
    std::vector<std::string> pieces;
    if (text.empty()) return pieces;
    std::string piece;
    auto finish = [&] {
        std::string shown;
        for (char c : piece) {
            unsigned char b = static_cast<unsigned char>(c);
            if (b < 32 && b != 4 && b != 13)
                shown += "CHR$(" + std::to_string(b) + ")";
            else
                shown += c;
        }
        pieces.push_back(Rtf_Escape(shown));
        piece.clear();
    };
    for (char c : text) {
        if (c == ',') {
            finish();
        } else {
            piece += c;
            if (c == '\r') finish();
        }
    }
    finish();
    return pieces;
}
}  // namespace

std::string Echo_Received_Document(const std::string& text) {
    std::string document = std::string("{\\rtf1") + kReceivedColours + kFontTable;
    for (const auto& piece : Received_Pieces(text)) {
        if (piece.find('\r') != std::string::npos)
            document += "{\\cf1 " + piece + "\\line" + "}";
        else
            document += "{\\cf1 " + piece + "}";
    }
    return document + "}";
}

std::string Echo_Sent_Log_Line(const std::string& text) {
    return "<span style=\"color:rgb(0, 200, 255)\"> " + Log_Text(text) + "</span>";
}

std::string Echo_Status_Log_Line(const std::string& text) {
    return "<span style=\"color:green\"> " + Replace_All(text, '\0', "CHR$(0)") + "</span>" +
           "<br>";
}

std::string Echo_Received_Log_Line(const std::string& text) {
    return "<span style=\"color:rgb(255, 255, 0)\"> " + Log_Text(text) + "</span>";
}

int32_t Serial_Port_Echo_Sent(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Sent", text);
    Echo_Document document{Echo_Kind::Sent, 100, Echo_Sent_Document(text)};
    if (trace::Console_Open())
        ErrCheck_Comment("rtfText " + document.Rtf +
                         "     Len= " + std::to_string(document.Rtf.size()) + "\r\n");
    Write_Log_Line(Echo_Sent_Log_Line(text));
    Enqueue(std::move(document));
    return kdx_frame.result(int32_t(0));
}

int32_t Serial_Port_Echo_Status(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Status", text);
    Write_Log_Line(Echo_Status_Log_Line(text));
    Enqueue(Echo_Document{Echo_Kind::Status, 100, Echo_Status_Document(text)});
    return kdx_frame.result(int32_t(0));
}

int32_t Serial_Port_Echo_Response_Status(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Response_Status", text);
    Write_Log_Line(Echo_Status_Log_Line(text));
    Enqueue(Echo_Document{Echo_Kind::Status, 101, Echo_Status_Document(text)});
    return kdx_frame.result(int32_t(0));
}

int32_t Serial_Port_Echo_Received(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Received", text);
    if (trace::Console_Open())
        for (const auto& piece : Received_Pieces(text)) ErrCheck_Comment(piece + "\r\n");
    Write_Log_Line(Echo_Received_Log_Line(text));
    Enqueue(Echo_Document{Echo_Kind::Received, 101, Echo_Received_Document(text)});
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

Echo_Terminal_Sink::Echo_Terminal_Sink(int fd, bool colour, bool crlf)
    : fd_(fd), colour_(colour), crlf_(crlf) {}

void Echo_Terminal_Sink::Echo_Apply(const Echo_Document& document) {
    std::string text = Rtf_Visible_Text(document.Rtf);
    std::string out;
    if (colour_) {
        switch (document.Kind) {
            case Echo_Kind::Sent:
                out = "\x1b[96m";
                break;
            case Echo_Kind::Status:
                out = "\x1b[32m";
                break;
            case Echo_Kind::Received:
                out = "\x1b[93m";
                break;
        }
    }
    for (char c : text) {
        if (c == '\n' && crlf_) out += '\r';
        out += c;
    }
    if (colour_) out += "\x1b[0m";
    // A terminal that has gone away loses the echo, nothing else.
    platform::Write_Descriptor(fd_, out);
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
