// kdx-cli program: encode and decode, the files written and the input refused.
#include <gtest/gtest.h>

#include <string>

#include "protocol/kdx_send.h"
#include "tests/support/cli_run.h"
#include "tests/support/sim_port_files.h"

namespace kdx {
namespace {

using Run_Result = test::Shell_Result;
using test::Cli;
using Cli_Program = test::Sim_Port_Files_Test;

// encode makes what the sender unscrambles; decode gives the text back byte for byte; bad
// input is refused and an existing output kept.
TEST_F(Cli_Program, ProgramEncodeAndDecode) {
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
         "kdx-cli program encode: no such file: " + d + "missing.txt"},
        {"program decode '" + d + "p.kdx' '" + d + "no/such/out.txt'", 1, "cannot write"},
        {"program encode '" + d + "p.txt'", 2, "expected OUT after IN"},
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

}  // namespace
}  // namespace kdx
