// kdx-cli program and send: exit status, messages, the files written and the bytes the
// simulated controller received.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/os/file.h"
#include "protocol/kdx_send.h"
#include "tests/test_serial_fixture.h"

namespace kdx {
namespace {

using Run_Result = test::Shell_Result;

Run_Result Cli(const std::string& args) {
    return test::Shell(std::string(KDX_CLI_PATH) + " " + args + " 2>&1");
}

class Send_Cli : public test::Sim_Port_Test {
  protected:
    std::string File(const std::string& name, const std::string& bytes) {
        std::string path = dir.path() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string Read(const std::string& name) {
        std::string text;
        platform::Read_Whole_File(dir.path() + "/" + name, text);
        return text;
    }
};

// encode makes what the sender unscrambles; decode gives the text back byte for byte; bad
// input is refused and an existing output kept.
TEST_F(Send_Cli, ProgramEncodeAndDecode) {
    const std::string text("F,C\r\nS1M400;speed\r\n\0\xff\x7f", 22);
    File("p.txt", text);
    File("keep.kdx", "old");
    struct Case {
        std::string args;
        int code;
        std::string output;  // text the output holds
    };
    const std::string d = dir.path() + "/";
    const Case cases[] = {
        {"program encode '" + d + "p.txt' '" + d + "p.kdx'", 0, ""},
        {"program decode '" + d + "p.kdx' '" + d + "q.txt'", 0, ""},
        {"program encode '" + d + "missing.txt' '" + d + "keep.kdx'", 1,
         "cannot read " + d + "missing.txt"},
        {"program decode '" + d + "p.kdx' '" + d + "no/such/out.txt'", 1, "cannot write"},
        {"program encode '" + d + "p.txt'", 2, "expected encode or decode"},
        {"program scramble a b", 2, "expected encode or decode"},
        {"program --help", 0, "255 - b"},
    };
    for (const auto& c : cases) {
        Run_Result r = Cli(c.args);
        EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.output), std::string::npos) << c.args << "\n" << r.out;
    }
    EXPECT_EQ(Read("p.kdx"), KDX_Program_Scramble(text));
    EXPECT_EQ(KDX_Program_Unscramble(Read("p.kdx")), text);
    EXPECT_EQ(Read("q.txt"), text);
    EXPECT_EQ(Read("keep.kdx"), "old");
}

TEST_F(Send_Cli, SendGoesOutAsTheMenuCommandSendsIt) {
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
        {"send COM5 '" + d + "missing.kdx'", 1, "cannot read " + d + "missing.kdx",
         std::string("F,C,,S1M400,,R\0W", 16)},
        {"send COM9 '" + d + "prog.Kdx'", 1, "cannot open COM9", ""},
        {"send COM5", 2, "expected 1 argument", ""},
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
TEST_F(Send_Cli, SendSaysWhereAControllerThatHungUpStoppedIt) {
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
    EXPECT_NE(r.out.find(": the port hung up; "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" bytes sent"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Transmission Complete"), std::string::npos) << r.out;
    unsetenv("KDX_SEND_PACE_PERCENT");
}

}  // namespace
}  // namespace kdx
