// kdx-cli's controller commands against the simulator, one table across the commands (the
// options and errors they share go through the same parsing): output, exit status and the
// bytes the controller received; and the help and usage texts.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/kdx.h"
#include "tests/support/cli_run.h"
#include "tests/support/serial_fixture.h"

namespace {

using Run_Result = kdx::test::Shell_Result;
using kdx::test::Shell;

// Runs kdx-cli with args (the ports directory comes through the environment), with no
// terminal on standard input.
Run_Result Cli(const std::string& args) {
    return Shell(std::string(KDX_CLI_PATH) + " " + args + " 2>&1 </dev/null");
}

// Runs kdx-cli on a pseudo-terminal (script), with input typed on it and environment
// assignments before the command.
Run_Result Cli_On_Terminal(const std::string& env, const std::string& args,
                           const std::string& input = "") {
    return Shell("printf '" + input + "' | script -qec '" + env + " " KDX_CLI_PATH " " + args +
                 "' /dev/null 2>&1");
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

class Cli_Protocol : public kdx::test::Sim_Port_Test,
                     public testing::WithParamInterface<Cli_Case> {};

TEST_P(Cli_Protocol, ExitStatusAndOutput) {
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
    Commands, Cli_Protocol,
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
        Cli_Case{"set_serial", "set-serial COM5 1111-22 3334445 --quiet --yes", -1, 0, 0,
                 "Serial Num: 1111-22\nOrder Num:  3334445", ""},
        Cli_Case{"commo_test", "commo-test COM5 --quiet", -1, 0, 0, "Communication test passed",
                 std::string(1000, 'V')},
        Cli_Case{"commo_test_aborted", "commo-test COM5", 5, 0, 1, "Test Error - Aborting Test",
                 std::string(6, 'V')},
        Cli_Case{"memory_test", "memory-test COM5 4 --quiet", -1, 0, 0, "Memory test axis 4 passed",
                 ""},
        Cli_Case{"memory_test_corrupted", "memory-test 2 COM5 --quiet", -1, 2, 1,
                 "Memory test axis 2 FAILED: I1M8387203", ""},
        Cli_Case{"missing_port", "status COM77", -1, 0, 1,
                 "cannot open COM77: no such port. \"kdx-cli ports\" lists", ""},
        Cli_Case{"no_port", "status", -1, 0, 2, "expected the port, COM<n> or a device path", ""},
        Cli_Case{"bad_axis", "memory-test COM5 5", -1, 0, 2, "the axis is 1, 2, 3 or 4", ""},
        Cli_Case{"missing_words", "set-serial COM5 1111-22", -1, 0, 2,
                 "expected ORDER after SERIAL", ""},
        Cli_Case{"unknown_option", "status COM5 --fast", -1, 0, 2, "unknown option --fast", ""},
        Cli_Case{"baud_with_letters", "status COM5 --baud 9600x", -1, 0, 2, "bad baud rate 9600x",
                 ""},
        Cli_Case{"baud_past_32_bits", "status COM5 --baud 4294977296", -1, 0, 2,
                 "bad baud rate 4294977296", ""},
        Cli_Case{"baud_negative", "info COM5 --baud -9600", -1, 0, 2, "bad baud rate -9600", ""},
        Cli_Case{"baud_without_rate", "status COM5 --baud", -1, 0, 2, "expected RATE after --baud",
                 ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A controller that misbehaves: only a whole, clean answer counts as success.
struct Fault_Case {
    const char* name;
    std::string args;
    std::function<void(kdx::sim::Sim_Config&)> setup;
    int code;
    std::string output;        // a line the output holds
    std::string not_received;  // what the controller must not have received ("" unchecked)
};

void PrintTo(const Fault_Case& c, std::ostream* os) {
    *os << c.name;
}

// A flood from the start, going on for the whole command at the line's own pace.
constexpr int64_t Flood_From_Start = -1;

class Cli_Protocol_Fault : public kdx::test::Sim_Port_Test,
                           public testing::WithParamInterface<Fault_Case> {};

TEST_P(Cli_Protocol_Fault, FailsHonestly) {
    const Fault_Case& c = GetParam();
    kdx::sim::Sim_Config config;
    c.setup(config);
    Start_Sim(config);
    if (config.flood_bytes == Flood_From_Start) sim->Flood(1 << 20);
    Run_Result r = Cli(c.args);
    EXPECT_EQ(r.code, c.code) << r.out;
    EXPECT_NE(r.out.find(c.output), std::string::npos) << r.out;
    if (!c.not_received.empty()) {
        EXPECT_EQ(sim->Received().find(c.not_received), std::string::npos) << sim->Received();
    }
}

using C = kdx::sim::Sim_Config;
const auto Flooding = [](C& c) {
    c.wire_time = true;
    c.flood_bytes = Flood_From_Start;
};

INSTANTIATE_TEST_SUITE_P(
    Faults, Cli_Protocol_Fault,
    testing::Values(
        Fault_Case{"info_first_query_only", "info COM5 --quiet",
                   [](C& c) { c.model.answer_limit = 1; }, 1,
                   "No answer or a garbled answer for: Order Num, Version", ""},
        Fault_Case{"info_hangs_up_half_way", "info COM5 --quiet", [](C& c) { c.hangup_after = 3; },
                   1, "No answer or a garbled answer for: Version, Revision", ""},
        Fault_Case{"info_flooded", "info COM5 --quiet", Flooding, 1,
                   "No answer or a garbled answer for: Serial Num", ""},
        Fault_Case{"info_zero_bytes", "info COM5 --quiet", [](C& c) { c.nul_every = 3; }, 1,
                   "No answer or a garbled answer for:", ""},
        Fault_Case{"set_serial_never_answered", "set-serial COM5 1111-22 3334445 --quiet --yes",
                   [](C& c) { c.model.answer_limit = 0; }, 1,
                   "The controller does not answer; nothing was sent", "setser"},
        Fault_Case{"set_serial_not_taken", "set-serial COM5 1111-22 3334445 --quiet --yes",
                   [](C& c) { c.model.answer_limit = 2; }, 1,
                   "The controller reads back other numbers", ""},
        Fault_Case{"set_serial_no_one_to_ask", "set-serial COM5 1111-22 3334445 --quiet", [](C&) {},
                   2, "give --yes", "F,"},
        Fault_Case{"set_serial_empty", "set-serial COM5 '' '' --yes", [](C&) {}, 2,
                   "the serial number is four characters", "F,"},
        Fault_Case{"serial_short", "set-serial COM5 1234-5 7654321 --yes", [](C&) {}, 2,
                   "not \"1234-5\"", "F,"},
        Fault_Case{"serial_without_hyphen", "set-serial COM5 1234567 7654321 --yes", [](C&) {}, 2,
                   "the serial number is", "F,"},
        Fault_Case{"serial_with_comma", "set-serial COM5 12,4-56 7654321 --yes", [](C&) {}, 2,
                   "the serial number is", "F,"},
        Fault_Case{"serial_with_blank", "set-serial COM5 '12 4-56' 7654321 --yes", [](C&) {}, 2,
                   "the serial number is", "F,"},
        Fault_Case{"serial_with_cr", "set-serial COM5 \"$(printf '1234-5\\r')\" 7654321 --yes",
                   [](C&) {}, 2, "not \"1234-5<CR>\"", "F,"},
        Fault_Case{"order_with_at", "set-serial COM5 1234-56 765@321 --yes", [](C&) {}, 2,
                   "the order number is seven characters", "F,"},
        Fault_Case{"order_long", "set-serial COM5 1234-56 76543210 --yes", [](C&) {}, 2,
                   "the order number is", "F,"},
        Fault_Case{"memory_test_corrupted", "memory-test COM5 2 --quiet",
                   [](C& c) {
                       c.model.corrupt_axis = 2;
                       c.model.corrupt_step = 3;
                   },
                   1, "First difference at step 3: sent I1M8387206, listed I1M8387207", ""},
        Fault_Case{"memory_test_no_listing", "memory-test COM5 1 --quiet",
                   [](C& c) { c.model.answer_limit = 0; }, 1,
                   "First difference at step 1: sent I1M8387101, listed nothing\n"
                   "Missing steps: I1M8387101,I1M8387102,",
                   ""}),
    [](const auto& info) { return std::string(info.param.name); });

// An open that fails says which cause it is.
TEST_F(Cli_Protocol_Fault, OpenFailureNamesItsCause) {
    Start_Sim();
    std::string null_entry = dir.path() + "/COM6";
    ASSERT_EQ(symlink("/dev/null", null_entry.c_str()), 0);
    ASSERT_GT(Open(), 0);  // this test holds COM5 for the first case
    const std::pair<std::string, std::string> cases[] = {
        {"status COM5", "cannot open COM5: another program holds it"},
        {"info COM77", "cannot open COM77: no such port. \"kdx-cli ports\" lists"},
        {"online COM6", "cannot open COM6: not a serial line"},
        // A user outside the dialout group (as root, run as nobody; the pty is not theirs).
        {geteuid() == 0 ? "status COM5" : "",
         "cannot open COM5: no permission. Serial ports "
         "belong to the dialout group"},
    };
    for (const auto& [args, output] : cases) {
        if (args.empty()) continue;
        Run_Result r = Cli(args);
        if (output.find("no permission") != std::string::npos) {
            kdx::Serial_Port_Close(handle);
            handle = 0;
            chmod(dir.path().c_str(), 0755);
            r = Shell("setpriv --reuid=65534 --regid=65534 --clear-groups " KDX_CLI_PATH " " +
                      args + " 2>&1");
        }
        EXPECT_EQ(r.code, 1) << args;
        EXPECT_NE(r.out.find(output), std::string::npos) << r.out;
    }
}

// --json: one object on standard output for each command, nothing else there (no traffic),
// and it parses whatever the controller sent or left unsaid.
TEST_F(Cli_Protocol_Fault, JsonIsOneObjectPerReplyOnStandardOutput) {
    const struct {
        const char* name;
        int answer_limit;
        std::string args;
        int code;
        std::string line;  // the object in canonical form, or a part of it
    } cases[] = {
        {"status", -1, "status COM5 --json", 0,
         "{\"letter\":true,\"port\":\"COM5\",\"reply\":\"R\",\"status\":\"Ready\"}\n"},
        {"status_silent", 0, "status COM5 --json", 1,
         "{\"letter\":false,\"port\":\"COM5\",\"reply\":\"\",\"status\":\"No Response\"}\n"},
        {"info", -1, "info COM5 --json", 0,
         "{\"axis\":2,\"home\":\"0\",\"id\":\"getMT2M=,17,getL2M=,1,0,getHS2M=,0\",\"limit\":"
         "\"1\",\"limit_description\":\"Both (Normally Closed)\",\"motor\":\"17\"}"},
        {"info_silent", 0, "info COM5 --json", 1,
         "\"bad\":[\"Serial Num\",\"Order Num\",\"Version\",\"Revision\",\"Axis Mode\","
         "\"Detected\"]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kdx::sim::Sim_Config config;
        config.model.answer_limit = c.answer_limit;
        Start_Sim(config);
        kdx::test::Shell_Result r = kdx::test::Cli_Json(c.args);
        EXPECT_EQ(r.code, c.code) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        EXPECT_EQ(r.out.find("NOT JSON"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        sim.reset();
    }
}

// A status query answered by text still arriving from before (a listing) is no status.
TEST_F(Cli_Protocol_Fault, StatusTakesOnlyAStatusLetter) {
    kdx::sim::Sim_Config config;
    config.slow_ms = 3;  // the listing trickles out for about 2 s
    Start_Sim(config);
    ASSERT_GT(Open(), 0);
    kdx::Serial_Port_Write(handle, "F,PM-1," + kdx::KDX_Test_Program(1) + "lst,");
    ASSERT_FALSE(Read_Until("lst").empty());
    kdx::Serial_Port_Close(handle);
    handle = 0;
    Run_Result r = Cli("status COM5 --quiet");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("(not a status letter)"), std::string::npos) << r.out;
}

// The colour of the echo follows the terminal and NO_COLOR.
TEST_F(Cli_Protocol_Fault, NoColorTurnsColourOff) {
    Start_Sim();
    Run_Result coloured = Cli_On_Terminal("", "status COM5");
    EXPECT_NE(coloured.out.find("\x1b["), std::string::npos) << coloured.out;
    Run_Result plain = Cli_On_Terminal("NO_COLOR=1", "status COM5");
    EXPECT_EQ(plain.code, 0) << plain.out;
    EXPECT_NE(plain.out.find("Status: R (Ready)"), std::string::npos) << plain.out;
    EXPECT_EQ(plain.out.find("\x1b["), std::string::npos) << plain.out;
}

// set-serial asks on the terminal before it overwrites the stored numbers.
TEST_F(Cli_Protocol_Fault, SetSerialAsksBeforeOverwriting) {
    Start_Sim();
    Run_Result no = Cli_On_Terminal("", "set-serial COM5 1111-22 3334445 --quiet", "n\\n");
    EXPECT_EQ(no.code, 1) << no.out;
    EXPECT_NE(no.out.find("Stored:     1234-56 7654321\r\nNew:        1111-22 3334445\r\n"
                          "Overwrite the stored numbers? [y/N] "),
              std::string::npos)
        << no.out;
    EXPECT_NE(no.out.find("Nothing was stored"), std::string::npos) << no.out;
    EXPECT_EQ(sim->Received().find("setser"), std::string::npos);
    Run_Result yes = Cli_On_Terminal("", "set-serial COM5 1111-22 3334445 --quiet", "y\\n");
    EXPECT_EQ(yes.code, 0) << yes.out;
    EXPECT_NE(yes.out.find("Serial Num: 1111-22\r\nOrder Num:  3334445"), std::string::npos)
        << yes.out;
}

TEST(Cli_Help, EveryCommandExplainsItself) {
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

namespace {

// A mistyped command or option is one line with the hint, not the whole help.
TEST(Cli_Usage, UnknownCommandIsOneLineWithTheHint) {
    const struct {
        const char* args;
        const char* line;
    } rows[] = {
        {"stauts", "kdx-cli: unknown command stauts. Did you mean status? (kdx-cli --help)\n"},
        {"chek", "kdx-cli: unknown command chek. Did you mean check? (kdx-cli --help)\n"},
        {"frobnicate", "kdx-cli: unknown command frobnicate (kdx-cli --help)\n"},
        {"--fast status", "kdx-cli: unknown option --fast (kdx-cli --help)\n"},
    };
    for (const auto& row : rows) {
        Run_Result r = Cli(row.args);
        EXPECT_EQ(r.code, 2) << row.args;
        EXPECT_EQ(r.out, row.line);
    }
}

// The command line every command cannot take, in one form: a bad option, a missing word or
// value named, a port that is not there (by COM name or by path alike) and a missing file
// (said before any port is opened), each one line with its exit status.
class Cli_Usage_Lines : public kdx::test::Sim_Port_Test {};

TEST_F(Cli_Usage_Lines, EveryCommandSaysWhatItCannotTakeInOneLine) {
    // Every command the program lists, with a mistyped option.
    Run_Result list = Cli("--help");
    std::vector<std::string> commands;
    for (size_t at = list.out.find("Commands:\n"); at != std::string::npos;) {
        at = list.out.find("\n  ", at);
        if (at == std::string::npos) break;
        at += 3;
        commands.push_back(list.out.substr(at, list.out.find(' ', at) - at));
    }
    ASSERT_GE(commands.size(), 17u) << list.out;
    for (const auto& c : commands) {
        Run_Result r = Cli(c + " --baudd");
        EXPECT_EQ(r.code, 2) << c;
        EXPECT_EQ(r.out, "kdx-cli " + c + ": unknown option --baudd (kdx-cli " + c + " --help)\n");
    }
    const std::string file = dir.path() + "/program.txt";
    Shell("printf 'V\\n' > '" + file + "'");
    const struct {
        std::string args;
        int code;
        std::string line;  // the whole output
    } rows[] = {
        // What is missing, by the name the help text gives it.
        {"status", 2,
         "kdx-cli status: expected the port, COM<n> or a device path (kdx-cli status --help)"},
        {"memory-test COM5", 2,
         "kdx-cli memory-test: expected AXIS after the port (kdx-cli memory-test --help)"},
        {"send COM5", 2, "kdx-cli send: expected FILE after the port (kdx-cli send --help)"},
        {"set-serial COM5 1111-22", 2,
         "kdx-cli set-serial: expected ORDER after SERIAL (kdx-cli set-serial --help)"},
        {"terminal COM5 --baud", 2,
         "kdx-cli terminal: expected RATE after --baud (kdx-cli terminal --help)"},
        {"terminal COM5 --eol", 2,
         "kdx-cli terminal: expected cr, lf, crlf or none after --eol (kdx-cli terminal --help)"},
        {"terminal COM5 extra", 2,
         "kdx-cli terminal: unexpected argument extra (kdx-cli terminal --help)"},
        {"check --out", 2, "kdx-cli check: expected FOLDER after --out (kdx-cli check --help)"},
        {"report --dir", 2, "kdx-cli report: expected FOLDER after --dir (kdx-cli report --help)"},
        {"debug-log --comment", 2,
         "kdx-cli debug-log: expected TEXT after --comment (kdx-cli debug-log --help)"},
        {"settings --set Motors", 2,
         "kdx-cli settings: expected KEY after SECTION (kdx-cli settings --help)"},
        {"watch --count", 2, "kdx-cli watch: expected N after --count (kdx-cli watch --help)"},
        {"program encode " + file, 2,
         "kdx-cli program: expected OUT after IN (kdx-cli program --help)"},
        {"program encdoe a b", 2,
         "kdx-cli program: expected encode or decode, not encdoe. Did you mean encode? (kdx-cli "
         "program --help)"},
        {"status COMX", 2,
         "kdx-cli status: bad port COMX: give COM<n> (n from 1 to 999) or the device's path "
         "(kdx-cli status --help)"},
        // A port that is not there: status 1 however it is named.
        {"status /dev/ttyUSB9", 1,
         "kdx-cli status: cannot open /dev/ttyUSB9: no such port (\"kdx-cli ports\" lists the "
         "ports of this machine)"},
        {"terminal /dev/ttyUSB9", 1,
         "kdx-cli terminal: cannot open /dev/ttyUSB9: no such port (\"kdx-cli ports\" lists the "
         "ports of this machine)"},
        {"check /dev/ttyUSB9", 1,
         "kdx-cli check: cannot open /dev/ttyUSB9: no such port (\"kdx-cli ports\" lists the ports "
         "of this machine)"},
        {"send /dev/ttyUSB9 " + file, 1,
         "kdx-cli send: cannot open /dev/ttyUSB9: no such port (\"kdx-cli ports\" lists the ports "
         "of this machine)"},
        // A missing file is said before the port is looked at.
        {"send COM77 /no/such.kdx", 1, "kdx-cli send: no such file: /no/such.kdx"},
        {"program decode /no/such.kdx out", 1,
         "kdx-cli program decode: no such file: /no/such.kdx"},
    };
    for (const auto& row : rows) {
        Run_Result r = Cli(row.args);
        EXPECT_EQ(r.code, row.code) << row.args;
        EXPECT_EQ(r.out, row.line + "\n") << row.args;
    }
    // COM77 by name fails as the path did, with the same status, on every port command.
    for (const char* c :
         {"status", "info", "identify", "online", "offline", "commo-test", "terminal"}) {
        Run_Result r = Cli(std::string(c) + " COM77");
        EXPECT_EQ(r.code, 1) << c;
        EXPECT_EQ(r.out.rfind(std::string("kdx-cli ") + c + ": cannot open COM77: no such port", 0),
                  0u)
            << r.out;
    }
}

}  // namespace
