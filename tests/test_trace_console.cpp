// Console devices (the ANSI terminal through a real pseudo-terminal, device selection), the
// End key in a process of its own, the debug log's name, the exported C procedures and
// kdx-cli's debug-log command.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "kdx/kdx_trace.h"
#include "platform/console/console.h"
#include "platform/os/error.h"
#include "platform/os/system.h"
#include "tests/temp_dir.h"

namespace kdx {
namespace {

using namespace platform;

std::string Read_File_Text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Reads what fd offers until `until` has been seen `times` times or the time-out passes.
std::string Read_Until(int fd, const std::string& until, int times = 1, int timeout_ms = 10000,
                       std::string* so_far = nullptr) {
    std::string got = so_far ? *so_far : std::string();
    int64_t deadline = Tick_Count_Ms() + timeout_ms;
    auto count = [&] {
        int n = 0;
        for (size_t at = got.find(until); at != std::string::npos; at = got.find(until, at + 1))
            ++n;
        return n;
    };
    while (count() < times && Tick_Count_Ms() < deadline) {
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

struct Run_Result {
    int status = -1;  // exit code, -1 when it did not end normally
    std::string out, err;
};

// Runs a program in a folder with extra environment, waiting at most a minute.
Run_Result Run_Program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& dir, const std::vector<std::string>& env = {}) {
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
}

const std::string helper = std::string(KDX_TEST_HELPER_DIR) + "/trace_helper";

// ---- the terminal device ----

TEST(Terminal_Console, AttributesBecomeAnsiColours) {
    const std::vector<std::pair<int32_t, std::string>> cases{
        {2, "\x1b[0;32m"},  {10, "\x1b[0;92m"},      {12, "\x1b[0;91m"},
        {14, "\x1b[0;93m"}, {15, "\x1b[0;97m"},      {7, "\x1b[0;37m"},
        {1, "\x1b[0;34m"},  {0x1F, "\x1b[0;97;44m"}, {0xC0, "\x1b[0;30;101m"},
    };
    for (const auto& [attribute, sequence] : cases)
        EXPECT_EQ(Attribute_Sequence(attribute), sequence) << attribute;
}

TEST(Terminal_Console, KeySequences) {
    const std::vector<std::tuple<std::string, int32_t, size_t>> cases{
        {"\x1b[20~", VK_F9, 5},
        {"\x1b[20;2~", VK_F9, 7},
        {"\x1b[F", VK_END, 3},
        {"\x1bOF", VK_END, 3},
        {"\x1b[4~", VK_END, 4},
        {"\x1b[8~", VK_END, 4},
        {"\x1b[1;5F", VK_END, 6},
        {"\x1b[11~", VK_F1, 5},
        {"\x1bOP", VK_F1, 3},
        {"\x1b[[E", VK_F1 + 4, 4},
        {"\x1b[24~", VK_F1 + 11, 5},
        {"\x1b[A", VK_UP, 3},
        {"\x1b[3~", VK_DELETE, 4},
        {"\x1b[99~", VK_OTHER, 5},
        {"\x1bx", VK_OTHER, 2},
        {"q", 'Q', 1},
        {"7x", '7', 1},
        {"\r", VK_RETURN, 1},
        {"\x7f", VK_BACK, 1},
        {"\x03", VK_END, 1},
        {"\xc3\xa9", VK_OTHER, 2},
        {"\x1b", 0, 0},
        {"\x1b[2", 0, 0},
        {"\x1bO", 0, 0},
        {"\xe2\x82", 0, 0},
        {"", 0, 0},
    };
    for (const auto& [bytes, key, used] : cases) {
        auto d = Decode_Terminal_Key(bytes);
        EXPECT_EQ(d.key, key) << testing::PrintToString(bytes);
        EXPECT_EQ(d.used, used) << testing::PrintToString(bytes);
    }
}

class Pty : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0); }
    void TearDown() override {
        if (master_ >= 0) close(master_);
        close(slave_);
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    int master_ = -1, slave_ = -1;
};

TEST_F(Pty, WritesColourOnlyWhenTheAttributeChanges) {
    auto device = Make_Terminal_Console(slave_, slave_, true);
    device->Set_Title("Debug Console");
    device->Write("ab", 10);
    device->Write("cd", 10);
    device->Write("e", 12);
    std::string expected = "\x1b]0;Debug Console\x07\x1b[0;92mabcd\x1b[0;91me";
    EXPECT_EQ(Read_Until(master_, "\x1b[0;91me", 1, 5000), expected);
    device.reset();
    EXPECT_EQ(Read_Until(master_, "\x1b[0m", 1, 5000), "\x1b[0m") << "colours are reset at closing";
}

TEST_F(Pty, ReadsKeysInRawModeAndRestoresTheTerminal) {
    auto device = Make_Terminal_Console(slave_, slave_, true);
    ASSERT_TRUE(device->Has_Keyboard());
    ASSERT_TRUE(device->Begin_Keys());
    termios raw{};
    tcgetattr(slave_, &raw);
    EXPECT_FALSE(raw.c_lflag & ICANON);
    EXPECT_FALSE(raw.c_lflag & ECHO);
    EXPECT_EQ(device->Poll_Key(0), 0);
    const std::vector<std::pair<std::string, int32_t>> keys{
        {"\x1b[20~", VK_F9}, {"\x1b[F", VK_END},  {"\x1bOF", VK_END},
        {"q", 'Q'},          {"\x1b", VK_ESCAPE},  // a lone ESC, told apart by the pause after it
    };
    for (const auto& [bytes, key] : keys) {
        Send(bytes);
        EXPECT_EQ(device->Poll_Key(5000), key) << testing::PrintToString(bytes);
    }
    Send("ab");
    EXPECT_EQ(device->Poll_Key(5000), 'A');
    EXPECT_EQ(device->Poll_Key(5000), 'B');
    ASSERT_TRUE(device->End_Keys());
    termios cooked{};
    tcgetattr(slave_, &cooked);
    EXPECT_TRUE(cooked.c_lflag & ICANON);
    EXPECT_TRUE(cooked.c_lflag & ECHO);
}

TEST_F(Pty, HangUpEndsTheKeyboardWithoutSpinning) {
    auto device = Make_Terminal_Console(slave_, slave_, false);
    ASSERT_TRUE(device->Begin_Keys());
    close(master_);
    master_ = -1;
    auto start = Tick_Count_Ms();
    EXPECT_EQ(device->Poll_Key(5000), 0);
    EXPECT_LT(Tick_Count_Ms() - start, 4000);
    EXPECT_FALSE(device->Has_Keyboard());
}

TEST(Terminal_Console, WithoutColoursOrKeyboard) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    {
        auto device = Make_Terminal_Console(p[1], -1, false);
        device->Set_Title("Debug Console");
        device->Write("plain\r\n", 12);
        EXPECT_FALSE(device->Has_Keyboard());
        EXPECT_EQ(device->Poll_Key(5000), 0);
    }
    close(p[1]);
    EXPECT_EQ(Read_Until(p[0], "\x01never", 1, 2000), "plain\r\n");
    close(p[0]);
}

