// Sending files to the controller, checked on the wire of a simulated controller: program
// files field by field, any other file raw and whole; progress, stop requests and pacing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "protocol/kdx.h"
#include "protocol/kdx_progress.h"
#include "protocol/kdx_send.h"
#include "tests/support/serial_fixture.h"

namespace kdx {
namespace {

const std::string EOT(1, '\x04');
// The fault query a "?" reply starts: the controller answers "?" to fields it does not know.
const std::string Fault_Query = "KF,getFAc";

std::string Without_Fault_Queries(std::string wire) {
    for (size_t at; (at = wire.find(Fault_Query)) != std::string::npos;)
        wire.erase(at, Fault_Query.size());
    return wire;
}

class Kdx_Send : public test::Sim_Port_Test {
  protected:
    void SetUp() override {
        Sim_Port_Test::SetUp();
        setenv("KDX_SEND_PACE_PERCENT", "0", 1);
    }
    void TearDown() override {
        KDX_Set_Progress_Hook(nullptr);
        platform::Set_Sleep_Hook(nullptr);
        unsetenv("KDX_SEND_PACE_PERCENT");
        Sim_Port_Test::TearDown();
    }
    std::string Write_File(const std::string& name, const std::string& bytes) {
        std::string path = dir.path() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    // The controller's side once it has taken at least `size` bytes (fault queries removed).
    std::string Wire(size_t size) {
        test::Eventually([&] { return Without_Fault_Queries(sim->Received()).size() >= size; });
        return Without_Fault_Queries(sim->Received());
    }
};

struct Send_Case {
    const char* name;
    const char* file;
    std::string content;  // as the user wrote it; program files are stored scrambled
    std::string wire;     // what the controller receives
    std::string status;   // the status lines shown
};

void PrintTo(const Send_Case& c, std::ostream* os) {
    *os << c.name;
}

class Kdx_Send_File_Wire : public Kdx_Send, public testing::WithParamInterface<Send_Case> {};

TEST_P(Kdx_Send_File_Wire, ControllerReceivesTheCommandsAndTheTerminalTheStatusLines) {
    const Send_Case& c = GetParam();
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    bool program = KDX_Is_Program_File(c.file);
    std::string path = Write_File(c.file, program ? KDX_Program_Scramble(c.content) : c.content);
    capture.Clear();

    KDX_Send_Outcome outcome = KDX_Send_File(path);
    EXPECT_EQ(outcome.Status, KDX_Send_Status::Sent);
    EXPECT_EQ(outcome.Program, program);
    EXPECT_EQ(Wire(c.wire.size()), c.wire);
    EXPECT_EQ(capture.Visible(Echo_Kind::Status), c.status);
    // Program commands go out unechoed; a raw file is echoed as it went out.
    EXPECT_EQ(capture.Visible(Echo_Kind::Sent),
              program ? "" : Rtf_Visible_Text(Echo_Sent_Document(c.content)));
}

const std::string Done = "Transmission Complete";

INSTANTIATE_TEST_SUITE_P(
    Files, Kdx_Send_File_Wire,
    testing::Values(
        Send_Case{"comment_and_line_feed", "prog.KDX", "F,C\r\nS1M400;speed", "F,C,,S1M400,,",
                  EOT + EOT + Done},
        Send_Case{"ends_with_cr", "prog.KDX", "S1M400\r", "S1M400,,,,", EOT + EOT + Done},
        Send_Case{"blank_splits", "prog.KDX", "I1M 400", "I1M,400,,", EOT + Done},
        Send_Case{"res_then_online", "prog.KDX", "res", "res,F,,", EOT + Done},
        Send_Case{"bracket_and_brace_ends", "prog.KDX", "[1[PM-1,I1M100]\rS1M5}",
                  "[1[PM-1,I1M100],S1M5},", EOT + EOT + Done},
        Send_Case{"normalised_until_gone", "prog.KDX", "A   B,,,C\tD\n\rrruu", "A,B,CD,,rr,,",
                  EOT + EOT + Done},
        // One pass gives what each rule until gone gives: a line feed removed last still
        // joins "r" and "u" and two commas.
        Send_Case{"line_feed_removed_last", "prog.KDX", "r\nu ,\n, rruu", "ru,,rr,,", EOT + Done},
        Send_Case{"lower_case_extension", "prog.kdx", "F,C", "F,C,,", EOT + Done},
        Send_Case{"other_extension_raw", "notes.txt", "F,C\r\nS1M400;speed", "F,C\r\nS1M400;speed",
                  ""},
        Send_Case{"binary_sent_whole", "image.bin", std::string("AB\0\0CD\0\xff\x01Z", 10),
                  std::string("AB\0\0CD\0\xff\x01Z", 10), ""},
        Send_Case{"empty_program", "empty.kdx", "", ",,", EOT + Done}));

// A folder named like a program file does not make its file one.
TEST_F(Kdx_Send, ExtensionComesFromTheFileNameAlone) {
    EXPECT_TRUE(KDX_Is_Program_File("/a/b/Prog.Kdx"));
    EXPECT_FALSE(KDX_Is_Program_File("/a/b.kdx/prog"));
    EXPECT_FALSE(KDX_Is_Program_File("/a/b/prog.kdx.txt"));
}

// Without an open port the writes do nothing: only the status lines appear.
TEST_F(Kdx_Send, WithoutAnOpenPortOnlyTheStatusLinesAppear) {
    KDX_Send_Outcome outcome = KDX_Send_File(Write_File("p.KDX", KDX_Program_Scramble("F\rC")));
    EXPECT_EQ(outcome.Status, KDX_Send_Status::Sent);
    EXPECT_EQ(outcome.Bytes, 0);
    EXPECT_EQ(capture.Visible(Echo_Kind::Status), EOT + EOT + "Transmission Complete");
    EXPECT_EQ(capture.Visible(Echo_Kind::Sent), "");
}

// A file that cannot be read sends nothing and says why.
TEST_F(Kdx_Send, UnreadableFileSendsNothingAndReportsWhy) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    const std::pair<std::string, uint32_t> files[] = {
        {dir.path() + "/missing.kdx", 2}, {dir.path(), 5},  // a folder
    };
    for (const auto& [path, code] : files) {
        capture.Clear();
        KDX_Send_Outcome outcome = KDX_Send_File(path);
        EXPECT_EQ(outcome.Status, KDX_Send_Status::Unreadable) << path;
        EXPECT_EQ(outcome.Error, code) << path;
        EXPECT_NE(outcome.Message.find(path), std::string::npos) << outcome.Message;
        EXPECT_EQ(capture.Count(), 0u);
    }
    // The next command is the first thing the controller ever received.
    Serial_Port_Write(handle, "V");
    EXPECT_EQ(Wire(1), "V");
}

// The progress names each command before it goes out; a stop requested during one ends the
// operation once it is out: the file, the communication test and the memory test alike.
TEST_F(Kdx_Send, StopRequestEndsEachLongOperationAfterItsCurrentCommand) {
    struct Stop_Case {
        const char* name;
        int64_t stop_at;  // the progress count at which the stop is requested
        std::function<std::string()> run;
        std::string wire;
        std::string status;  // the last status line
    };
    const std::string program = "F,C\rS1M400";
    const Stop_Case cases[] = {
        {"send", 2,
         [&] {
             KDX_Send_File(Write_File("p.kdx", KDX_Program_Scramble(program)));
             return std::string();
         },
         "F,C,,", "Transmission Stopped"},
        {"commo", 2, [&] { return KDX_Tester_USB_Commo(handle); }, "VVV", "Test Stopped\n"},
        {"memory", 1,
         [&] {
             int32_t axis = 1;
             return KDX_Tester_Commo_Fill_Memory(handle, axis);
         },
         "F,PM-1," + KDX_Test_Program(1), "Test Stopped\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Start_Sim();
        ASSERT_TRUE(platform::Handle_Usable(Open()));
        capture.Clear();
        std::vector<KDX_Progress> seen;
        bool running = true;
        KDX_Set_Progress_Hook([&](const KDX_Progress& p) {
            seen.push_back(p);
            running = running && KDX_Operation_Running();
            if (p.Done == c.stop_at && !p.Item.empty()) KDX_Request_Stop();
        });
        KDX_Request_Stop();  // a request made before the operation does not count
        c.run();
        EXPECT_EQ(Wire(c.wire.size()), c.wire);
        std::string status = capture.Visible(Echo_Kind::Status);
        EXPECT_EQ(status.substr(status.size() - std::min(status.size(), c.status.size())),
                  c.status);
        ASSERT_GE(seen.size(), 2u);
        EXPECT_EQ(seen.front().Done, 0);
        EXPECT_FALSE(seen.front().Item.empty());
        EXPECT_EQ(seen.back().Item, "");  // the end is reported
        EXPECT_FALSE(KDX_Tester_Passed());
        EXPECT_TRUE(running);
        EXPECT_FALSE(KDX_Operation_Running());
        KDX_Set_Progress_Hook(nullptr);
        Serial_Port_Close(handle);
        sim.reset();
    }
}

// A controller that hangs up or stops reading part-way: the file ends at the first write the
// line does not take whole, or, when the whole file fits what the driver holds, at the wait
// for the line to take it; it says at which command and how many bytes the line took, echoes
// only what went out, and never says "Transmission Complete".
TEST_F(Kdx_Send, ALineCutShortEndsTheSendAndSaysHowFarItGot) {
    std::string program;
    for (int i = 0; i < 850; ++i) program += "S1M" + std::to_string(400 + i) + ",I1M10\r";
    std::string raw(405264, '\0');
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = char('A' + i % 26);
    // Files the driver holds whole (a pseudo-terminal takes more than 11 KB unread).
    const std::string small_program = program.substr(0, 11890);
    const std::string small_raw = raw.substr(0, 11890);
    struct Case {
        const char* name;
        const char* file;
        const std::string& content;
        int64_t hang_up_at, stall_at;  // bytes the controller reads first (-1: no limit)
        const char* why;
    };
    const Case cases[] = {
        {"program_hang_up", "prog.kdx", program, 300, -1, ": the port hung up; "},
        {"raw_hang_up", "raw.bin", raw, 8190, -1, ": the port hung up; "},
        {"raw_stall", "raw.bin", raw, -1, 8190, ": the device stopped reading"},
        {"program_stall_held_by_the_driver", "prog.kdx", small_program, -1, 300,
         ": the device stopped reading (no byte taken for 5 s); "},
        {"raw_stall_held_by_the_driver", "raw.bin", small_raw, -1, 300,
         ": the device stopped reading (no byte taken for 5 s); "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Wine's port reads a pseudo-terminal's output queue, which is always empty there.
        if (test::Under_Wine() && c.content.size() < 16384) continue;
        sim::Sim_Config config;
        config.hangup_after_bytes = c.hang_up_at;
        config.stall_after_bytes = c.stall_at;
        // Silent, so no fault query of ours takes a share of what it reads before it stalls.
        if (c.stall_at >= 0) config.model.answer_limit = 0;
        Start_Sim(config);
        ASSERT_TRUE(platform::Handle_Usable(Open()));
        bool program_file = KDX_Is_Program_File(c.file);
        std::string path =
            Write_File(c.file, program_file ? KDX_Program_Scramble(c.content) : c.content);
        int64_t total = 0;
        if (program_file) {
            for (const auto& line : KDX_Program_Commands(c.content))
                for (const auto& command : line) total += int64_t(command.size());
        } else {
            total = int64_t(c.content.size());
        }
        capture.Clear();
        KDX_Send_Outcome outcome = KDX_Send_File(path);
        EXPECT_EQ(outcome.Status, KDX_Send_Status::Failed);
        EXPECT_GE(outcome.Bytes, std::max(c.hang_up_at, c.stall_at));
        EXPECT_LT(outcome.Bytes, total);
        // What the driver held and the controller never read is not counted as taken.
        if (c.stall_at >= 0 && !test::Under_Wine()) {
            EXPECT_EQ(outcome.Bytes, c.stall_at);
        }
        const std::string& m = outcome.Message;
        EXPECT_EQ(
            m.rfind(program_file ? "Transmission Failed at command " : "Transmission Failed:", 0),
            0u)
            << m;
        // Wine says a hung-up pseudo-terminal is not ready (21), not that it hung up.
        bool wine_hang_up = c.hang_up_at >= 0 && test::Under_Wine();
        EXPECT_NE(m.find(wine_hang_up ? ": the write failed: " : c.why), std::string::npos) << m;
        EXPECT_NE(m.find("; " + std::to_string(outcome.Bytes) + " of " + std::to_string(total) +
                         " bytes taken by the line"),
                  std::string::npos)
            << m;
        std::string status = capture.Visible(Echo_Kind::Status);
        EXPECT_EQ(status.find("Transmission Complete"), std::string::npos);
        EXPECT_NE(status.find(m), std::string::npos) << status;
        if (!program_file) {
            // The echo shows what the driver took: what the line took and what the driver held
            // for a device that stopped reading; of a file the driver did not take whole, not
            // the whole file.
            const std::string shown = capture.Visible(Echo_Kind::Sent);
            const std::string taken =
                Rtf_Visible_Text(Echo_Sent_Document(c.content.substr(0, size_t(outcome.Bytes))));
            EXPECT_TRUE(shown.compare(0, taken.size(), taken) == 0);
            if (c.content.size() >= 16384) {
                EXPECT_LT(shown.size(), Rtf_Visible_Text(Echo_Sent_Document(c.content)).size());
            }
        }
        Serial_Port_Close(handle);
        sim.reset();
    }
}

// A NUL byte in a program file would cut its command short on the line: the file is refused
// before anything goes out, naming the byte and its line. (The file is not "nul.kdx": Windows
// takes that name for its null device, whatever the extension.)
TEST_F(Kdx_Send, ANulByteInAProgramFileSendsNothingAndSaysWhere) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    std::string path = Write_File(
        "zero_byte.kdx", KDX_Program_Scramble(std::string("F,\r\nS1M4\0", 10) + "00,\r\n"));
    capture.Clear();
    KDX_Send_Outcome outcome = KDX_Send_File(path);
    EXPECT_EQ(outcome.Status, KDX_Send_Status::Unreadable);
    EXPECT_EQ(outcome.Message,
              "cannot send " + path +
                  ": a NUL byte (00) at byte 9 (line 2); a program file holds text, nothing sent");
    EXPECT_EQ(outcome.Commands, 0);
    EXPECT_EQ(capture.Visible(Echo_Kind::Status).find("Transmission"), std::string::npos);
    EXPECT_TRUE(sim->Received().empty());
}

// The pauses between commands go through the sleeping thread's wait pump, scaled by the pace
// switch: 100 ms per field, 5000 ms after "res,", 100 ms per line; a wait for a reply pumps
// between its slices.
TEST_F(Kdx_Send, PausesGoThroughTheThreadsSleepHookAtThePaceAsked) {
    setenv("KDX_SEND_PACE_PERCENT", "10", 1);
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    std::vector<uint32_t> sleeps;
    platform::Set_Sleep_Hook([&](uint32_t ms) { sleeps.push_back(ms); });
    auto start = std::chrono::steady_clock::now();
    KDX_Send_File(Write_File("p.kdx", KDX_Program_Scramble("F,C\rres")));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(sleeps, (std::vector<uint32_t>{10, 10, 10, 10, 500, 10, 10}));
    // The pump returned at once: the rest of each pause was slept all the same.
    EXPECT_GE(took, std::chrono::milliseconds(560));
    // A wait for a reply that does not come lets the pump work too, in slices.
    Serial_Port_Close(handle);
    sim.reset();
    sim::Sim_Config silent;
    silent.model.answer_limit = 0;
    Start_Sim(silent);
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    sleeps.clear();
    KDX_Tester_USB_Commo(handle);
    EXPECT_GE(std::count(sleeps.begin(), sleeps.end(), 0u), 3);
    // Another thread's sleep does not use this thread's pump.
    sleeps.clear();
    std::thread([] { platform::Sleep_Ms(1); }).join();
    EXPECT_TRUE(sleeps.empty());
}

}  // namespace
}  // namespace kdx
