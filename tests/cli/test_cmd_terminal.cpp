// kdx-cli terminal against the simulator: piped commands and an interactive session on a pty.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
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
#include "tests/support/serial_fixture.h"

namespace kdx::test {
namespace {

using Cli_Terminal = Sim_Port_Test;

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

    // env: NAME=value set for the program only (null: none); args after the port.
    explicit Terminal_Session(const std::string& program, const char* env = nullptr,
                              const std::vector<std::string>& args = {}) {
        std::vector<char*> argv{const_cast<char*>("kdx-cli"), const_cast<char*>("terminal"),
                                const_cast<char*>("COM5")};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (env) putenv(const_cast<char*>(env));
            execv(program.c_str(), argv.data());
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

// The port log goes beside the executable: a copy of kdx-cli in folder, to run there.
std::string Cli_Copy(const std::string& folder) {
    std::string cli = folder + "/kdx-cli";
    std::filesystem::copy_file(KDX_CLI_PATH, cli);
    std::filesystem::permissions(cli, std::filesystem::perms::owner_all);
    return cli;
}

TEST_F(Cli_Terminal, PipedLinesAreSentAndRepliesShown) {
    Start_Sim();
    int status = -1;
    std::string out = Run_Piped("V\\nF,getD0,\\n", "COM5 --wait 100", &status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(sim->Received(), "V\rF,getD0,\r");
    // Plain text when the output is not a terminal; each echo in its order, replies as they
    // arrived (commas kept).
    EXPECT_EQ(out, "COM5 Open\n> V\nR\n> F,getD0,\ngetD0,1.23\nPort Closed\n") << out;
    // --no-echo leaves the sent lines out; Enter still ends the line.
    out = Run_Piped("V\\nF,getD0,\\n", "COM5 --wait 100 --no-echo", &status);
    EXPECT_EQ(out, "COM5 Open\nR\ngetD0,1.23\nPort Closed\n") << out;
}

// Received text reaches the terminal and the log whole and in order, however the reads cut
// it: shown as it arrived, and logged line by line as ever.
TEST_F(Cli_Terminal, PipedReceivedTextArrivesWholeInTerminalAndLog) {
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
TEST_F(Cli_Terminal, PipedSessionEndsAtOnceWhenThePortHangsUp) {
    Start_Sim();
    Piped_Session s(KDX_CLI_PATH, {"COM5"});
    ASSERT_TRUE(s.Read_Until("COM5 Open")) << s.output;
    sim->Hang_Up();
    int status = s.Exited();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

TEST_F(Cli_Terminal, UsageAndMissingPort) {
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
    for (const char* bad :
         {"", "COMX", "COM0", "COM5 --baud x", "COM5 --eol cr-lf", "COM4294967320",
          "COM5 --baud 9600x", "COM5 --baud 99999999999", "COM5 --wait 10x"}) {
        Run_Piped("", std::string(bad) + " 2>/dev/null", &status);
        EXPECT_EQ(WEXITSTATUS(status), 2) << bad;
    }
}

TEST_F(Cli_Terminal, InteractiveKeysGoOutAsTypedAndQuitIsClean) {
    Start_Sim();
    std::string cli = Cli_Copy(dir.path());
    Terminal_Session t(cli);
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.Read_Until("Ctrl-T q quit")) << t.screen;
    ASSERT_TRUE(t.Type("V"));
    // The reply in the received colour.
    EXPECT_TRUE(t.Read_Until("\x1b[93mR\x1b[0m")) << t.screen;
    ASSERT_TRUE(t.Type("\x0c"));  // port log on, the old way
    ASSERT_TRUE(t.Read_Until("port log on")) << t.screen;
    EXPECT_NE(t.screen.find("[Ctrl-L switches the port log in this release only: Ctrl-T l does "
                            "it, and Ctrl-T Ctrl-L sends Ctrl-L]"),
              std::string::npos)
        << t.screen;
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
    EXPECT_NE(t.screen.find("[Ctrl-] quits in this release only: Ctrl-T q quits, and Ctrl-T "
                            "Ctrl-] sends Ctrl-]]"),
              std::string::npos)
        << t.screen;
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
TEST_F(Cli_Terminal, InteractiveSentEchoComesInOrderWithOrWithoutAReply) {
    const struct {
        const char* keys;
        std::vector<std::string> screen;  // in this order
    } rows[] = {
        {"K", {"\x1b[96mK\x1b[0m"}},  // no reply
        {"V", {"\x1b[96mV\x1b[0m", "\x1b[93mR\x1b[0m"}},
        {"KK\x0c", {"\x1b[96mK", "K\x1b[0m", "[port log on: "}},
        {"K\x1d", {"\x1b[96mK\x1b[0m", "Port Closed"}},
    };
    std::string cli = Cli_Copy(dir.path());
    for (const auto& row : rows) {
        Start_Sim();
        Terminal_Session t(cli);
        ASSERT_TRUE(t.Started());
        ASSERT_TRUE(t.Read_Until("Ctrl-T q quit")) << t.screen;
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

TEST_F(Cli_Terminal, InteractiveSessionEndsWhenThePortHangsUp) {
    // The program's own lines are green on a terminal, and plain with NO_COLOR like the rest.
    const struct {
        const char* env;
        bool colour;
    } rows[] = {{"NO_COLOR=", true}, {"NO_COLOR=1", false}};
    for (const auto& row : rows) {
        Start_Sim();
        Terminal_Session t(KDX_CLI_PATH, row.env);
        ASSERT_TRUE(t.Started());
        ASSERT_TRUE(t.Read_Until("Ctrl-T q quit")) << t.screen;
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
TEST_F(Cli_Terminal, AnIdleSessionSleepsUntilSomethingHappens) {
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
            ASSERT_TRUE(tty->Read_Until("Ctrl-T q quit")) << tty->screen;
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
TEST_F(Cli_Terminal, DisplayOptionsShapeWhatTheSessionShows) {
    Start_Sim();
    struct Case {
        const char* name;
        std::string input;
        std::string args;
        std::vector<std::string> patterns;  // each must match somewhere in the output
    };
    const Case cases[] = {
        {"own lines and names, sent text marked",
         "V\\nlst,\\n",
         "",
         {"\n> V\nR\n> lst,\nlst\n<EOT>\nPort Closed\n"}},
        {"time of day", "V\\n", "--timestamps", {"\n[@@:@@:@@.@@@] R\nPort Closed\n"}},
        {"gap since the last line",
         "V\\nV\\n",
         "--timestamps=delta",
         {"[+0.000] R\n> V\n[+@.@@@] R\nPort Closed\n"}},
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
TEST_F(Cli_Terminal, TranscriptFileHoldsEveryLineWithTimeAndDirection) {
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
TEST_F(Cli_Terminal, ReconnectWaitsForThePortAndGoesOn) {
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

TEST_F(Cli_Terminal, TerminalRefusesABadWait) {
    Start_Sim();
    for (const char* wait : {"-5", "x", "", "10ms", "99999999999"}) {
        std::string command = "printf 'V\\n' | " KDX_CLI_PATH " terminal COM5 --wait '" +
                              std::string(wait) + "' >/dev/null 2>&1";
        int status = system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << wait;
    }
    EXPECT_EQ(sim->Received(), "");
}

// How the interactive terminal is made to end, with what the terminal's user sees.
enum class Ending { Quit_Key, Term, Hang_Up_Signal, Interrupt, Quit_Signal, Output_Gone };

TEST_F(Cli_Terminal, TerminalRestoresTheUsersTtyOnEveryEnding) {
    Start_Sim();
    const struct {
        const char* name;
        Ending ending;
    } cases[] = {
        {"quit key", Ending::Quit_Key},     {"SIGTERM", Ending::Term},
        {"SIGHUP", Ending::Hang_Up_Signal}, {"SIGINT", Ending::Interrupt},
        {"SIGQUIT", Ending::Quit_Signal},   {"output closed", Ending::Output_Gone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        bool piped = c.ending == Ending::Output_Gone;
        int master = -1;
        pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (piped) dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execl(KDX_CLI_PATH, "kdx-cli", "terminal", "COM5", nullptr);
            _exit(127);
        }
        close(out[1]);
        int screen_fd = piped ? out[0] : master;
        std::string screen;
        bool ready = Eventually([&] {
            char buf[1024];
            pollfd p{screen_fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                ssize_t n = read(screen_fd, buf, sizeof buf);
                if (n > 0) screen.append(buf, size_t(n));
            }
            return screen.find("Ctrl-T q quit") != std::string::npos;
        });
        EXPECT_TRUE(ready) << screen;
        termios during{};
        tcgetattr(master, &during);
        EXPECT_EQ(during.c_lflag & ICANON, 0u) << "the session did not put the tty in raw mode";
        switch (c.ending) {
            case Ending::Quit_Key:
                EXPECT_EQ(write(master, "\x1d", 1), 1);
                break;
            case Ending::Term:
                kill(pid, SIGTERM);
                break;
            case Ending::Hang_Up_Signal:
                kill(pid, SIGHUP);
                break;
            case Ending::Interrupt:
                kill(pid, SIGINT);
                break;
            case Ending::Quit_Signal:
                kill(pid, SIGQUIT);
                break;
            case Ending::Output_Gone:
                // The reader goes away; the next echo written finds nobody to read it.
                close(out[0]);
                out[0] = -1;
                EXPECT_EQ(write(master, "V", 1), 1);
                break;
        }
        // Drain the screen so the child never blocks on it; bounded in case it hangs.
        int status = -1;
        bool ended = Eventually([&] {
            char buf[1024];
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) > 0 && read(master, buf, sizeof buf) < 0) {
            }
            return waitpid(pid, &status, WNOHANG) == pid;
        });
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(ended) << "the terminal did not end";
        termios after{};
        ASSERT_EQ(tcgetattr(master, &after), 0);
        EXPECT_NE(after.c_lflag & ICANON, 0u) << "line editing left off";
        EXPECT_NE(after.c_lflag & ECHO, 0u) << "echo left off";
        EXPECT_NE(after.c_lflag & ISIG, 0u) << "signal keys left off";
        if (out[0] >= 0) close(out[0]);
        close(master);
    }
}

// The terminal as a person types at it: each command of the escape key does what it says,
// and the keys that reach the controller are the bytes it should get: Backspace as BS (8),
// Enter as the line end chosen, Ctrl-C, Ctrl-T and Ctrl-] after the escape key.
TEST_F(Cli_Terminal, EscapeKeyCommandsAndKeysAsTyped) {
    // A lone control key ends no command of its own: the quiet time takes it as one, so its
    // "Command not understood" comes before the next row's keys.
    sim::Sim_Config config;
    config.model.quiet_ms = 20;
    Start_Sim(config);
    std::string cli = Cli_Copy(dir.path());
    Terminal_Session t(cli);
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.Read_Until("Ctrl-T q quit")) << t.screen;
    const struct {
        const char* name;
        std::string keys;
        std::string screen;    // shown after the keys
        std::string received;  // what the controller got from them ("" nothing checked)
    } rows[] = {
        {"help list", "\x14?", "[Ctrl-T then:  ? this list   q quit", ""},
        {"Backspace is BS", "AB\x7f\r", "AB<BS>", "AB\x08\r"},
        {"Ctrl-C after the escape key", "\x14\x03", "<ETX>", "\x03"},
        {"Ctrl-T twice", "\x14\x14", "<DC4>", "\x14"},
        {"Ctrl-] after the escape key", "\x14\x1d", "<GS>", "\x1d"},
        {"hex on", "\x14h", "[hex view on]", ""},
        {"hex shown", "V", "> 56 ", "V"},
        {"hex off", "\x14h", "[hex view off]", ""},
        {"timestamps on", "\x14t", "[timestamps on]", ""},
        // The time stands at the start of the reply's line, not after the echo.
        {"stamped reply", "V", "V\x1b[0m\r\r\n\x1b[93m\x1b[90m[", "V"},
        {"timestamps off", "\x14t", "[timestamps off]", ""},
        {"sent keys hidden",
         "\x14"
         "e",
         "[sent keys hidden]", ""},
        {"hidden key's reply", "V", "\x1b[93mR", "V"},
        {"sent keys shown",
         "\x14"
         "e",
         "[sent keys shown]", ""},
        {"clear",
         "\x14"
         "c",
         "\x1b[2J", ""},
        {"break",
         "\x14"
         "b",
         "[this line cannot send a break: a pseudo-terminal has no break]", ""},
        {"Enter sends LF", "\x14n", "[Enter sends LF]", ""},
        {"LF", "K\r", "", "K\n"},
        {"Enter sends CR LF", "\x14n", "[Enter sends CR LF]", ""},
        {"CR LF", "K\r", "", "K\r\n"},
        {"Enter sends CR again", "\x14n", "[Enter sends CR]", ""},
        {"port log on", "\x14l", "[port log on: ", ""},
        {"port log off", "\x14l", "[port log off]", ""},
        {"no such command", "\x14x", "[Ctrl-T x: no such command; Ctrl-T ? lists them]", ""},
        {"quit", "\x14q", "Port Closed", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        size_t shown = t.screen.size(), got = sim->Received().size();
        ASSERT_TRUE(t.Type(row.keys));
        if (!row.screen.empty()) {
            EXPECT_TRUE(Eventually([&] {
                Collect(t.master, t.screen, "");
                return t.screen.find(row.screen, shown) != std::string::npos;
            })) << t.screen.substr(shown);
        }
        // A key the controller does not understand starts its fault query: its answer is
        // awaited, so that it cannot land in a later row's lines.
        if (row.keys.find('\x7f') != std::string::npos || row.screen.rfind("<", 0) == 0) {
            EXPECT_TRUE(Eventually([&] {
                Collect(t.master, t.screen, "");
                return t.screen.find("Command not understood", shown) != std::string::npos;
            })) << t.screen.substr(shown);
        }
        if (!row.received.empty()) {
            EXPECT_TRUE(Eventually([&] {
                return sim->Received().find(row.received, got) != std::string::npos;
            })) << sim->Received().substr(got);
        }
        // A hidden key shows nothing of itself before its reply.
        if (std::string(row.name) == "hidden key's reply") {
            EXPECT_EQ(t.screen.find("\x1b[96m", shown), std::string::npos)
                << t.screen.substr(shown);
        }
    }
    int status = t.Finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Keys typed while a --reconnect port is away are said to be held and go out when it is back.
TEST_F(Cli_Terminal, KeysTypedWhileThePortIsAwayAreHeldAndSent) {
    sim::Sim_Config first;
    first.hangup_after = 1;
    Start_Sim(first);
    Terminal_Session t(KDX_CLI_PATH, nullptr, {"--reconnect", "--timestamps"});
    ASSERT_TRUE(t.Read_Until("Ctrl-T q quit")) << t.screen;
    ASSERT_TRUE(t.Type("V"));
    ASSERT_TRUE(t.Read_Until("COM5 went away: waiting for it to come back, Ctrl-T q quits]"))
        << t.screen;
    // The line saying so carries its time.
    EXPECT_TRUE(Pattern_Found(t.screen, "[@@:@@:@@.@@@] [COM5 went away")) << t.screen;
    ASSERT_TRUE(t.Type("F,getD0,\r"));
    EXPECT_TRUE(t.Read_Until("[COM5 is away: keys typed now are held and sent when it is back]"))
        << t.screen;
    sim.reset();
    Start_Sim();
    EXPECT_TRUE(t.Read_Until("[sending the 9 keys held while COM5 was away]")) << t.screen;
    EXPECT_TRUE(t.Read_Until("getD0,1.23")) << t.screen;
    EXPECT_TRUE(Pattern_Found(t.screen, "[@@:@@:@@.@@@] [COM5 is back: reopened at 57600 baud]"))
        << t.screen;
    EXPECT_EQ(sim->Received(), "F,getD0,\r");
    ASSERT_TRUE(t.Type("\x14q"));
    int status = t.Finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace kdx::test