// ---- device selection ----

struct Window_Stand_In : Console_Device {
    void Write(std::string_view, int32_t) override {}
    void Set_Title(const std::string&) override {}
    bool Has_Keyboard() override { return false; }
    int32_t Poll_Key(uint32_t) override { return 0; }
};

TEST(Console_Selection, ByEnvironment) {
    unsetenv("KDX_CONSOLE");
    EXPECT_NE(Create_Console(), nullptr) << "the terminal by default";
    Register_Console_Device("window", [] { return std::make_unique<Window_Stand_In>(); });
    auto chosen = Create_Console();
    EXPECT_NE(dynamic_cast<Window_Stand_In*>(chosen.get()), nullptr) << "the window once there";
    setenv("KDX_CONSOLE", "terminal", 1);
    chosen = Create_Console();
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(dynamic_cast<Window_Stand_In*>(chosen.get()), nullptr);
    Register_Console_Device("window", nullptr);
    setenv("KDX_CONSOLE", "window", 1);
    EXPECT_NE(Create_Console(), nullptr) << "no window yet: the terminal stands in";

    setenv("KDX_CONSOLE", "capture", 1);
    int32_t before = Capture_Open_Count();
    {
        auto capture = Create_Console();
        EXPECT_EQ(Capture_Open_Count(), before + 1);
    }
    EXPECT_EQ(Capture_Open_Count(), before);

    setenv("KDX_CONSOLE", "none", 1);
    EXPECT_EQ(Create_Console(), nullptr);
    EXPECT_EQ(Get_Last_Error(), uint32_t(ERROR_NOT_SUPPORTED));
    setenv("KDX_CONSOLE", "bogus", 1);
    EXPECT_EQ(Create_Console(), nullptr);
    EXPECT_EQ(Get_Last_Error(), uint32_t(ERROR_INVALID_PARAMETER));
    unsetenv("KDX_CONSOLE");
}

