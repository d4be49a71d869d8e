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
#include "cli/usage.h"
#include "kdx/kdx.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli terminal COM<n> [--baud B] [--log] [--plain] [--no-echo] [--eol E]\n"
    "                               [--backspace bs|del] [--wait MS] [--timestamps[=delta]]\n"
    "                               [--hex] [--reconnect] [--log-file PATH]\n"
    "\n"
    "Opens the port (8N1, default 57600 baud) and starts its receive poller.\n"
    "\n"
    "On a terminal every key goes to the controller as it is typed: Enter sends CR (or the\n"
    "--eol end), Backspace sends BS (8) as the windowed program does. Sent text is shown in\n"
    "cyan, the program's status lines in green, received text in yellow, as it arrived\n"
    "(commas kept, CR LF a line break; control bytes by name, <EOT>, <ESC>). Without colour\n"
    "(--plain, NO_COLOR, output to a pipe or file) sent text stands on lines of its own that\n"
    "start with \"> \". The program's own lines (\"[port log on: PATH]\", \"Port Closed\")\n"
    "always start on a line of their own.\n"
    "\n"
    "Ctrl-T is the escape key; Ctrl-T then:\n"
    "  ?          list these commands\n"
    "  q          quit\n"
    "  l          switch the daily port log on or off (it says the log's full path)\n"
    "  h          switch the hex view on or off\n"
    "  t          switch the timestamps on or off\n"
    "  e          show or hide the sent keys\n"
    "  c          clear the screen\n"
    "  b          send a break (where the line can)\n"
    "  n          what Enter sends: CR, LF or CR LF, in turn\n"
    "  Ctrl-T     send Ctrl-T itself; Ctrl-C, Ctrl-L and Ctrl-] send those keys too\n"
    "In this release Ctrl-] and Ctrl-C still quit and Ctrl-L still switches the port log\n"
    "(with a note the first time); from the next they go to the controller as typed.\n"
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
    "  --no-echo      do not show the sent keys (the transcript still has them)\n"
    "  --eol E        what Enter sends and the line end after each piped line: cr (default),\n"
    "                 lf, crlf, or none (piped lines only; Enter then sends CR)\n"
    "  --backspace K  what Backspace sends: bs (8, default) or del (127, as before)\n"
    "  --wait MS      how long to wait for replies after each piped line (default 300)\n"
    "  --timestamps   each received line starts with the local time, [hh:mm:ss.mmm], and\n"
    "                 never shares its line with sent text; the lines saying the port went\n"
    "                 away and came back carry the time too; --timestamps=delta with the\n"
    "                 time since the last line, [+s.mmm]\n"
    "  --hex          sent and received bytes as hex, 16 a line, \"> \" sent, \"< \" received,\n"
    "                 with their printable text beside\n"
    "  --reconnect    when the port goes away (an adapter pulled out, the controller hung\n"
    "                 up), say so and wait for the same COM port to come back, then reopen\n"
    "                 it at the same rate and go on (Ctrl-T q quits while waiting); keys\n"
    "                 typed meanwhile are held (up to 4096, said so) and sent when it is\n"
    "                 back; without it the session ends with status 1\n"
    "  --log-file P   append a plain-text transcript of the session to file P: a line per\n"
    "                 line of traffic with the date and time to the millisecond, then \">\"\n"
    "                 sent, \"<\" received or \"#\" the program's lines (besides the port log).\n"
    "                 A line the file cannot take (a full disk) is said at once on standard\n"
    "                 error; the file ends on its last whole line, the session goes on and\n"
    "                 ends with status 1\n"
    "\n"
    "{terminal-port}\n"
    "Exit status: 0 done, 1 the port or the transcript could not be opened or written, the\n"
    "port is not there, hung up (without --reconnect) or the port log could not be written\n"
    "(the session stops at once then), 2 usage error.\n";

