// Runs a test program and copies it under other names: the settings and log paths follow the
// executable's name and folder.
#pragma once
#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/posix.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace kdx::test {

struct Run_Result {
    int exit_code = -1;
    std::string out;
};

// Runs program with args (and extra "NAME=value" environment entries); collects standard
// output.
inline Run_Result Run_Program(const std::string& program, const std::vector<std::string>& args,
                              const std::vector<std::string>& env = {}) {
#ifdef _WIN32
    auto run = Run_Windows_Program(program, args, "", env);
    return {run.status, run.out};
#else
    Run_Result result;
    int pipe_fd[2];
    if (pipe(pipe_fd) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fd[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe_fd[0]);
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text(env.begin(), env.end());
    for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fd[1]);
    if (rc == 0) {
        char buf[4096];
        for (ssize_t n; (n = read(pipe_fd[0], buf, sizeof buf)) > 0;) result.out.append(buf, n);
        int status = 0;
        waitpid(pid, &status, 0);
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    close(pipe_fd[0]);
    return result;
#endif
}

// Copies the ini_helper test program into folder under name; returns its path.
inline std::string Copy_Helper(const std::string& folder, const std::string& name) {
    namespace fs = std::filesystem;
    fs::path target = fs::path(folder) / name;
    fs::copy_file(fs::path(KDX_TEST_HELPER_DIR) / ("ini_helper" KDX_PROGRAM_SUFFIX), target,
                  fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    return target.string();
}

// The value printed by the helper for "key=value" lines (the first one with that key).
inline std::string Helper_Value(const std::string& out, const std::string& key) {
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(at, end - at);
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
        at = end + 1;
    }
    return "<missing>";
}

inline std::string Read_File_Text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<no file>";
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void Write_File_Text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace kdx::test