// ---- processes of their own ----

TEST(Trace_Process, EndKeyLogsEachEndLineOnceAndEndsTheProgram) {
    test::Temp_Dir dir;
    std::string marker = dir.path() + "/marker";
    auto r = Run_Program(helper, {"end-key", marker}, dir.path());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "started") << "output written before End is not lost";
    EXPECT_EQ(Read_File_Text(marker), "ended");
    std::string indent(10, ' ');
    EXPECT_EQ(Read_File_Text(dir.path() + "/trace_helper_Debug.txt"),
              "A()\r\n     B(\"x\")\r\n          C(0)\r\n               Error: 5 - Access is "
              "denied.\r\n" +
                  indent + "End C\r\n" + indent + "End B\r\nEnd A\r\n");
}

TEST(Trace_Process, LogIsNamedAfterTheProgramAndWrittenInTheCurrentFolder) {
    test::Temp_Dir dir;
    namespace fs = std::filesystem;
    fs::create_directory(dir.path() + "/bin");
    fs::create_directory(dir.path() + "/run");
    for (std::string name : {"Tool.rev2", "Tool.rev2.exe"}) {
        SCOPED_TRACE(name);
        std::string program = dir.path() + "/bin/" + name;
        fs::copy_file(helper, program);
        auto r = Run_Program(program, {"log-name"}, dir.path() + "/run");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, dir.path() + "/run/Tool.rev2_Debug.txt\n");
        EXPECT_TRUE(fs::exists(dir.path() + "/run/Tool.rev2_Debug.txt"));
        EXPECT_FALSE(fs::exists(dir.path() + "/bin/Tool.rev2_Debug.txt"));
        fs::remove(dir.path() + "/run/Tool.rev2_Debug.txt");
    }
}

TEST(Trace_Process, TerminalPauseTakesKeysFromTheControllingTerminal) {
    test::Temp_Dir dir;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0) _exit(126);
        setenv("KDX_CONSOLE", "terminal", 1);
        unsetenv("NO_COLOR");
        execl(helper.c_str(), helper.c_str(), "pause-twice", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string shown;
    const std::string prompt = "Press any Key to continue, (F9 to auto-debug, End-key to end)";
    Read_Until(master, prompt, 1, 20000, &shown);
    Sleep_Ms(200);  // the key must come after the pause has switched to raw mode
    ASSERT_EQ(write(master, "x", 1), 1);
    Read_Until(master, prompt, 2, 20000, &shown);
    Sleep_Ms(200);
    ASSERT_EQ(write(master, "\x1b[F", 3), 3);
    Read_Until(master, "End A", 1, 20000, &shown);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_NE(shown.find("\x1b]0;Debug Console\x07"), std::string::npos);
    EXPECT_NE(shown.find("\x1b[0;92mA()"), std::string::npos);
    EXPECT_NE(shown.find("\x1b[0;91m" + std::string(20, ' ') + "Error: 5 - Access is denied."),
              std::string::npos);
    EXPECT_NE(shown.find("\x1b[0;97m" + std::string(20, ' ') + prompt), std::string::npos);
    std::string log = Read_File_Text(dir.path() + "/trace_helper_Debug.txt");
    std::string indent(15, ' ');
    std::string ends =
        indent + "End SECOND\r\n" + indent + "End C\r\n" + indent + "End B\r\nEnd A\r\n";
    ASSERT_GE(log.size(), ends.size());
    EXPECT_EQ(log.substr(log.size() - ends.size()), ends);
    EXPECT_EQ(log.find("Press any Key"), std::string::npos);
}

