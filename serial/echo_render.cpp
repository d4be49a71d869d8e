// The echo's documents and lines: the rich text the terminal's edits show, the port log's
// lines, the text a window or a terminal shows for an echo, and the reading of a document back.
#include <cctype>

#include "serial/echo_internal.h"

namespace kdx {

using namespace echo;

namespace {

const char* const Font_Table = "{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset0 Courier New;}}";
const char* const Sent_Colours = "{\\colortbl;\\red0\\green200\\blue255;}";
const char* const Status_Colours = "{\\colortbl;\\red0\\green128\\blue0;}";
const char* const Received_Colours = "{\\colortbl;\\red255\\green255\\blue0;}";

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
    static const char* const Hex = "0123456789abcdef";
    unsigned char b = static_cast<unsigned char>(c);
    if (c == '\\' || c == '{' || c == '}') {
        out += '\\';
        out += c;
    } else if (b > 127) {
        out += "\\'";
        out += Hex[b >> 4];
        out += Hex[b & 15];
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

const char* const Sent_Span = "<span style=\"color:rgb(0, 200, 255)\"> ";
const char* const Status_Span = "<span style=\"color:green\"> ";
const char* const Received_Span = "<span style=\"color:rgb(255, 255, 0)\"> ";

}  // namespace

namespace echo {

std::string Log_Line(Echo_Kind kind, std::string_view text) {
    std::string line;
    line.reserve(text.size() + text.size() / 8 + 64);
    switch (kind) {
        case Echo_Kind::Sent:
            line += Sent_Span;
            Append_Log_Text(line, text);
            line += "</span>";
            break;
        case Echo_Kind::Status:
            line += Status_Span;
            Append_Runs(
                line, text, [](unsigned char b) { return b == 0; },
                [](std::string& o, size_t) { o += "CHR$(0)"; });
            line += "</span><br>";
            break;
        case Echo_Kind::Received:
            line += Received_Span;
            Append_Log_Text(line, text);
            line += "</span>";
            break;
    }
    return line;
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
    static const char* const Names[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                          "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                          "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                          "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    out += '<';
    out += b == 127 ? "DEL" : Names[b & 31];
    out += '>';
}

// Received text for a terminal: CR, LF and CR LF one line break; other control bytes named,
// as CHR$(n) (TAB and EOT as they are), or with ascii_names as <EOT> (TAB as it is), so a
// reply cannot drive the user's terminal.
void Append_Terminal_Received(std::string& out, std::string_view text, bool& after_cr,
                              std::string_view line_break, bool ascii_names) {
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

}  // namespace echo

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
    document += Sent_Colours;
    document += Font_Table;
    document += "{\\cf1 ";
    Append_Lines_Rtf(document, text);
    document += "}}";
    return document;
}

std::string Echo_Status_Document(const std::string& text) {
    std::string document;
    document.reserve(text.size() + 64);
    document += "{\\rtf1";
    document += Status_Colours;
    document += "{\\cf1 ";
    Append_Lines_Rtf(document, text);
    document += "}}";
    return document;
}

// Every comma ends a piece (and is not shown), every CR ends its piece with a line break;
// each piece is a group of its own in the received colour.
std::string Echo_Received_Document(const std::string& text) {
    std::string document;
    document.reserve(text.size() + text.size() / 4 + 128);
    document += "{\\rtf1";
    document += Received_Colours;
    document += Font_Table;
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

}  // namespace kdx
