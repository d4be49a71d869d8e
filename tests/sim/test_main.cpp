// kdx-sim, the program: its help, its usage errors and its ports directory entry.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "platform/ports/ports_dir.h"
#include "tests/support/temp_dir.h"

namespace kdx::test {
namespace {

// The program, as the run command starts it.
TEST(Sim_Program, HelpExplainsEverySwitch) {
    FILE* out = popen(KDX_SIM_PATH " --help", "r");
    ASSERT_NE(out, nullptr);
    std::string help;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;) help.append(buf, n);
    EXPECT_EQ(pclose(out), 0);
    for (const char* option : {"--port", "--no-register", "--baud", "--wire", "--greeting",
                               "--late", "--slow", "--pieces", "--nul", "--flood", "--hangup-after",
                               "--hangup-ms", "--answer-limit", "--corrupt", "--quiet-ms"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_EQ(system(KDX_SIM_PATH " --bogus 2>/dev/null") >> 8, 2);
}

// Bad arguments get a usage error that names the problem; no number wraps around.
TEST(Sim_Program, BadArgumentsAreUsageErrors) {
    const std::pair<const char*, const char*> cases[] = {
        {"--bogus", "kdx-sim: unknown option --bogus\n"},
        {"stray", "kdx-sim: unexpected argument stray"},
        {"--pieces 2147483648", "--pieces takes N[:GAP]"},
        {"--pieces 4294967297", "--pieces takes N[:GAP]"},
        {"--pieces 8:4294967296", "--pieces takes N[:GAP]"},
        {"--pieces 0", "--pieces takes N[:GAP]"},
        {"--corrupt 1:4294967297", "--corrupt takes AXIS:STEP"},
        {"--corrupt 5:1", "--corrupt takes AXIS:STEP"},
        {"--port 1000", "--port takes 1 to 999, not 1000"},
        {"--baud 9600x", "--baud takes a number from 1 to 4000000, not 9600x"},
        {"--late 2147483648", "--late takes a number from 0 to 2147483647"},
        {"--slow -1", "--slow takes a number"},
        {"--nul +5", "--nul takes a number"},
        {"--flood 4294967296", "--flood takes a number from 0 to 1073741824"},
        {"--hangup-after 2147483648", "--hangup-after takes a number"},
        {"--hangup-ms 1e3", "--hangup-ms takes a number"},
        {"--answer-limit 4294967296", "--answer-limit takes a number"},
        {"--quiet-ms ''", "--quiet-ms takes a number"},
        {"--late", "kdx-sim: missing value for --late"},
    };
    for (const auto& [args, message] : cases) {
        // A simulator that took the arguments would run until stopped.
        std::string command =
            std::string("timeout 5 " KDX_SIM_PATH " --no-register ") + args + " 2>&1";
        FILE* out = popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string text;
        char buf[512];
        for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;) text.append(buf, n);
        int status = pclose(out);
        EXPECT_EQ(WEXITSTATUS(status), 2) << args;
        EXPECT_NE(text.find(message), std::string::npos) << args << ": " << text;
    }
}

TEST(Sim_Program, RegistersAndRemovesItsEntryOnExit) {
    Temp_Dir dir;
    setenv("KDX_PORTS", dir.path().c_str(), 1);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        execl(KDX_SIM_PATH, "kdx-sim", "--port", "9", nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    EXPECT_EQ(line.rfind("COM9 /dev/pts/", 0), 0u) << line;
    EXPECT_NE(platform::Ports_Dir_Device(9), "");
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(platform::Ports_Dir_Device(9), "");
    unsetenv("KDX_PORTS");
}

}  // namespace
}  // namespace kdx::test
