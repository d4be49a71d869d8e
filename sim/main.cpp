// kdx-sim: a simulated KDX controller on a pseudo-terminal registered as COM<n>.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/ports_dir.h"
#include "platform/stop_signals.h"
#include "sim/sim.h"

namespace {

const char* const kHelp =
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
    "\n"
    "Faults:\n"
    "  --late MS           each reply starts MS milliseconds after its command\n"
    "  --slow MS           a pause of MS milliseconds after every reply byte\n"
    "  --pieces N[:GAP]    replies go out in pieces of N bytes, GAP ms apart (default 5)\n"
    "  --nul N             a zero byte after every N reply bytes\n"
    "  --flood BYTES       after the first reply, BYTES of text follow at once\n"
    "  --hangup-after N    hang up once N replies have gone out\n"
    "  --hangup-ms MS      hang up MS milliseconds after the start\n"
    "\n"
    "Controller model:\n"
    "  --answer-limit N    stop answering after N queries\n"
    "  --corrupt AXIS:STEP corrupt step STEP of the program stored for axis AXIS (1-4)\n"
    "  --quiet-ms MS       how long a command without terminator waits for more bytes\n"
    "                      before it is taken as it stands (default 20)\n"
    "\n"
    "The ports directory is $KDX_PORTS, else $XDG_RUNTIME_DIR/kdx/ports, else\n"
    "/tmp/kdx-<uid>/ports.\n";

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

bool Number(const char* text, int64_t& value) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno || end == text || *end || v < 0) return false;
    value = v;
    return true;
}

int Usage_Error(const char* message, const char* arg) {
    std::fprintf(stderr, "kdx-sim: %s%s\nTry kdx-sim --help.\n", message, arg ? arg : "");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    kdx::sim::Sim_Config config;
    bool register_port = true;
    int32_t port = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
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
        if (i + 1 >= argc) return Usage_Error("missing value for ", argv[i]);
        const char* v = argv[++i];
        int64_t n = 0;
        if (a == "--greeting") {
            config.greeting = Unescape(v);
            continue;
        }
        if (a == "--pieces") {
            std::string s = v;
            size_t colon = s.find(':');
            int64_t gap = config.piece_gap_ms;
            if (!Number(s.substr(0, colon).c_str(), n) || n == 0 ||
                (colon != std::string::npos && !Number(s.substr(colon + 1).c_str(), gap)))
                return Usage_Error("bad --pieces value ", v);
            config.piece_size = int32_t(n);
            config.piece_gap_ms = int32_t(gap);
            continue;
        }
        if (a == "--corrupt") {
            std::string s = v;
            size_t colon = s.find(':');
            int64_t axis = 0, step = 0;
            if (colon == std::string::npos || !Number(s.substr(0, colon).c_str(), axis) ||
                !Number(s.substr(colon + 1).c_str(), step) || axis < 1 || axis > 4 || step < 1)
                return Usage_Error("bad --corrupt value ", v);
            config.model.corrupt_axis = int32_t(axis);
            config.model.corrupt_step = int32_t(step);
            continue;
        }
        if (!Number(v, n) || n > 0x7fffffff) return Usage_Error("bad number ", v);
        if (a == "--port" && n >= 1 && n <= 999)
            port = int32_t(n);
        else if (a == "--baud" && n > 0)
            config.baud = uint32_t(n);
        else if (a == "--late")
            config.late_ms = int32_t(n);
        else if (a == "--slow")
            config.slow_ms = int32_t(n);
        else if (a == "--nul")
            config.nul_every = int32_t(n);
        else if (a == "--flood")
            config.flood_bytes = n;
        else if (a == "--hangup-after")
            config.hangup_after = int32_t(n);
        else if (a == "--hangup-ms")
            config.hangup_ms = int32_t(n);
        else if (a == "--answer-limit")
            config.model.answer_limit = int32_t(n);
        else if (a == "--quiet-ms")
            config.model.quiet_ms = int32_t(n);
        else
            return Usage_Error("unknown option or bad value: ", argv[i - 1]);
    }
    // An entry whose device is gone (a simulator that was killed) is free again.
    auto taken = [](int32_t n) {
        std::string device = kdx::platform::Ports_Dir_Device(n);
        return !device.empty() && kdx::platform::File_Exists(device);
    };
    if (register_port) {
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
        std::fprintf(stderr, "kdx-sim: cannot start: error %u %s\n", code,
                     kdx::platform::System_Message(code).c_str());
        return 1;
    }
    if (register_port)
        std::printf("COM%d %s %u\n", port, sim.Device().c_str(), config.baud);
    else
        std::printf("- %s %u\n", sim.Device().c_str(), config.baud);
    std::fflush(stdout);

    for (;;) {
        if (kdx::platform::Wait_Stop_Signal(200)) break;
        if (sim.Hung_Up()) {
            std::fprintf(stderr, "kdx-sim: hung up\n");
            break;
        }
    }
    sim.Stop();
    return 0;
}
