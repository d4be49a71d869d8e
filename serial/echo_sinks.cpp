// The terminal sink: the echo as plain text in colour on a file descriptor (kdx-cli), with the
// options of a terminal session.
#include <cstdio>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "serial/echo_internal.h"
#include "serial/serial_port.h"

namespace kdx {

using namespace echo;

namespace {

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
    line_has_sent_ = false;
    if (text.empty()) {
        // Only the line ended, so what follows starts at the margin.
        platform::Write_Descriptor(fd_, out_);
        return;
    }
    if (colour_) out_ += "\x1b[32m";
    out_ += text;
    if (colour_) out_ += "\x1b[0m";
    out_ += line_break;
    line_has_sent_ = false;
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
    if (document.Kind == Echo_Kind::Sent && options_.mark_sent) {
        Append_Marked_Sent(document.Text, line_break);
        return;
    }
    if (document.Kind == Echo_Kind::Sent && options_.own_lines) {
        // A key's control byte by name: an arrow key's ESC [ A must not move the cursor.
        for (unsigned char b : document.Text) {
            if (b == '\r')
                out_ += line_break;
            else if ((b < 32 && b != '\t' && b != '\n') || b == 127)
                Append_Ascii_Name(out_, b);
            else if (b != '\n')
                out_ += char(b);
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

// Sent text on lines of its own, each starting "> ": CR ends the line, LF is dropped (it
// follows the CR it belongs to), control bytes by name.
void Echo_Terminal_Sink::Append_Marked_Sent(std::string_view text, std::string_view line_break) {
    bool fresh = at_line_start_ || !line_has_sent_;
    for (unsigned char b : text) {
        if (b == '\n') continue;
        if (fresh) {
            out_ += "> ";
            fresh = false;
        }
        if (b == '\r') {
            out_ += line_break;
            fresh = true;
        } else if ((b < 32 && b != '\t') || b == 127) {
            Append_Ascii_Name(out_, b);
        } else {
            out_ += char(b);
        }
    }
}

// Sent and received bytes as hex, 16 a line, with their printable text beside.
void Echo_Terminal_Sink::Append_Hex(const Echo_Document& document, std::string_view line_break) {
    static const char* const Digits = "0123456789ABCDEF";
    const std::string_view text = document.Text;
    const char* mark = document.Kind == Echo_Kind::Sent ? "> " : "< ";
    for (size_t at = 0; at < text.size(); at += 16) {
        if (options_.timestamps) Append_Stamp();
        out_ += mark;
        std::string printable;
        for (size_t i = at; i < at + 16; ++i) {
            if (i < text.size()) {
                unsigned char b = static_cast<unsigned char>(text[i]);
                out_ += Digits[b >> 4];
                out_ += Digits[b & 15];
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
    if (!copy_error_.empty()) return;
    // A line the file cannot take whole (a full disk) is cut back off: the transcript ends on
    // its last whole line, and says nothing more, rather than go on with a gap.
    int64_t before = platform::Descriptor_Size(options_.copy_fd);
    if (platform::Write_Descriptor(options_.copy_fd, line)) return;
    copy_error_ = platform::File_Failure_Text(platform::Get_Last_Error());
    if (before >= 0) platform::Truncate_Descriptor(options_.copy_fd, before);
    Serial_Port_Watch_Notify();
}

std::string Echo_Terminal_Sink::Copy_Error() {
    std::lock_guard<std::mutex> guard(lock_);
    return copy_error_;
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
    if (document.Kind == Echo_Kind::Sent && options_.hide_sent) {
        // Not shown, but Enter still ends the line: replies to two commands stay apart.
        if (options_.copy_fd >= 0 && !document.Text.empty()) Copy(document);
        if (document.Text.find('\r') == std::string::npos || at_line_start_) {
            held_.swap(out_);
            return;
        }
        out_ += line_break;
        at_line_start_ = stamp_due_ = true;
        line_has_sent_ = false;
        platform::Write_Descriptor(fd_, out_);
        return;
    }
    // The program's lines and hex blocks start on a line of their own; so does sent text
    // marked as such, and received text after sent text when the two cannot be told apart
    // or its time is to stand first.
    const bool after_sent = !at_line_start_ && line_has_sent_;
    const bool own_line = hex || (options_.own_lines && document.Kind == Echo_Kind::Status) ||
                          (document.Kind == Echo_Kind::Sent && options_.mark_sent && !after_sent) ||
                          (document.Kind == Echo_Kind::Received && after_sent &&
                           (options_.mark_sent || options_.timestamps) && !document.Text.empty());
    if (own_line && !at_line_start_) {
        out_ += line_break;
        at_line_start_ = stamp_due_ = true;
        line_has_sent_ = false;
    }
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
        line_has_sent_ = !at_line_start_ && (document.Kind == Echo_Kind::Sent || line_has_sent_);
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

}  // namespace kdx
