// kdx-cli online / offline: switch the controller on line (with or without echo) or off line.
#include "cli/cli.h"
#include "cli/protocol_port.h"

namespace kdx::cli {
namespace {

const char* const Online_Help =
    "Usage: kdx-cli online COM<n> [--echo] [--baud B] [--quiet]\n"
    "\n"
    "Puts the controller on line: sends \"F,\" (the controller does not echo what it\n"
    "receives) or, with --echo, \"E,\" (it echoes what it receives). No reply is read.\n"
    "\n"
    "Options:\n"
    "  --echo      on line with echo\n" KDX_CLI_PORT_OPTIONS
    "\n"
    "Exit status: 0 sent, 1 the port could not be opened, 2 usage error.\n";

const char* const Offline_Help =
    "Usage: kdx-cli offline COM<n> [--baud B] [--quiet]\n"
    "\n"
    "Puts the controller off line (jog/slew mode): sends \"Q,\". No reply is read.\n"
    "\n"
    "Options:\n" KDX_CLI_PORT_OPTIONS
    "\n"
    "Exit status: 0 sent, 1 the port could not be opened, 2 usage error.\n";

int Send_Mode(const char* command, std::vector<std::string> args, bool online) {
    bool echo = online && Take_Flag(args, "--echo");
    Port_Args a;
    if (int code = Parse_Port_Args(command, args, {}, a)) return code;
    std::string sent;
    {
        Open_Port port(command, a);
        if (!port.Ok()) return 1;
        sent = !online ? KDX_Offline(port.Handle())
               : echo  ? KDX_Online_Echo_On(port.Handle())
                       : KDX_Online_Echo_Off(port.Handle());
    }
    std::printf("Sent: %s\n", sent.c_str());
    return sent.empty() ? 1 : 0;
}

int Online(const std::vector<std::string>& args) {
    return Send_Mode("online", args, true);
}

int Offline(const std::vector<std::string>& args) {
    return Send_Mode("offline", args, false);
}

const Subcommand_Registration Online_Registration({"online",
                                                   "put the controller on line (F, or E,)",
                                                   Online_Help, Online});
const Subcommand_Registration Offline_Registration({"offline", "put the controller off line (Q,)",
                                                    Offline_Help, Offline});

}  // namespace
}  // namespace kdx::cli
