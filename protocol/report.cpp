#include "protocol/report.h"

#include <cstdio>
#include <vector>

#include "files/html_template.h"
#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/path.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/ports/device_change.h"
#include "platform/window/window.h"
#include "serial/serial_enum.h"
#include "trace/trace.h"

namespace kdx {

namespace {

std::string Two_Digits(int value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", value);
    return buf;
}

// The stamp of the name: hours, minutes and seconds without separators.
std::string Time_Stamp(const platform::System_Time& t) {
    return Two_Digits(t.Hour) + Two_Digits(t.Minute) + Two_Digits(t.Second);
}

// Why the last report on this thread was not written, "" when it was.
thread_local std::string Create_Error;

// Keeps the first reason a report could not be written.
void Note_Failure(const std::string& name, uint32_t code) {
    if (!Create_Error.empty()) return;
    std::string path = name;
    if (name.find_first_of("/\\") == std::string::npos)
        path = platform::Path_In_Folder(platform::Current_Directory(), name);
    Create_Error = path + ": " + platform::File_Failure_Text(code);
}

// Every write of the report goes through these two, which note a write that did not go
// whole into the file (a full disk), so no cut-short report is handed over as written.
void Write_Keys(const std::string& section, const std::vector<const char*>& labels,
                const std::string& path, bool& whole) {
    for (const char* label : labels) {
        if (platform::Write_Private_Profile_String(section, std::string(Report_Key_Prefix) + label,
                                                   "", path))
            continue;
        if (whole) Note_Failure(path, platform::Get_Last_Error());
        whole = false;
    }
}

void Write(HTML_Template_Record& rec, bool& whole) {
    HTML_Template_Write(rec);
    if (whole && rec.Written != rec.Text.size())
        Note_Failure(rec.Path, platform::Get_Last_Error() ? platform::Get_Last_Error()
                                                          : platform::ERROR_WRITE_FAULT);
    whole = whole && rec.Written == rec.Text.size();
}

// Starts a block: details, summary with the title line, summary end, each written at once.
void Block_Start(HTML_Template_Record& rec, const std::string& title, bool& whole) {
    HTML_Template_Details_Start(rec);
    Write(rec, whole);
    HTML_Template_Summary_Start(rec);
    Write(rec, whole);
    HTML_Template_Summary_Title(rec, title);
    Write(rec, whole);
    HTML_Template_Summary_End(rec);
    Write(rec, whole);
}

}  // namespace

std::string HTML_Template_Create_Error() {
    return Create_Error;
}

std::string Report_Name(const platform::System_Time& t) {
    char date[32];
    std::snprintf(date, sizeof date, "%02d-%02d-%04d", int(t.Month), int(t.Day), int(t.Year));
    return std::string("KDX Diagnostic") + " " + date + " " + Time_Stamp(t) + ".html";
}

std::string Report_Key_Path(const std::string& name) {
    // The labels are written by file name, so they land in the file the fragments go to. A
    // full path cut to the profile function's limit would name another file: past that
    // limit the name alone (in the current directory, the same file) is used.
    std::string key_path = platform::Path_In_Folder(platform::Current_Directory(), name);
    if (key_path.size() > platform::Max_Profile_Path) key_path = name;
    return key_path;
}

std::string HTML_Template_Create() {
    KDX_FRAME("HTML_Template_Create");
    platform::System_Time now = platform::Get_Local_Time();
    HTML_Template_Record rec;
    rec.Path = Report_Name(now);
    rec.Stamp = Time_Stamp(now);
    Create_Error.clear();
    // The name is predictable: a link planted there must not lead the report into its target,
    // nor a file of someone else's be overwritten. Only a file of our own (a report of the same
    // second) is replaced, and the report is always a new file.
    platform::Delete_Own_File(rec.Path);
    rec.Disposition = platform::CREATE_NEW;
    rec.Flags = platform::FILE_FLAG_OPEN_REPARSE_POINT;
    HTML_Template_File_Create(rec);
    if (!platform::Handle_Usable(rec.Handle)) Note_Failure(rec.Path, platform::Get_Last_Error());
    kdx_frame.check();

    std::string key_path = Report_Key_Path(rec.Path);

    bool whole = platform::Handle_Usable(rec.Handle);
    HTML_Template_DocType(rec);
    Write(rec, whole);
    HTML_Template_Html_Start(rec);
    Write(rec, whole);
    HTML_Template_Head_Start(rec);
    Write(rec, whole);
    HTML_Template_Head_Refs(rec);
    Write(rec, whole);
    HTML_Template_Head_End(rec);
    Write(rec, whole);
    HTML_Template_Body_Start(rec);
    Write(rec, whole);

    // The Terminal refreshes its port list as it does when hardware changes.
    if (win::Terminal_Dialog)
        win::Send_Message(win::Terminal_Dialog, win::WM_DEVICECHANGE,
                          platform::DBT_DEVNODES_CHANGED, 0);

    std::vector<std::string> ports;
    int32_t count = Serial_Terminal_Port_Enum(ports);
    for (int32_t i = 0; i < count && size_t(i) < ports.size(); ++i) {
        std::string entry = ports[size_t(i)].substr(0, ports[size_t(i)].find('\0'));
        Block_Start(rec, entry, whole);
        Write_Keys(entry,
                   {"Actual Name:", "Symbolic Name:", "Port Type:", "Baud Rate:", "Device:",
                    "Connect Status:"},
                   key_path, whole);
        std::string device = entry + " - Device";
        Block_Start(rec, device, whole);
        Write_Keys(device,
                   {"Serial Num:", "Order Num:", "Version:", "Revision:", "Num of Axis:",
                    "Axis Set:", "Axis Detected:"},
                   key_path, whole);
        HTML_Template_Details_End(rec);
        Write(rec, whole);
        Write_Keys(device, {"<hr/>"}, key_path, whole);
        HTML_Template_Details_End(rec);
        Write(rec, whole);
    }

    HTML_Template_Body_End(rec);
    Write(rec, whole);
    HTML_Template_Html_End(rec);
    Write(rec, whole);
    int32_t handle = rec.Handle;
    HTML_Template_File_Close(rec);
    kdx_frame.comment("File Name: " + rec.Path +
                      "     Diagnostic Handle: " + std::to_string(handle));
    if (!whole) {
        // A report cut short is no report: removed, and no name is given back.
        if (platform::Handle_Usable(handle)) platform::Delete_File(rec.Path);
        kdx_frame.comment("Incomplete report removed: " + rec.Path);
        return kdx_frame.result(std::string());
    }
    return kdx_frame.result(rec.Path);
}

}  // namespace kdx
