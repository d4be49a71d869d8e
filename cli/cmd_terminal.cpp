// kdx-cli terminal: an interactive serial terminal on a COM port, with the traffic echoed in
// colour; with standard input not a terminal, each input line is sent as a command.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/cli.h"
#include "cli/port_names.h"
#include "cli/port_open.h"
#include "cli/protocol_port.h"
#include "cli/system.h"
#include "kdx/kdx.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli terminal COM<n> [--baud B] [--log] [--plain] [--eol cr|crlf|none]\n"
    "                               [--wait MS] [--timestamps[=delta]] [--hex]\n"
    "                               [--reconnect] [--log-file PATH]\n"
    "\n"
    "Opens the port (8N1, default 57600 baud) and starts its receive poller.\n"
    "\n"
    "On a terminal every key goes to the controller as it is typed (Enter sends CR). Sent\n"
    "text is shown in cyan, the program's status lines in green, received text in yellow,\n"
    "as it arrived (commas kept, CR LF a line break; control bytes by name, <EOT>, <ESC>).\n"
    "The program's own lines (\"[port log on: PATH]\", \"Port Closed\") always start on a\n"
    "line of their own.\n"
    "  Ctrl-L     switch the daily port log on or off (it says the log's full path)\n"
    "  Ctrl-]     quit (Ctrl-C quits too)\n"
    "\n"
    "With standard input not a terminal (a pipe or file), each line is sent as one command\n"
    "followed by the line end, and replies are awaited after it; at the end of the input the\n"
    "port is closed. Example: printf 'V\\nF,getD4,\\n' | kdx-cli terminal COM5\n"
    "\n"
    "The port log is an HTML page of the traffic, one file a day, appended to, in the folder\n"
    "of the kdx-cli program itself (build/ in a source checkout):\n"
    "  <folder of kdx-cli>/KDX Port Log MM-DD-YYYY.html\n"
    "\n"
    "Options:\n"
    "  --baud B       baud rate (default 57600)\n"
    "  --log          start with the port log on\n"
    "  --plain        no colours (NO_COLOR set does the same)\n"
    "  --eol E        line end after each piped line: cr (default), crlf or none\n"
    "  --wait MS      how long to wait for replies after each piped line (default 300)\n"
    "  --timestamps   each received line starts with the local time, [hh:mm:ss.mmm];\n"
    "                 --timestamps=delta with the time since the last line, [+s.mmm]\n"
    "  --hex          sent and received bytes as hex, 16 a line, \"> \" sent, \"< \" received,\n"
    "                 with their printable text beside\n"
    "  --reconnect    when the port goes away (an adapter pulled out, the controller hung\n"
    "                 up), say so and wait for the same COM port to come back, then reopen\n"
    "                 it at the same rate and go on (Ctrl-] quits while waiting); without\n"
    "                 it the session ends with status 1\n"
    "  --log-file P   append a plain-text transcript of the session to file P: a line per\n"
    "                 line of traffic with the date and time to the millisecond, then \">\"\n"
    "                 sent, \"<\" received or \"#\" the program's lines (besides the port log)\n"
    "\n"
    "{terminal-port}\n"
    "Exit status: 0 done, 1 the port or the transcript could not be\n"
    "opened, the port hung up (without --reconnect) or the port log could not be written\n"
    "(the session stops at once then), 2 usage error.\n";

constexpr char Quit = 0x1d;  // Ctrl-]
constexpr char Interrupt = 0x03;
constexpr char Log_Key = 0x0c;  // Ctrl-L
// Sent text waits this long for its reply, to go out with it in one write: the terminal then
// wakes once, not twice, and shows the reply sooner. Well below what an eye can tell apart.
constexpr int32_t Sent_Hold_Ms = 5;

// The program's own line, on a line of its own after the traffic shown so far.
void Say(const std::string& text) {
    Serial_Echo_Terminal_Note(text.c_str());
}

struct Session {
    int32_t handle = 0;
    int32_t poller = 0;
    int32_t number = 0;
    int32_t baud = 57600;
    bool reconnect = false;
    // Read end of the pipe the library writes to when the poller ends or the log stops: with
    // the input it is all the session waits on, so it sleeps until something happens.
    int watch = -1;
    bool log = false;
    bool colour = false;
    bool crlf = false;
    bool log_failed = false;

