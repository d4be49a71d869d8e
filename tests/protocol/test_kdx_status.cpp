// The status letters and the mode commands against the simulated controller, the identify
// sweep, and the status table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/kdx.h"
#include "tests/support/protocol_line_fixture.h"

using namespace kdx;
using kdx::test::Eventually;

namespace {

using Kdx_Status = kdx::test::Protocol_Line_Test;

TEST_F(Kdx_Status, StatusLettersAsTheControllerAnswers) {
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

TEST_F(Kdx_Status, SilentControllerIsNoResponse) {
    sim::Sim_Config c;
    c.model.answer_limit = 0;
    Start(c);
    EXPECT_EQ(KDX_Verify_Status(handle), "");
    EXPECT_EQ(Received(1), "V");
}

TEST_F(Kdx_Status, LateLetterIsStillTaken) {
    // A real adapter adds milliseconds before the letter arrives.
    sim::Sim_Config c;
    c.late_ms = 15;
    Start(c);
    EXPECT_EQ(KDX_Verify_Status(handle), "R");
}

TEST_F(Kdx_Status, ModeCommandsSendTheirTextShown) {
    Start();
    EXPECT_EQ(KDX_Online_Echo_On(handle), "E,");
    EXPECT_EQ(KDX_Offline(handle), "Q,");
    EXPECT_EQ(KDX_Online_Echo_Off(handle), "F,");
    EXPECT_EQ(Received(6), "E,Q,F,");
    EXPECT_EQ(Sent(), "E,Q,F,");
    EXPECT_EQ(KDX_Verify_Status(handle), "R");
}

TEST_F(Kdx_Status, IdentifySweepsEveryRateThreeTimes) {
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

TEST(Kdx_Status_Table, LettersAndAnythingElse) {
    struct Case {
        std::string reply, meaning;
    };
    for (const auto& c : std::vector<Case>{{"R", "Ready"},
                                           {"B", "Online Busy"},
                                           {"b", "Offline Busy"},
                                           {"J", "Jog"},
                                           {"F", "Fault"},
                                           {"", "No Response"},
                                           {"R\r", "R\r"},
                                           {"r", "r"},
                                           {"RR", "RR"}})
        EXPECT_EQ(KDX_Status_Meaning(c.reply), c.meaning) << c.reply;
}

}  // namespace
