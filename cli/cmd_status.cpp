// kdx-cli status: the controller's status letter and its meaning.
#include "cli/cli.h"
#include "cli/protocol_port.h"
#include "cli/text_forms.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli status COM<n> [--baud B] [--quiet] [--json]\n"
    "\n"
    "Sends the status query \"V\" and prints the controller's status letter with its\n"
    "meaning: R Ready, B Online Busy, b Offline Busy, J Jog, F Fault; \"No Response\" when\n"
    "nothing arrives within 50 ms.\n"
    "\n"
    "Options:\n" KDX_CLI_PORT_OPTIONS
    "  --json      one JSON object on standard output instead (no traffic shown):\n"
    "              {\"port\":\"COM5\",\"reply\":\"R\",\"status\":\"Ready\",\"letter\":true}\n"
    "\n"
    "Exit status: 0 the controller answered with one of these letters, 1 no answer, any\n"
    "other reply (left-over text, a flood) or the port could not be opened, 2 usage error.\n";

int Run(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    const bool json = Take_Flag(args, "--json");
    Port_Args a;
    if (int code = Parse_Port_Args("status", args, {}, a)) return code;
    a.quiet = a.quiet || json;
    std::string reply;
    {
        Open_Port port("status", a);
        if (!port.Ok()) return 1;
        reply = KDX_Verify_Status(port.Handle());
    }
    // A status letter is a reply the table gives a meaning; anything else means itself.
    std::string meaning = KDX_Status_Meaning(reply.c_str());
    bool letter = !reply.empty() && meaning != reply;
    if (json) {
        std::printf("{\"port\":%s,\"reply\":%s,\"status\":%s,\"letter\":%s}\n",
                    Json_String("COM" + std::to_string(a.number)).c_str(),
                    Json_String(reply).c_str(),
                    letter || reply.empty() ? Json_String(meaning).c_str() : "null",
                    letter ? "true" : "false");
        return letter ? 0 : 1;
    }
    std::printf("Status: %s (%s)\n", Printable(reply).c_str(),
                letter || reply.empty() ? meaning.c_str() : "not a status letter");
    return letter ? 0 : 1;
}

const Subcommand_Registration Registration({"status", "the controller's status letter on COM<n>",
                                            Help, Run});

}  // namespace
}  // namespace kdx::cli
