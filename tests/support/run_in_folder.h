// Runs a program in a folder of its own and reads what it writes, or what a terminal shows,
// until a text has been seen: for the tests of the trace's console, its debug log and the
// programs that use them.
#pragma once
#ifndef _WIN32
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/os/system.h"
#include "tests/support/posix.h"

// Its own namespace: the settings tests' program runner (ini_run.h) has the same names.
namespace kdx::test::run_in_folder {

inline std::string Read_File_Text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

#ifndef _WIN32
// Reads what fd offers until `until` has been seen `times` times or the time-out passes.
inline std::string Read_Until(int fd, const std::string& until, int times = 1,
                              int timeout_ms = 10000, std::string* so_far = nullptr) {
    std::string got = so_far ? *so_far : std::string();
    int64_t deadline = platform::Tick_Count_Ms() + timeout_ms;
    auto count = [&] {
        int n = 0;
        for (size_t at = got.find(until); at != std::string::npos; at = got.find(until, at + 1))
            ++n;
        return n;
    };
    while (count() < times && platform::Tick_Count_Ms() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    if (so_far) *so_far = got;
    return got;
}
#endif

struct Run_Result {
    int status = -1;  // exit code, -1 when it did not end normally
    std::string out, err;
};

// Runs a program in a folder with extra environment, waiting at most a minute.
inline Run_Result Run_Program(const std::string& program, const std::vector<std::string>& args,
                              const std::string& dir, const std::vector<std::string>& env = {}) {
#ifdef _WIN32
    auto run = Run_Windows_Program(program, args, dir, env);
    return {run.status, run.out, run.err};
#else
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]), close(err[0]), close(out[1]), close(err[1]);
        if (chdir(dir.c_str()) != 0) _exit(126);
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]), close(err[1]);
    Run_Result r;
    r.out = Read_Until(out[0], "\x01never", 1, 60000);
    r.err = Read_Until(err[0], "\x01never", 1, 1000);
    close(out[0]), close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
#endif
}

}  // namespace kdx::test::run_in_folder
