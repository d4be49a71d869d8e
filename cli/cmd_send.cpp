// kdx-cli send: send a file to the controller as the program's "Send to Device" command does.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/protocol_port.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli send COM<n> FILE [--baud B] [--quiet]\n"
    "\n"
    "Sends FILE to the controller. A program file (extension .KDX in any case, stored\n"
    "scrambled, see kdx-cli program) goes out command by command at the controller's\n"
    "pace: each field with a \",\", 100 ms after each (5 s and then \"F,\" after \"res,\"),\n"
    "an EOT status line and 100 ms after each line, then \"Transmission Complete\". Text\n"
    "after \";\" is a comment; blanks separate fields like commas. Any other file goes out\n"
    "raw, every byte in one write. Progress is shown on standard error; Ctrl-C stops after\n"
    "the current command (\"Transmission Stopped\").\n"
    "\n"
    "Options:\n" KDX_CLI_PORT_OPTIONS
    "\n"
    "Environment: KDX_SEND_PACE_PERCENT scales every pause (a test switch, default 100).\n"
    "\n"
    "Exit status: 0 sent, 1 the port could not be opened, FILE could not be read, the\n"
    "sending was stopped, or the port hung up or stopped taking bytes part-way (the\n"
    "message says at which command and how many bytes the line took), 2 usage error. A\n"
    "send is complete only once the line has taken every byte: what the driver still holds\n"
    "at the end is waited for, and a line that takes no byte for 5 s fails the send.\n";

struct Progress_Line {
    bool tty = false;
    int64_t shown = -1;  // the last tenth printed when standard error is no terminal
};

void Show_Progress(const char* operation, const char* item, int64_t done, int64_t total,
                   void* user) {
    auto* line = static_cast<Progress_Line*>(user);
    if (line->tty) {
        std::fprintf(stderr, "\r\x1b[K%s: %lld/%lld %s", operation, static_cast<long long>(done),
                     static_cast<long long>(total), Printable(item).c_str());
        if (done == total && !*item) std::fputc('\n', stderr);
        return;
    }
    // Into a log: a line per tenth, and the end.
    int64_t tenth = total > 0 ? done * 10 / total : 10;
    if (tenth == line->shown) return;
    line->shown = tenth;
    std::fprintf(stderr, "%s: %lld/%lld\n", operation, static_cast<long long>(done),
                 static_cast<long long>(total));
}

void Stop_Sending(int) {
    KDX_Request_Stop();
}

int Run(const std::vector<std::string>& args) {
    Port_Args a;
    if (int code = Parse_Port_Args("send", args, {"FILE"}, a)) return code;
    const std::string& file = a.words[0];
    if (int code = Check_Input_File("send", file)) return code;
    Progress_Line line;
    line.tty = isatty(STDERR_FILENO);
    int32_t result;
    {
        Open_Port port("send", a);
        if (!port.Ok()) return 1;
        // As in the Terminal, the receive poller shows what the controller says unasked.
        KDX_Serial_Port_State state{};
        Serial_Port_State_Get(&state);
        state.Poller = Serial_Port_Poller_Start(state.Handle);
        Serial_Port_State_Set(&state);
        KDX_Set_Progress_Callback(Show_Progress, &line);
        auto previous = std::signal(SIGINT, Stop_Sending);
        result = KDX_Send_File(file.c_str());
        std::signal(SIGINT, previous);
        KDX_Set_Progress_Callback(nullptr, nullptr);
        if (result < 0) {
            // Said before the port closes: the close of a line that stopped reading can take
            // seconds of its own. The progress line ends first; the message says how far it
            // got.
            if (result == -2 && line.tty) std::fputc('\n', stderr);
            std::fprintf(stderr, "kdx-cli send: %s\n", KDX_Send_Failure());
            std::fflush(stderr);
        }
    }
    if (result < 0) return 1;
    if (result == 0) {
        std::fprintf(stderr, "kdx-cli send: stopped before the end of %s\n", file.c_str());
        return 1;
    }
    return 0;
}

const Subcommand_Registration Registration({"send", "send a program file or a raw file", Help,
                                            Run});

}  // namespace
}  // namespace kdx::cli
