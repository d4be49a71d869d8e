// Starting programs on Windows: CreateProcessW, detached, without waiting; the Edit command's
// editor is Notepad unless the user names another.
#include "platform/os/error.h"
#include "platform/os/process.h"
#include "platform/os/system.h"

#include "platform/os/win32.h"

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

bool Start_Program(const std::vector<std::string>& argv) {
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
    ::CloseHandle(started.hProcess);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Open_Text_Editor(std::string* how) {
    std::vector<std::string> command;
    for (const char* variable : {"KDX_EDITOR", "VISUAL"}) {
        std::string value = Environment(variable);
        if (value.find_first_not_of(" \t") == std::string::npos) continue;
        command = {value};  // a program's path, blanks and all
        break;
    }
    if (command.empty()) command = {Desktop_Editors.front()};
    if (how) *how = command.front();
    return Start_Program(command);
}

}  // namespace kdx::platform
