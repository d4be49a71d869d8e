// kdx-cli identify: make the controller show itself by going on and off line at every rate.
#include "cli/cli.h"
#include "cli/protocol_port.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli identify COM<n> [--baud B] [--quiet]\n"
    "\n"
    "Makes the controller on COM<n> show itself: three times, sends \"F,\" (on line) at\n"
    "57600, 9600, 38400 and 19200 baud, waits 32 ms, then \"Q,\" (off line) at the same\n"
    "rates, so the controller hears it at whichever rate it listens. The port goes back\n"
    "to its own rate and the controller is left off line. Nothing is read.\n"
    "\n"
    "Options:\n" KDX_CLI_PORT_OPTIONS
    "\n"
    "Exit status: 0 done, 1 the port could not be opened, 2 usage error.\n";

int Run(const std::vector<std::string>& args) {
    Port_Args a;
    if (int code = Parse_Port_Args("identify", args, {}, a)) return code;
    {
        Open_Port port("identify", a);
        if (!port.Ok()) return 1;
        KDX_Identify();
    }
    std::printf("Identify: on line and off line three times at 57600, 9600, 38400, 19200 baud\n");
    return 0;
}

const Subcommand_Registration Registration({"identify",
                                            "make the controller show itself (on/off line "
                                            "at every rate)",
                                            Help, Run});

}  // namespace
}  // namespace kdx::cli
