#include "files/port_log.h"

#include <cstdio>
#include <mutex>

#include "files/ini.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/handles.h"
#include "platform/system.h"
#include "trace/trace.h"

namespace kdx {

int32_t Port_Log_File = 0;

namespace {

// Guards Port_Log_File's changes and every write, so the user-interface thread and the
// receive poller never interleave their lines, and a line never reaches a closed log.
std::mutex Log_Lock;

// Appends one line; the caller holds Log_Lock. One write call per line: with the file opened
// for appending, even another process's lines cannot cut into it.
bool Append_Line(int32_t handle, const std::string& text) {
    std::string line = text;
    line += "\r\n";
    return platform::Write_File(handle, line);
}

}  // namespace

std::string Port_Log_Name(const std::string& folder, int year, int month, int day) {
    char date[32];
    std::snprintf(date, sizeof date, "%02d-%02d-%04d", month, day, year);
    return folder + "KDX Port Log " + date + ".html";
}

int32_t Port_Log_Open() {
    KDX_FRAME("Port_Log_Open");
    std::lock_guard<std::mutex> hold(Log_Lock);
    if (Port_Log_File != 0) return kdx_frame.result(Port_Log_File);
    std::string exe = platform::Module_File_Name();
    kdx_frame.check();
    size_t sep = exe.find_last_of("\\/");
    if (sep == std::string::npos) {
        platform::Set_Last_Error(platform::ERROR_PATH_NOT_FOUND);
        kdx_frame.check();
        return kdx_frame.result(int32_t(0));
    }
    platform::System_Time now = platform::Get_Local_Time();
    std::string name = Port_Log_Name(exe.substr(0, sep + 1), now.Year, now.Month, now.Day);
    if (name.size() > Max_Settings_Path) {
        // A cut name would be some other file.
        platform::Set_Last_Error(platform::ERROR_FILENAME_EXCED_RANGE);
        kdx_frame.check();
        return kdx_frame.result(int32_t(0));
    }
    int32_t handle = platform::Create_File(
        name, platform::GENERIC_READ | platform::GENERIC_WRITE | platform::FILE_APPEND_DATA,
        platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_ALWAYS);
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
    for (const std::string& line : header) {
        Append_Line(handle, line + "\r");
        kdx_frame.check();
    }
    Port_Log_File = handle;
    kdx_frame.comment(name);
    return kdx_frame.result(Port_Log_File);
}

int32_t Port_Log_Close() {
    KDX_FRAME("Port_Log_Close");
    std::lock_guard<std::mutex> hold(Log_Lock);
    int32_t file = Port_Log_File;
    if (file == 0) return kdx_frame.result(int32_t(0));
    Append_Line(file, "</body> \r");
    kdx_frame.check();
    Append_Line(file, "</html> \r");
    kdx_frame.check();
    bool closed = platform::Close_Handle(file);
    kdx_frame.check();
    Port_Log_File = 0;
    return kdx_frame.result(int32_t(closed));
}

int32_t Port_Log_Write_Line(int32_t file, const std::string& text) {
    KDX_FRAME("Port_Log_Write_Line", file, text);
    std::lock_guard<std::mutex> hold(Log_Lock);
    if (file == 0 || file != Port_Log_File) return kdx_frame.result(int32_t(0));
    bool ok = Append_Line(file, text);
    kdx_frame.check();
    return kdx_frame.result(int32_t(ok));
}

}  // namespace kdx
