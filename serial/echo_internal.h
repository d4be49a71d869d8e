// Shared between the echo's files (rendering, queue, sinks): the pieces of the documents and
// lines that more than one of them makes.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "serial/echo.h"

namespace kdx::echo {

// The port log's line for an echo.
std::string Log_Line(Echo_Kind kind, std::string_view text);
// The rich-text document for an echo.
std::string Document(Echo_Kind kind, const std::string& text);
// The pieces of received text as the window shows them, for the trace: split at commas (and
// after each CR), control characters other than EOT and CR named, escaped for RTF.
std::vector<std::string> Received_Pieces(const std::string& text);
// Sent and status text as the window shows it: each CR a line break, a raw LF nothing.
void Append_Window_Lines(std::string& out, std::string_view text, std::string_view line_break);
// A control byte as a terminal session names it: <EOT>, <ESC>, <DEL>.
void Append_Ascii_Name(std::string& out, unsigned char b);
// Received text for a terminal: CR, LF and CR LF one line break; other control bytes named,
// as CHR$(n) (TAB and EOT as they are), or with ascii_names as <EOT> (TAB as it is), so a
// reply cannot drive the user's terminal.
void Append_Terminal_Received(std::string& out, std::string_view text, bool& after_cr,
                              std::string_view line_break, bool ascii_names = false);

}  // namespace kdx::echo
