// kdx-cli check against simulated units: its verdict line, exit status and the records it
// leaves (validated against the installed schema), one unit and four at once.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/serial_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

using kdx::test::Shell;
using kdx::test::Shell_Result;

// Validates every record in folder; the validator's last line ("units=<n> failed=<n>").
Shell_Result Validate(const std::string& folder) {
    return Shell(std::string("/usr/bin/python3 " KDX_SOURCE_DIR "/tests/tools/check_records.py ") +
                 folder + " " KDX_SOURCE_DIR "/data/kdx-check.schema.json 2>&1");
}

struct Check_Case {
    const char* name;
    std::string args;  // after "check", besides --out
    std::function<void(kdx::sim::Sim_Config&)> setup;
    int code;
    std::vector<std::string> verdict;  // what the output holds
    std::string history;               // the validator's count ("" when no record may be written)
};

void PrintTo(const Check_Case& c, std::ostream* os) {
    *os << c.name;
}

class Cli_Check : public kdx::test::Sim_Port_Test,
                  public testing::WithParamInterface<Check_Case> {};

TEST_P(Cli_Check, VerdictExitStatusAndRecords) {
    const Check_Case& c = GetParam();
    kdx::sim::Sim_Config config;
    if (c.setup) c.setup(config);
    Start_Sim(config);
    kdx::test::Temp_Dir out;
    Shell_Result r = Shell(std::string(KDX_CLI_PATH) + " check " + c.args + " --out " + out.path() +
                           " 2>&1 </dev/null");
    EXPECT_EQ(r.code, c.code) << r.out;
    for (const std::string& want : c.verdict)
        EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
    Shell_Result v = Validate(out.path());
    if (c.history.empty()) {
        EXPECT_EQ(v.out, "units=0 failed=0\n");
    } else {
        EXPECT_EQ(v.code, 0) << v.out;
        EXPECT_EQ(v.out, c.history + "\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Units, Cli_Check,
    testing::Values(
        Check_Case{"passing",
                   "COM5",
                   nullptr,
                   0,
                   {"PASSED COM5 serial 1234-56 (8 steps)"},
                   "units=1 failed=0"},
        Check_Case{"located", "", nullptr, 0, {"PASSED COM5 serial 1234-56"}, "units=1 failed=0"},
        Check_Case{"memory_axis_3_fails",
                   "COM5",
                   [](auto& c) {
                       c.model.corrupt_axis = 3;
                       c.model.corrupt_step = 6;
                   },
                   1,
                   {"FAILED COM5 serial 1234-56: memory axis 3: step 6 sent I1M8387318,"},
                   "units=1 failed=1"},
        Check_Case{
            "given_axes_only", "COM5 --axes 2,4", nullptr, 0, {"(6 steps)"}, "units=1 failed=0"},
        Check_Case{"silent",
                   "COM5",
                   [](auto& c) { c.model.answer_limit = 0; },
                   4,
                   {"FAILED COM5: status: no answer to the status query"},
                   "units=1 failed=1"},
        // The status and information replies, then about 98 of the communication test.
        Check_Case{"unplugged_in_commo",
                   "COM5",
                   [](auto& c) { c.hangup_after = 118; },
                   1,
                   {"FAILED COM5 serial 1234-56: commo: aborted at query ", ": no reply; ",
                    " of 1000 answered; the unit stopped answering"},
                   "units=1 failed=1"},
        Check_Case{"missing_port",
                   "COM77",
                   nullptr,
                   1,
                   {"FAILED COM77: port: cannot open COM77"},
                   "units=1 failed=1"},
        Check_Case{"bad_axes", "COM5 --axes 5", nullptr, 2, {"bad axes 5"}, ""},
        Check_Case{"port_and_all", "COM5 --all", nullptr, 2, {"either COM<n> or --all"}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Four units at once: every unit in the summary, four whole lines in the history, one
// record set each.
TEST(Cli_Check_All, FourUnitsAtOnce) {
    kdx::test::Temp_Dir ports, out;
    setenv("KDX_PORTS", ports.path().c_str(), 1);
    std::vector<std::unique_ptr<kdx::sim::Simulator>> sims;
    for (int n = 5; n <= 8; ++n) {
        kdx::sim::Sim_Config config;
        config.number = n;
        if (n == 7) {
            config.model.corrupt_axis = 1;
            config.model.corrupt_step = 2;
        }
        sims.push_back(std::make_unique<kdx::sim::Simulator>(config));
        ASSERT_TRUE(sims.back()->Start());
    }
    Shell_Result r =
        Shell(std::string(KDX_CLI_PATH) + " check --all --out " + out.path() + " 2>&1 </dev/null");
    unsetenv("KDX_PORTS");
    EXPECT_EQ(r.code, 1) << r.out;
    for (const char* line : {"PASSED COM5 serial", "PASSED COM6 serial", "PASSED COM8 serial",
                             "FAILED COM7 serial 1234-56: memory axis 1: step 2",
                             "4 units checked: 3 passed, 1 failed"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    Shell_Result v = Validate(out.path());
    EXPECT_EQ(v.code, 0) << v.out;
    EXPECT_EQ(v.out, "units=4 failed=1\n");
}

}  // namespace