    // A port log that could not be opened or stopped on a line it could not write: said
    // once, and the session ends with status 1 (traffic would go unlogged).
    bool Log_Failed() {
        std::string why = Port_Log_Error();
        if (!why.empty() && !log_failed) Say("[" + why + "]");
        log_failed = log_failed || !why.empty();
        return log_failed;
    }

    void Switch_Log() {
        int32_t file = Serial_Port_Log_Switch(log ? 0 : 1);
        if (!log && file == 0) {
            if (!Log_Failed()) Say("[port log could not be opened]");
            log_failed = true;
            return;
        }
        log = file != 0;
        // Where the log went, so the user can find it.
        Say(log ? "[port log on: " + std::string(Port_Log_Path()) + "]" : "[port log off]");
    }

    void Send(const std::string& text) { Serial_Port_Write(&handle, text.c_str(), nullptr); }

    // Starts the open port's poller and enters it as the open port.
    void Start() {
        poller = Serial_Port_Poller_Start(handle);
        KDX_Serial_Port_State state{};
        state.Handle = handle;
        state.Number = number;
        std::snprintf(state.Name, sizeof state.Name, "%.5s",
                      ("COM" + std::to_string(number)).c_str());
        state.Baud = baud;
        state.Poller = poller;
        Serial_Port_State_Set(&state);
    }

    void Close() {
        // The poller stops with the port, and only then the log: nothing is shown unlogged.
        Serial_Port_Close(&handle);
        if (log) Serial_Port_Log_Switch(0);
        KDX_Serial_Port_State state{};
        Serial_Port_State_Set(&state);
    }

    bool Watch() {
        if (!sys::Make_Watch_Pipe(watch, watch_write)) return false;
        Serial_Port_Watch(watch_write);
        return true;
    }
    void Unwatch() {
        Serial_Port_Watch(-1);
        for (int* fd : {&watch, &watch_write})
            if (*fd >= 0) close(*fd);
        watch = watch_write = -1;
    }

    // Wakes Wait from another thread (a device change while waiting for the port).
    void Wake() {
        char byte = 1;
        [[maybe_unused]] ssize_t n = write(watch_write, &byte, 1);
    }

    // Waits up to ms (-1: for ever) for the input (when in >= 0) or the watch; the input's
    // readiness, 0 on time out or the watch, -1 on a failure. What the watch said is taken
    // from it: the caller asks the poller and the log after.
    int Wait(int in, int ms) { return sys::Wait_Input(watch, in, ms); }

  private:
    int watch_write = -1;
};

void On_Device_Change(int32_t, const char*, const char*, void* user) {
    static_cast<Session*>(user)->Wake();
}

// The port went away: says so and waits for the same COM port to come back, then reopens it
// at the same rate, its poller started and the port log left as it was. Waits on device
// changes (and tries once a second besides, as a link can appear a moment after its event);
// interactive, Ctrl-] or Ctrl-C ends the wait. False when the session is to end.
bool Reconnect(Session& s, bool interactive) {
    const std::string port = "COM" + std::to_string(s.number);
    Serial_Port_Close(&s.handle);
    KDX_Serial_Port_State none{};
    Serial_Port_State_Set(&none);
    Say("[" + port + " went away: waiting for it to come back" +
        (interactive ? ", Ctrl-] quits]" : "]"));
    int32_t watcher = Serial_Port_Watch_Start(On_Device_Change, &s);
    bool back = false;
    for (;;) {
        int32_t number = s.number, baud = s.baud;
        int32_t h = Serial_Port_Open(&number, &baud);
        if (h != 0 && h != -1) {
            s.handle = h;
            back = true;
            break;
        }
        int r = s.Wait(interactive ? STDIN_FILENO : -1, 1000);
        if (r < 0) break;
        if (r > 0) {
            char keys[256];
            int n = sys::Read_Input(keys, sizeof keys);
            if (n <= 0 || std::memchr(keys, Quit, size_t(n)) ||
                std::memchr(keys, Interrupt, size_t(n)))
                break;
        }
    }
    if (watcher != 0) Serial_Port_Watch_Stop(watcher);
    if (!back) return false;
    s.Start();
    Say("[" + port + " is back: reopened at " + std::to_string(s.baud) + " baud]");
    return true;
}

