// kdx-cli commo-test: 1000 status queries, each of which must be answered.
#include "cli/cli.h"
#include "cli/protocol_port.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli commo-test COM<n> [--baud B] [--quiet]\n"
    "\n"
    "Communication test: sends the status query \"V\" 1000 times, waiting up to 100 ms\n"
    "for each reply; shows a counter line per query with the letter received. The first\n"
    "query left without an answer aborts the test (\"Test Error - Aborting Test\").\n"
    "\n"
    "Options:\n" KDX_CLI_PORT_OPTIONS
    "\n"
    "Exit status: 0 passed, 1 failed or the port could not be opened, 2 usage error.\n";

int Run(const std::vector<std::string>& args) {
    Port_Args a;
    if (int code = Parse_Port_Args("commo-test", args, {}, a)) return code;
    bool passed;
    {
        Open_Port port("commo-test", a);
        if (!port.Ok()) return 1;
        KDX_Tester_USB_Commo(port.Handle());
        passed = KDX_Tester_Passed() == 1;
    }
    std::printf("Communication test %s\n", passed ? "passed" : "FAILED");
    return passed ? 0 : 1;
}

const Subcommand_Registration Registration({"commo-test", "communication test: 1000 status queries",
                                            Help, Run});

}  // namespace
}  // namespace kdx::cli
