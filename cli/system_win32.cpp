// kdx-cli's own system calls on Windows. Anonymous pipes cannot be waited on, so the waits
// below look at them in short slices (PeekNamedPipe) beside the console's input handle.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/system.h"

namespace kdx::cli::sys {

namespace {
// A wait for a pipe looks again after this long.
constexpr DWORD kSlice_Ms = 10;

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr,
                                  nullptr);
    std::string out(size_t(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr,
                          nullptr);
    return out;
}

HANDLE Of(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// Bytes waiting in a pipe, or -1 once its other end has closed (or it is no pipe).
long Pipe_Bytes(HANDLE pipe) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return -1;
    return long(available);
}

HANDLE Stop_Event() {
    static HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI On_Stop(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    ::SetEvent(Stop_Event());
    return TRUE;
}

DWORD saved_mode = 0;
bool keys_raw = false;
}  // namespace

std::tm Local_Time(std::time_t t) {
    std::tm tm{};
    localtime_s(&tm, &t);
    return tm;
}

std::string Real_Path(const std::string& path) {
    HANDLE h = ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::string();
    wchar_t buffer[4096];
    DWORD n = ::GetFinalPathNameByHandleW(h, buffer, 4096, FILE_NAME_NORMALIZED);
    ::CloseHandle(h);
    if (n == 0 || n >= 4096) return std::string();
    std::wstring real(buffer, n);
    if (real.rfind(L"\\\\?\\", 0) == 0) real = real.substr(4);
    return Narrow(real);
}

void Set_Environment_Default(const char* name, const char* value) {
    if (!std::getenv(name)) _putenv_s(name, value);
}

char Path_Separator() {
    return '\\';
}

std::string Self_Path() {
    wchar_t path[4096];
    DWORD n = ::GetModuleFileNameW(nullptr, path, 4096);
    if (n == 0 || n >= 4096) return "kdx-cli";
    return Narrow(std::wstring(path, n));
}

void Hold_Stop_Requests() {
    Stop_Event();
    ::SetConsoleCtrlHandler(On_Stop, TRUE);
}

bool Wait_Stop_Request(int ms) {
    return ::WaitForSingleObject(Stop_Event(), DWORD(ms)) == WAIT_OBJECT_0;
}

int Open_Append(const std::string& path, std::string& problem) {
    problem.clear();
    std::wstring wide = Wide(path);
    DWORD there = ::GetFileAttributesW(wide.c_str());
    if (there != INVALID_FILE_ATTRIBUTES && (there & FILE_ATTRIBUTE_REPARSE_POINT)) {
        problem = "a link is at that name";
        errno = EACCES;
        return -1;
    }
    HANDLE h = ::CreateFileW(wide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD code = ::GetLastError();
        errno = code == ERROR_ACCESS_DENIED ? EACCES : code == ERROR_PATH_NOT_FOUND ? ENOENT : EIO;
        problem = std::strerror(errno);
        return -1;
    }
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        problem = "not a regular file";
        errno = EINVAL;
        return -1;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        problem = std::strerror(errno);
    }
    return fd;
}

int Create_New(const std::string& path) {
    HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD code = ::GetLastError();
        errno = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS ? EEXIST
                : code == ERROR_DISK_FULL                                 ? ENOSPC
                : code == ERROR_ACCESS_DENIED                             ? EACCES
                                                                          : ENOENT;
        return -1;
    }
    return _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
}

int Lock_Exclusive(int fd) {
    OVERLAPPED whole{};
    return ::LockFileEx(Of(fd), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) ? 0 : EIO;
}

int64_t Size_Of(int fd) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(Of(fd), &size) ? int64_t(size.QuadPart) : -1;
}

int Write_All(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        int n = _write(fd, text.data() + done,
                       unsigned(std::min<size_t>(text.size() - done, 1u << 30)));
        if (n <= 0) return n < 0 ? errno : EIO;
        done += size_t(n);
    }
    return 0;
}

int Truncate_To(int fd, int64_t size) {
    return _chsize_s(fd, size);
}

bool Same_File(int fd, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION open{}, named{};
    HANDLE h =
        ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool same =
        ::GetFileInformationByHandle(Of(fd), &open) && ::GetFileInformationByHandle(h, &named) &&
        open.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
        open.nFileIndexHigh == named.nFileIndexHigh && open.nFileIndexLow == named.nFileIndexLow;
    ::CloseHandle(h);
    return same;
}

int Make_Folders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/' && path[at] != '\\') continue;
        std::string part = path.substr(0, at);
        if (part.size() == 2 && part[1] == ':') continue;  // a drive
        if (!::CreateDirectoryW(Wide(part).c_str(), nullptr) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS)
            return ::GetLastError() == ERROR_ACCESS_DENIED ? EACCES
                   : ::GetLastError() == ERROR_DISK_FULL   ? ENOSPC
                                                           : ENOENT;
    }
    DWORD there = ::GetFileAttributesW(Wide(path).c_str());
    if (there == INVALID_FILE_ATTRIBUTES) return ENOENT;
    return (there & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ENOTDIR;
}