// True while the port is there; with --reconnect a port that went away is waited for and
// reopened first.
bool Alive(Session& s) {
    if (Serial_Port_Poller_Running(s.poller)) return true;
    return s.reconnect && Reconnect(s, false);
}

int Interactive(Session& s) {
    sys::Raw_Keys();
    Say("Keys go to the controller as typed.  Ctrl-L port log on/off   Ctrl-] quit");
    int status = 0;
    for (;;) {
        int32_t due = Serial_Echo_Terminal_Flush(0);
        int r = s.Wait(STDIN_FILENO, due);
        if (r < 0) break;
        // Keys go out first and the port's state is asked after them: the ask is not on the
        // way from a key to the line.
        if (r > 0) {
            char keys[256];
            int n = sys::Read_Input(keys, sizeof keys);
            if (n <= 0) break;
            std::string text;
            bool quit = false;
            for (int i = 0; i < n && !quit; ++i) {
                char c = keys[i];
                if (c == Quit || c == Interrupt) {
                    quit = true;
                } else if (c == Log_Key) {
                    if (!text.empty()) s.Send(text);
                    text.clear();
                    s.Switch_Log();
                } else if (c != '\0') {
                    text += c;
                }
            }
            // Keys that arrive together (a paste) go out as one write, as typed.
            if (!text.empty()) s.Send(text);
            if (quit && Serial_Port_Poller_Running(s.poller)) break;
        }
        if (!Serial_Port_Poller_Running(s.poller)) {
            if (s.reconnect && Reconnect(s, true)) continue;
            if (!s.reconnect) Say("[the port hung up]");
            status = s.reconnect ? 0 : 1;
            break;
        }
        if (s.Log_Failed()) {
            status = 1;
            break;
        }
    }
    Say("");
    s.Close();
    Say("");
    sys::Restore_Keys();
    return status;
}

int64_t Monotonic_Ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits ms, ending early when the port hangs up (and is not back); false then.
bool Wait_Alive(Session& s, int ms) {
    const int64_t end = Monotonic_Ms() + ms;
    for (;;) {
        if (!Alive(s)) return false;
        int32_t due = Serial_Echo_Terminal_Flush(0);
        int64_t left = end - Monotonic_Ms();
        if (left <= 0) return true;
        s.Wait(-1, due >= 0 ? std::min<int>(due, int(left)) : int(left));
    }
}

int Scripted(Session& s, const std::string& eol, int wait_ms) {
    std::string line;
    bool alive = true;
    auto flush = [&] {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        s.Send(line + eol);
        line.clear();
        alive = Wait_Alive(s, wait_ms);
    };
    // The input is watched together with the port: a hang-up ends the session at once, not
    // when the input ends. A port log that stops writing ends it too.
    bool input_open = true;
    while (alive && input_open && !s.Log_Failed()) {
        int32_t due = Serial_Echo_Terminal_Flush(0);
        int r = s.Wait(STDIN_FILENO, due);
        if (r < 0) break;
        if (r == 0) {
            alive = Alive(s);
            continue;
        }
        char input[4096];
        int n = sys::Read_Input(input, sizeof input);
        if (n < 0 && errno == EINTR) continue;
        input_open = n > 0;
        // Each line sent asks after the port (its wait) and the log; input without a whole
        // line asks here. Asked after the lines have gone out, not on their way to the line.
        bool sent = false, log_failed = false;
        for (int i = 0; i < n && alive && !log_failed; ++i) {
            line += input[i];
            if (input[i] != '\n') continue;
            flush();
            sent = true;
            log_failed = s.Log_Failed();
        }
        if (!sent) alive = alive && Alive(s);
    }
    if (alive && !line.empty() && !s.Log_Failed()) flush();
    alive = alive && Alive(s);
    if (!alive) std::fprintf(stderr, "kdx-cli terminal: the port hung up\n");
    const bool ok = alive && !s.Log_Failed();
    s.Close();
    Say("");
    return ok ? 0 : 1;
}

