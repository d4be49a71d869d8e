#include <cstdio>
#include <vector>

#include "platform/os/error.h"
#include "platform/os/path.h"
#include "platform/os/system.h"
#include "platform/os/system_os.h"

#include "platform/os/win32.h"

namespace kdx::platform {

namespace win32 {

std::wstring Wide(std::string_view text) {
    if (text.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

std::string Narrow(std::wstring_view text) {
    if (text.empty()) return std::string();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr,
                                  nullptr);
    std::string out(size_t(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr,
                          nullptr);
    return out;
}

bool Under_Wine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace win32

int64_t Query_Performance_Counter() {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t Query_Performance_Frequency() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f{};
        ::QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return frequency;
}

int64_t Tick_Count_Ms() {
    // From the performance counter, not GetTickCount64: that one moves in steps of the
    // system's timer tick (15.6 ms), and a wait measured with it ends up to a tick early.
    int64_t ticks = Query_Performance_Counter(), frequency = Query_Performance_Frequency();
    return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

void Sleep_Ns(int64_t nanoseconds) {
    if (nanoseconds <= 0) {
        ::Sleep(0);
        return;
    }
    // Sleep counts whole milliseconds and may wake a tick early: wait until the time is up.
    int64_t end =
        Query_Performance_Counter() + nanoseconds * Query_Performance_Frequency() / 1000000000;
    for (;;) {
        int64_t left = end - Query_Performance_Counter();
        if (left <= 0) return;
        int64_t ms = left * 1000 / Query_Performance_Frequency();
        ::Sleep(DWORD(ms + 1));
    }
}

std::string Module_File_Name() {
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
        if (n == 0) {
            win32::Take_System_Error();
            return std::string();
        }
        if (n < buf.size()) return win32::Narrow(std::wstring_view(buf.data(), n));
        buf.resize(buf.size() * 2);
    }
}

bool Make_Directories(const std::string& path) {
    size_t pos = path.find_first_of("\\/", path.size() > 2 && path[1] == ':' ? 3 : 1);
    for (;;) {
        std::string part = path.substr(0, pos);
        if (!part.empty() && !::CreateDirectoryW(win32::Wide(part).c_str(), nullptr) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS) {
            win32::Take_System_Error();
            return false;
        }
        if (pos == std::string::npos) break;
        pos = path.find_first_of("\\/", pos + 1);
    }
    DWORD attributes = ::GetFileAttributesW(win32::Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Set_Last_Error(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return true;
}

namespace {
thread_local std::string data_folder_error;

// Whether a file can be made in folder: the only sure test on Windows, where the folder's
// access list, not a mode, decides. A file of a name no other holds, gone when closed
// (GetTempFileName would do, but Wine's says it made one when the folder refused it).
bool Folder_Writable(const std::string& folder) {
    std::string probe = folder + "\\.kdx-write-test-" + std::to_string(::GetCurrentProcessId()) +
                        "-" + std::to_string(::GetCurrentThreadId());
    HANDLE h = ::CreateFileW(win32::Wide(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == win32::System_Invalid) return ::GetLastError() == ERROR_FILE_EXISTS;
    ::CloseHandle(h);
    return true;
}
}  // namespace

std::string Module_Data_Folder_Error() {
    return data_folder_error;
}

std::string Module_Data_File_Name() {
    data_folder_error.clear();
    std::string exe = Module_File_Name();
    size_t slash = exe.find_last_of("\\/");
    if (slash == std::string::npos) return exe;
    uint32_t kept = Get_Last_Error();
    // Beside the program when it may write there (a folder of its own, a zip unpacked);
    // installed under Program Files it may not, and its files go to the user's own folder.
    if (Folder_Writable(exe.substr(0, slash))) {
        Set_Last_Error(kept);
        return exe;
    }
    std::string data = Environment("LOCALAPPDATA");
    if (data.empty()) {
        data_folder_error = "no data folder: LOCALAPPDATA is not set";
        Set_Last_Error(ERROR_PATH_NOT_FOUND);
        return std::string();
    }
    std::string dir = data + "\\kdx";
    if (!Make_Directories(dir)) {
        data_folder_error =
            "cannot create the data folder " + dir + ": " + System_Message_Text(Get_Last_Error());
        return std::string();
    }
    Set_Last_Error(kept);
    return dir + exe.substr(slash);
}

char Path_Separator() {
    return '\\';
}

std::string Current_Directory() {
    DWORD n = ::GetCurrentDirectoryW(0, nullptr);
    std::wstring buf(n, L'\0');
    n = ::GetCurrentDirectoryW(n, buf.data());
    if (n == 0) {
        win32::Take_System_Error();
        return std::string();
    }
    buf.resize(n);
    // A drive's root keeps its "\" ("C:\"); other folders come without one.
    if (buf.size() > 3 && (buf.back() == L'\\' || buf.back() == L'/')) buf.pop_back();
    return win32::Narrow(buf);
}

bool Set_Current_Directory(const std::string& path) {
    if (::SetCurrentDirectoryW(win32::Wide(path).c_str())) return true;
    win32::Take_System_Error();
    return false;
}

System_Time Get_Local_Time() {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return System_Time{t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                       t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
}

std::string Environment(const char* name) {
    std::wstring wide_name = win32::Wide(name);
    DWORD n = ::GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (n == 0) return std::string();
    std::wstring value(n, L'\0');
    n = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(), n);
    value.resize(n);
    return win32::Narrow(value);
}

void Exit_Process(uint32_t code) {
    std::fflush(nullptr);
    // No destructor and no library's detach code runs: other threads may still be working.
    ::TerminateProcess(::GetCurrentProcess(), code);
    ::ExitProcess(code);
}

void Fine_Thread_Timers() {
    // Windows has no per-thread timer slack; its waits follow the system's timer period.
}

}  // namespace kdx::platform
