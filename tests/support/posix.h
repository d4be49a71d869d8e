// The POSIX calls the tests use to set up their world (environment, temporary folders, the C
// library loaded by name, a shell command's output): the system's own on Linux, a Windows
// form of each (posix_win32.cpp) in the Windows build, so that the same tests run there.
#pragma once
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

int setenv(const char* name, const char* value, int overwrite);
int unsetenv(const char* name);
char* mkdtemp(char* pattern);

constexpr int RTLD_NOW = 2;
constexpr int RTLD_LOCAL = 0;
// A DLL loaded (and kept) by path or name; its exported procedures by name.
void* dlopen(const char* path, int flags);
void* dlsym(void* library, const char* name);
const char* dlerror();
int dlclose(void* library);

// A pipe of C runtime descriptors, bytes as they are.
inline int pipe(int fds[2]) {
    return ::_pipe(fds, 65536, _O_BINARY);
}
inline tm* localtime_r(const time_t* time, tm* local) {
    return ::localtime_s(local, time) == 0 ? local : nullptr;
}
#define WIFEXITED(status) ((status) != -1)
#define WEXITSTATUS(status) (status)
// How the names of programs end: the tests name the helper programs with it.
#define KDX_PROGRAM_SUFFIX ".exe"

namespace kdx::test {

struct Windows_Run {
    int status = -1;  // exit code, -1 when it did not start or end
    std::string out, err;
};

// What fork, exec and pipes do for the tests' program runners: program with args, in folder
// (empty: this one) with extra "NAME=value" environment entries; its standard output and
// error collected until it ends, at most timeout_ms (then it is ended). The output is read as
// a text-mode pipe gives it (each CR LF a line feed: the inverse of the C runtime's text-mode
// writes); the error output as written (the trace's console writes its lines whole).
Windows_Run Run_Windows_Program(const std::string& program, const std::vector<std::string>& args,
                                const std::string& folder, const std::vector<std::string>& env,
                                int timeout_ms = 60000);
// One argument as the C runtime's parser reads it back.
std::string Quoted_Argument(const std::string& arg);
// The same with a whole command line as the system takes it, the program found by its first
// word (popen's Windows form: the C runtime's own waits for ever under Wine).
Windows_Run Run_Windows_Command_Line(const std::string& line, int timeout_ms = 60000);

// Whether the tests run under Wine (the backends' own test), where what Wine does not do on a
// pseudo-terminal skips with the reason.
bool Under_Wine();

}  // namespace kdx::test
#else
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/wait.h>
#define KDX_PROGRAM_SUFFIX ""

namespace kdx::test {
inline bool Under_Wine() {
    return false;
}
}  // namespace kdx::test
#endif
