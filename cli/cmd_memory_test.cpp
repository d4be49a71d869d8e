// kdx-cli memory-test: write a 64-step program into one axis, list it back and compare.
#include "cli/cli.h"
#include "cli/protocol_port.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli memory-test COM<n> AXIS [--baud B] [--quiet]\n"
    "\n"
    "Program-memory test of AXIS (1 to 4): stores the 64-step test program\n"
    "(\"I1M8387\" + AXIS x (100 + i) for step i), lists it with \"lst\" and compares the\n"
    "listing with what was sent. It passes only when the listing holds the sent steps one\n"
    "for one, in order; otherwise the outcome shows the listed steps that matched nothing\n"
    "and, after \"Missing\", the steps the listing lacks, and the command names the first\n"
    "step that differs (the step sent and the step listed) and every missing step. A\n"
    "controller that answers \"?\" ends the test with its reply; one that goes silent for\n"
    "3 s ends it with \"Listing incomplete\".\n"
    "\n"
    "Options:\n" KDX_CLI_PORT_OPTIONS
    "\n"
    "Exit status: 0 passed, 1 failed or the port could not be opened, 2 usage error.\n";

int Run(const std::vector<std::string>& args) {
    Port_Args a;
    if (int code = Parse_Port_Args("memory-test", args, {"AXIS"}, a)) return code;
    const std::string& word = a.words[0];
    if (word.size() != 1 || word[0] < '1' || word[0] > '4') {
        return Usage_Error("memory-test", "the axis is 1, 2, 3 or 4, not " + Printable(word, 80));
    }
    int32_t axis = word[0] - '0';
    std::string outcome;
    bool passed;
    char sent[64] = "", listed[64] = "", missing[4096] = "";
    int32_t step = 0;
    {
        Open_Port port("memory-test", a);
        if (!port.Ok()) return 1;
        outcome = KDX_Tester_Commo_Fill_Memory(port.Handle(), &axis);
        passed = KDX_Tester_Passed() == 1;
        step = KDX_Tester_Memory_Difference(sent, sizeof sent, listed, sizeof listed, missing,
                                            sizeof missing);
    }
    if (passed)
        std::printf("Memory test axis %d passed\n", axis);
    else
        std::printf("Memory test axis %d FAILED: %s\n", axis, Printable(outcome).c_str());
    if (!passed && step > 0)
        std::printf("First difference at step %d: sent %s, listed %s\n", int(step),
                    *sent ? Printable(sent).c_str() : "nothing",
                    *listed ? Printable(listed).c_str() : "nothing");
    if (!passed && *missing) std::printf("Missing steps: %s\n", missing);
    return passed ? 0 : 1;
}

const Subcommand_Registration Registration({"memory-test", "program-memory test of one axis (1-4)",
                                            Help, Run});

}  // namespace
}  // namespace kdx::cli
