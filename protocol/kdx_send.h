// Sending files to the controller: program files (".KDX", stored scrambled) go out field by
// field at the controller's pace, any other file goes out raw in one write. Also the
// scrambling of program files, for the tools that make them.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kdx {

// Every byte b of a program file is stored as |C - b|. With C = 255 each byte value has
// exactly one stored form (255 - b), so scrambling and unscrambling are the same mapping
// and any text (or binary) can be made into a program file.
constexpr uint8_t KDX_Program_Scramble_Constant = 0xFF;
std::string KDX_Program_Unscramble(std::string bytes);
std::string KDX_Program_Scramble(std::string text);

// True when the file name's extension, upper-cased, is ".KDX".
bool KDX_Is_Program_File(const std::string& path);

// The commands an unscrambled program text sends, line by line: the text normalised (blanks
// to ",", ",," to ",", "ru" to "r", each until none is left, then line feeds removed), split
// at CR; in each line the comment from ";" and the tabs removed, "," appended unless the
// line ends in ",", "]" or "}", and each field + "," one command.
std::vector<std::vector<std::string>> KDX_Program_Commands(const std::string& text);
// The same in two steps, without holding every command: the normalised text, then each
// command of it in order, visit(command, last_of_its_line); a visit that returns false ends
// the walk (false then).
std::string KDX_Program_Normalise(const std::string& text);
bool KDX_Program_Visit(const std::string& normal,
                       const std::function<bool(const std::string&, bool)>& visit);

// The controller's pace, in milliseconds, before the percentage below applies.
constexpr uint32_t KDX_Send_Field_Ms = 100;
constexpr uint32_t KDX_Send_Reset_Ms = 5000;  // after "res,", before "F,"
constexpr uint32_t KDX_Send_Line_Ms = 100;
// $KDX_SEND_PACE_PERCENT (a test switch, default 100): every pause of a program file is
// this percentage of its time, at least 0.
uint32_t KDX_Send_Pace_Percent();

// Failed: the line hung up or stopped taking bytes part-way (Message says how far it got).
enum class KDX_Send_Status { Sent, Stopped, Unreadable, Failed };

struct KDX_Send_Outcome {
    KDX_Send_Status Status = KDX_Send_Status::Unreadable;
    bool Program = false;  // sent as a program file
    int64_t Commands = 0;  // writes made (fields, "F," after "res," included)
    int64_t Bytes = 0;     // bytes handed to the port
    uint32_t Error = 0;    // the operating system's code when the file could not be read or
                           // a write fell short
    std::string Message;   // what went wrong, for the user ("" when sent)
};

// Sends the file on Serial_Port_State's port as the frame's "Send to Device" command does,
// with the receive poller paused for the whole file. A program file shows a status line of
// EOT per line and "Transmission Complete"; a stop request ends it after the current command
// with "Transmission Stopped". A write the open port does not take whole (a hang-up, a device
// that stopped reading) ends the file there: Failed, with a status line saying at which
// command and how many bytes went out instead of "Transmission Complete". A file that cannot be
// read sends nothing. With no port open the writes do nothing and only the status lines appear.
KDX_Send_Outcome KDX_Send_File(const std::string& path);

struct KDX_File_Outcome {
    bool Ok = false;
    uint32_t Error = 0;
    std::string Message;
};
// Reads in, (un)scrambles it and writes out whole (an old out is kept when that fails).
KDX_File_Outcome KDX_Program_File_Encode(const std::string& in, const std::string& out);
KDX_File_Outcome KDX_Program_File_Decode(const std::string& in, const std::string& out);

}  // namespace kdx
