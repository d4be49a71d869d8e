// kdx-cli terminal against the simulator: piped commands and an interactive session on a pty.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/ports_dir.h"
#include "tests/test_serial_fixture.h"

namespace kdx::test {
namespace {

using Serial_Terminal = Sim_Port_Test;

std::string Run_Piped(const std::string& input, const std::string& args, int* status) {
    std::string command = "printf '" + input + "' | " KDX_CLI_PATH " terminal " + args;
    FILE* out = popen(command.c_str(), "r");
    std::string text;
    if (!out) return text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;) text.append(buf, n);
    *status = pclose(out);
    return text;
}

TEST_F(Serial_Terminal, PipedLinesAreSentAndRepliesShown) {
    Start_Sim();
    int status = -1;
    std::string out = Run_Piped("V\\nF,getD0,\\n", "COM5 --wait 100", &status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(sim->Received(), "V\rF,getD0,\r");
    // Plain text when the output is not a terminal; each echo in its order.
    EXPECT_EQ(out, "COM5 Open\nV\nRF,getD0,\ngetD01.23\nPort Closed\n\n") << out;
}

TEST_F(Serial_Terminal, UsageAndMissingPort) {
    int status = -1;
    Run_Piped("", "COM8 2>/dev/null", &status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    for (const char* bad : {"", "COMX", "COM0", "COM5 --baud x", "COM5 --eol lf"}) {
        Run_Piped("", std::string(bad) + " 2>/dev/null", &status);
        EXPECT_EQ(WEXITSTATUS(status), 2) << bad;
    }
}

TEST_F(Serial_Terminal, InteractiveKeysGoOutAsTypedAndQuitIsClean) {
    Start_Sim();
    // The port log goes beside the executable: run a copy in the temporary folder.
    std::string cli = dir.path() + "/kdx-cli";
    std::filesystem::copy_file(KDX_CLI_PATH, cli);
    std::filesystem::permissions(cli, std::filesystem::perms::owner_all);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(cli.c_str(), "kdx-cli", "terminal", "COM5", nullptr);
        _exit(127);
    }
    std::string screen;
    auto read_until = [&](const std::string& want) {
        return Eventually([&] {
            char buf[1024];
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) screen.append(buf, size_t(n));
            }
            return screen.find(want) != std::string::npos;
        });
    };
    ASSERT_TRUE(read_until("Ctrl-] quit")) << screen;
    ASSERT_EQ(write(master, "V", 1), 1);
    // The reply in the received colour.
    EXPECT_TRUE(read_until("\x1b[93mR\x1b[0m")) << screen;
    ASSERT_EQ(write(master, "\x0c", 1), 1);  // port log on
    ASSERT_TRUE(read_until("port log")) << screen;
    bool logging = screen.find("[port log on]") != std::string::npos;
    ASSERT_EQ(write(master, "F,\r", 3), 3);
    EXPECT_TRUE(Eventually([&] { return sim->Received() == "VF,\r"; })) << sim->Received();
    if (logging) {
        ASSERT_EQ(write(master, "\x0c", 1), 1);  // and off again
        EXPECT_TRUE(read_until("[port log off]")) << screen;
    }
    ASSERT_EQ(write(master, "\x1d", 1), 1);
    int status = -1;
    EXPECT_TRUE(read_until("Port Closed")) << screen;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // What was sent while the log was on is in it, as the sent echo's line.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().extension() != ".html") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(log.find("<span style=\"color:rgb(0, 200, 255)\"> F,<br></span>\r\n"),
                  std::string::npos)
            << log;
        logging = false;
    }
    EXPECT_FALSE(logging) << "the port log was switched on but no file was written";
    // The port is free again.
    int32_t number = 5;
    int32_t h = Serial_Port_Guess_Exist(number);
    EXPECT_GT(h, 0);
    Serial_Port_Close(h);
}

TEST_F(Serial_Terminal, InteractiveSessionEndsWhenThePortHangsUp) {
    Start_Sim();
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(KDX_CLI_PATH, "kdx-cli", "terminal", "COM5", nullptr);
        _exit(127);
    }
    std::string screen;
    auto read_until = [&](const std::string& want) {
        return Eventually([&] {
            char buf[1024];
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) screen.append(buf, size_t(n));
            }
            return screen.find(want) != std::string::npos;
        });
    };
    ASSERT_TRUE(read_until("Ctrl-] quit")) << screen;
    sim->Hang_Up();
    EXPECT_TRUE(read_until("hung up")) << screen;
    int status = -1;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
}

}  // namespace
}  // namespace kdx::test
