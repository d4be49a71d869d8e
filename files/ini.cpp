#include "files/ini.h"

#include "platform/os/file.h"

#include <mutex>

#include "files/html_template.h"
#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "trace/trace.h"

namespace kdx {

namespace ini_rules {

namespace {
constexpr const char* Separators = "\\/:";

// From the last separator (inclusive) to the end; the whole path when it has none.
std::string File_Part_Of(const std::string& path) {
    size_t sep = path.find_last_of(Separators);
    return sep == std::string::npos ? path : path.substr(sep);
}

void Replace_All(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t i = text.find(from); i != std::string::npos; i = text.find(from, i + to.size()))
        text.replace(i, from.size(), to);
}
}  // namespace

std::string Folder_Of(const std::string& exe_path) {
    size_t sep = exe_path.find_last_of(Separators);
    return sep == std::string::npos ? std::string() : exe_path.substr(0, sep + 1);
}

std::string Settings_Name_Of(const std::string& exe_path) {
    std::string name = File_Part_Of(exe_path);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot + 1);
    std::erase_if(name, [](char c) { return c == '\\' || c == '/' || c == '.'; });
    return name;
}

std::string Page_File_Of(const std::string& exe_path) {
    std::string file = File_Part_Of(exe_path);
    size_t dot = file.rfind('.');
    if (dot == std::string::npos) {
        // Only a dot of the file name starts its extension, never one in a folder name: an
        // executable without extension must not name its own settings page after itself.
        file += ".html";
    } else {
        Replace_All(file, file.substr(dot), ".html");
    }
    size_t start = file.find_first_not_of(Separators);
    return start == std::string::npos ? std::string() : file.substr(start);
}

}  // namespace ini_rules

namespace {

constexpr const char* Html_Extension = ".html";

// The folder and name each of Ini_Set_Value and Ini_Get_Value fills on first use.
struct Path_Cache {
    std::mutex lock;
    std::string folder;
    std::string name;

    std::string Path() {
        std::lock_guard<std::mutex> hold(lock);
        if (folder.empty()) folder = Ini_Get_Leading_Path();
        if (name.empty()) name = Ini_Get_Name();
        // Without a folder the name would be taken relative to the current directory.
        if (folder.empty()) return std::string();
        return folder + name + Html_Extension;
    }
};

Path_Cache Set_Value_Cache;
Path_Cache Get_Value_Cache;

// The error reported when no usable path could be built and nothing else said why.
void Path_Unusable() {
    if (platform::Get_Last_Error() == 0) platform::Set_Last_Error(platform::ERROR_PATH_NOT_FOUND);
}

}  // namespace

std::string Ini_Get_Full_Path() {
    KDX_FRAME("Ini_Get_Full_Path");
    std::string path = platform::Module_Data_File_Name();
    kdx_frame.check();
    if (path.size() > Max_Settings_Path) {
        platform::Set_Last_Error(platform::ERROR_FILENAME_EXCED_RANGE);
        kdx_frame.check();
        path.clear();
    }
    return kdx_frame.result(path);
}

std::string Ini_Get_Leading_Path() {
    KDX_FRAME("Ini_Get_Leading_Path");
    return kdx_frame.result(ini_rules::Folder_Of(Ini_Get_Full_Path()));
}

std::string Ini_Get_Name() {
    KDX_FRAME("Ini_Get_Name");
    return kdx_frame.result(ini_rules::Settings_Name_Of(Ini_Get_Full_Path()));
}

std::string Ini_Get_Extension() {
    KDX_FRAME("Ini_Get_Extension");
    return kdx_frame.result(std::string(Html_Extension));
}

std::string Ini_Set_Value(const std::string& section, const std::string& key,
                          const std::string& value) {
    KDX_FRAME("Ini_Set_Value", section, key, value);
    std::string path = Set_Value_Cache.Path();
    if (path.empty()) {
        Path_Unusable();
    } else {
        platform::Write_Private_Profile_String(section, key, value, path);  // result only traced
    }
    kdx_frame.check();
    return kdx_frame.result(std::string());
}

std::string Ini_Get_Value(const std::string& section, const std::string& key,
                          const std::string& default_value) {
    KDX_FRAME("Ini_Get_Value", section, key, default_value);
    std::string path = Get_Value_Cache.Path();
    std::string value;
    if (path.empty()) {
        Path_Unusable();
        value = default_value.substr(0, Max_Settings_Value);
    } else {
        platform::Get_Private_Profile_String(section, key, default_value, value,
                                             Max_Settings_Value + 1, path);
    }
    kdx_frame.check();
    return kdx_frame.result(value);
}

