// kdx-sim: a simulated KDX controller on a pseudo-terminal registered as COM<n>.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kdx_version.h"
#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/stop_signals.h"
#include "platform/ports/ports_dir.h"
#include "sim/sim.h"

namespace {

const char* const Help =
    "Usage: kdx-sim [options]\n"
    "\n"
    "A simulated KDX controller. It opens a pseudo-terminal, registers it in the ports\n"
    "directory as COM<n> (so kdx-cli and the configurator open it like any port), prints\n"
    "one line \"COM<n> <device> <baud>\", and answers until it is interrupted or hangs up.\n"
    "The registration is removed on exit. It listens and answers only while the program on\n"
    "the other end has set the line to the controller's own baud rate.\n"
    "\n"
    "Line:\n"
    "  --port N            register as COM<N> (default: the lowest free number from 5;\n"
    "                      an entry whose device is gone counts as free)\n"
    "  --no-register       do not register; use the printed device path\n"
    "  --baud B            the controller's own baud rate (default 57600)\n"
    "  --wire              hold each reply byte for its time on the wire at that rate\n"
    "                      (10 bits a byte)\n"
    "  --greeting TEXT     send TEXT at once, before any program opens the port\n"
    "                      (escapes \\r \\n \\t \\\\ \\xHH)\n"
    "  --link PATH         also make PATH a link to the line (removed on exit), the line\n"
    "                      the controlling terminal of a session of its own (for Wine's\n"
    "                      dosdevices/com<n>)\n"
    "  --control DIR       steered through files in DIR (see below)\n"
    "\n"
    "Faults:\n"
    "  --late MS           each reply starts MS milliseconds after its command\n"
    "  --late-replies N    only the first N replies are late (a unit slow to wake)\n"
    "  --slow MS           a pause of MS milliseconds after every reply byte\n"
    "  --pieces N[:GAP]    replies go out in pieces of N bytes, GAP ms apart (default 5)\n"
    "  --nul N             a zero byte after every N reply bytes\n"
    "  --flood BYTES       after the first reply, BYTES of text follow at once\n"
    "  --hangup-after N    hang up once N replies have gone out\n"
    "  --hangup-ms MS      hang up MS milliseconds after the start\n"
    "  --hangup-after-bytes N  hang up once N bytes have been received\n"
    "  --stall-after-bytes N   stop reading the line once N bytes have been received\n"
    "\n"
    "Controller model:\n"
    "  --answer-limit N    stop answering after N queries\n"
    "  --corrupt AXIS:STEP corrupt step STEP of the program stored for axis AXIS (1-4)\n"
    "  --quiet-ms MS       a command without terminator is taken as it stands once the\n"
    "                      line has been quiet for MS (default: never; a command ends at\n"
    "                      its comma, CR or its own end, however slowly it is typed)\n"
    "  --axes N            the controller has axes 1 to N (default 4)\n"
    "  --serial TEXT       the serial number it stores at the start (escapes as for\n"
    "                      --greeting): a unit answering with escapes, formulas or a\n"
    "                      300-character serial\n"
    "  --order TEXT        the order number it stores at the start (escapes likewise)\n"
    "\n"
    "Other:\n"
    "  --help              show this text and exit\n"
    "  --version           show the version and the commit it was built from, and exit\n"
    "\n"
    "The ports directory is $KDX_PORTS, else $XDG_RUNTIME_DIR/kdx/ports, else\n"
    "/tmp/kdx-<uid>/ports.\n"
    "\n"
    "With --control DIR (for a program that cannot read this one's output):\n"
    "DIR/ready holds the line printed at the start; DIR/state is rewritten at every\n"
    "change: a line \"SENT DROPPED REPLIES HUNG-UP(0/1)\", then every byte received.\n"
    "Each DIR/command-<k> (k = 1, 2, ...) is carried out and answered by DIR/done-<k>\n"
    "once the state after it is written: \"send HEX\", \"flood BYTES\", \"hangup\",\n"
    "\"stop\" or \"sync\" (nothing else). DIR/ended is written last.\n";

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < text.size()) {
            out += char(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

// A whole decimal number from min to max; no sign, no trailing text, no wrap-around.
bool Number(const std::string& text, int64_t min, int64_t max, int64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end || v < min || v > max) return false;
    value = v;
    return true;
}

int Usage_Error(const std::string& message) {
    std::fprintf(stderr, "kdx-sim: %s\nTry kdx-sim --help.\n", message.c_str());
    return 2;
}

constexpr int64_t Int32_Max = 0x7fffffff;

// The switches that take one number, with the range each accepts.
struct Number_Switch {
    const char* name;
    int64_t min, max;
    std::function<void(kdx::sim::Sim_Config&, int64_t)> set;
};

const std::vector<Number_Switch>& Number_Switches() {
    using C = kdx::sim::Sim_Config;
    static const std::vector<Number_Switch> Table = {
        {"--baud", 1, 4000000, [](C& c, int64_t n) { c.baud = uint32_t(n); }},
        {"--late", 0, Int32_Max, [](C& c, int64_t n) { c.late_ms = int32_t(n); }},
        {"--late-replies", 0, Int32_Max, [](C& c, int64_t n) { c.late_replies = int32_t(n); }},
        {"--slow", 0, Int32_Max, [](C& c, int64_t n) { c.slow_ms = int32_t(n); }},
        {"--nul", 0, Int32_Max, [](C& c, int64_t n) { c.nul_every = int32_t(n); }},
        // A flood is built as one text: a gigabyte is far past any test's need.
        {"--flood", 0, int64_t(1) << 30, [](C& c, int64_t n) { c.flood_bytes = n; }},
        {"--hangup-after", 0, Int32_Max, [](C& c, int64_t n) { c.hangup_after = int32_t(n); }},
        {"--hangup-ms", 0, Int32_Max, [](C& c, int64_t n) { c.hangup_ms = int32_t(n); }},
        {"--hangup-after-bytes", 0, int64_t(1) << 40,
         [](C& c, int64_t n) { c.hangup_after_bytes = n; }},
        {"--stall-after-bytes", 0, int64_t(1) << 40,
         [](C& c, int64_t n) { c.stall_after_bytes = n; }},
        {"--answer-limit", 0, Int32_Max,
         [](C& c, int64_t n) { c.model.answer_limit = int32_t(n); }},
        {"--quiet-ms", 0, Int32_Max, [](C& c, int64_t n) { c.model.quiet_ms = int32_t(n); }},
        {"--axes", 1, 4, [](C& c, int64_t n) { c.model.axes = int32_t(n); }},
    };
    return Table;
}

// "N:M" with both numbers in range (M optional where optional_second).
bool Number_Pair(const std::string& text, int64_t min1, int64_t max1, int64_t min2, int64_t max2,
                 bool optional_second, int64_t& first, int64_t& second) {
    size_t colon = text.find(':');
    if (colon == std::string::npos && !optional_second) return false;
    if (!Number(text.substr(0, colon), min1, max1, first)) return false;
    return colon == std::string::npos || Number(text.substr(colon + 1), min2, max2, second);
}

// The state a controlling program reads (see --control): counts, then what was received.
std::string Control_State(const kdx::sim::Simulator& sim) {
    return std::to_string(sim.Sent()) + " " + std::to_string(sim.Dropped()) + " " +
           std::to_string(sim.Replies()) + " " + (sim.Hung_Up() ? "1" : "0") + "\n" +
           sim.Received();
}

std::string From_Hex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += char(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

// Carries out the control folder's next commands, adding each one's number to done (answered
// once the state written after them is there); false once told to stop.
bool Take_Commands(kdx::sim::Simulator& sim, const std::string& dir, int& next,
                   std::vector<std::string>& done) {
    for (;;) {
        std::string path = dir + "/command-" + std::to_string(next), command;
        if (!kdx::platform::Read_Whole_File(path, command)) return true;
        while (!command.empty() && (command.back() == '\n' || command.back() == '\r'))
            command.pop_back();
        std::string word = command.substr(0, command.find(' '));
        std::string arg = command.size() > word.size() ? command.substr(word.size() + 1) : "";
        if (word == "send") sim.Send(From_Hex(arg));
        if (word == "flood") sim.Flood(std::strtoll(arg.c_str(), nullptr, 10));
        if (word == "hangup") sim.Hang_Up();
        if (word != "send" && word != "flood" && word != "hangup" && word != "stop" &&
            word != "sync")
            std::fprintf(stderr, "kdx-sim: unknown control command %s (in %s)\n", word.c_str(),
                         path.c_str());
        done.push_back(std::to_string(next));
        ++next;
        if (word == "stop") return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    kdx::sim::Sim_Config config;
    bool register_port = true;
    int32_t port = 0;
    std::string control;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(Help, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("kdx-sim %s\n", KDX_VERSION_TEXT);
            return 0;
        }
        if (a == "--no-register") {
            register_port = false;
            continue;
        }
        if (a == "--wire") {
            config.wire_time = true;
            continue;
        }
        const Number_Switch* number = nullptr;
        for (const auto& s : Number_Switches())
            if (a == s.name) number = &s;
        bool known = number || a == "--port" || a == "--greeting" || a == "--pieces" ||
                     a == "--corrupt" || a == "--link" || a == "--control" || a == "--serial" ||
                     a == "--order";
        if (!known && a.rfind("-", 0) == 0) return Usage_Error("unknown option " + a);
        if (!known)
            return Usage_Error("unexpected argument " + a + " (kdx-sim takes options only)");
        if (i + 1 >= argc) return Usage_Error("missing value for " + a);
        const std::string v = argv[++i];
        int64_t n = 0, m = 0;
        if (a == "--greeting") {
            config.greeting = Unescape(v);
        } else if (a == "--link") {
            config.link = v;
        } else if (a == "--serial") {
            config.model.serial = Unescape(v);
        } else if (a == "--order") {
            config.model.order = Unescape(v);
        } else if (a == "--control") {
            control = v;
        } else if (a == "--port") {
            if (!Number(v, 1, 999, n)) return Usage_Error("--port takes 1 to 999, not " + v);
            port = int32_t(n);
        } else if (a == "--pieces") {
            m = config.piece_gap_ms;
            if (!Number_Pair(v, 1, Int32_Max, 0, Int32_Max, true, n, m))
                return Usage_Error("--pieces takes N[:GAP], N from 1 and GAP from 0 to " +
                                   std::to_string(Int32_Max) + ", not " + v);
            config.piece_size = int32_t(n);
            config.piece_gap_ms = int32_t(m);
        } else if (a == "--corrupt") {
            if (!Number_Pair(v, 1, 4, 1, Int32_Max, false, n, m))
                return Usage_Error("--corrupt takes AXIS:STEP, AXIS 1 to 4 and STEP from 1, not " +
                                   v);
            config.model.corrupt_axis = int32_t(n);
            config.model.corrupt_step = int32_t(m);
        } else {
            if (!Number(v, number->min, number->max, n))
                return Usage_Error(a + " takes a number from " + std::to_string(number->min) +
                                   " to " + std::to_string(number->max) + ", not " + v);
            number->set(config, n);
        }
    }
    // An entry whose device is gone (a simulator that was killed) is free again.
    auto taken = [](int32_t n) {
        std::string device = kdx::platform::Ports_Dir_Device(n);
        return !device.empty() && kdx::platform::File_Exists(device);
    };
    if (register_port) {
        // A ports folder that is not trusted is said at once, with the folder and the
        // reason; registering there would only fail with "access denied".
        std::string why = kdx::platform::Ports_Directory_Problem();
        if (!why.empty()) {
            std::fprintf(stderr,
                         "kdx-sim: cannot register the port: %s (set KDX_PORTS to a folder of "
                         "your own, or use --no-register)\n",
                         why.c_str());
            return 1;
        }
        if (port == 0) {
            port = 5;
            while (port < 999 && taken(port)) ++port;
        } else if (taken(port)) {
            std::fprintf(stderr, "kdx-sim: COM%d is already registered in %s\n", port,
                         kdx::platform::Ports_Directory().c_str());
            return 1;
        }
        config.number = port;
    }

    // Signals are waited for below, not taken by a handler, in every thread.
    kdx::platform::Block_Stop_Signals();

    kdx::sim::Simulator sim(config);
    if (!sim.Start()) {
        uint32_t code = kdx::platform::Get_Last_Error();
        std::string said = kdx::platform::System_Message_Text(code);
        std::fprintf(stderr, "kdx-sim: cannot start: %s (error %u)%s%s\n",
                     said.empty() ? "failed" : said.c_str(), code,
                     register_port ? "; the ports folder is " : "",
                     register_port ? kdx::platform::Ports_Directory().c_str() : "");
        return 1;
    }
    std::string ready = (register_port ? "COM" + std::to_string(port) : std::string("-")) + " " +
                        sim.Device() + " " + std::to_string(config.baud) + "\n";
    std::fputs(ready.c_str(), stdout);
    std::fflush(stdout);
    std::string state;
    if (!control.empty()) {
        state = Control_State(sim);
        kdx::platform::Write_Whole_File(control + "/state", state);
        kdx::platform::Write_Whole_File(control + "/ready", ready);
    }

    int next_command = 1;
    for (;;) {
        // A controlling program waits on the files: they follow the line closely.
        if (kdx::platform::Wait_Stop_Signal(control.empty() ? 200 : 2)) break;
        if (!control.empty()) {
            std::vector<std::string> done;
            bool go_on = Take_Commands(sim, control, next_command, done);
            std::string now = Control_State(sim);
            if (now != state) kdx::platform::Write_Whole_File(control + "/state", state = now);
            for (const auto& k : done) {
                kdx::platform::Write_Whole_File(control + "/done-" + k, "");
                kdx::platform::Delete_File(control + "/command-" + k);
            }
            if (!go_on) break;
        }
        if (sim.Hung_Up()) {
            std::fprintf(stderr, "kdx-sim: hung up\n");
            break;
        }
    }
    sim.Stop();
    if (!control.empty()) {
        kdx::platform::Write_Whole_File(control + "/state", Control_State(sim));
        kdx::platform::Write_Whole_File(control + "/ended", "");
    }
    return 0;
}