TEST(Trace_Process, BackgroundJobPausesWithoutWaiting) {
    test::Temp_Dir dir;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The session leader stays in the foreground; the helper runs in a group of its own.
        pid_t job = fork();
        if (job == 0) {
            setpgid(0, 0);
            if (chdir(dir.path().c_str()) != 0) _exit(126);
            setenv("KDX_CONSOLE", "terminal", 1);
            execl(helper.c_str(), helper.c_str(), "pause-twice", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(job, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
    }
    std::string shown;
    Read_Until(master, "End A", 1, 20000, &shown);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "both pauses went on without a key";
    EXPECT_NE(shown.find("Press any Key"), std::string::npos);
}

// ---- exported procedures and the command line ----

TEST(Trace_Exports, TextsAndTimersFollowTheBufferConventions) {
    void* lib = dlopen(KDX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto names =
        reinterpret_cast<decltype(&ErrCheck_Control_Names)>(dlsym(lib, "ErrCheck_Control_Names"));
    auto log_name =
        reinterpret_cast<decltype(&ErrCheck_Debug_Log_Name)>(dlsym(lib, "ErrCheck_Debug_Log_Name"));
    auto start =
        reinterpret_cast<decltype(&ErrCheck_Timer_Start)>(dlsym(lib, "ErrCheck_Timer_Start"));
    auto stop = reinterpret_cast<decltype(&ErrCheck_Timer_Stop)>(dlsym(lib, "ErrCheck_Timer_Stop"));
    auto elapsed =
        reinterpret_cast<decltype(&ErrCheck_Timer_Elapsed)>(dlsym(lib, "ErrCheck_Timer_Elapsed"));
    auto print = reinterpret_cast<decltype(&ErrCheck_Print)>(dlsym(lib, "ErrCheck_Print"));
    ASSERT_TRUE(names && log_name && start && stop && elapsed && print);

    char small[8] = "A B\r\n";
    EXPECT_STREQ(names(small, sizeof small), "A<$SPC>B<$CR><$LF>");
    EXPECT_STREQ(small, "A<$SPC>") << "cut to the caller's capacity";
    EXPECT_STREQ(log_name("C:\\Tools\\Tool.rev2.exe"), "Tool.rev2_Debug.txt");
    EXPECT_STREQ(print(nullptr, 0, 10, nullptr), "");

    KDX_Trace_Timer t{1000000000, 0, 0, 0};
    int64_t s = start(&t);
    EXPECT_EQ(t.Start, s);
    stop(&t);
    EXPECT_GE(t.Stop, t.Start);
    EXPECT_EQ(std::string(elapsed(&t)), std::to_string(t.Stop - t.Start));
    EXPECT_EQ(start(nullptr), 0);
    dlclose(lib);
}

TEST(Trace_Cli, DebugLogReportsAndShowsTheLog) {
    test::Temp_Dir dir;
    auto r = Run_Program(KDX_CLI_PATH, {"debug-log", "--comment", "bench 4", "--show"}, dir.path(),
                         {"KDX_CONSOLE=capture"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string path = dir.path() + "/kdx-cli_Debug.txt";
    EXPECT_NE(r.out.find("Debug log: " + path + " ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("%debug-logbench 4ERRCHECK_DEBUG_LOG_NAME(\"\")\r\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(Read_File_Text(path).size() > 0, true);
}

TEST(Trace_Cli, TraceOptionShowsALiveTraceOnTheTerminal) {
    test::Temp_Dir dir;
    auto r = Run_Program(KDX_CLI_PATH, {"--trace", "debug-log", "--for", "/opt/kdx/Tool.rev2"},
                         dir.path(), {"KDX_CONSOLE=terminal"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/opt/kdx/Tool.rev2: Tool.rev2_Debug.txt\n");
    EXPECT_NE(r.err.find("ERRCHECK_DEBUG_LOG_NAME(\"/opt/kdx/Tool.rev2\")\r\n"), std::string::npos)
        << r.err;
    EXPECT_NE(
        r.err.find("End ERRCHECK_DEBUG_LOG_NAME = Tool.rev2_Debug.txt     ;/opt/kdx/Tool.rev2"),
        std::string::npos)
        << r.err;
}

// A log that cannot be created is not reported as created, whatever stands at its name.
TEST(Trace_Cli, DebugLogThatCannotBeCreatedIsReportedAsMissing) {
    test::Temp_Dir dir;
    std::string path = dir.path() + "/kdx-cli_Debug.txt";
    ASSERT_TRUE(std::filesystem::create_directory(path));  // a folder where the log should go
    auto r = Run_Program(KDX_CLI_PATH, {"debug-log", "--comment", "x"}, dir.path(),
                         {"KDX_CONSOLE=capture"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out.find("Debug log:"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("could not be created"), std::string::npos) << r.err;
}

TEST(Trace_Cli, DebugLogRejectsUnknownArguments) {
    test::Temp_Dir dir;
    EXPECT_EQ(Run_Program(KDX_CLI_PATH, {"debug-log", "--bogus"}, dir.path()).status, 2);
    EXPECT_EQ(Run_Program(KDX_CLI_PATH, {"debug-log", "--comment"}, dir.path()).status, 2);
}

}  // namespace
}  // namespace kdx
