#include "files/port_log.h"

#include <cstdio>
#include <mutex>

#include "files/ini.h"
#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "trace/trace.h"

namespace kdx {

std::atomic<int32_t> Port_Log_File{0};

namespace {

// Line_Lock guards Port_Log_File's changes and every write, so the user-interface thread and
// the receive poller never interleave their lines and no line reaches a closed log. No error
// check runs while it is held: a check may pause for a key, and a paused poller holding the
// lock would stall the user-interface thread that has to see the key. Open_Lock keeps an
// opening and a closing apart.
std::mutex Line_Lock;
std::mutex Open_Lock;
std::string Open_Path;  // the open log's path, under Line_Lock

// What went wrong since the last opening; guarded by Line_Lock.
std::string Failure;

void Set_Failure(const std::string& text) {
    std::lock_guard<std::mutex> hold(Line_Lock);
    if (Failure.empty()) Failure = text;
}

std::string Reason(const std::string& name) {
    std::string refusal = platform::File_Refusal();
    if (!refusal.empty()) return name + " is " + refusal + ", not a file";
    return name + ": " + platform::System_Message_Text(platform::Get_Last_Error());
}

// Appends one line. One write call per line: with the file opened for appending, even
// another process's lines cannot cut into it.
bool Append_Line(int32_t handle, const std::string& text) {
    std::string line = text;
    line += "\r\n";
    return platform::Write_File(handle, line);
}

// The log is written with the language's own file statements in the original, so a failure
// shows as the built-in file error of the failing step (its number and standard message),
// not as the operating-system code behind it.
void Raise_File_Error(bool writing) {
    uint32_t os = platform::Get_Last_Error();
    if (os == 0) return;
    int32_t code;
    switch (os) {
        case platform::ERROR_FILE_NOT_FOUND:
            code = 53;  // file not found
            break;
        case platform::ERROR_PATH_NOT_FOUND:
            code = 76;  // path not found
            break;
        case platform::ERROR_ACCESS_DENIED:
        case platform::ERROR_SHARING_VIOLATION:
            code = 70;  // permission denied
            break;
        case platform::ERROR_DISK_FULL:
            code = 61;  // disk full
            break;
        case platform::ERROR_TOO_MANY_OPEN_FILES:
            code = 67;  // too many files
            break;
        case platform::ERROR_INVALID_HANDLE:
        case platform::ERROR_FILENAME_EXCED_RANGE:
            code = 52;  // bad file name or number
            break;
        default:
            code = writing ? 57 : 75;  // device I/O error; path/file access error
            break;
    }
    platform::Set_Last_Error(0);
    trace::Set_Runtime_Code(code);
}

// The End key of a pause ends the process: the open log still gets its footer. Only
// Line_Lock is taken, never held across a pause, so an End pressed in a pause of
// Port_Log_Open or Port_Log_Close (which hold Open_Lock) cannot stall the ending.
void Close_At_End() {
    int32_t file;
    {
        std::lock_guard<std::mutex> hold(Line_Lock);
        file = Port_Log_File;
        Port_Log_File = 0;
        Open_Path.clear();
    }
    if (file == 0) return;
    for (const char* line : {"</body> \r", "</html> \r"}) Append_Line(file, line);
    platform::Close_Handle(file);
}

std::once_flag End_Handler_Added;

}  // namespace

std::string Port_Log_Name(const std::string& folder, int year, int month, int day) {
    char date[32];
    std::snprintf(date, sizeof date, "%02d-%02d-%04d", month, day, year);
    return folder + "KDX Port Log " + date + ".html";
}

int32_t Port_Log_Open() {
    KDX_FRAME("Port_Log_Open");
    std::lock_guard<std::mutex> opening(Open_Lock);
    if (Port_Log_File != 0) return kdx_frame.result(Port_Log_File.load());
    std::string exe = platform::Module_Data_File_Name();
    kdx_frame.check();
    size_t sep = exe.find_last_of("\\/");
    {
        std::lock_guard<std::mutex> hold(Line_Lock);
        Failure.clear();
    }
    if (sep == std::string::npos) {
        std::string why = platform::Module_Data_Folder_Error();
        Set_Failure("the port log could not be opened: " +
                    (why.empty() ? std::string("the program's folder is unknown") : why));
        platform::Set_Last_Error(platform::ERROR_PATH_NOT_FOUND);
        Raise_File_Error(false);
        kdx_frame.check();
        return kdx_frame.result(int32_t(0));
    }
    platform::System_Time now = platform::Get_Local_Time();
    std::string name = Port_Log_Name(exe.substr(0, sep + 1), now.Year, now.Month, now.Day);
    if (name.size() > Max_Settings_Path) {
        // A cut name would be some other file.
        Set_Failure("the port log could not be opened: its name is too long: " + name);
        platform::Set_Last_Error(platform::ERROR_FILENAME_EXCED_RANGE);
        Raise_File_Error(false);
        kdx_frame.check();
        return kdx_frame.result(int32_t(0));
    }
    // Never through a link, never into a pipe or device: either would take the traffic
    // somewhere other than the day's file, or block the poller once a pipe is full.
    int32_t handle =
        platform::Create_File(name, platform::GENERIC_READ | platform::FILE_APPEND_DATA,
                              platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                              platform::OPEN_ALWAYS, platform::FILE_FLAG_OPEN_REPARSE_POINT);
    bool created = platform::Get_Last_Error() != platform::ERROR_ALREADY_EXISTS;
    if (!platform::Handle_Usable(handle)) {
        Set_Failure("the port log could not be opened: " + Reason(name));
        kdx_frame.comment(Port_Log_Failure());
        Raise_File_Error(false);
    }
    kdx_frame.check();
    if (!platform::Handle_Usable(handle)) return kdx_frame.result(int32_t(0));
    const std::string q = "\"";
    const std::string base(Maker_Base_Address);
    const std::string header[] = {
        "<!DOCTYPE html>",
        "<html> ",
        "<head>",
        "<BASE href=" + q + base + q + "target=" + q + "_blank" + q + ">",
        "<link rel=" + q + "stylesheet" + q + " href=" + q + base + "dravon.css" + q + "TYPE=" + q +
            "text/css" + q + ">",
        "</head>",
        "<body style=" + q + "background-color:black;" + q + ">",
    };
    std::call_once(End_Handler_Added, [] { trace::On_Program_End(&Close_At_End); });
    // Nobody else writes to the handle before it is published below.
    for (const std::string& line : header) {
        if (Append_Line(handle, line + "\r")) continue;
        // A log whose header cannot be written (a full disk) is no log: say so rather than
        // show logging as on while nothing is kept, and leave no empty file behind.
        Set_Failure("the port log could not be written: " + Reason(name));
        kdx_frame.comment(Port_Log_Failure());
        Raise_File_Error(true);
        platform::Close_Handle(handle);
        if (created && platform::File_Size(name) == 0) platform::Delete_File(name);
        kdx_frame.check();
        return kdx_frame.result(int32_t(0));
    }
    {
        std::lock_guard<std::mutex> hold(Line_Lock);
        Port_Log_File = handle;
        Open_Path = name;
    }
    kdx_frame.comment(name);
    return kdx_frame.result(handle);
}

int32_t Port_Log_Close() {
    KDX_FRAME("Port_Log_Close");
    std::lock_guard<std::mutex> closing(Open_Lock);
    int32_t file;
    {
        // From here on lines go nowhere; a line being written has finished.
        std::lock_guard<std::mutex> hold(Line_Lock);
        file = Port_Log_File;
        Port_Log_File = 0;
        Open_Path.clear();
    }
    if (file == 0) return kdx_frame.result(int32_t(0));
    for (const char* line : {"</body> \r", "</html> \r"}) {
        if (!Append_Line(file, line)) Raise_File_Error(true);
        kdx_frame.check();
    }
    bool closed = platform::Close_Handle(file);
    if (!closed) Raise_File_Error(false);
    kdx_frame.check();
    return kdx_frame.result(int32_t(closed));
}

std::string Port_Log_Current_Path() {
    std::lock_guard<std::mutex> hold(Line_Lock);
    return Open_Path;
}

std::string Port_Log_Failure() {
    std::lock_guard<std::mutex> hold(Line_Lock);
    return Failure;
}

int32_t Port_Log_Write_Line(int32_t file, const std::string& text) {
    KDX_FRAME("Port_Log_Write_Line", file, text);
    bool ok;
    {
        std::lock_guard<std::mutex> hold(Line_Lock);
        if (file == 0 || file != Port_Log_File) return kdx_frame.result(int32_t(0));
        ok = Append_Line(file, text);
        if (!ok) {
            // The log ends at its first lost line: one that went on after a gap would look
            // complete. The file is closed here (only this lock is needed, as at the End key)
            // and the failure kept for the terminal to show.
            uint32_t error = platform::Get_Last_Error();
            if (Failure.empty())
                Failure = "the port log could not be written, logging stopped: " +
                          platform::System_Message_Text(error);
            Port_Log_File = 0;
            Open_Path.clear();
            platform::Close_Handle(file);
            platform::Set_Last_Error(error);
        }
    }
    if (!ok) Raise_File_Error(true);
    kdx_frame.check();  // the last error is this thread's own
    return kdx_frame.result(int32_t(ok));
}

}  // namespace kdx
