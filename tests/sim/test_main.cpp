// kdx-sim, the program: its help, its usage errors, its ports directory entry and its control
// folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "platform/os/file.h"
#include "platform/ports/ports_dir.h"
#include "tests/support/serial_fixture.h"
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
    for (const char* option :
         {"--port",         "--no-register", "--baud",         "--wire",    "--greeting",
          "--late",         "--slow",        "--pieces",       "--nul",     "--flood",
          "--hangup-after", "--hangup-ms",   "--answer-limit", "--corrupt", "--quiet-ms",
          "--axes",         "--link",        "--control",      "--serial",  "--order"})
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

// Steered through its control folder, as the Windows tests under Wine steer it: the link to
// its line is there once it is ready, a command is answered once the state after it is
// written, and at the end the link is gone and the end is said.
TEST(Sim_Program, ControlFolderSteersItAndItsLinkGoesWithIt) {
    Temp_Dir dir;
    std::string link = dir.path() + "/com5";
    pid_t pid = fork();
    if (pid == 0) {
        execl(KDX_SIM_PATH, "kdx-sim", "--no-register", "--control", dir.path().c_str(), "--link",
              link.c_str(), nullptr);
        _exit(127);
    }
    auto there = [&](const std::string& name) {
        return Eventually([&] { return platform::File_Exists(dir.path() + "/" + name); }, 10000);
    };
    ASSERT_TRUE(there("ready"));
    std::string ready, state;
    ASSERT_TRUE(platform::Read_Whole_File(dir.path() + "/ready", ready));
    std::string device = ready.substr(2, ready.find(' ', 2) - 2);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(target, device);
    int line = open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0);
    ASSERT_TRUE(platform::Write_Whole_File(dir.path() + "/command-1", "send 68690d"));
    ASSERT_TRUE(there("done-1"));
    std::string got;
    Eventually([&] {
        pollfd p{line, POLLIN, 0};
        char buf[64];
        ssize_t n = poll(&p, 1, 20) == 1 ? read(line, buf, sizeof buf) : 0;
        if (n > 0) got.append(buf, size_t(n));
        return got.size() >= 3;
    });
    close(line);
    EXPECT_EQ(got, "hi\r");
    // Three bytes sent, nothing received, not hung up: the state follows within moments.
    Eventually([&] {
        return platform::Read_Whole_File(dir.path() + "/state", state) && state == "3 0 0 0\n";
    });
    EXPECT_EQ(state, "3 0 0 0\n");
    ASSERT_TRUE(platform::Write_Whole_File(dir.path() + "/command-2", "stop"));
    EXPECT_TRUE(there("ended"));
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(platform::File_Exists(link));
    EXPECT_TRUE(platform::File_Exists(dir.path() + "/done-2"));
}

}  // namespace
}  // namespace kdx::test