constexpr char Escape_Key = 0x14;  // Ctrl-T
// The keys of earlier releases: they keep working for this one, with a note on first use.
constexpr char Old_Quit = 0x1d;  // Ctrl-]
constexpr char Interrupt = 0x03;
constexpr char Old_Log_Key = 0x0c;  // Ctrl-L
constexpr char Backspace = 0x08, Delete = 0x7f;
// Keys typed while the port is away wait for it up to this many; more are dropped, said so.
constexpr size_t Held_Keys_Limit = 4096;
// Sent text waits this long for its reply, to go out with it in one write: the terminal then
// wakes once, not twice, and shows the reply sooner. Well below what an eye can tell apart.
constexpr int32_t Sent_Hold_Ms = 5;

// The program's own line, on a line of its own after the traffic shown so far.
void Say(const std::string& text) {
    Serial_Echo_Terminal_Note(text.c_str());
}

// The local time to the millisecond, as received lines show it: 14:03:59.120.
std::string Clock_Now() {
    auto now = std::chrono::system_clock::now();
    std::tm tm = sys::Local_Time(std::chrono::system_clock::to_time_t(now));
    long ms =
        long(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
             1000);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return text;
}

// A key as its name reads: "q", "Ctrl-C", "DEL".
std::string Key_Name(char c) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b == Delete) return "DEL";
    if (b < 32) return std::string("Ctrl-") + char(b + 64);
    if (b >= 128) return "byte " + std::to_string(b);
    return std::string(1, c);
}

struct Session {
    int32_t handle = 0;
    int32_t poller = 0;
    int32_t number = 0;
    int32_t baud = 57600;
    bool reconnect = false;
    // Read end of the pipe the library writes to when the poller ends, the log stops or the
    // transcript cannot be written: with the input it is all the session waits on, so it
    // sleeps until something happens.
    int watch = -1;
    bool log = false;
    bool colour = false;
    bool crlf = false;
    bool log_failed = false;
    // The echo's options as they stand (the escape key's h, t and e change them), and the
    // transcript's descriptor and name.
    int32_t flags = 0;
    int32_t stamp_kind = KDX_ECHO_TIMESTAMPS;  // what t switches on
    int copy_fd = -1;
    std::string copy_path;
    bool copy_failed = false;
    // Keys: what Enter and Backspace send, the escape key's state, the old keys noted.
    std::string enter = "\r";
    bool backspace_del = false;
    bool escape = false;
    bool noted[3] = {false, false, false};
    // Keys typed while the port is away, and how many of them did not fit.
    std::string held;
    size_t dropped = 0;

    std::string Port() const { return "COM" + std::to_string(number); }

    // A line about the port coming and going, with its time when received lines carry one.
    void Say_Stamped(const std::string& text) {
        Say(flags & (KDX_ECHO_TIMESTAMPS | KDX_ECHO_TIMESTAMPS_DELTA)
                ? "[" + Clock_Now() + "] " + text
                : text);
    }

    // A port log that could not be opened or stopped on a line it could not write: said
    // once, and the session ends with status 1 (traffic would go unlogged).
    bool Log_Failed() {
        std::string why = Port_Log_Error();
        if (!why.empty() && !log_failed) Say("[" + why + "]");
        log_failed = log_failed || !why.empty();
        return log_failed;
    }

