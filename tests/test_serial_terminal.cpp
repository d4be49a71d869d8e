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

// kdx-cli terminal running on a pseudo-terminal, as a user at a keyboard would run it.
struct Terminal_Session {
    int master = -1;
    pid_t pid = -1;
    std::string screen;

    explicit Terminal_Session(const std::string& program) {
        pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            execl(program.c_str(), "kdx-cli", "terminal", "COM5", nullptr);
            _exit(127);
        }
    }
    bool Started() const { return pid > 0; }
    // Collects the screen until it shows want.
    bool Read_Until(const std::string& want) {
        return Eventually([&] {
            char buf[1024];
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) screen.append(buf, size_t(n));
            }
            return screen.find(want) != std::string::npos;
        });
    }
    bool Type(const std::string& keys) {
        return write(master, keys.data(), keys.size()) == ssize_t(keys.size());
    }
    // Waits for the program to end and returns its wait status.
    int Finish() {
        int status = -1;
        waitpid(pid, &status, 0);
        close(master);
        return status;
    }
};

TEST_F(Serial_Terminal, PipedLinesAreSentAndRepliesShown) {
    Start_Sim();
    int status = -1;
    std::string out = Run_Piped("V\\nF,getD0,\\n", "COM5 --wait 100", &status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(sim->Received(), "V\rF,getD0,\r");
    // Plain text when the output is not a terminal; each echo in its order, replies as they
    // arrived (commas kept).
    EXPECT_EQ(out, "COM5 Open\nV\nRF,getD0,\ngetD0,1.23\nPort Closed\n\n") << out;
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
    Terminal_Session t(cli);
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.Read_Until("Ctrl-] quit")) << t.screen;
    ASSERT_TRUE(t.Type("V"));
    // The reply in the received colour.
    EXPECT_TRUE(t.Read_Until("\x1b[93mR\x1b[0m")) << t.screen;
    ASSERT_TRUE(t.Type("\x0c"));  // port log on
    ASSERT_TRUE(t.Read_Until("port log")) << t.screen;
    bool logging = t.screen.find("[port log on]") != std::string::npos;
    ASSERT_TRUE(t.Type("F,\r"));
    EXPECT_TRUE(Eventually([&] { return sim->Received() == "VF,\r"; })) << sim->Received();
    if (logging) {
        ASSERT_TRUE(t.Type("\x0c"));  // and off again
        EXPECT_TRUE(t.Read_Until("[port log off]")) << t.screen;
    }
    ASSERT_TRUE(t.Type("\x1d"));
    EXPECT_TRUE(t.Read_Until("Port Closed")) << t.screen;
    int status = t.Finish();
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
    Terminal_Session t(KDX_CLI_PATH);
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.Read_Until("Ctrl-] quit")) << t.screen;
    sim->Hang_Up();
    EXPECT_TRUE(t.Read_Until("hung up")) << t.screen;
    int status = t.Finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
}

}  // namespace
}  // namespace kdx::test