bool Spawn(const std::vector<std::string>& args, Child_Process& child) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) return false;
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    // The command line as the C runtime parses it back.
    std::wstring line;
    for (const auto& arg : args) {
        std::wstring word = Wide(arg), quoted = L"\"";
        size_t slashes = 0;
        for (wchar_t c : word) {
            if (c == L'\\') {
                ++slashes;
            } else {
                if (c == L'"') quoted.append(slashes + 1, L'\\');
                slashes = 0;
            }
            quoted += c;
        }
        quoted.append(slashes, L'\\');
        quoted += L'"';
        line += (line.empty() ? L"" : L" ") + quoted;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION started{};
    bool ok = ::CreateProcessW(Wide(args[0]).c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                               nullptr, nullptr, &startup, &started);
    ::CloseHandle(write_end);
    if (!ok) {
        ::CloseHandle(read_end);
        return false;
    }
    ::CloseHandle(started.hThread);
    child.fd = _open_osfhandle(reinterpret_cast<intptr_t>(read_end), _O_RDONLY | _O_BINARY);
    child.id = reinterpret_cast<intptr_t>(started.hProcess);
    return child.fd >= 0;
}

int Wait_Readable(const std::vector<int>& fds, int timeout_ms) {
    for (int waited = 0;; waited += kSlice_Ms) {
        if (timeout_ms >= 0 && waited >= timeout_ms) return -2;
        bool any = false;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i] < 0) continue;
            any = true;
            if (Pipe_Bytes(Of(fds[i])) != 0) return int(i);  // bytes, or the end
        }
        if (!any) return -1;
        ::Sleep(kSlice_Ms);
    }
}

int Exit_Code(Child_Process& child) {
    HANDLE process = reinterpret_cast<HANDLE>(child.id);
    ::WaitForSingleObject(process, INFINITE);
    DWORD code = 1;
    ::GetExitCodeProcess(process, &code);
    ::CloseHandle(process);
    child.id = 0;
    return int(code);
}

void Raw_Keys() {
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    if (!::GetConsoleMode(in, &saved_mode)) return;
    // Every key at once, unechoed; Ctrl-C comes as its byte and ends the session in order.
    ::SetConsoleMode(
        in, saved_mode & ~DWORD(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT));
    keys_raw = true;
    // Closing the console window gives the mode back first.
    ::SetConsoleCtrlHandler(
        [](DWORD) -> BOOL {
            Restore_Keys();
            return FALSE;
        },
        TRUE);
}

void Restore_Keys() {
    if (keys_raw) ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), saved_mode);
    keys_raw = false;
}

bool Make_Watch_Pipe(int& read_end, int& write_end) {
    int fds[2];
    if (_pipe(fds, 256, _O_BINARY | _O_NOINHERIT) != 0) return false;
    read_end = fds[0];
    write_end = fds[1];
    return true;
}

namespace {
// True when the console has a key press waiting; other input records are taken away.
bool Console_Key_Waiting(HANDLE in) {
    for (;;) {
        INPUT_RECORD record{};
        DWORD n = 0;
        if (!::PeekConsoleInputW(in, &record, 1, &n) || n == 0) return false;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
            record.Event.KeyEvent.uChar.UnicodeChar != 0)
            return true;
        ::ReadConsoleInputW(in, &record, 1, &n);
    }
}
}  // namespace

int Wait_Input(int watch, int in, int ms) {
    HANDLE watch_pipe = Of(watch);
    HANDLE input = in >= 0 ? Of(in) : INVALID_HANDLE_VALUE;
    DWORD mode = 0;
    bool console = in >= 0 && ::GetConsoleMode(input, &mode);
    bool pipe = in >= 0 && !console && ::GetFileType(input) == FILE_TYPE_PIPE;
    if (in >= 0 && !console && !pipe) return 1;  // a file: always readable
    const ULONGLONG end = ms < 0 ? ~0ull : ::GetTickCount64() + ULONGLONG(ms);
    for (;;) {
        if (Pipe_Bytes(watch_pipe) > 0) {
            char drained[64];
            while (Pipe_Bytes(watch_pipe) > 0 && _read(watch, drained, sizeof drained) > 0) {
            }
            return 0;
        }
        if (console && Console_Key_Waiting(input)) return 1;
        if (pipe && Pipe_Bytes(input) != 0) return 1;  // bytes, or its end
        ULONGLONG now = ::GetTickCount64();
        if (now >= end) return 0;
        DWORD slice = DWORD(std::min<ULONGLONG>(end - now, kSlice_Ms));
        if (console)
            ::WaitForSingleObject(input, slice);
        else
            ::Sleep(slice);
    }
}

int Read_Input(char* buffer, int size) {
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!::GetConsoleMode(input, &mode)) return _read(0, buffer, unsigned(size));
    // Keys as the bytes a terminal would send: the character typed, in UTF-8.
    int used = 0;
    while (used + 4 <= size && Console_Key_Waiting(input)) {
        INPUT_RECORD record{};
        DWORD n = 0;
        if (!::ReadConsoleInputW(input, &record, 1, &n) || n == 0) break;
        wchar_t c = record.Event.KeyEvent.uChar.UnicodeChar;
        std::string bytes = Narrow(std::wstring(1, c));
        std::memcpy(buffer + used, bytes.data(), bytes.size());
        used += int(bytes.size());
    }
    return used;
}

}  // namespace kdx::cli::sys
