// The protocol against the simulated controller over a real pseudo-terminal: the exact bytes
// the controller received, the results, and what the terminal was shown.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include "platform/os/system.h"
#include "platform/window/window.h"
#include "protocol/kdx.h"
#include "tests/test_serial_fixture.h"

using namespace kdx;
using kdx::test::Eventually;

namespace {

class Protocol_Line : public kdx::test::Sim_Port_Test {
  protected:
    void Start(sim::Sim_Config config = {}, int32_t baud = 57600) {
        Start_Sim(config);
        ASSERT_GT(Open(baud), 0);
        capture.Clear();
    }
    // What the controller has received, once at least want bytes have arrived.
    std::string Received(size_t want) {
        Eventually([&] { return sim->Received().size() >= want; }, 2000);
        return sim->Received();
    }
    std::string Sent() const { return capture.Visible(Echo_Kind::Sent); }
    std::string Status() const { return capture.Visible(Echo_Kind::Status); }
};

TEST_F(Protocol_Line, StatusLettersAsTheControllerAnswers) {
    Start();
    EXPECT_EQ(KDX_Verify_Status(handle), "R");
    Serial_Port_Write(handle, "Q,");
    EXPECT_EQ(KDX_Verify_Status(handle), "J");
    Serial_Port_Write(handle, "F,C,S1M1000,I1M5000,R");
    EXPECT_EQ(KDX_Verify_Status(handle), "B");
    Serial_Port_Write(handle, "Q,");
    EXPECT_EQ(KDX_Verify_Status(handle), "b");
    Serial_Port_Write(handle, "K");
    EXPECT_EQ(KDX_Verify_Status(handle), "J");
    EXPECT_EQ(Received(0), "VQ,VF,C,S1M1000,I1M5000,RVQ,VKV");
    // The command and each letter are shown.
    EXPECT_NE(Sent().find("V"), std::string::npos);
    EXPECT_EQ(Received_Visible(), "RJBbJ");
}

TEST_F(Protocol_Line, SilentControllerIsNoResponse) {
    sim::Sim_Config c;
    c.model.answer_limit = 0;
    Start(c);
    EXPECT_EQ(KDX_Verify_Status(handle), "");
    EXPECT_EQ(Received(1), "V");
}

TEST_F(Protocol_Line, LateLetterIsStillTaken) {
    // A real adapter adds milliseconds before the letter arrives.
    sim::Sim_Config c;
    c.late_ms = 15;
    Start(c);
    EXPECT_EQ(KDX_Verify_Status(handle), "R");
}

TEST_F(Protocol_Line, ModeCommandsSendTheirTextShown) {
    Start();
    EXPECT_EQ(KDX_Online_Echo_On(handle), "E,");
    EXPECT_EQ(KDX_Offline(handle), "Q,");
    EXPECT_EQ(KDX_Online_Echo_Off(handle), "F,");
    EXPECT_EQ(Received(6), "E,Q,F,");
    EXPECT_EQ(Sent(), "E,Q,F,");
    EXPECT_EQ(KDX_Verify_Status(handle), "R");
}

TEST_F(Protocol_Line, IdentifySweepsEveryRateThreeTimes) {
    // The controller listens at 19200 only; the port was opened at that rate.
    sim::Sim_Config c;
    c.baud = 19200;
    Start(c, 19200);
    Serial_Port_State.Baud = 19200;
    EXPECT_EQ(KDX_Identify(), "");
    // At its own rate it hears the on-line and off-line commands of each pass; the other
    // three rates' 18 writes of two bytes each never reach it.
    EXPECT_EQ(Received(12), "F,Q,F,Q,F,Q,");
    EXPECT_EQ(sim->Dropped(), 36);
    EXPECT_EQ(Sent(), "");
    EXPECT_EQ(Status(), "Online\nOffline\nOnline\nOffline\nOnline\nOffline\n");
    // Back at the old rate: the controller answers again.
    EXPECT_EQ(KDX_Verify_Status(handle), "J");
}

TEST_F(Protocol_Line, DeviceGettersCleanTheReplies) {
    Start();
    int32_t unused = 0;  // the getters always use the open port
    EXPECT_EQ(KDX_Serial_Number_Get(unused), "1234-56\r");
    EXPECT_EQ(KDX_Order_Number_Get(unused), "7654321\r");
    EXPECT_EQ(KDX_Firmware_Version_Get(unused), "1.23\r");
    EXPECT_EQ(KDX_Firmware_Revision_Get(unused), "12-06-26\r");
    EXPECT_EQ(KDX_Axis_Set(unused), "1111\r");
    EXPECT_EQ(KDX_Axis_Found(unused), "1234\r");
    EXPECT_EQ(Received(0), "F,getD4,F,getD4,F,getD0,F,getD1,F,getAS,F,getAF,");
    EXPECT_EQ(Sent(), "F,getD4,F,getD4,F,getD0,F,getD1,F,getAS,F,getAF,");
}

TEST_F(Protocol_Line, PerAxisGettersAndTheirCommands) {
    sim::Sim_Config c;
    c.model.axes = 2;
    Start(c);
    int32_t unused = 0;
    int32_t axis = 2;
    EXPECT_EQ(KDX_Axis_Motor_Get(unused, axis), "17");
    axis = 1;
    EXPECT_EQ(KDX_Axis_Limit_Get(unused, axis), "-1A0");
    EXPECT_EQ(KDX_Axis_Home_Switch_Get(unused, axis), "1");
    EXPECT_EQ(KDX_Axis_Found(unused), "1200\r");
    EXPECT_EQ(Received(0), "F,getMT2M=\rF,getL1M=\rF,getHS1M=\rF,getAF,");
}

// Records what the protocol puts into the Terminal's controls.
class Recording_Window final : public win::Backend {
  public:
    bool Set_Dlg_Item_Text(win::HWND dialog, int32_t id, const std::string& text) override {
        if (dialog == win::Terminal_Dialog) texts[id] = text;
        return true;
    }
    std::string Get_Dlg_Item_Text(win::HWND, int32_t id) override { return texts[id]; }
    int64_t Send_Message(win::HWND, uint32_t, uint64_t, int64_t) override { return 0; }
    bool Post_Message(win::HWND, uint32_t, uint64_t, int64_t) override { return true; }
    std::map<int32_t, std::string> texts;
};

TEST_F(Protocol_Line, AxisIdJoinsThreeRepliesIntoItsBox) {
    Start();
    Recording_Window window;
    win::Set_Backend(&window);
    win::Terminal_Dialog = 77;
    EXPECT_EQ(KDX_ID_Axis_1(handle), "getMT1M=,17,getL1M=,-1A,0,getHS1M=,1");
    EXPECT_EQ(KDX_ID_Axis_4(handle), "getMT4M=,34,getL4M=,-2,0,getHS4M=,0");
    win::Terminal_Dialog = 0;
    win::Set_Backend(nullptr);
    EXPECT_EQ(window.texts[2005], "getMT1M=,17,getL1M=,-1A,0,getHS1M=,1");
    EXPECT_EQ(window.texts[2008], "getMT4M=,34,getL4M=,-2,0,getHS4M=,0");
    EXPECT_EQ(Received(0),
              "F,getMT1M=\rF,getL1M=\rF,getHS1M=\rF,getMT4M=\rF,getL4M=\rF,getHS4M=\r");
    // Each joined text parses into its motor id and limit code.
    std::string joined = window.texts[2005];
    EXPECT_EQ(KDX_Parse_Limit_ID(joined), "17");
}

TEST_F(Protocol_Line, SerialNumberSetIsStoredAndNotShown) {
    Start();
    std::string serial = "9876-54", order = "1112223";
    EXPECT_EQ(KDX_Serial_Number_Set(handle, serial, order), "setser#&=9876-54     @1112223");
    EXPECT_EQ(Received(29), "setser#&=9876-54     @1112223");
    EXPECT_EQ(Sent(), "");
    // The controller takes a command without terminator once the line is quiet.
    kdx::platform::Sleep_Ms(60);
    EXPECT_EQ(KDX_Serial_Number_Get(handle), "9876-54\r");
    EXPECT_EQ(KDX_Order_Number_Get(handle), "1112223\r");
}

TEST_F(Protocol_Line, MemoryTestPassesOnEveryAxis) {
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

TEST_F(Protocol_Line, MemoryTestFailsWithTheCorruptedStep) {
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

TEST_F(Protocol_Line, MemoryTestEndsOnARefusal) {
    sim::Sim_Config c;
    c.model.axes = 2;
    Start(c);
    int32_t axis = 3;
    std::string outcome = KDX_Tester_Commo_Fill_Memory(handle, axis);
    EXPECT_NE(outcome.find('?'), std::string::npos) << outcome;
    EXPECT_EQ(KDX_Tester_Passed(), 0);
}

TEST_F(Protocol_Line, MemoryTestOfASilentControllerEndsIncomplete) {
    sim::Sim_Config c;
    c.model.answer_limit = 0;
    Start(c);
    int32_t axis = 1;
    EXPECT_EQ(KDX_Tester_Commo_Fill_Memory(handle, axis), "Listing incomplete, no reply");
    EXPECT_EQ(KDX_Tester_Passed(), 0);
    EXPECT_NE(Status().find("Listing incomplete"), std::string::npos);
}

TEST_F(Protocol_Line, MemoryTestOfABabblingControllerEndsIncomplete) {
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

TEST_F(Protocol_Line, MemoryTestOfACutListingShowsWhatIsMissing) {
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

TEST_F(Protocol_Line, CommunicationTestPasses) {
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
TEST_F(Protocol_Line, MemoryTestAtASlowRateWaitsForTheProgramToCrossTheLine) {
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
TEST_F(Protocol_Line, CommunicationTestCountsOnlyStatusLetters) {
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

TEST_F(Protocol_Line, CommunicationTestAbortsWhenTheControllerStops) {
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
}

TEST(Protocol_No_Port, EveryOperationWithoutAUsablePort) {
    for (int32_t unusable : {0, -1}) {
        Echo_Capture_Sink capture;
        Echo_Set_Sink(&capture);
        Serial_Port_State = Serial_Port_State_Record{};
        Serial_Port_State.Handle = unusable;
        int32_t h = unusable, axis = 2;
        std::string serial = "1", order = "2";
        EXPECT_EQ(KDX_Verify_Status(h), "");
        EXPECT_EQ(KDX_Online_Echo_Off(h), "");
        EXPECT_EQ(KDX_Online_Echo_On(h), "");
        EXPECT_EQ(KDX_Offline(h), "");
        EXPECT_EQ(KDX_Identify(), "");
        EXPECT_EQ(KDX_Diagnostic(h), "");
        for (auto getter : {KDX_Serial_Number_Get, KDX_Order_Number_Get, KDX_Firmware_Version_Get,
                            KDX_Firmware_Revision_Get, KDX_Axis_Set, KDX_Axis_Found})
            EXPECT_EQ(getter(h), "\r");
        for (auto getter : {KDX_Axis_Motor_Get, KDX_Axis_Limit_Get, KDX_Axis_Home_Switch_Get})
            EXPECT_EQ(getter(h, axis), "");
        for (auto id : {KDX_ID_Axis_1, KDX_ID_Axis_2, KDX_ID_Axis_3, KDX_ID_Axis_4})
            EXPECT_EQ(id(h), "");
        EXPECT_EQ(KDX_Serial_Number_Set(h, serial, order), "");
        // Identify wrote no status lines; the tests say the port is not open.
        EXPECT_EQ(capture.Visible(Echo_Kind::Status), "") << unusable;
        EXPECT_EQ(KDX_Tester_USB_Commo(h), "");
        EXPECT_EQ(KDX_Tester_Commo_Fill_Memory(h, axis), "");
        EXPECT_EQ(KDX_Tester_Passed(), 0);
        EXPECT_EQ(capture.Visible(Echo_Kind::Status),
                  "KDX_TESTER_USB_COMMO FAILED... Port not open\n"
                  "KDX_TESTER_COMMO_FILL_MEMORY Axis 2 FAILED... Port not open\n");
        EXPECT_EQ(capture.Visible(Echo_Kind::Sent), "");
        Echo_Set_Sink(nullptr);
    }
    Serial_Port_State = Serial_Port_State_Record{};
}

}  // namespace
