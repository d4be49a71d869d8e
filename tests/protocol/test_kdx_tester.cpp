// The memory and communication tests against the simulated controller over a real
// pseudo-terminal (the exact bytes the controller received, the results, and what the
// terminal was shown), and the test program and listing comparison without a line.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/os/system.h"
#include "platform/window/window.h"
#include "protocol/kdx.h"
#include "tests/support/protocol_line_fixture.h"

using namespace kdx;
using kdx::test::Eventually;

namespace {

using Kdx_Tester = kdx::test::Protocol_Line_Test;

TEST_F(Kdx_Tester, MemoryTestPassesOnEveryAxis) {
    Start();
    std::string expected_bytes;
    for (int32_t axis = 1; axis <= 4; ++axis) {
        std::string n = std::to_string(axis);
        std::string header = axis == 1 ? "lst" : "lst" + n + "M" + n;
        EXPECT_EQ(KDX_Tester_Commo_Fill_Memory(handle, axis), header + ",") << axis;
        EXPECT_EQ(KDX_Tester_Passed(), 1) << axis;
        expected_bytes += (axis == 1 ? "F,PM-1," : "F,[" + n + "[PM-" + n + ",") +
                          KDX_Test_Program(axis) + (axis == 1 ? "" : "]") + header + ",";
    }
    EXPECT_EQ(Received(0), expected_bytes);
    EXPECT_NE(Sent().find("Testing Axis 3 - Program 3\n"), std::string::npos);
    EXPECT_NE(Status().find("lst4M4,\n"), std::string::npos);
}

TEST_F(Kdx_Tester, MemoryTestFailsWithTheCorruptedStep) {
    sim::Sim_Config c;
    c.model.corrupt_axis = 2;
    c.model.corrupt_step = 10;
    Start(c);
    int32_t axis = 2;
    // Step 10 of axis 2 is 2 * 110 = 220, stored as 221.
    EXPECT_EQ(KDX_Tester_Commo_Fill_Memory(handle, axis), "I1M8387221");
    EXPECT_EQ(KDX_Tester_Passed(), 0);
    EXPECT_NE(Status().find("I1M8387221\n"), std::string::npos);
    axis = 3;
    EXPECT_EQ(KDX_Tester_Commo_Fill_Memory(handle, axis), "lst3M3,");
}

TEST_F(Kdx_Tester, MemoryTestEndsOnARefusal) {
    sim::Sim_Config c;
    c.model.axes = 2;
    Start(c);
    int32_t axis = 3;
    std::string outcome = KDX_Tester_Commo_Fill_Memory(handle, axis);
    EXPECT_NE(outcome.find('?'), std::string::npos) << outcome;
    EXPECT_EQ(KDX_Tester_Passed(), 0);
}

TEST_F(Kdx_Tester, MemoryTestOfASilentControllerEndsIncomplete) {
    sim::Sim_Config c;
    c.model.answer_limit = 0;
    Start(c);
    int32_t axis = 1;
    EXPECT_EQ(KDX_Tester_Commo_Fill_Memory(handle, axis), "Listing incomplete, no reply");
    EXPECT_EQ(KDX_Tester_Passed(), 0);
    EXPECT_NE(Status().find("Listing incomplete"), std::string::npos);
}

TEST_F(Kdx_Tester, MemoryTestOfABabblingControllerEndsIncomplete) {
    sim::Sim_Config c;
    c.model.answer_limit = 0;
    Start(c);
    sim->Flood(4 * 1024 * 1024);
    int32_t axis = 1;
    std::string outcome = KDX_Tester_Commo_Fill_Memory(handle, axis);
    EXPECT_EQ(outcome.rfind("Listing incomplete - ", 0), 0u) << outcome.substr(0, 100);
    EXPECT_LE(outcome.size(), KDX_Outcome_Capacity);
    EXPECT_EQ(KDX_Tester_Passed(), 0);
}

TEST_F(Kdx_Tester, MemoryTestOfACutListingShowsWhatIsMissing) {
    // The listing's first 100 bytes come, then the line stays quiet for longer than the
    // collection waits: the outcome names the steps that never came.
    sim::Sim_Config c;
    c.piece_size = 100;
    c.piece_gap_ms = 5000;
    Start(c);
    int32_t axis = 1;
    std::string outcome = KDX_Tester_Commo_Fill_Memory(handle, axis);
    // The last step that came is cut short: it matches nothing.
    EXPECT_EQ(outcome.rfind("Listing incomplete - I1M83871 Missing I1M8387110,I1M8387111,", 0), 0u)
        << outcome;
    EXPECT_EQ(outcome.substr(outcome.size() - 10), "I1M8387164");
    EXPECT_EQ(KDX_Tester_Passed(), 0);
}

TEST_F(Kdx_Tester, CommunicationTestPasses) {
    Start();
    EXPECT_EQ(KDX_Tester_USB_Commo(handle), "");
    EXPECT_EQ(KDX_Tester_Passed(), 1);
    EXPECT_EQ(Received(1000), std::string(1000, 'V'));
    std::string status = Status();
    EXPECT_EQ(status.rfind("Testing USB\n", 0), 0u);
    EXPECT_NE(status.find("       7     "), std::string::npos);
    EXPECT_NE(status.find("      250     "), std::string::npos);
    EXPECT_NE(status.find("     1000     "), std::string::npos);
    EXPECT_EQ(status.find("Test Error"), std::string::npos);
    // Each letter, then the CR that ends the terminal line.
    std::string letters;
    for (int i = 0; i < 1000; ++i) letters += "R\n";
    EXPECT_EQ(Received_Visible(), letters);
}

// At a slow rate the program takes seconds on the wire: the quiet limit starts only once
// it has been sent (722 bytes for axis 2 take 3.0 s at 2400 baud).
TEST_F(Kdx_Tester, MemoryTestAtASlowRateWaitsForTheProgramToCrossTheLine) {
    sim::Sim_Config c;
    c.baud = 2400;
    c.wire_time = true;
    Start(c, 2400);
    int32_t axis = 2;
    EXPECT_EQ(KDX_Tester_Commo_Fill_Memory(handle, axis), "lst2M2,");
    EXPECT_EQ(KDX_Tester_Passed(), 1);
}

// A query counts as answered only by a status letter; other bytes that happen to be on the
// line are failed queries, and the bytes on the wire stay those of the plain test.
TEST_F(Kdx_Tester, CommunicationTestCountsOnlyStatusLetters) {
    const struct {
        const char* name;
        sim::Sim_Config config;
        std::function<void(sim::Simulator&)> before;
        int32_t passed;
    } cases[] = {
        {"letters only", {}, [](sim::Simulator&) {}, 1},
        {"a listing still in flight",
         [] {
             sim::Sim_Config c;
             c.baud = 9600;
             c.wire_time = true;
             return c;
         }(),
         [](sim::Simulator& s) {
             s.Send("lst,\r");
             for (int i = 101; i <= 164; ++i) s.Send("I1M8387" + std::to_string(i) + ",\r");
         },
         0},
        {"a controller echoing each command before its letter",
         {},
         [this](sim::Simulator&) { KDX_Online_Echo_On(handle); },
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Start(c.config, int32_t(c.config.baud));
        c.before(*sim);
        EXPECT_EQ(KDX_Tester_USB_Commo(handle), "");
        EXPECT_EQ(KDX_Tester_Passed(), c.passed);
        // The test's own bytes: 1000 queries, whatever the case sent before them.
        std::string received = Received(1000);
        EXPECT_EQ(std::count(received.begin(), received.end(), 'V'), 1000);
        EXPECT_EQ(received.back(), 'V');
        EXPECT_EQ(Status().find("Failed queries: ") != std::string::npos, c.passed == 0)
            << Status().substr(Status().size() > 300 ? Status().size() - 300 : 0);
        Serial_Port_Close(handle);
        sim.reset();
    }
}

TEST_F(Kdx_Tester, CommunicationTestAbortsWhenTheControllerStops) {
    sim::Sim_Config c;
    c.model.answer_limit = 10;
    Start(c);
    EXPECT_EQ(KDX_Tester_USB_Commo(handle), "");
    EXPECT_EQ(KDX_Tester_Passed(), 0);
    EXPECT_EQ(Received(11), std::string(11, 'V'));
    std::string status = Status();
    EXPECT_NE(status.find("      11     Test Error - Aborting Test\n"), std::string::npos)
        << status;
    EXPECT_EQ(status.find("      12     "), std::string::npos);
    const KDX_Commo_Count& count = KDX_Tester_Last_Commo();
    EXPECT_EQ(count.Sent, 11);
    EXPECT_EQ(count.Answered, 10);
    EXPECT_EQ(count.Wrong, 0);
    EXPECT_TRUE(count.Aborted);
}

TEST(Kdx_Tester_Program, SixtyFourStepsPerAxis) {
    for (int32_t axis = 1; axis <= 4; ++axis) {
        std::string program = KDX_Test_Program(axis);
        EXPECT_EQ(std::count(program.begin(), program.end(), ','), 64);
        std::string n1 = std::to_string(axis * 101), n64 = std::to_string(axis * 164);
        EXPECT_EQ(program.substr(0, 8 + n1.size()), "I1M8387" + n1 + ",");
        EXPECT_EQ(program.substr(program.size() - 8 - n64.size()), "I1M8387" + n64 + ",");
    }
}

struct Compare_Case {
    const char* name;
    std::string sent, listing, result;
    bool passed;
};

std::string Listing_Of(const std::string& header, const std::string& steps) {
    std::string text = header + "\r";
    for (char c : steps) text += c == ',' ? '\r' : c;
    return text + '\x04';
}

TEST(Kdx_Tester_Compare_Listing, PassesOnlyOnTheSentStepsOneForOneInOrder) {
    const std::string p3 = KDX_Test_Program(3);
    std::string corrupted = p3;
    corrupted.replace(corrupted.size() - 2, 1, "3");
    std::string truncated = p3.substr(0, p3.size() - 11);  // without I1M8387492,
    std::string repeated = p3.substr(0, p3.size() - 11) + "I1M8387489,";
    for (const auto& c : std::vector<Compare_Case>{
             {"all_matched", "A,B,", "L,A,B,\x04", "L,", true},
             {"one_replaced", "A,B,", "L,A,X,\x04", "X", false},
             {"cr_separated", "A\rB\r", "L\rA\rB\r\x04", "L,", true},
             {"crlf_listing", "A,B,", "L\r\nA\r\nB\r\n\x04", "L,", true},
             {"truncated", "A,B,C,", "L,A,B,\x04", "Missing C", false},
             {"repeats_instead_of_next", "A,B,", "L,A,A,\x04", "A", false},
             {"out_of_order", "A,B,", "L,B,A,\x04", "B,A", false},
             {"extra_step", "A,B,", "L,A,B,C,\x04", "C", false},
             {"empty_listing", "A,B,", "", "Missing A,B", false},
             {"header_only", "A,", "L,\x04", "Missing A", false},
             {"program_axis3", p3 + "]", Listing_Of("lst3M3", p3), "lst3M3,", true},
             {"program_axis3_corrupted", p3 + "]", Listing_Of("lst3M3", corrupted), "I1M8387493",
              false},
             {"program_axis3_truncated", p3 + "]", Listing_Of("lst3M3", truncated),
              "Missing I1M8387492", false},
             {"program_axis3_repeated_step", p3 + "]", Listing_Of("lst3M3", repeated), "I1M8387489",
              false},
         }) {
        std::string sent = c.sent, listing = c.listing;
        EXPECT_EQ(KDX_Tester_Commo_Fill_Memory_Compare_Strings(sent, listing), c.result) << c.name;
        EXPECT_EQ(sent.find('\r'), std::string::npos) << c.name;
        EXPECT_EQ(listing.find('\r'), std::string::npos) << c.name;
        EXPECT_EQ(KDX_Compare_Listing(sent, listing).passed, c.passed) << c.name;
    }
}

TEST(Kdx_Tester_Config_Create, DoesNothing) {
    int32_t argument = 77;
    EXPECT_EQ(KDX_Config_Create(argument), 0);
    EXPECT_EQ(argument, 77);
}

}  // namespace
