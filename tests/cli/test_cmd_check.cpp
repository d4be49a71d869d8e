// kdx-cli check against simulated units: its verdict line, exit status and the records it
// leaves (validated against the installed schema), one unit and four at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
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
    // Further checks of the output and the records folder.
    std::function<void(const std::string& out, const std::string& folder)> also = nullptr;
};

// The text of a file ("" when there is none).
std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The one file in folder whose name ends in suffix ("" when not exactly one).
std::string Only_File(const std::string& folder, const std::string& suffix) {
    std::string found;
    int count = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        std::string name = e.path().filename().string();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            found = e.path().string();
            ++count;
        }
    }
    return count == 1 ? found : "";
}

// The step names of the unit's JSON record, in its order.
std::string Json_Steps(const std::string& folder) {
    std::string json = Read(Only_File(folder, ".json")), names;
    for (size_t at = 0; (at = json.find("\"name\": \"", at)) != std::string::npos;) {
        at += 9;
        names += (names.empty() ? "" : ",") + json.substr(at, json.find('"', at) - at);
    }
    return names;
}

// A unit that answers with terminal escapes, formulas and a serial of 300 characters.
const std::string Hostile_Serial = "\x1b]0;owned\x07\x1b[2J" + std::string(300, 'S');

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
    if (c.also) c.also(r.out, out.path());
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
                   "units=1 failed=0",
                   [](const std::string&, const std::string& folder) {
                       std::string junit = Read(Only_File(folder, ".junit.xml"));
                       EXPECT_NE(junit.find("classname=\"kdx.check.1234-56\""), std::string::npos);
                       size_t at = junit.find("timestamp=\"");
                       ASSERT_NE(at, std::string::npos);
                       std::string stamp = junit.substr(at + 11, 25);
                       EXPECT_TRUE(stamp[19] == '+' || stamp[19] == '-') << stamp;
                   }},
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
                   {"FAILED COM5: status: no answer to the status query (4 tries in "},
                   "units=1 failed=1",
                   [](const std::string&, const std::string& folder) {
                       EXPECT_NE(
                           Read(Only_File(folder, ".json")).find("\"verdict\": \"no_controller\""),
                           std::string::npos);
                   }},
        // The status and information replies, then about 98 of the communication test.
        Check_Case{"unplugged_in_commo",
                   "COM5",
                   [](auto& c) { c.hangup_after = 118; },
                   1,
                   {"FAILED COM5 serial 1234-56: commo: COM5 hung up during commo"},
                   "units=1 failed=1",
                   [](const std::string&, const std::string& folder) {
                       EXPECT_EQ(Json_Steps(folder),
                                 "port,status,info,commo,memory axis 1,memory axis 2,"
                                 "memory axis 3,memory axis 4");
                       EXPECT_NE(Read(Only_File(folder, ".json"))
                                     .find("\"reason\": \"not run: COM5 hung up during commo\""),
                                 std::string::npos);
                   }},
        // The status reply and two of the information: the rest is not asked, and the
        // skipped steps come after the one that ran.
        Check_Case{"unplugged_in_info",
                   "COM5",
                   [](auto& c) { c.hangup_after = 3; },
                   1,
                   {"FAILED COM5 serial 1234-56: info: COM5 hung up during info"},
                   "units=1 failed=1",
                   [](const std::string& out, const std::string& folder) {
                       EXPECT_EQ(out.find("garbled"), std::string::npos) << out;
                       EXPECT_EQ(Json_Steps(folder), "port,status,info,commo,memory");
                       EXPECT_NE(Read(Only_File(folder, ".json"))
                                     .find("\"reason\": \"not run: COM5 hung up during info\""),
                                 std::string::npos);
                   }},
        // A unit slow to wake passes: the status query asks again and waits for it, and
        // says how long; the answers to both tries are taken off the line.
        Check_Case{"late_unit",
                   "COM5",
                   [](auto& c) {
                       c.late_ms = 400;
                       c.late_replies = 1;
                   },
                   0,
                   {"PASSED COM5 serial 1234-56 (8 steps)"},
                   "units=1 failed=0",
                   [](const std::string&, const std::string& folder) {
                       std::string json = Read(Only_File(folder, ".json"));
                       EXPECT_NE(json.find("\"tries\": 2,"), std::string::npos) << json;
                       EXPECT_NE(json.find("\"waited_ms\": "), std::string::npos) << json;
                       EXPECT_NE(json.find("\"queries\": 1000,"), std::string::npos) << json;
                   }},
        // Escapes and a flood of a serial: shown escaped and cut on the terminal, whole in
        // the records, whose names stay short.
        Check_Case{"hostile_serial",
                   "COM5 --operator Ann --station 'line 2' --fixture F7 --label '=cmd'",
                   [](auto& c) {
                       c.model.serial = Hostile_Serial;
                       c.model.order = "=1+1-23";
                   },
                   1,
                   {"FAILED COM5 serial <1B>]0;owned<07><1B>[2JSSS", "...: info: "},
                   "units=1 failed=1",
                   [](const std::string& out, const std::string& folder) {
                       EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
                       EXPECT_LT(out.size(), 2000u) << out;
                       std::string json = Only_File(folder, ".json");
                       ASSERT_FALSE(json.empty());
                       EXPECT_LT(std::filesystem::path(json).filename().string().size(), 120u);
                       EXPECT_NE(Read(json).find(std::string(300, 'S')), std::string::npos);
                       std::string history = Read(folder + "/kdx-check-history.csv");
                       EXPECT_NE(history.find(",'=1+1-23,"), std::string::npos) << history;
                       EXPECT_NE(history.find(",Ann,line 2,F7,'=cmd,"), std::string::npos)
                           << history;
                       EXPECT_EQ(history.find('\x1b'), std::string::npos) << history;
                   }},
        Check_Case{"long_serial",
                   "COM5",
                   [](auto& c) { c.model.serial = std::string(300, 'S'); },
                   0,
                   {"PASSED COM5 serial " + std::string(64, 'S') + "... (8 steps)"},
                   "units=1 failed=0",
                   [](const std::string&, const std::string& folder) {
                       std::string name =
                           std::filesystem::path(Only_File(folder, ".json")).filename().string();
                       EXPECT_EQ(name.rfind("kdx-check_" + std::string(40, 'S') + "_", 0), 0u)
                           << name;
                   }},
        Check_Case{"missing_port",
                   "COM77",
                   nullptr,
                   1,
                   {"FAILED COM77: port: cannot open COM77"},
                   "units=1 failed=1"},
        Check_Case{"bad_axes", "COM5 --axes 5", nullptr, 2, {"bad axes 5"}, ""},
        Check_Case{"port_and_all", "COM5 --all", nullptr, 2, {"either COM<n> or --all"}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A batch of simulated units COM5, COM6, ... (one per setup) with a temporary ports folder;
// the machine lists exactly these ports (its own, which other programs may hold, are not
// the batch's).
class Cli_Check_Batch : public testing::Test {
  protected:
    void SetUp() override { setenv("KDX_PORTS", ports.path().c_str(), 1); }
    void TearDown() override {
        if (held != 0) kdx::Serial_Port_Close(held);
        sims.clear();
        unsetenv("KDX_PORTS");
        unsetenv("KDX_REGISTRY");
    }
    void Start(const std::vector<std::function<void(kdx::sim::Sim_Config&)>>& setups) {
        std::string hive = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
        for (size_t i = 0; i < setups.size(); ++i) {
            kdx::sim::Sim_Config config;
            config.number = int32_t(5 + i);
            if (setups[i]) setups[i](config);
            sims.push_back(std::make_unique<kdx::sim::Simulator>(config));
            ASSERT_TRUE(sims.back()->Start());
            hive += "\"\\\\Device\\\\VCP" + std::to_string(i) + "\"=\"COM" +
                    std::to_string(config.number) + "\"\n";
        }
        std::ofstream(machine.path() + "/machine.reg") << hive;
        setenv("KDX_REGISTRY", (machine.path() + "/machine.reg").c_str(), 1);
    }
    // Another program holds the port (as a forgotten terminal does).
    void Hold(int32_t number) {
        int32_t baud = 57600;
        held = kdx::Serial_Port_Open(number, baud);
        ASSERT_GT(held, 0);
    }
    Shell_Result Check(const std::string& args) {
        return Shell(std::string(KDX_CLI_PATH) + " check " + args + " 2>&1 </dev/null");
    }
    kdx::test::Temp_Dir ports, machine, out;
    std::vector<std::unique_ptr<kdx::sim::Simulator>> sims;
    int32_t held = 0;
};

void Expect_Lines(const Shell_Result& r, const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

// Four units at once: every unit in the summary, four whole lines in the history, one
// record set each; the records folder is made with its parents.
TEST_F(Cli_Check_Batch, FourUnitsAtOnce) {
    Start({nullptr, nullptr,
           [](auto& c) {
               c.model.corrupt_axis = 1;
               c.model.corrupt_step = 2;
           },
           nullptr});
    const std::string folder = out.path() + "/records/line 2";
    Shell_Result r = Check("--all --expect 4 --out '" + folder + "'");
    EXPECT_EQ(r.code, 1) << r.out;
    Expect_Lines(r, {"PASSED COM5 serial", "PASSED COM6 serial", "PASSED COM8 serial",
                     "FAILED COM7 serial 1234-56: memory axis 1: step 2",
                     "4 units checked: 3 passed, 1 failed; records in " + folder});
    Shell_Result v = Validate("'" + folder + "'");
    EXPECT_EQ(v.code, 0) << v.out;
    EXPECT_EQ(v.out, "units=4 failed=1\n");
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms(0755 & ~mask));
}

// A unit held by another program, one that is silent, one that answers late, one too few:
// each is a FAILED unit or a failed batch, never a smaller batch that passes.
TEST_F(Cli_Check_Batch, EveryExpectedUnitCounts) {
    Start({nullptr,
           [](auto& c) {
               c.late_ms = 400;
               c.late_replies = 1;
           },
           [](auto& c) { c.model.answer_limit = 0; }, nullptr});
    Hold(8);
    kdx::test::Temp_Dir lists;
    {
        std::ofstream file(lists.path() + "/ports");
        file << "# the fixture's ports\nCOM5 COM7\n\nCOM6  # late\n";
    }
    const struct {
        const char* name;
        std::string args;
        int code;
        std::vector<std::string> lines;
        std::string history;
    } cases[] = {
        {"held port in --all",
         "--all",
         1,
         {"PASSED COM5 serial", "PASSED COM6 serial",
          "FAILED COM8: port: cannot open COM8: another program holds it",
          "3 units checked: 2 passed, 1 failed; held by another program: COM8; records in"},
         "units=3 failed=1"},
        {"fewer answer than expected",
         "--all --expect 4",
         1,
         {"3 units checked: 2 passed, 1 failed", "FAILED: 4 units expected, 2 answered"},
         "units=3 failed=1"},
        {"listed ports, one silent",
         "COM5 COM7 COM6",
         1,
         {"PASSED COM6 serial", "FAILED COM7: status: no answer to the status query",
          "3 units checked: 2 passed, 1 failed; records in"},
         "units=3 failed=1"},
        {"ports from a file",
         "--ports " + lists.path() + "/ports",
         1,
         {"PASSED COM5 serial", "PASSED COM6 serial",
          "FAILED COM7: status:", "3 units checked: 2 passed, 1 failed"},
         "units=3 failed=1"},
        {"listed held port",
         "COM5 COM8",
         1,
         {"FAILED COM8: port: cannot open COM8: another program holds it",
          "2 units checked: 1 passed, 1 failed; held by another program: COM8"},
         "units=2 failed=1"},
        {"listed and passing",
         "COM5 COM6 --expect 2",
         0,
         {"2 units checked: 2 passed, 0 failed"},
         "units=2 failed=0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kdx::test::Temp_Dir folder;
        Shell_Result r = Check(c.args + " --out " + folder.path());
        EXPECT_EQ(r.code, c.code) << r.out;
        Expect_Lines(r, c.lines);
        EXPECT_EQ(r.out.find("No controller answered"), std::string::npos) << r.out;
        Shell_Result v = Validate(folder.path());
        EXPECT_EQ(v.out, c.history + "\n");
    }
}

// Records that cannot be written: every line and the summary say so, and the batch fails.
TEST_F(Cli_Check_Batch, RecordsNotWrittenAreSaidPlainly) {
    Start({nullptr, nullptr});
    { std::ofstream file(out.path() + "/a file"); }
    const std::string folder = out.path() + "/a file/records";
    Shell_Result r = Check("--all --out '" + folder + "'");
    EXPECT_EQ(r.code, 1) << r.out;
    Expect_Lines(
        r, {"PASSED, but the records were NOT written: cannot make the folder " + folder +
                "/: Not a directory; COM5 serial 1234-56 (8 steps)",
            "PASSED, but the records were NOT written: ",
            "2 units checked: 2 passed, 0 failed; the records were NOT written in " + folder});
    EXPECT_EQ(r.out.find("records in"), std::string::npos) << r.out;
    Shell_Result one = Check("COM5 --out '" + folder + "'");
    EXPECT_EQ(one.code, 1) << one.out;
    EXPECT_EQ(one.out.rfind("PASSED, but the records were NOT written: ", 0), 0u) << one.out;
}

// check --json: one object per unit on standard output, each valid against the schema,
// the verdict lines on standard error.
TEST_F(Cli_Check_Batch, JsonOnStandardOutput) {
    Start({nullptr, [](auto& c) { c.model.serial = Hostile_Serial; }});
    kdx::test::Temp_Dir stream;
    Shell_Result r =
        Shell(std::string(KDX_CLI_PATH) + " check --all --json --station S1 --out " + out.path() +
              " 2>/dev/null </dev/null > " + stream.path() + "/stream.jsonl");
    EXPECT_EQ(r.code, 1);
    std::string lines = Read(stream.path() + "/stream.jsonl");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
    EXPECT_NE(lines.find("\"station\": \"S1\""), std::string::npos) << lines;
    EXPECT_NE(lines.find("\"records\": [\""), std::string::npos) << lines;
    Shell_Result v = Validate(stream.path());
    EXPECT_EQ(v.code, 0) << v.out;
    EXPECT_EQ(v.out, "units=0 failed=0\n");
}

// Two batches at once: the second finds every port held by the first and says so, failing
// with 1 rather than "no controller".
TEST_F(Cli_Check_Batch, TwoBatchesAtOnce) {
    Start({nullptr, nullptr, nullptr});
    kdx::test::Temp_Dir second_out;
    FILE* first =
        popen((std::string(KDX_CLI_PATH) + " check --all --out " + out.path() + " 2>&1 </dev/null")
                  .c_str(),
              "r");
    ASSERT_NE(first, nullptr);
    // The first has every port open once each unit has heard from it.
    ASSERT_TRUE(kdx::test::Eventually([&] {
        for (const auto& sim : sims)
            if (sim->Received().empty()) return false;
        return true;
    }));
    Shell_Result second = Check("--all --out " + second_out.path());
    std::string first_out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, first)) > 0;) first_out.append(buf, n);
    int first_status = pclose(first);
    EXPECT_EQ(WEXITSTATUS(first_status), 0) << first_out;
    EXPECT_NE(first_out.find("3 units checked: 3 passed, 0 failed"), std::string::npos)
        << first_out;
    EXPECT_EQ(second.code, 1) << second.out;
    Expect_Lines(second, {"FAILED COM5: port: cannot open COM5: another program holds it",
                          "3 units checked: 0 passed, 3 failed; held by another program: COM5 "
                          "COM6 COM7"});
    EXPECT_EQ(Validate(second_out.path()).out, "units=3 failed=3\n");
}

}  // namespace
