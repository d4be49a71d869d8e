// The Windows form of the POSIX calls in posix.h.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "tests/support/posix.h"

// Last: the system's headers make macros of names ours declare.
#include "platform/os/win32.h"

int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name)) return 0;
    // The C library's copy and the process's (which the Windows backends read) both change.
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

int unsetenv(const char* name) {
    // An empty value takes the name away from both copies.
    return _putenv_s(name, "") == 0 ? 0 : -1;
}

char* mkdtemp(char* pattern) {
    size_t n = std::strlen(pattern);
    if (n < 6 || std::strcmp(pattern + n - 6, "XXXXXX") != 0) return nullptr;
    static std::mt19937 random{std::random_device{}() ^ ::GetCurrentProcessId()};
    const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (size_t i = n - 6; i < n; ++i) pattern[i] = letters[random() % (sizeof letters - 1)];
        if (::CreateDirectoryA(pattern, nullptr)) return pattern;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return nullptr;
    }
    return nullptr;
}

namespace {
thread_local std::string Load_Error;
}

void* dlopen(const char* path, int) {
    HMODULE library = ::LoadLibraryA(path);
    Load_Error = library ? ""
                         : std::string(path) + ": LoadLibrary failed with error " +
                               std::to_string(::GetLastError());
    return reinterpret_cast<void*>(library);
}

void* dlsym(void* library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

const char* dlerror() {
    return Load_Error.c_str();
}

int dlclose(void* library) {
    return ::FreeLibrary(static_cast<HMODULE>(library)) ? 0 : -1;
}

namespace kdx::test {

std::string Quoted_Argument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, '\\');
    return out + "\"";
}

namespace {

// This process's environment with the entries given added or replacing theirs (names are
// compared without case, as Windows does).
std::string Environment_Block(const std::vector<std::string>& extra) {
    struct Less {
        bool operator()(const std::string& a, const std::string& b) const {
            return _stricmp(a.c_str(), b.c_str()) < 0;
        }
    };
    std::map<std::string, std::string, Less> entries;
    auto add = [&](const std::string& entry) {
        size_t eq = entry.find('=', 1);  // "=C:=C:\\..." keeps its leading '='
        if (eq != std::string::npos) entries[entry.substr(0, eq)] = entry;
    };
    wchar_t* own = ::GetEnvironmentStringsW();
    for (const wchar_t* e = own; e && *e; e += std::wcslen(e) + 1) {
        int n = ::WideCharToMultiByte(CP_UTF8, 0, e, -1, nullptr, 0, nullptr, nullptr);
        std::string entry(size_t(n > 0 ? n : 1), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, e, -1, entry.data(), n, nullptr, nullptr);
        entry.resize(std::strlen(entry.c_str()));
        add(entry);
    }
    if (own) ::FreeEnvironmentStringsW(own);
    for (const auto& e : extra) add(e);
    std::string block;
    for (const auto& [name, entry] : entries) block += entry + '\0';
    return block + '\0';
}

// Reads a pipe to its end on a thread of its own (two pipes read in turn could both fill).
std::thread Drain(HANDLE pipe, std::string& into) {
    return std::thread([pipe, &into] {
        char buf[4096];
        DWORD n = 0;
        while (::ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0) into.append(buf, n);
        ::CloseHandle(pipe);
    });
}

Windows_Run Run(const char* program, std::string command, const std::string& folder,
                const std::vector<std::string>& env, int timeout_ms) {
    Windows_Run run;
    std::string block = Environment_Block(env);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write;
    PROCESS_INFORMATION child{};
    {
        // Inheritable ends exist only while this child is made: a child made at the same
        // time on another thread must not hold them (its pipes would not end with it).
        static std::mutex creating;
        std::lock_guard<std::mutex> lock(creating);
        if (!::CreatePipe(&out_read, &out_write, &inherit, 0)) return run;
        if (!::CreatePipe(&err_read, &err_write, &inherit, 0)) {
            ::CloseHandle(out_read), ::CloseHandle(out_write);
            return run;
        }
        ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
        HANDLE input = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOA start{};
        start.cb = sizeof start;
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = input;
        start.hStdOutput = out_write;
        start.hStdError = err_write;
        BOOL made =
            ::CreateProcessA(program, command.data(), nullptr, nullptr, TRUE, 0, block.data(),
                             folder.empty() ? nullptr : folder.c_str(), &start, &child);
        ::CloseHandle(out_write), ::CloseHandle(err_write);
        if (input != platform::win32::System_Invalid) ::CloseHandle(input);
        if (!made) {
            ::CloseHandle(out_read), ::CloseHandle(err_read);
            run.err = "CreateProcess failed with error " + std::to_string(::GetLastError());
            return run;
        }
    }
    std::thread out = Drain(out_read, run.out), err = Drain(err_read, run.err);
    if (::WaitForSingleObject(child.hProcess, DWORD(timeout_ms)) != WAIT_OBJECT_0)
        ::TerminateProcess(child.hProcess, DWORD(-1));
    out.join(), err.join();
    std::string lines;
    for (size_t i = 0; i < run.out.size(); ++i)
        if (run.out[i] != '\r' || i + 1 == run.out.size() || run.out[i + 1] != '\n')
            lines += run.out[i];
    run.out = lines;
    DWORD code = DWORD(-1);
    ::GetExitCodeProcess(child.hProcess, &code);
    run.status = int(code);
    ::CloseHandle(child.hThread), ::CloseHandle(child.hProcess);
    return run;
}

}  // namespace

Windows_Run Run_Windows_Program(const std::string& program, const std::vector<std::string>& args,
                                const std::string& folder, const std::vector<std::string>& env,
                                int timeout_ms) {
    std::string command = Quoted_Argument(program);
    for (const auto& a : args) command += " " + Quoted_Argument(a);
    return Run(program.c_str(), command, folder, env, timeout_ms);
}

Windows_Run Run_Windows_Command_Line(const std::string& line, int timeout_ms) {
    return Run(nullptr, line, "", {}, timeout_ms);
}

bool Under_Wine() {
    return platform::win32::Under_Wine();
}

}  // namespace kdx::test
