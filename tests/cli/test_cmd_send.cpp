// kdx-cli send: exit status, messages, the files written and the bytes the
// simulated controller received.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/os/file.h"
#include "protocol/kdx_send.h"
#include "tests/support/sim_port_files.h"

namespace kdx {
namespace {

using Run_Result = test::Shell_Result;

Run_Result Cli(const std::string& args) {
    return test::Shell(std::string(KDX_CLI_PATH) + " " + args + " 2>&1");
}

using Cli_Send = test::Sim_Port_Files_Test;

TEST_F(Cli_Send, SendGoesOutAsTheMenuCommandSendsIt) {
    setenv("KDX_SEND_PACE_PERCENT", "0", 1);
    // A controller that answers nothing: the raw file's "\0W" is no command, and its "?"
    // after the quiet time would start a fault query or not, as late as a busy machine runs
    // kdx-cli. What goes out is the same either way; the answers are tested elsewhere.
    sim::Sim_Config silent;
    silent.model.answer_limit = 0;
    Start_Sim(silent);
    File("prog.Kdx", KDX_Program_Scramble("F,C\r\nS1M400;speed"));
    File("raw.bin", std::string("R\0W", 3));
    const std::string d = dir.path() + "/";
    struct Case {
        std::string args;
        int code;
        std::string output;
        std::string wire;  // what the controller has received in all by then
    };
    const Case cases[] = {
        {"send COM5 '" + d + "prog.Kdx'", 0, "Transmission Complete", "F,C,,S1M400,,"},
        {"send COM5 '" + d + "raw.bin' --quiet", 0, "Sending raw.bin: 1/1",
         std::string("F,C,,S1M400,,R\0W", 16)},
        {"send COM5 '" + d + "missing.kdx'", 1, "kdx-cli send: no such file: " + d + "missing.kdx",
         std::string("F,C,,S1M400,,R\0W", 16)},
        {"send COM9 '" + d + "prog.Kdx'", 1, "cannot open COM9", ""},
        {"send COM5", 2, "expected FILE after the port", ""},
    };
    for (const auto& c : cases) {
        Run_Result r = Cli(c.args);
        EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.output), std::string::npos) << c.args << "\n" << r.out;
        if (!c.wire.empty()) {
            test::Eventually([&] { return sim->Received().size() >= c.wire.size(); });
            EXPECT_EQ(sim->Received(), c.wire) << c.args;
        }
    }
    unsetenv("KDX_SEND_PACE_PERCENT");
}

// A controller that hangs up part-way: exit 1 and how far the file got, never "Transmission
// Complete".
TEST_F(Cli_Send, SendSaysWhereAControllerThatHungUpStoppedIt) {
    setenv("KDX_SEND_PACE_PERCENT", "0", 1);
    sim::Sim_Config config;
    config.hangup_after_bytes = 300;
    Start_Sim(config);
    std::string program;
    for (int i = 0; i < 850; ++i) program += "S1M" + std::to_string(400 + i) + ",I1M10\r";
    File("long.kdx", KDX_Program_Scramble(program));
    Run_Result r = Cli("send COM5 '" + dir.path() + "/long.kdx' --quiet");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("kdx-cli send: Transmission Failed at command "), std::string::npos)
        << r.out;
    // Wine says a hung-up pseudo-terminal is not ready (21), not that it hung up.
    EXPECT_NE(r.out.find(test::Under_Wine() ? ": the write failed: " : ": the port hung up; "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" bytes taken by the line"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Transmission Complete"), std::string::npos) << r.out;
    unsetenv("KDX_SEND_PACE_PERCENT");
}

// A controller that stopped reading while the driver still holds the whole file (a
// pseudo-terminal takes more than 11 KB unread): the send waits for the line to take it, then
// fails with the bytes the controller read, never "Transmission Complete"; kdx-cli, another
// process than the simulator, learns the count through the simulator's peer reader.
TEST_F(Cli_Send, ASendTheDriverHoldsButTheUnitNeverReadsFails) {
    if (test::Under_Wine())
        GTEST_SKIP() << "Wine's port reads a pseudo-terminal's output queue, always empty there";
    setenv("KDX_SEND_PACE_PERCENT", "0", 1);
    sim::Sim_Config config;
    config.stall_after_bytes = 300;
    config.model.answer_limit = 0;
    Start_Sim(config);
    std::string raw(11890, 'A');
    std::string program;
    for (int i = 0; program.size() < 11890; ++i)
        program += "S1M" + std::to_string(400 + i) + ",I1M10\r";
    File("held.bin", raw);
    File("held.kdx", KDX_Program_Scramble(program));
    const struct {
        const char* file;
        const char* where;
    } cases[] = {{"held.bin", "kdx-cli send: Transmission Failed: "},
                 {"held.kdx", "kdx-cli send: Transmission Failed at command "}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Run_Result r = Cli("send COM5 '" + dir.path() + "/" + c.file + "' --quiet");
        EXPECT_EQ(r.code, 1) << r.out;
        EXPECT_NE(r.out.find(c.where), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(": the device stopped reading (no byte taken for 5 s); 300 of "),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("Transmission Complete"), std::string::npos) << r.out;
        // The next file starts on a controller that reads again, for 300 more bytes.
        sim.reset();
        Start_Sim(config);
    }
    unsetenv("KDX_SEND_PACE_PERCENT");
}

}  // namespace
}  // namespace kdx
