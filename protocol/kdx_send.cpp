// Sending program files and raw files, and the scrambling of program files.
#include "protocol/kdx_send.h"

#include <algorithm>
#include <cstdlib>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/system.h"
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

// Replaces every from by to, again and again until no from is left.
void Replace_Until_Gone(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from)) {
        std::string next;
        size_t start = 0;
        for (; at != std::string::npos; at = text.find(from, start)) {
            next.append(text, start, at - start);
            next += to;
            start = at + from.size();
        }
        next.append(text, start);
        text.swap(next);
    }
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
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

std::vector<std::vector<std::string>> KDX_Program_Commands(const std::string& text) {
    std::string normal = text;
    Replace_Until_Gone(normal, " ", ",");
    Replace_Until_Gone(normal, ",,", ",");
    Replace_Until_Gone(normal, "ru", "r");
    protocol::Remove_All(normal, '\n');
    std::vector<std::vector<std::string>> lines;
    for (std::string line : Split(normal, CR)) {
        size_t comment = line.find(';');
        if (comment != std::string::npos) line.resize(comment);
        protocol::Remove_All(line, '\t');
        char last = line.empty() ? '\0' : line.back();
        if (last != ',' && last != CR && last != ']' && last != '}') line += ',';
        // The empty field after a line's last comma goes out too, as a lone ",".
        std::vector<std::string> fields = Split(line, ',');
        for (auto& field : fields) field += ',';
        lines.push_back(std::move(fields));
    }
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
    KDX_Progress progress{"Sending " + File_Name(path), "", 0, 0};
    outcome.Program = KDX_Is_Program_File(path);
    outcome.Status = KDX_Send_Status::Sent;
    if (!outcome.Program) {
        progress.Total = 1;
        progress.Item = std::to_string(data.size()) + " bytes";
        KDX_Progress_Report(progress);
        {
            Poller_Pause pause(Serial_Port_State.Poller);
            outcome.Bytes = int64_t(Serial_Port_Write_Bytes(handle, data).size());
        }
        outcome.Commands = 1;
        progress.Done = 1;
        progress.Item.clear();
        KDX_Progress_Report(progress);
        kdx_frame.result(1);
        return outcome;
    }

    const uint32_t pace = KDX_Send_Pace_Percent();
    const int32_t silent = 0;
    std::vector<std::vector<std::string>> lines =
        KDX_Program_Commands(KDX_Program_Unscramble(data));
    for (const auto& line : lines) progress.Total += int64_t(line.size());
    {
        Poller_Pause pause(Serial_Port_State.Poller);
        for (const auto& line : lines) {
            for (const auto& command : line) {
                if (operation.Stopped()) {
                    outcome.Status = KDX_Send_Status::Stopped;
                    break;
                }
                progress.Item = command;
                KDX_Progress_Report(progress);
                outcome.Bytes += int64_t(Serial_Port_Write(handle, command, &silent).size());
                ++outcome.Commands;
                if (command == "res,") {
                    // The controller restarts: give it its time, then put it on line again.
                    Pace(KDX_Send_Reset_Ms, pace);
                    outcome.Bytes += int64_t(Serial_Port_Write(handle, "F,", &silent).size());
                    ++outcome.Commands;
                } else {
                    Pace(KDX_Send_Field_Ms, pace);
                }
                ++progress.Done;
            }
            if (outcome.Status == KDX_Send_Status::Stopped) break;
            Serial_Port_Echo_Status(std::string(1, EOT));
            win::Invalidate_Rect(win::Terminal_Dialog, true);
            win::Update_Window(win::Terminal_Dialog);
            Pace(KDX_Send_Line_Ms, pace);
        }
    }
    progress.Item.clear();
    KDX_Progress_Report(progress);
    bool stopped = outcome.Status == KDX_Send_Status::Stopped;
    Serial_Port_Echo_Status(stopped ? "Transmission Stopped" : "Transmission Complete");
    if (stopped)
        kdx_frame.comment("stopped after " + std::to_string(outcome.Commands) + " commands");
    kdx_frame.result(stopped ? 0 : 1);
    return outcome;
}

KDX_File_Outcome KDX_Program_File_Encode(const std::string& in, const std::string& out) {
    return Transform_File("encode", in, out);
}

KDX_File_Outcome KDX_Program_File_Decode(const std::string& in, const std::string& out) {
    return Transform_File("decode", in, out);
}

}  // namespace kdx