    // A transcript line the file could not take: said at once on standard error; the
    // session goes on and ends with status 1.
    void Check_Copy() {
        if (copy_fd < 0 || copy_failed) return;
        std::string why = Serial_Echo_Terminal_Copy_Error();
        if (why.empty()) return;
        copy_failed = true;
        Serial_Echo_Terminal_Flush(1);
        Say("");
        std::fprintf(stderr,
                     "kdx-cli terminal: the transcript %s could not be written: %s; it ends on "
                     "its last whole line, the session goes on\n",
                     copy_path.c_str(), why.c_str());
        std::fflush(stderr);
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

    void Set_Flag(int32_t flag, bool on) {
        flags = on ? flags | flag : flags & ~flag;
        Serial_Echo_Terminal_Flush(1);
        Serial_Echo_Terminal_Options(flags, copy_fd);
    }

    void Send(const std::string& text) { Serial_Port_Write(&handle, text.c_str(), nullptr); }

    // Sends the keys collected (held while the port is away) and empties text.
    void Put(std::string& text) {
        if (text.empty()) return;
        if (handle != 0) {
            Send(text);
        } else {
            if (held.empty() && dropped == 0)
                Say("[" + Port() + " is away: keys typed now are held and sent when it is back]");
            size_t room = Held_Keys_Limit - held.size();
            held += text.substr(0, room);
            if (text.size() > room) {
                if (dropped == 0)
                    Say("[more than " + std::to_string(Held_Keys_Limit) +
                        " keys held: further keys are dropped until " + Port() + " is back]");
                dropped += text.size() - room;
            }
        }
        text.clear();
    }

    // The port is back: the held keys go out, and a word on those dropped.
    void Send_Held() {
        if (!held.empty()) {
            Say("[sending the " + std::to_string(held.size()) + " keys held while " + Port() +
                " was away]");
            Send(held);
        }
        if (dropped > 0)
            Say("[" + std::to_string(dropped) + " keys typed while " + Port() +
                " was away were dropped]");
        held.clear();
        dropped = 0;
    }

    // Starts the open port's poller and enters it as the open port.
    void Start() {
        poller = Serial_Port_Poller_Start(handle);
        KDX_Serial_Port_State state{};
        state.Handle = handle;
        state.Number = number;
        std::snprintf(state.Name, sizeof state.Name, "%.5s", Port().c_str());
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
    // from it: the caller asks the poller, the log and the transcript after.
    int Wait(int in, int ms) {
        int r = sys::Wait_Input(watch, in, ms);
        Check_Copy();
        return r;
    }

  private:
    int watch_write = -1;
};

// The escape key's commands, for Ctrl-T ?.
void Say_Commands() {
    Say("[Ctrl-T then:  ? this list   q quit   l port log on/off   h hex view on/off]");
    Say("[  t timestamps on/off   e show/hide sent keys   c clear the screen   b send a break]");
    Say("[  n Enter sends CR, LF or CR LF in turn   Ctrl-T, Ctrl-C, Ctrl-L, Ctrl-] send that key]");
}

// Ctrl-T then c: the screen cleared, where there is one.
void Clear_Screen() {
    Serial_Echo_Terminal_Flush(1);
    if (!isatty(STDOUT_FILENO)) {
        Say("[the output is no terminal: nothing to clear]");
        return;
    }
    Say("");
    const char clear[] = "\x1b[H\x1b[2J\x1b[3J";
    [[maybe_unused]] ssize_t n = write(STDOUT_FILENO, clear, sizeof clear - 1);
}

void Send_Break(Session& s) {
    if (s.handle == 0) {
        Say("[" + s.Port() + " is away: no break sent]");
        return;
    }
    Serial_Echo_Terminal_Flush(1);
    Say(Serial_Port_Break(&s.handle)
            ? "[break sent]"
            : "[this line cannot send a break: " + std::string(Serial_Port_Break_Failure()) + "]");
}

// The key after Ctrl-T; false to quit. text holds keys not yet sent.
bool Escape_Command(Session& s, char c, std::string& text) {
    switch (c) {
        case Escape_Key:
        case Interrupt:
        case Old_Log_Key:
        case Old_Quit:
            text += c;
            return true;
        case 'q':
        case 'Q':
            return false;
        default:
            break;
    }
    // The others act at once, after the keys before them.
    s.Put(text);
    switch (c) {
        case '?':
            Say_Commands();
            break;
        case 'l':
            s.Switch_Log();
            break;
        case 'h':
            s.Set_Flag(KDX_ECHO_HEX, !(s.flags & KDX_ECHO_HEX));
            Say(s.flags & KDX_ECHO_HEX ? "[hex view on]" : "[hex view off]");
            break;
        case 't': {
            bool on = !(s.flags & (KDX_ECHO_TIMESTAMPS | KDX_ECHO_TIMESTAMPS_DELTA));
            s.Set_Flag(KDX_ECHO_TIMESTAMPS | KDX_ECHO_TIMESTAMPS_DELTA, false);
            if (on) s.Set_Flag(s.stamp_kind, true);
            Say(on ? "[timestamps on]" : "[timestamps off]");
            break;
        }
        case 'e':
            s.Set_Flag(KDX_ECHO_HIDE_SENT, !(s.flags & KDX_ECHO_HIDE_SENT));
            Say(s.flags & KDX_ECHO_HIDE_SENT ? "[sent keys hidden]" : "[sent keys shown]");
            break;
        case 'c':
            Clear_Screen();
            break;
        case 'b':
            Send_Break(s);
            break;
        case 'n':
            s.enter = s.enter == "\r" ? "\n" : s.enter == "\n" ? "\r\n" : "\r";
            Say(s.enter == "\r"   ? "[Enter sends CR]"
                : s.enter == "\n" ? "[Enter sends LF]"
                                  : "[Enter sends CR LF]");
            break;
        default:
            Say("[Ctrl-T " + Key_Name(c) + ": no such command; Ctrl-T ? lists them]");
            break;
    }
    return true;
}

// One key as typed; false to quit. text collects what goes to the line.
bool Take_Key(Session& s, char c, std::string& text) {
    if (s.escape) {
        s.escape = false;
        return Escape_Command(s, c, text);
    }
    if (c == Escape_Key) {
        s.escape = true;
        return true;
    }
    if (c == Old_Quit || c == Interrupt || c == Old_Log_Key) {
        int which = c == Old_Quit ? 0 : c == Interrupt ? 1 : 2;
        s.Put(text);
        if (!s.noted[which]) {
            s.noted[which] = true;
            const std::string key = Key_Name(c);
            Say(which == 2
                    ? "[" + key +
                          " switches the port log in this release only: Ctrl-T l does "
                          "it, and Ctrl-T " +
                          key + " sends " + key + "]"
                    : "[" + key + " quits in this release only: Ctrl-T q quits, and Ctrl-T " + key +
                          " sends " + key + "]");
        }
        if (which != 2) return false;
        s.Switch_Log();
        return true;
    }
    if (c == '\r')
        text += s.enter;
    else if (c == Delete && !s.backspace_del)
        text += Backspace;
    else if (c != '\0')  // a zero byte would end the command text
        text += c;
    return true;
}

void On_Device_Change(int32_t, const char*, const char*, void* user) {
    static_cast<Session*>(user)->Wake();
}

// The port went away: says so and waits for the same COM port to come back, then reopens it
// at the same rate, its poller started and the port log left as it was. Waits on device
// changes (and tries once a second besides, as a link can appear a moment after its event);
// interactive, the keys typed meanwhile are held for the port (the quit keys end the wait).
// False when the session is to end.
bool Reconnect(Session& s, bool interactive) {
    const std::string port = s.Port();
    Serial_Port_Close(&s.handle);
    KDX_Serial_Port_State none{};
    Serial_Port_State_Set(&none);
    s.Say_Stamped("[" + port + " went away: waiting for it to come back" +
                  (interactive ? ", Ctrl-T q quits]" : "]"));
    int32_t watcher = Serial_Port_Watch_Start(On_Device_Change, &s);
    bool back = false, quit = false;
    while (!quit) {
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
            if (n <= 0) break;
            std::string text;
            for (int i = 0; i < n && !quit; ++i) quit = !Take_Key(s, keys[i], text);
            s.Put(text);
        }
    }
    if (watcher != 0) Serial_Port_Watch_Stop(watcher);
    if (!back) return false;
    s.Start();
    s.Say_Stamped("[" + port + " is back: reopened at " + std::to_string(s.baud) + " baud]");
    s.Send_Held();
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
    Say("Keys go to the controller as typed.  Ctrl-T ? lists the commands   Ctrl-T q quit");
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
            for (int i = 0; i < n && !quit; ++i) quit = !Take_Key(s, keys[i], text);
            // Keys that arrive together (a paste) go out as one write, as typed.
            s.Put(text);
            // Quitting when the port has just gone is a quit, not a wait for it.
            if (quit && (s.reconnect || Serial_Port_Poller_Running(s.poller))) break;
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
    constexpr const char* Me = "terminal";
    std::string port;
    int32_t baud = 57600;
    bool log = false, plain = false, reconnect = false, no_echo = false, backspace_del = false;
    int32_t flags = KDX_ECHO_OWN_LINES;
    std::string eol = "\r", log_file;
    int wait_ms = 300;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        // An option's value: the next word, or after "=" in the same one.
        std::string name = a.substr(0, a.find('=')), value;
        auto take = [&] {
            if (a.find('=') != std::string::npos) {
                value = a.substr(a.find('=') + 1);
                return true;
            }
            if (i + 1 == args.size()) return false;
            value = args[++i];
            return true;
        };
        const char* what = name == "--baud"        ? "RATE"
                           : name == "--eol"       ? "cr, lf, crlf or none"
                           : name == "--wait"      ? "MS"
                           : name == "--log-file"  ? "PATH"
                           : name == "--backspace" ? "bs or del"
                                                   : nullptr;
        if (what && !take()) return Missing(Me, what, name);
        if (name == "--baud") {
            if (!Parse_Baud(value, baud))
                return Usage_Error(Me, "bad baud rate " + Printable(value, 80));
        } else if (a == "--log") {
            log = true;
        } else if (a == "--plain") {
            plain = true;
        } else if (a == "--no-echo") {
            no_echo = true;
        } else if (a == "--timestamps" || a == "--timestamps=time") {
            flags |= KDX_ECHO_TIMESTAMPS;
        } else if (a == "--timestamps=delta") {
            flags |= KDX_ECHO_TIMESTAMPS_DELTA;
        } else if (a == "--hex") {
            flags |= KDX_ECHO_HEX;
        } else if (a == "--reconnect") {
            reconnect = true;
        } else if (name == "--log-file") {
            if (value.empty()) return Missing(Me, "PATH", name);
            log_file = value;
        } else if (name == "--backspace") {
            if (value != "bs" && value != "del")
                return Usage_Error(Me, "--backspace takes bs or del, not " + Printable(value, 80));
            backspace_del = value == "del";
        } else if (name == "--eol") {
            if (value == "cr")
                eol = "\r";
            else if (value == "lf")
                eol = "\n";
            else if (value == "crlf")
                eol = "\r\n";
            else if (value == "none")
                eol = "";
            else
                return Usage_Error(Me,
                                   "--eol takes cr, lf, crlf or none, not " + Printable(value, 80));
        } else if (name == "--wait") {
            // A negative wait would become a sleep of over an hour after every line.
            long ms = 0;
            if (!Parse_Number(value, 0, 600000, ms))
                return Usage_Error(Me, "bad wait " + Printable(value, 80) + " (0 to 600000 ms)");
            wait_ms = int(ms);
        } else if (port.empty() && !(a.size() > 1 && a[0] == '-')) {
            port = a;
        } else {
            return Unknown_Argument(Me, a);
        }
    }
    // COM<n>, the number alone, or the device's path.
    int32_t number = 0;
    if (int code = Take_Port(Me, port, number, true)) return code;
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
    s.backspace_del = backspace_del;
    if (interactive && !eol.empty()) s.enter = eol;
    // Without colour, sent text stands on lines of its own, marked.
    s.flags = flags | (s.colour ? 0 : KDX_ECHO_MARK_SENT) | (no_echo ? KDX_ECHO_HIDE_SENT : 0);
    if (flags & KDX_ECHO_TIMESTAMPS_DELTA) s.stamp_kind = KDX_ECHO_TIMESTAMPS_DELTA;
    s.copy_fd = copy_fd;
    s.copy_path = log_file;
    Serial_Echo_Terminal(STDOUT_FILENO, s.colour ? 1 : 0, s.crlf ? 1 : 0);
    Serial_Echo_Terminal_Hold(Sent_Hold_Ms);
    Serial_Echo_Terminal_Options(s.flags, copy_fd);
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
    s.Check_Copy();
    s.Unwatch();
    Serial_Echo_Terminal(-1, 0, 0);
    if (copy_fd >= 0) close(copy_fd);
    return s.copy_failed ? 1 : status;
}

const Subcommand_Registration Registration({"terminal",
                                            "interactive serial terminal on COM<n>, traffic "
                                            "echoed in colour",
                                            Help, Run});

}  // namespace
}  // namespace kdx::cli
