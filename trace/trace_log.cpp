// The debug log: the state the console and the log share, the writer that puts each line on
// the console and into the log, and the log file's opening, name and path.
#include <algorithm>
#include <string>

#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/path.h"
#include "platform/os/system.h"
#include "trace/trace_internal.h"

namespace kdx::trace {

Console_State& Shared() {
    // Never destroyed: the poller thread may still trace while the process ends.
    static auto* state = new Console_State();
    return *state;
}

void Output(const std::vector<Piece>& pieces, Log log, const std::string* log_text) {
    Keep_Last_Error keep;
    auto& s = Shared();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.device) return;
    std::string joined;
    for (const auto& p : pieces) {
        s.attribute = p.attribute;
        s.device->Write(p.text, p.attribute);
        if (!log_text) joined += p.text.size() > Line_Limit ? p.text.substr(0, Line_Limit) : p.text;
    }
    if (log == Log::None || !platform::Handle_Usable(s.log)) return;
    const std::string& text = log_text ? *log_text : joined;
    platform::Write_File(s.log, text);
    if (log == Log::Twice) platform::Write_File(s.log, text);
}

void Open_Log(int32_t depth) {
    auto& s = Shared();
    std::string name = trace::Debug_Log_Name(platform::Module_File_Name());
    // Not through a link (it would overwrite the link's target) and not into a pipe (a
    // full one would stall every traced thread): such a log is refused and said so.
    int32_t log = platform::Create_File(
        name, platform::GENERIC_READ | platform::FILE_APPEND_DATA,
        platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | platform::FILE_SHARE_DELETE,
        platform::CREATE_ALWAYS, platform::FILE_FLAG_OPEN_REPARSE_POINT);
    uint32_t error = platform::Get_Last_Error();
    std::string refusal = platform::File_Refusal();
    std::string folder = platform::Current_Directory();
    std::string path = platform::Path_In_Folder(folder, name);
    std::string failure;
    if (!platform::Handle_Usable(log))
        failure = refusal.empty() ? path + ": " + platform::System_Message_Text(error)
                                  : path + " is " + refusal + ", not a file";
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (platform::Handle_Usable(s.log)) platform::Close_Handle(s.log);
        s.log = log;
        // A log that could not be created has no path: nothing will be written there.
        s.log_path = platform::Handle_Usable(log) ? path : std::string();
        s.log_error = failure;
    }
    if (!failure.empty())
        Output({{Cut(Spaces(5 * (depth - 1)) + "Error: " + trace::Format_Number(error) + " - " +
                     platform::System_Message_Text(error) + " The debug log " + failure + "\r\n"),
                 Attribute_Error}},
               trace::Log::None);
}

std::string Debug_Log_Name(const std::string& executable_path) {
    std::string name = executable_path;
    std::replace(name.begin(), name.end(), '\\', '/');
    size_t cut = name.find_last_of("/:");
    if (cut != std::string::npos) name.erase(0, cut + 1);
    // Programs here carry no extension, so a dot belongs to the name ("Tool.rev2"); only
    // the Windows extension is removed where a program has one.
    if (name.size() >= 4) {
        std::string ext = Upper(std::string_view(name).substr(name.size() - 4));
        if (ext == ".EXE") name.resize(name.size() - 4);
    }
    return name + "_Debug.txt";
}

std::string Debug_Log_Path() {
    auto& s = Shared();
    std::lock_guard<std::mutex> g(s.lock);
    return s.log_path;
}

std::string Debug_Log_Error() {
    auto& s = Shared();
    std::lock_guard<std::mutex> g(s.lock);
    return s.log_error;
}

}  // namespace kdx::trace
