// kdx-cli terminal against the simulator: piped commands and an interactive session on a pty.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ports/ports_dir.h"
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

// Adds what fd gives within 20 ms to text; true once text holds want.
bool Collect(int fd, std::string& text, const std::string& want) {
    char buf[65536];
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) > 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) text.append(buf, size_t(n));
    }
    return text.find(want) != std::string::npos;
}

// kdx-cli terminal with its input and output pipes of ours; the input stays open until closed.
struct Piped_Session {
    pid_t pid = -1;
    int in = -1, out = -1;
    std::string output;

    Piped_Session(const std::string& program, const std::vector<std::string>& args) {
        int to[2], from[2];
        if (pipe(to) != 0 || pipe(from) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(to[0], 0);
            dup2(from[1], 1);
            for (int fd : {to[0], to[1], from[0], from[1]}) close(fd);
            std::vector<char*> argv{const_cast<char*>("kdx-cli"), const_cast<char*>("terminal")};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(to[0]);
        close(from[1]);
        in = to[1];
        out = from[0];
    }
    bool Read_Until(const std::string& want) {
        return Eventually([&] { return Collect(out, output, want); }, 20000);
    }
    // The exit status once the program has ended by itself (-1 if it does not).
    int Exited() {
        int status = -1;
        Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000);
        return status;
    }
    ~Piped_Session() {
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// kdx-cli terminal running on a pseudo-terminal, as a user at a keyboard would run it.
struct Terminal_Session {
    int master = -1;
    pid_t pid = -1;
    std::string screen;

    // env: NAME=value set for the program only (null: none).
    explicit Terminal_Session(const std::string& program, const char* env = nullptr) {
        pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (env) putenv(const_cast<char*>(env));
            execl(program.c_str(), "kdx-cli", "terminal", "COM5", nullptr);
            _exit(127);
        }
    }
    bool Started() const { return pid > 0; }
    // Collects the screen until it shows want.
    bool Read_Until(const std::string& want) {
        return Eventually([&] { return Collect(master, screen, want); });
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
    EXPECT_EQ(out, "COM5 Open\nV\nRF,getD0,\ngetD0,1.23\nPort Closed\n") << out;
}

// Received text reaches the terminal and the log whole and in order, however the reads cut
// it: shown as it arrived, and logged line by line as ever.
TEST_F(Serial_Terminal, PipedReceivedTextArrivesWholeInTerminalAndLog) {
    Start_Sim();
    std::string cli = dir.path() + "/kdx-cli";
    std::filesystem::copy_file(KDX_CLI_PATH, cli);
    std::string text;
    for (int i = 0; text.size() < 300000; ++i)
        text += "L" + std::to_string(i) + ",a\tb" + (i % 7 ? "\r\n" : "\x1b\n") +
                (i % 11 ? "" : std::string(1, '\0'));
    text += "#END#";
    Piped_Session s(cli, {"COM5", "--log", "--wait", "0"});
    ASSERT_TRUE(s.Read_Until("COM5 Open")) << s.output;
    sim->Send(text);
    ASSERT_TRUE(s.Read_Until("#END#"));
    close(s.in);
    s.in = -1;
    int status = s.Exited();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string shown;
    bool after_cr = false;
    Echo_Terminal_Received_Text(text, after_cr, shown, true);
    EXPECT_NE(s.output.find(shown), std::string::npos);
    // The log's received lines, run together, hold every byte (CR as <br>, NUL named).
    std::string log, logged;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().extension() == ".html") {
            std::ifstream in(entry.path(), std::ios::binary);
            log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    const std::string span = "<span style=\"color:rgb(255, 255, 0)\"> ";
    for (size_t at = 0; (at = log.find(span, at)) != std::string::npos;) {
        at += span.size();
        size_t end = log.find("</span>\r\n", at);
        ASSERT_NE(end, std::string::npos);
        logged += log.substr(at, end - at);
        at = end;
    }
    std::string expected;
    for (char c : text)
        expected += c == '\r' ? std::string("<br>") : c ? std::string(1, c) : "CHR$(0)";
    EXPECT_EQ(logged, expected);
}

// A hang-up ends a piped session at once, while its input is still open.
TEST_F(Serial_Terminal, PipedSessionEndsAtOnceWhenThePortHangsUp) {
    Start_Sim();
    Piped_Session s(KDX_CLI_PATH, {"COM5"});
    ASSERT_TRUE(s.Read_Until("COM5 Open")) << s.output;
    sim->Hang_Up();
    int status = s.Exited();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

TEST_F(Serial_Terminal, UsageAndMissingPort) {
    int status = -1;
    // A failed open says its cause and what to do, as every command's does.
    Start_Sim();
    ASSERT_GT(Open(), 0);  // held by us
    const struct {
        const char* port;
        const char* says;
    } opens[] = {
        {"COM8", "kdx-cli terminal: cannot open COM8: no such port. \"kdx-cli ports\" lists"},
        {"COM5", "kdx-cli terminal: cannot open COM5: another program holds it"},
    };
    for (const auto& row : opens) {
        std::string err = Run_Piped("", std::string(row.port) + " 2>&1 >/dev/null", &status);
        EXPECT_EQ(WEXITSTATUS(status), 1) << row.port;
        EXPECT_NE(err.find(row.says), std::string::npos) << err;
    }
    // Numbers are whole words in range, never wrapped or cut: COM4294967320 is no COM24.
    for (const char* bad : {"", "COMX", "COM0", "COM5 --baud x", "COM5 --eol lf", "COM4294967320",
                            "COM5 --baud 9600x", "COM5 --baud 99999999999", "COM5 --wait 10x"}) {
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
    // Switching on says where the log is written.
    std::string folder = std::filesystem::canonical(dir.path()).string();
    bool logging = t.screen.find("[port log on: " + folder + "/KDX Port Log ") != std::string::npos;
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

// Sent text may wait a moment for its reply, to go out with it; it is never lost or shown out
// of order: with no reply it comes on its own, and it comes before the program's own lines and
// the end of the session.
TEST_F(Serial_Terminal, InteractiveSentEchoComesInOrderWithOrWithoutAReply) {
    const struct {
        const char* keys;
        std::vector<std::string> screen;  // in this order
    } rows[] = {
        {"K", {"\x1b[96mK\x1b[0m"}},  // no reply
        {"V", {"\x1b[96mV\x1b[0m", "\x1b[93mR\x1b[0m"}},
        {"KK\x0c", {"\x1b[96mK", "K\x1b[0m", "[port log on: "}},
        {"K\x1d", {"\x1b[96mK\x1b[0m", "Port Closed"}},
    };
    // The port log goes beside the executable: run a copy in the temporary folder.
    std::string cli = dir.path() + "/kdx-cli";
    std::filesystem::copy_file(KDX_CLI_PATH, cli);
    std::filesystem::permissions(cli, std::filesystem::perms::owner_all);
    for (const auto& row : rows) {
        Start_Sim();
        Terminal_Session t(cli);
        ASSERT_TRUE(t.Started());
        ASSERT_TRUE(t.Read_Until("Ctrl-] quit")) << t.screen;
        size_t from = t.screen.size();
        ASSERT_TRUE(t.Type(row.keys));
        EXPECT_TRUE(t.Read_Until(row.screen.back())) << row.keys << ": " << t.screen;
        for (const auto& piece : row.screen) {
            size_t at = t.screen.find(piece, from);
            EXPECT_NE(at, std::string::npos) << row.keys << ": " << piece << " in " << t.screen;
            from = at == std::string::npos ? from : at + piece.size();
        }
        t.Type("\x1d");
        int status = t.Finish();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << row.keys;
        sim.reset();
    }
}

TEST_F(Serial_Terminal, InteractiveSessionEndsWhenThePortHangsUp) {
    // The program's own lines are green on a terminal, and plain with NO_COLOR like the rest.
    const struct {
        const char* env;
        bool colour;
    } rows[] = {{"NO_COLOR=", true}, {"NO_COLOR=1", false}};
    for (const auto& row : rows) {
        Start_Sim();
        Terminal_Session t(KDX_CLI_PATH, row.env);
        ASSERT_TRUE(t.Started());
        ASSERT_TRUE(t.Read_Until("Ctrl-] quit")) << t.screen;
        sim->Hang_Up();
        EXPECT_TRUE(t.Read_Until("[the port hung up]")) << t.screen;
        int status = t.Finish();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
        // Green opens the hang-up line; with NO_COLOR no colour sequence at all.
        size_t line = t.screen.find("[the port hung up]");
        size_t green = t.screen.rfind("\x1b[32m", line);
        EXPECT_EQ(green != std::string::npos && t.screen.find("\x1b[0m", green) > line, row.colour)
            << row.env << ": " << t.screen;
        EXPECT_TRUE(row.colour || t.screen.find('\x1b') == std::string::npos) << t.screen;
        sim.reset();
    }
}

// Times a process's threads went to sleep (voluntary context switches of each): every wake
// ends in one.
long Sleeps(pid_t pid) {
    long total = 0;
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::atol(line.c_str() + 24);
    }
    return total;
}

// Whether every thread of the process is asleep.
bool All_Asleep(pid_t pid) {
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream stat(task.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t name_end = text.rfind(')');
        if (name_end == std::string::npos || text.compare(name_end + 2, 1, "S") != 0) return false;
    }
    return true;
}

// An idle session sleeps until something happens, piped or on a terminal: no timer wakes it
// (a hang-up and a stopped log wake it through the library).
TEST_F(Serial_Terminal, AnIdleSessionSleepsUntilSomethingHappens) {
#ifdef __SANITIZE_THREAD__
    // The sanitizer's runtime keeps a thread of its own that wakes on a timer in every
    // process; the plain and AddressSanitizer builds count the program's wakes alone.
    GTEST_SKIP() << "ThreadSanitizer's background thread wakes on a timer";
#endif
    for (bool interactive : {false, true}) {
        Start_Sim();
        std::unique_ptr<Piped_Session> piped;
        std::unique_ptr<Terminal_Session> tty;
        pid_t pid;
        if (interactive) {
            tty = std::make_unique<Terminal_Session>(KDX_CLI_PATH);
            ASSERT_TRUE(tty->Read_Until("Ctrl-] quit")) << tty->screen;
            pid = tty->pid;
        } else {
            piped = std::make_unique<Piped_Session>(KDX_CLI_PATH, std::vector<std::string>{"COM5"});
            ASSERT_TRUE(piped->Read_Until("COM5 Open")) << piped->output;
            pid = piped->pid;
        }
        ASSERT_TRUE(Eventually([&] { return All_Asleep(pid); }));
        // Over a second and a half an input poll of a quarter second would wake it six times.
        long before = Sleeps(pid);
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        Eventually([&] { return std::chrono::steady_clock::now() >= end; }, 3000);
        EXPECT_LE(Sleeps(pid) - before, 1) << (interactive ? "interactive" : "piped");
        // And it still wakes for what happens.
        sim->Hang_Up();
        if (interactive) {
            EXPECT_TRUE(tty->Read_Until("[the port hung up]")) << tty->screen;
            tty->Finish();
        } else {
            int status = piped->Exited();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        }
        sim.reset();
    }
}

// A pattern of the shown text: "@" stands for one digit, "~" for one or more blanks, every
// other character for itself; with whole, nothing may follow. (Not std::regex: GCC 12 warns
// inside it in an optimised sanitizer build.)
bool Matches_Here(std::string_view text, std::string_view pattern, bool whole) {
    if (pattern.empty()) return !whole || text.empty();
    if (text.empty()) return false;
    char p = pattern[0];
    if (p == '~') {
        if (text[0] != ' ') return false;
        size_t blanks = text.find_first_not_of(' ');
        return Matches_Here(blanks == std::string_view::npos ? "" : text.substr(blanks),
                            pattern.substr(1), whole);
    }
    bool one = p == '@' ? text[0] >= '0' && text[0] <= '9' : text[0] == p;
    return one && Matches_Here(text.substr(1), pattern.substr(1), whole);
}

// True when pattern matches somewhere in text.
bool Pattern_Found(const std::string& text, const std::string& pattern) {
    for (size_t at = 0; at < text.size(); ++at)
        if (Matches_Here(std::string_view(text).substr(at), pattern, false)) return true;
    return false;
}

// What the session shows, option by option: the program's lines on lines of their own,
// control bytes by name, received lines with their time, both directions in hex.
TEST_F(Serial_Terminal, DisplayOptionsShapeWhatTheSessionShows) {
    Start_Sim();
    struct Case {
        const char* name;
        std::string input;
        std::string args;
        std::vector<std::string> patterns;  // each must match somewhere in the output
    };
    const Case cases[] = {
        {"own lines and names", "V\\nlst,\\n", "", {"\nRlst,\nlst\n<EOT>\nPort Closed\n"}},
        {"time of day", "V\\n", "--timestamps", {"\n[@@:@@:@@.@@@] R\nPort Closed\n"}},
        {"gap since the last line",
         "V\\nV\\n",
         "--timestamps=delta",
         {"[+0.000] RV\n", "[+@.@@@] R\nPort Closed\n"}},
        {"hex both ways", "V\\n", "--hex", {"\n> 56 0D~V.\n< 52~R\nPort Closed\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int status = -1;
        std::string out = Run_Piped(c.input, "COM5 --wait 200 " + c.args, &status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        for (const auto& pattern : c.patterns)
            EXPECT_TRUE(Pattern_Found(out, pattern)) << pattern << "\n" << out;
    }
}

// The transcript of --log-file: appended session after session, a line per line of traffic
// with its time and direction; a link at its name is refused and its target left alone.
TEST_F(Serial_Terminal, TranscriptFileHoldsEveryLineWithTimeAndDirection) {
    Start_Sim();
    const std::string path = dir.path() + "/session.txt";
    int status = -1;
    for (int session = 0; session < 2; ++session) {
        Run_Piped("V\\nF,getD0,\\n", "COM5 --wait 200 --log-file " + path, &status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::string stamp = "@@@@-@@-@@ @@:@@:@@.@@@ ";
    const std::vector<std::string> session = {"# COM5 Open", "> V",          "< R",
                                              "> F,getD0,",  "< getD0,1.23", "# Port Closed"};
    ASSERT_EQ(lines.size(), 2 * session.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(Matches_Here(lines[i], stamp + session[i % session.size()], true)) << lines[i];

    const std::string target = dir.path() + "/other.txt", link = dir.path() + "/link.txt";
    { std::ofstream(target) << "keep"; }
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    std::string out = Run_Piped("V\\n", "COM5 --log-file " + link + " 2>&1", &status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(out.find("cannot write the transcript " + link + ": a link is at that name"),
              std::string::npos)
        << out;
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
}

// --reconnect: the port goes away, the session says so, waits, and reopens the same COM
// port when a controller is there again; lines sent after it reach the new one.
TEST_F(Serial_Terminal, ReconnectWaitsForThePortAndGoesOn) {
    sim::Sim_Config first;
    first.hangup_after = 1;
    Start_Sim(first);
    Piped_Session s(KDX_CLI_PATH, {"COM5", "--reconnect", "--wait", "0"});
    ASSERT_TRUE(s.Read_Until("COM5 Open")) << s.output;
    ASSERT_EQ(write(s.in, "V\n", 2), 2);
    ASSERT_TRUE(s.Read_Until("[COM5 went away: waiting for it to come back]")) << s.output;
    sim.reset();
    Start_Sim();
    ASSERT_TRUE(s.Read_Until("[COM5 is back: reopened at 57600 baud]")) << s.output;
    ASSERT_EQ(write(s.in, "F,getD0,\n", 9), 9);
    ASSERT_TRUE(s.Read_Until("getD0,1.23")) << s.output;
    close(s.in);
    s.in = -1;
    int status = s.Exited();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << s.output;
    EXPECT_EQ(sim->Received(), "F,getD0,\r");
}

}  // namespace
}  // namespace kdx::test
