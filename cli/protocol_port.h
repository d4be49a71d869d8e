// What the controller commands of kdx-cli share: their arguments (COM<n>, --baud, --quiet and
// the command's own words), and the open port with its record filled and its traffic echoed.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/port_names.h"
#include "cli/port_open.h"
#include "cli/usage.h"
#include "kdx/kdx.h"

namespace kdx::cli {

struct Port_Args {
    int32_t number = 0;
    int32_t baud = 57600;
    bool quiet = false;
    std::vector<std::string> words;  // the positional arguments after COM<n>
};

// A whole word of digits as a number from low to high. "9600x", "" and values past the range
// are refused, never cut or wrapped the way atoi would take them.
inline bool Parse_Number(const std::string& word, long low, long high, long& value) {
    if (word.empty() || word.size() > 9 ||
        word.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long v = std::strtol(word.c_str(), nullptr, 10);
    if (v < low || v > high) return false;
    value = v;
    return true;
}

// The baud rates a port takes.
inline bool Parse_Baud(const std::string& word, int32_t& baud) {
    long b = 0;
    if (!Parse_Number(word, 1, 4000000, b)) return false;
    baud = int32_t(b);
    return true;
}

// "COM<n>" (or "com<n>") with n from 1 to 999.
inline bool Parse_Com(const std::string& word, int32_t& number) {
    long n = 0;
    if (word.size() <= 3 || (word.rfind("COM", 0) != 0 && word.rfind("com", 0) != 0) ||
        !Parse_Number(word.substr(3), 1, 999, n))
        return false;
    number = int32_t(n);
    return true;
}

// A reply made safe to print: every byte outside printable ASCII shown as "<1B>" (a unit's
// escape sequences never reach the terminal); past limit characters of the reply (a flood)
// only "..." follows.
inline std::string Printable(const std::string& text, size_t limit = 240) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (i == limit) {
            out += "...";
            break;
        }
        if (c == '\r')
            out += "<CR>";
        else if (c < 32 || c >= 127) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "<%02X>", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out;
}

// The options every controller command takes, for its --help text.
// ({port-option}: the system's words, cli/system_words.h).
#define KDX_CLI_PORT_OPTIONS                    \
    "{port-option}"                             \
    "  --baud B    baud rate (default 57600)\n" \
    "  --quiet     do not show the traffic (sent cyan, status green, received yellow)\n"

// Parses the arguments, the command's own words named by words ({"AXIS"}, {"SERIAL", "ORDER"});
// on a usage error prints it and returns 2, on a port that is not there 1, else 0.
inline int Parse_Port_Args(const char* command, const std::vector<std::string>& args,
                           const std::vector<std::string>& words, Port_Args& out) {
    std::string port;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--baud") {
            if (i + 1 == args.size()) return Missing(command, "RATE", "--baud");
            const std::string& rate = args[++i];
            if (!Parse_Baud(rate, out.baud))
                return Usage_Error(command, "bad baud rate " + Printable(rate, 80));
        } else if (a == "--quiet") {
            out.quiet = true;
        } else if (a.rfind("-", 0) == 0 && a.size() > 1) {
            return Unknown_Argument(command, a);
        } else if (port.empty() &&
                   (a.rfind("COM", 0) == 0 || a.rfind("com", 0) == 0 || a.rfind("/", 0) == 0)) {
            port = a;
        } else if (out.words.size() < words.size()) {
            out.words.push_back(a);
        } else {
            return Unknown_Argument(command, a);
        }
    }
    if (port.empty())
        return out.words.empty()
                   ? Usage_Error(command, "expected the port, COM<n> or a device path")
                   : Usage_Error(command, "bad port " + Printable(out.words[0], 80) +
                                              ": give COM<n> (n from 1 to 999) or "
                                              "the device's path");
    if (out.words.size() < words.size())
        return Missing(command, words[out.words.size()],
                       out.words.empty() ? "the port" : words[out.words.size() - 1]);
    return Take_Port(command, port, out.number);
}

// The port, opened and entered as the open port, its traffic echoed on standard output;
// closed again at the end of the command.
class Open_Port {
  public:
    Open_Port(const char* command, const Port_Args& args) : quiet_(args.quiet) {
        std::fflush(stdout);
        if (!args.quiet) Serial_Echo_Terminal(STDOUT_FILENO, Colour_Wanted(STDOUT_FILENO), 0);
        handle_ = Open_Port_Explained(command, args.number, args.baud);
        if (handle_ == 0) return;
        KDX_Serial_Port_State state{};
        state.Handle = handle_;
        state.Number = args.number;
        std::snprintf(state.Name, sizeof state.Name, "%.5s",
                      ("COM" + std::to_string(args.number)).c_str());
        state.Baud = args.baud;
        Serial_Port_State_Set(&state);
    }
    ~Open_Port() {
        if (handle_ != 0) Serial_Port_Close(&handle_);
        KDX_Serial_Port_State state{};
        Serial_Port_State_Set(&state);
        Serial_Echo_Terminal(-1, 0, 0);
        // The echo shows text without a final line break; results start on their own line.
        if (!quiet_) std::printf("\n");
    }
    Open_Port(const Open_Port&) = delete;
    Open_Port& operator=(const Open_Port&) = delete;

    bool Ok() const { return handle_ != 0; }
    int32_t* Handle() { return &handle_; }

  private:
    bool quiet_;
    int32_t handle_ = 0;
};

// True when a reply field reads as an answer (the library's rule, as the window marks fields):
// not empty, no control character (a flood's line ends, a second reply run in) and no "?" (a
// command not understood), with digits_only nothing but digits.
inline bool Clean_Field(const std::string& text, bool digits_only = false) {
    return KDX_Answer_Clean(text.c_str(), digits_only ? 1 : 0) != 0;
}

// Takes a flag word out of args; true when it was there.
inline bool Take_Flag(std::vector<std::string>& args, const char* flag) {
    bool found = false;
    for (auto it = args.begin(); it != args.end();)
        if (*it == flag) {
            found = true;
            it = args.erase(it);
        } else {
            ++it;
        }
    return found;
}

// A device getter's text without its final CR.
inline std::string Field(const char* text) {
    std::string t = text ? text : "";
    if (!t.empty() && t.back() == '\r') t.pop_back();
    return t;
}

}  // namespace kdx::cli
