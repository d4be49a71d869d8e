// Starting programs on Windows: CreateProcessW, detached, without waiting; the Edit command's
// editor is Notepad unless the user names another.
#include "platform/os/error.h"
#include "platform/os/process.h"
#include "platform/os/system.h"

#include "platform/os/win32.h"

#include <map>
#include <mutex>

namespace kdx::platform {

const std::vector<std::string> Desktop_Editors = {"notepad.exe"};

namespace {
// One argument quoted as the C runtime parses it back: backslashes are literal unless they
// come before a quote, which they then escape.
std::wstring Quoted(const std::wstring& word) {
    if (!word.empty() && word.find_first_of(L" \t\"") == std::wstring::npos) return word;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : word) {
        if (c == L'\\') {
            ++slashes;
        } else if (c == L'"') {
            out.append(slashes * 2 + 1, L'\\');
            slashes = 0;
        } else {
            slashes = 0;
        }
        out += c;
    }
    out.append(slashes, L'\\');
    out += L'"';
    return out;
}
}  // namespace

std::string Find_Program(const std::string& name) {
    if (name.empty()) return std::string();
    wchar_t found[MAX_PATH];
    DWORD n = ::SearchPathW(nullptr, win32::Wide(name).c_str(), L".exe", MAX_PATH, found, nullptr);
    if (n == 0 || n >= MAX_PATH) return std::string();
    DWORD attributes = ::GetFileAttributesW(found);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::string();
    return win32::Narrow(found);
}

namespace {

struct Watch {
    HANDLE process;
    ULONGLONG end;  // GetTickCount64 when the watch ends
};
std::mutex watches_lock;
std::map<int64_t, Watch> watches;
int64_t next_watch = 1;

// Starts the program; with process, its handle is kept there instead of closed.
bool Start(const std::vector<std::string>& argv, HANDLE* process) {
    if (argv.empty()) {
        Set_Last_Error(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string program = Find_Program(argv[0]);
    if (program.empty()) {
        Set_Last_Error(ERROR_FILE_NOT_FOUND);
        return false;
    }
    std::wstring line;
    for (const auto& word : argv) line += (line.empty() ? L"" : L" ") + Quoted(win32::Wide(word));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // Its own process group and no handles of ours: the program lives on after we end.
    if (!::CreateProcessW(win32::Wide(program).c_str(), line.data(), nullptr, nullptr, FALSE,
                          CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr,
                          &startup, &started)) {
        win32::Take_System_Error();
        return false;
    }
    ::CloseHandle(started.hThread);
    if (process)
        *process = started.hProcess;
    else
        ::CloseHandle(started.hProcess);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

}  // namespace

bool Start_Program(const std::vector<std::string>& argv) {
    return Start(argv, nullptr);
}

int64_t Start_Program_Watched(const std::vector<std::string>& argv, uint32_t watch_ms) {
    HANDLE process = nullptr;
    if (!Start(argv, &process)) return 0;
    std::lock_guard<std::mutex> guard(watches_lock);
    int64_t id = next_watch++;
    watches[id] = Watch{process, ::GetTickCount64() + watch_ms};
    return id;
}

Watch_State Program_Watch_Poll(int64_t watch, int32_t& code) {
    code = 0;
    std::lock_guard<std::mutex> guard(watches_lock);
    auto it = watches.find(watch);
    if (it == watches.end()) return Watch_State::Running;
    Watch_State state = Watch_State::Watching;
    DWORD exit_code = 0;
    if (::WaitForSingleObject(it->second.process, 0) == WAIT_OBJECT_0 &&
        ::GetExitCodeProcess(it->second.process, &exit_code)) {
        code = int32_t(exit_code);
        state = Watch_State::Exited;
    } else if (::GetTickCount64() >= it->second.end) {
        state = Watch_State::Running;
    }
    if (state != Watch_State::Watching) {
        ::CloseHandle(it->second.process);
        watches.erase(it);
    }
    return state;
}

bool Open_Text_Editor(std::string* how, int64_t* watch) {
    std::vector<std::string> command;
    for (const char* variable : {"KDX_EDITOR", "VISUAL"}) {
        std::string value = Environment(variable);
        if (value.find_first_not_of(" \t") == std::string::npos) continue;
        command = {value};  // a program's path, blanks and all
        break;
    }
    if (command.empty()) command = {Desktop_Editors.front()};
    if (how) *how = command.front();
    if (!watch) return Start_Program(command);
    *watch = Start_Program_Watched(command, Editor_Watch_Ms);
    return *watch != 0;
}

}  // namespace kdx::platform