int Run(const std::vector<std::string>& args) {
    std::string port;
    int32_t baud = 57600;
    bool log = false, plain = false, reconnect = false;
    int32_t flags = KDX_ECHO_OWN_LINES;
    std::string eol = "\r", log_file;
    int wait_ms = 300;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool has_value = i + 1 < args.size();
        if (a == "--baud" && has_value) {
            if (!Parse_Baud(args[++i], baud)) {
                std::fprintf(stderr, "kdx-cli terminal: bad baud rate %s\n", args[i].c_str());
                return 2;
            }
        } else if (a == "--log") {
            log = true;
        } else if (a == "--plain") {
            plain = true;
        } else if (a == "--timestamps" || a == "--timestamps=time") {
            flags |= KDX_ECHO_TIMESTAMPS;
        } else if (a == "--timestamps=delta") {
            flags |= KDX_ECHO_TIMESTAMPS_DELTA;
        } else if (a == "--hex") {
            flags |= KDX_ECHO_HEX;
        } else if (a == "--reconnect") {
            reconnect = true;
        } else if ((a == "--log-file" && has_value) || a.rfind("--log-file=", 0) == 0) {
            log_file = a == "--log-file" ? args[++i] : a.substr(11);
            if (log_file.empty()) {
                std::fprintf(stderr, "kdx-cli terminal: --log-file needs a file name\n");
                return 2;
            }
        } else if (a == "--eol" && has_value) {
            std::string e = args[++i];
            if (e == "cr")
                eol = "\r";
            else if (e == "crlf")
                eol = "\r\n";
            else if (e == "none")
                eol = "";
            else {
                std::fprintf(stderr, "kdx-cli terminal: --eol takes cr, crlf or none\n");
                return 2;
            }
        } else if (a == "--wait" && has_value) {
            // A negative wait would become a sleep of over an hour after every line.
            const std::string& w = args[++i];
            long value = 0;
            if (!Parse_Number(w, 0, 600000, value)) {
                std::fprintf(stderr, "kdx-cli terminal: bad wait %s (0 to 600000 ms)\n", w.c_str());
                return 2;
            }
            wait_ms = int(value);
        } else if (port.empty() && a.rfind("--", 0) != 0) {
            port = a;
        } else {
            std::fprintf(stderr, "kdx-cli terminal: unexpected %s (see --help)\n", a.c_str());
            return 2;
        }
    }
    // COM<n>, the number alone, or the device's path.
    int32_t number = 0;
    bool numeric = !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
    std::string why = "give the port as COM<n> (n from 1 to 999) or as its device path";
    if (port.empty() || !Parse_Port(numeric ? "COM" + port : port, number, why)) {
        std::fprintf(stderr, "kdx-cli terminal: %s (see --help)\n", why.c_str());
        return 2;
    }
    // The transcript is appended to, never through a link, and only to a regular file.
    int copy_fd = -1;
    if (!log_file.empty()) {
        std::string problem;
        copy_fd = sys::Open_Append(log_file, problem);
        if (copy_fd < 0) {
            std::fprintf(stderr, "kdx-cli terminal: cannot write the transcript %s: %s\n",
                         log_file.c_str(), problem.c_str());
            return 1;
        }
    }

    bool interactive = isatty(STDIN_FILENO);
    Session s;
    s.colour = !plain && Colour_Wanted(STDOUT_FILENO);
    s.crlf = interactive;
    s.number = number;
    s.baud = baud;
    s.reconnect = reconnect;
    Serial_Echo_Terminal(STDOUT_FILENO, s.colour ? 1 : 0, s.crlf ? 1 : 0);
    Serial_Echo_Terminal_Hold(Sent_Hold_Ms);
    Serial_Echo_Terminal_Options(flags, copy_fd);
    s.handle = Open_Port_Explained("terminal", number, baud);
    if (s.handle == 0 || !s.Watch()) {
        if (s.handle != 0) s.Close();
        Serial_Echo_Terminal(-1, 0, 0);
        if (copy_fd >= 0) close(copy_fd);
        return 1;
    }
    // The log opens before the poller starts, so it has every byte the terminal shows: what
    // arrives meanwhile waits in the port.
    if (log) s.Switch_Log();
    s.Start();
    int status = interactive ? Interactive(s) : Scripted(s, eol, wait_ms);
    s.Unwatch();
    Serial_Echo_Terminal(-1, 0, 0);
    if (copy_fd >= 0) close(copy_fd);
    return status;
}

const Subcommand_Registration Registration({"terminal",
                                            "interactive serial terminal on COM<n>, traffic "
                                            "echoed in colour",
                                            Help, Run});

}  // namespace
}  // namespace kdx::cli
