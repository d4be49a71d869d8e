// kdx-cli's controller commands against the simulator: output, exit status and the bytes
// the controller received.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "tests/test_serial_fixture.h"

namespace {

struct Run_Result {
    int code = -1;
    std::string out;
};

// Runs kdx-cli with args (the ports directory comes through the environment).
Run_Result Cli(const std::string& args) {
    Run_Result r;
    std::string command = std::string(KDX_CLI_PATH) + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
    int status = pclose(pipe);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

struct Cli_Case {
    const char* name;
    std::string args;
    int answer_limit;
    int corrupt_axis;
    int code;
    std::string output;    // a line the output holds
    std::string received;  // what the controller received ("" not checked)
};

// Test names show the case name, not the bytes of the record.
void PrintTo(const Cli_Case& c, std::ostream* os) {
    *os << c.name;
}

class Protocol_Cli : public kdx::test::Sim_Port_Test,
                     public testing::WithParamInterface<Cli_Case> {};

TEST_P(Protocol_Cli, ExitStatusAndOutput) {
    const Cli_Case& c = GetParam();
    kdx::sim::Sim_Config config;
    config.model.answer_limit = c.answer_limit;
    config.model.corrupt_axis = c.corrupt_axis;
    config.model.corrupt_step = 1;
    Start_Sim(config);
    Run_Result r = Cli(c.args);
    EXPECT_EQ(r.code, c.code) << r.out;
    EXPECT_NE(r.out.find(c.output), std::string::npos) << r.out;
    if (!c.received.empty()) {
        // The simulator may still be taking the last bytes when the command has ended.
        kdx::test::Eventually([&] { return sim->Received().size() >= c.received.size(); });
        EXPECT_EQ(sim->Received(), c.received);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Protocol_Cli,
    testing::Values(
        Cli_Case{"status", "status COM5", -1, 0, 0, "Status: R (Ready)", "V"},
        Cli_Case{"status_silent", "status COM5 --quiet", 0, 0, 1, "Status:  (No Response)", "V"},
        Cli_Case{"online", "online COM5", -1, 0, 0, "Sent: F,", "F,"},
        Cli_Case{"online_echo", "online COM5 --echo", -1, 0, 0, "Sent: E,", "E,"},
        Cli_Case{"offline", "offline COM5", -1, 0, 0, "Sent: Q,", "Q,"},
        Cli_Case{"identify", "identify COM5 --quiet", -1, 0, 0, "Identify:", "F,Q,F,Q,F,Q,"},
        Cli_Case{"info", "info COM5 --quiet", -1, 0, 0,
                 "Axis 2 ID:  getMT2M=,17,getL2M=,1,0,getHS2M=,0\n"
                 "            motor 17, limit switches 1 (Both (Normally Closed)), home switch 0",
                 ""},
        Cli_Case{"info_silent", "info COM5 --quiet", 0, 0, 1, "Serial Num: \n", ""},
        Cli_Case{"set_serial", "set-serial COM5 1111-22 3334445 --quiet", -1, 0, 0,
                 "Serial Num: 1111-22\nOrder Num:  3334445", ""},
        Cli_Case{"commo_test", "commo-test COM5 --quiet", -1, 0, 0, "Communication test passed",
                 std::string(1000, 'V')},
        Cli_Case{"commo_test_aborted", "commo-test COM5", 5, 0, 1, "Test Error - Aborting Test",
                 std::string(6, 'V')},
        Cli_Case{"memory_test", "memory-test COM5 4 --quiet", -1, 0, 0, "Memory test axis 4 passed",
                 ""},
        Cli_Case{"memory_test_corrupted", "memory-test 2 COM5 --quiet", -1, 2, 1,
                 "Memory test axis 2 FAILED: I1M8387203", ""},
        Cli_Case{"missing_port", "status COM77", -1, 0, 1, "cannot open COM77", ""},
        Cli_Case{"no_port", "status", -1, 0, 2, "give the port as COM<n>", ""},
        Cli_Case{"bad_axis", "memory-test COM5 5", -1, 0, 2, "the axis is 1, 2, 3 or 4", ""},
        Cli_Case{"missing_words", "set-serial COM5 1111-22", -1, 0, 2, "expected 2 arguments", ""},
        Cli_Case{"unknown_option", "status COM5 --fast", -1, 0, 2, "unknown option --fast", ""},
        Cli_Case{"baud_with_letters", "status COM5 --baud 9600x", -1, 0, 2, "bad baud rate 9600x",
                 ""},
        Cli_Case{"baud_past_32_bits", "status COM5 --baud 4294977296", -1, 0, 2,
                 "bad baud rate 4294977296", ""},
        Cli_Case{"baud_negative", "info COM5 --baud -9600", -1, 0, 2, "bad baud rate -9600", ""},
        Cli_Case{"baud_without_rate", "status COM5 --baud", -1, 0, 2, "--baud needs a rate", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Protocol_Cli_Help, EveryCommandExplainsItself) {
    for (const char* command : {"status", "online", "offline", "identify", "info", "set-serial",
                                "commo-test", "memory-test"}) {
        Run_Result r = Cli(std::string(command) + " --help");
        EXPECT_EQ(r.code, 0) << command;
        EXPECT_NE(r.out.find(std::string("Usage: kdx-cli ") + command + " COM<n>"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("Exit status:"), std::string::npos) << command;
    }
}

}  // namespace
