// Sending program files and raw files, and the scrambling of program files.
#include "protocol/kdx_send.h"

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/window/window.h"
#include "protocol/kdx_link.h"
#include "protocol/kdx_progress.h"
#include "serial/echo.h"
#include "serial/serial_port.h"
#include "trace/trace.h"

namespace kdx {

namespace {

constexpr char CR = '\r';
constexpr char EOT = '\x04';

// The normalisation of a program text in one pass: every blank becomes ","; a run of ","
// becomes one; every "u" right after an "r" goes ("ruu" is "r"), and then every line feed.
// This is what applying each rule until it no longer matches, in that order, gives (a line
// feed removed last can still join "r" and "u" or two commas), without a pass per match: a
// crafted file of "r" and a million "u" would otherwise take a million passes.
std::string Normalise(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    char before = '\0';  // the last byte kept before line feeds are removed, line feeds too
    for (char c : text) {
        if (c == ' ') c = ',';
        if ((c == ',' && before == ',') || (c == 'u' && before == 'r')) continue;
        before = c;
        if (c != '\n') out += c;
    }
    return out;
}

std::string File_Name(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A pause of the program file's pace.
void Pace(uint32_t ms, uint32_t percent) {
    platform::Sleep_Ms(uint32_t(uint64_t(ms) * percent / 100));
}

// Why the file call failed, in words ("is a folder", "disk full", the system's text).
std::string Reason(uint32_t code) {
    std::string text = platform::File_Failure_Text(code);
    return text.empty() ? "error " + std::to_string(code) : text;
}

// What a send that the line cut short says: where it stopped, why, and how many bytes of the
// file's commands went out.
std::string Send_Failure_Text(const KDX_Send_Outcome& outcome, const std::string& command,
                              int64_t number, int64_t commands, int64_t total_bytes) {
    std::string why;
    switch (outcome.Error) {
        case platform::ERROR_DEVICE_NOT_CONNECTED:
            why = "the port hung up";
            break;
        case platform::ERROR_TIMEOUT:
            why = "the device stopped reading (no byte taken for 5 s)";
            break;
        default:
            why = "the write failed: " + Reason(outcome.Error);
            break;
    }
    std::string where;
    if (outcome.Program) {
        std::string shown;
        for (unsigned char c : command)
            shown += c < 32 || c == 127 ? "<" + std::to_string(c) + ">" : std::string(1, char(c));
        where = " at command " + std::to_string(number) + " of " + std::to_string(commands) + " (" +
                shown + ")";
    }
    return "Transmission Failed" + where + ": " + why + "; " + std::to_string(outcome.Bytes) +
           " of " + std::to_string(total_bytes) + " bytes taken by the line";
}

// Where a program file's first NUL byte is, for the user: "byte 17 (line 2)". A program file
// is text; a NUL in it would cut its command short on the line (a command is a zero-ended
// text), so the file is refused before anything goes out.
std::string Nul_Position(const std::string& text, size_t at) {
    const char end = text.find('\n') != std::string::npos ? '\n' : CR;
    size_t line = 1 + size_t(std::count(text.begin(), text.begin() + std::ptrdiff_t(at), end));
    return "byte " + std::to_string(at + 1) + " (line " + std::to_string(line) + ")";
}

std::string Map_Bytes(std::string bytes) {
    for (char& c : bytes) {
        int b = static_cast<unsigned char>(c);
        c = static_cast<char>(std::abs(int(KDX_Program_Scramble_Constant) - b));
    }
    return bytes;
}

KDX_File_Outcome Transform_File(const char* verb, const std::string& in, const std::string& out) {
    KDX_FRAME("KDX_Program_File_Transform", verb, in, out);
    KDX_File_Outcome outcome;
    std::string data;
    if (!platform::Read_Whole_File(in, data)) {
        outcome.Error = platform::Get_Last_Error();
        kdx_frame.check();
        outcome.Message = "cannot read " + in + ": " + Reason(outcome.Error);
        kdx_frame.result(0);
        return outcome;
    }
    if (!platform::Write_Whole_File(out, Map_Bytes(std::move(data)))) {
        outcome.Error = platform::Get_Last_Error();
        kdx_frame.check();
        outcome.Message = "cannot write " + out + ": " + Reason(outcome.Error);
        kdx_frame.result(0);
        return outcome;
    }
    outcome.Ok = true;
    kdx_frame.result(1);
    return outcome;
}

}  // namespace

std::string KDX_Program_Unscramble(std::string bytes) {
    return Map_Bytes(std::move(bytes));
}

std::string KDX_Program_Scramble(std::string text) {
    // With the constant 255 the stored form of b is 255 - b, which unscrambles back to b.
    return Map_Bytes(std::move(text));
}

bool KDX_Is_Program_File(const std::string& path) {
    std::string name = File_Name(path);
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return false;
    std::string extension = name.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    return extension == ".KDX";
}

std::string KDX_Program_Normalise(const std::string& text) {
    return Normalise(text);
}

bool KDX_Program_Visit(const std::string& normal,
                       const std::function<bool(const std::string&, bool)>& visit) {
    std::string line, command;
    for (size_t start = 0;;) {
        size_t cr = normal.find(CR, start);
        line.assign(normal, start, (cr == std::string::npos ? normal.size() : cr) - start);
        size_t comment = line.find(';');
        if (comment != std::string::npos) line.resize(comment);
        protocol::Remove_All(line, '\t');
        char last = line.empty() ? '\0' : line.back();
        if (last != ',' && last != CR && last != ']' && last != '}') line += ',';
        // The empty field after a line's last comma goes out too, as a lone ",".
        for (size_t at = 0;;) {
            size_t comma = line.find(',', at);
            bool line_done = comma == std::string::npos;
            command.assign(line, at, (line_done ? line.size() : comma) - at);
            command += ',';
            if (!visit(command, line_done)) return false;
            if (line_done) break;
            at = comma + 1;
        }
        if (cr == std::string::npos) return true;
        start = cr + 1;
    }
}

std::vector<std::vector<std::string>> KDX_Program_Commands(const std::string& text) {
    std::vector<std::vector<std::string>> lines(1);
    KDX_Program_Visit(Normalise(text), [&](const std::string& command, bool line_done) {
        lines.back().push_back(command);
        if (line_done) lines.emplace_back();
        return true;
    });
    lines.pop_back();
    return lines;
}

uint32_t KDX_Send_Pace_Percent() {
    std::string value = platform::Environment("KDX_SEND_PACE_PERCENT");
    if (value.empty() || value.size() > 6 ||
        value.find_first_not_of("0123456789") != std::string::npos)
        return 100;
    return uint32_t(std::atoi(value.c_str()));
}

KDX_Send_Outcome KDX_Send_File(const std::string& path) {
    KDX_FRAME("KDX_Send_File", path);
    KDX_Operation operation;
    KDX_Send_Outcome outcome;
    std::string data;
    if (!platform::Read_Whole_File(path, data)) {
        outcome.Error = platform::Get_Last_Error();
        kdx_frame.check();
        outcome.Message = "cannot read " + path + ": " + Reason(outcome.Error);
        kdx_frame.comment("nothing sent: " + outcome.Message);
        kdx_frame.result(0);
        return outcome;
    }
    int32_t& handle = Serial_Port_State.Handle;
    // Without an open port the writes do nothing and only the status lines appear; on an open
    // one a write the driver does not take whole ends the file there.
    const bool port_open = platform::Handle_Usable(handle);
    KDX_Progress progress{"Sending " + File_Name(path), "", 0, 0};
    outcome.Program = KDX_Is_Program_File(path);
    outcome.Status = KDX_Send_Status::Sent;
    // How far a failed send got, for the user; false when it failed.
    auto went_out = [&](const std::string& sent, const std::string& command, int64_t total) {
        outcome.Bytes += int64_t(sent.size());
        if (!port_open || sent.size() == command.size()) return true;
        outcome.Status = KDX_Send_Status::Failed;
        outcome.Error = platform::Get_Last_Error();
        kdx_frame.check();
        // What the driver took and still holds never reached the device that stopped reading.
        int64_t left = 0;
        if (outcome.Error == platform::ERROR_TIMEOUT && !Serial_Port_Drain(handle, left, false))
            outcome.Bytes = std::max<int64_t>(0, outcome.Bytes - left);
        outcome.Message =
            Send_Failure_Text(outcome, command, progress.Done + 1, progress.Total, total);
        return false;
    };
    // Waits for the line to take what the driver still holds; false (Failed, the bytes it never
    // took no longer counted) when it stopped taking bytes or hung up first.
    auto drained = [&] {
        int64_t left = 0;
        if (Serial_Port_Drain(handle, left)) return true;
        outcome.Status = KDX_Send_Status::Failed;
        outcome.Error = platform::Get_Last_Error();
        kdx_frame.check();
        outcome.Bytes = std::max<int64_t>(0, outcome.Bytes - left);
        return false;
    };
    if (!outcome.Program) {
        progress.Total = 1;
        progress.Item = std::to_string(data.size()) + " bytes";
        KDX_Progress_Report(progress);
        bool whole;
        {
            Poller_Pause pause(Serial_Port_State.Poller);
            whole = went_out(Serial_Port_Write_Bytes(handle, data), data, int64_t(data.size()));
            // The driver holds what the line has not taken yet: only a drained queue is sent.
            if (whole && port_open && !drained())
                outcome.Message = Send_Failure_Text(outcome, "", 1, 1, int64_t(data.size()));
        }
        whole = outcome.Status == KDX_Send_Status::Sent;
        outcome.Commands = 1;
        progress.Done = whole ? 1 : 0;
        progress.Item.clear();
        KDX_Progress_Report(progress);
        if (!whole) Serial_Port_Echo_Status(outcome.Message + "\r");
        kdx_frame.result(whole ? 1 : 0);
        return outcome;
    }

    const uint32_t pace = KDX_Send_Pace_Percent();
    const int32_t silent = 0;
    std::string text = KDX_Program_Unscramble(std::move(data));
    if (size_t nul = text.find('\0'); nul != std::string::npos) {
        outcome.Status = KDX_Send_Status::Unreadable;
        outcome.Error = platform::ERROR_INVALID_DATA;
        outcome.Message = "cannot send " + path + ": a NUL byte (00) at " +
                          Nul_Position(text, nul) + "; a program file holds text, nothing sent";
        kdx_frame.comment("nothing sent: " + outcome.Message);
        kdx_frame.result(0);
        return outcome;
    }
    // The commands are taken from the text as they go out, never all held at once: a crafted
    // file of millions of fields would otherwise cost gigabytes before the first one.
    const std::string normal = KDX_Program_Normalise(text);
    text.clear();
    text.shrink_to_fit();
    int64_t total_bytes = 0;
    KDX_Program_Visit(normal, [&](const std::string& command, bool) {
        ++progress.Total;
        total_bytes += int64_t(command.size()) + (command == "res," ? 2 : 0);  // and "F,"
        return true;
    });
    {
        Poller_Pause pause(Serial_Port_State.Poller);
        KDX_Program_Visit(normal, [&](const std::string& command, bool line_done) {
            if (operation.Stopped()) {
                outcome.Status = KDX_Send_Status::Stopped;
                return false;
            }
            progress.Item = command;
            KDX_Progress_Report(progress);
            bool whole =
                went_out(Serial_Port_Write(handle, command, &silent), command, total_bytes);
            ++outcome.Commands;
            if (whole && command == "res,") {
                // The controller restarts: give it its time, then put it on line again.
                Pace(KDX_Send_Reset_Ms, pace);
                whole = went_out(Serial_Port_Write(handle, "F,", &silent), "F,", total_bytes);
                ++outcome.Commands;
            } else if (whole) {
                Pace(KDX_Send_Field_Ms, pace);
            }
            if (!whole) return false;
            ++progress.Done;
            if (line_done) {
                Serial_Port_Echo_Status(std::string(1, EOT));
                win::Invalidate_Rect(win::Terminal_Dialog, true);
                win::Update_Window(win::Terminal_Dialog);
                Pace(KDX_Send_Line_Ms, pace);
            }
            return true;
        });
        if (outcome.Status == KDX_Send_Status::Sent && port_open) {
            // Every command went to the driver; the unit has them once the line took them.
            // When it did not, the command the first byte it never took belongs to is named.
            if (!drained()) {
                int64_t number = 0, at = 0;
                std::string stuck;
                KDX_Program_Visit(normal, [&](const std::string& command, bool) {
                    ++number;
                    at += int64_t(command.size()) + (command == "res," ? 2 : 0);
                    stuck = command;
                    return at <= outcome.Bytes;
                });
                outcome.Message =
                    Send_Failure_Text(outcome, stuck, number, progress.Total, total_bytes);
            }
        }
    }
    progress.Item.clear();
    KDX_Progress_Report(progress);
    switch (outcome.Status) {
        case KDX_Send_Status::Stopped:
            Serial_Port_Echo_Status("Transmission Stopped");
            kdx_frame.comment("stopped after " + std::to_string(outcome.Commands) + " commands");
            break;
        case KDX_Send_Status::Failed:
            Serial_Port_Echo_Status(outcome.Message);
            break;
        default:
            Serial_Port_Echo_Status("Transmission Complete");
            break;
    }
    kdx_frame.result(outcome.Status == KDX_Send_Status::Sent ? 1 : 0);
    return outcome;
}

KDX_File_Outcome KDX_Program_File_Encode(const std::string& in, const std::string& out) {
    return Transform_File("encode", in, out);
}

KDX_File_Outcome KDX_Program_File_Decode(const std::string& in, const std::string& out) {
    return Transform_File("decode", in, out);
}

}  // namespace kdx