int32_t Ini_Write_Key(const std::string& folder, const std::string& file,
                      const std::string& section, const std::string& key,
                      const std::string& value) {
    KDX_FRAME("Ini_Write_Key", folder, file, section, key, value);
    int32_t r = platform::Write_Private_Profile_String(section, key, value, folder + file);
    kdx_frame.check();
    kdx_frame.comment(key + " " + value);
    return kdx_frame.result(r);
}

int32_t Ini_Write_Sample_Key(const std::string& folder, const std::string& file, bool* complete) {
    KDX_FRAME("Ini_Write_Sample_Key", folder, file);
    std::string path = folder + file;
    platform::Write_Private_Profile_String("", "", "", path);
    kdx_frame.check();
    bool all = Ini_Write_Key(folder, file, "COM6", "\rNumber:", "6<br/>") != 0;
    all = Ini_Write_Key(folder, file, "COM7", "Quill Test:", "Yadda<br/>") != 0 && all;
    int32_t r = Ini_Write_Key(folder, file, "COM6", "Baud:", "9600V<br/>");
    std::string last = "1<br/>";
    all = platform::Write_Private_Profile_String("COM1", "Number:", last, path) != 0 && r && all;
    if (complete) *complete = all;
    kdx_frame.check();
    kdx_frame.comment(last);
    return kdx_frame.result(r);
}

std::string Ini_Get_Page_Path() {
    KDX_FRAME("Ini_Get_Page_Path");
    std::string exe = Ini_Get_Full_Path();
    std::string path;
    if (!exe.empty()) path = ini_rules::Folder_Of(exe) + ini_rules::Page_File_Of(exe);
    if (path.size() > Max_Settings_Path) {
        platform::Set_Last_Error(platform::ERROR_FILENAME_EXCED_RANGE);
        kdx_frame.check();
        path.clear();
    }
    return kdx_frame.result(path);
}

std::string Ini_Get_Current_Path() {
    KDX_FRAME("Ini_Get_Current_Path");
    std::string exe = Ini_Get_Full_Path();
    std::string folder = ini_rules::Folder_Of(exe);
    std::string file = ini_rules::Page_File_Of(exe);
    if (exe.empty() || folder.size() + file.size() > Max_Settings_Path) {
        if (!exe.empty()) platform::Set_Last_Error(platform::ERROR_FILENAME_EXCED_RANGE);
        Path_Unusable();
        kdx_frame.check();
        return kdx_frame.result(std::string());
    }
    Ini_Template_Record rec;
    rec.Path = folder + file;
    // A new file, never through a link at the page's name (it would overwrite the link's
    // target); only an old page of the user's own is replaced.
    platform::Delete_Own_File(rec.Path);
    rec.Handle = platform::Create_File(rec.Path, rec.Access, rec.Share, platform::CREATE_NEW,
                                       platform::FILE_FLAG_OPEN_REPARSE_POINT);
    kdx_frame.check();
    if (!platform::Handle_Usable(rec.Handle)) {
        // Without the page there are no blocks to put the sample keys in: writing them
        // would only leave a bare list of keys where the page should be.
        return kdx_frame.result(std::string());
    }
    bool whole = Ini_Template_Doc_Type(rec) != 0;
    whole = Ini_Template_Html_Start(rec) && whole;
    whole = Ini_Template_Header(rec) && whole;
    whole = Ini_Template_Body_Start(rec) && whole;
    rec.Text = std::string(10, ' ') + "<p><br/><p>\r";
    whole = Ini_Template_Write(rec) && whole;
    whole = Ini_Template_Details_Summary(rec) && whole;
    whole = Ini_Template_Body_End(rec) && whole;
    whole = Ini_Template_Html_End(rec) && whole;
    platform::Close_Handle(rec.Handle);
    kdx_frame.check();
    bool keys = false;
    if (whole) Ini_Write_Sample_Key(folder, file, &keys);
    if (!whole || !keys) {
        // A page cut short (a full disk) would be taken for the page on the next run, with
        // no blocks for its keys: it is removed, and the caller finds no page.
        platform::Delete_File(rec.Path);
        kdx_frame.comment("Incomplete page removed: " + rec.Path);
    }
    return kdx_frame.result(std::string());
}

int32_t Ini_Set_Terminal_Port(const std::string& name) {
    KDX_FRAME("Ini_Set_Terminal_Port", name);
    std::string path = Ini_Get_Page_Path();
    std::string value = name + "<br/>";
    int32_t r = 0;
    if (path.empty()) {
        Path_Unusable();
    } else {
        r = platform::Write_Private_Profile_String("<summary>Port Info</summary>", "Port:", value,
                                                   path);
    }
    kdx_frame.check();
    kdx_frame.comment("Port: " + value);
    return kdx_frame.result(r);
}

}  // namespace kdx
