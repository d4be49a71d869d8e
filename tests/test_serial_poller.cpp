// The receive poller: unasked text shown, pauses honoured, ended with its port or a hang-up.
#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/serial.h"
#include "protocol/kdx_fault.h"
#include "tests/test_serial_fixture.h"

namespace kdx::test {
namespace {

using Serial_Poller = Sim_Port_Test;

TEST_F(Serial_Poller, PicksUpUnaskedText) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    Serial_Port_State.Poller = Serial_Port_Poller_Start(handle);
    ASSERT_NE(Serial_Port_State.Poller, 0);
    EXPECT_TRUE(Serial_Port_Poller_Running(Serial_Port_State.Poller));
    sim->Send("HELLO\r");
    EXPECT_TRUE(Eventually([&] { return Received_Visible() == "HELLO\n"; })) << Received_Visible();
    // A reply to a write nobody reads is left to the poller.
    Serial_Port_Write(handle, "V");
    EXPECT_TRUE(Eventually([&] { return Received_Visible() == "HELLO\nR"; })) << Received_Visible();
}

TEST_F(Serial_Poller, ACommandIsAlwaysShownBeforeItsReply) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    Serial_Port_State.Poller = Serial_Port_Poller_Start(handle);
    for (int i = 0; i < 50; ++i) {
        capture.Clear();
        Serial_Port_Write(handle, "V");
        ASSERT_TRUE(Eventually([&] { return capture.Count() == 2; }));
        auto entries = capture.Entries();
        EXPECT_EQ(entries[0].Document.Kind, Echo_Kind::Sent);
        EXPECT_EQ(entries[1].Document.Kind, Echo_Kind::Received);
    }
}

TEST_F(Serial_Poller, NoPollerReadDuringAPausedExchange) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t poller = Serial_Port_Poller_Start(handle);
    Serial_Port_State.Poller = poller;
    for (int round = 0; round < 20; ++round) {
        capture.Clear();
        std::string reply;
        {
            Poller_Pause pause(poller);
            Poller_Pause nested(poller);  // pauses nest
            Serial_Port_Write(handle, "V");
            // The reply stays for the exchange's own read, however long it waits.
            ASSERT_TRUE(Serial_Port_Wait_Input(handle, 5000));
            std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
            reply = Read_Until("R");
        }
        EXPECT_EQ(reply, "R");
        auto entries = capture.Entries();
        ASSERT_EQ(entries.size(), 2u);  // the sent echo and our own read's echo
    }
    // Resumed: the poller takes text again.
    capture.Clear();
    sim->Send("X");
    EXPECT_TRUE(Eventually([&] { return Received_Visible() == "X"; }));
}

TEST_F(Serial_Poller, FaultQueryOnThePollerThreadDoesNotPauseItself) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    Serial_Port_State.Poller = Serial_Port_Poller_Start(handle);
    // The poller reads "?", runs the fault query on its own thread, and goes on.
    Serial_Port_Write(handle, "NOPE,");
    EXPECT_TRUE(Eventually([&] { return sim->Received().find("KF,getFAc") != std::string::npos; }))
        << sim->Received();
    sim->Send("AFTER");
    EXPECT_TRUE(Eventually([&] { return Received_Visible().find("AFTER") != std::string::npos; }))
        << Received_Visible();
    EXPECT_TRUE(Serial_Port_Poller_Running(Serial_Port_State.Poller));
}

TEST_F(Serial_Poller, CloseStopsAndJoinsThePoller) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t poller = Serial_Port_Poller_Start(handle);
    Serial_Port_State.Poller = poller;
    Serial_Port_Close(handle);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(Serial_Port_State.Poller, 0);
    EXPECT_FALSE(Serial_Port_Poller_Running(poller));
    EXPECT_EQ(platform::Handle_Get(poller), nullptr);
    // Pausing a gone poller, or poller 0, returns at once.
    Serial_Port_Poller_Pause(poller);
    Serial_Port_Poller_Resume(poller);
    Serial_Port_Poller_Pause(0);
    Serial_Port_Poller_Resume(0);
    // A later open gets a port that no old poller reads.
    capture.Clear();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    sim->Send("MINE");
    EXPECT_EQ(Read_Until("MINE"), "MINE");
}

TEST_F(Serial_Poller, SecondStartReplacesTheFirst) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t first = Serial_Port_Poller_Start(handle);
    int32_t second = Serial_Port_Poller_Start(handle);
    EXPECT_NE(first, second);
    EXPECT_FALSE(Serial_Port_Poller_Running(first));
    EXPECT_TRUE(Serial_Port_Poller_Running(second));
    Serial_Port_State.Poller = second;
}

TEST_F(Serial_Poller, HangUpInTheMiddleOfASession) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t poller = Serial_Port_Poller_Start(handle);
    Serial_Port_State.Poller = poller;
    sim->Send("BEFORE");
    ASSERT_TRUE(Eventually([&] { return Received_Visible() == "BEFORE"; }));
    sim->Hang_Up();
    ASSERT_TRUE(sim->Wait_Ended(5000));
    // The poller notices, traces once and ends; it does not spin on the dead line.
    EXPECT_TRUE(Eventually([&] { return !Serial_Port_Poller_Running(poller); }));
    EXPECT_TRUE(platform::Comm_Hung_Up(handle));
    EXPECT_EQ(platform::Ports_Dir_Device(5), "");  // the registration went with the line
    // Everything after it fails cleanly and returns at once.
    { Poller_Pause pause(poller); }
    EXPECT_FALSE(Serial_Port_Wait_Input(handle, 5000));
    EXPECT_EQ(Serial_Port_Read(handle), "");
    // A write the dead line does not take is neither returned nor echoed as sent.
    capture.Clear();
    EXPECT_EQ(Serial_Port_Write(handle, "V"), "");
    EXPECT_EQ(platform::Get_Last_Error(), platform::ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(capture.Visible(Echo_Kind::Sent), "");
    int32_t h = handle;
    EXPECT_EQ(Serial_Port_Close(h), 0);
    handle = 0;
}

TEST_F(Serial_Poller, HangUpWhilePausedEndsThePollerOnResume) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t poller = Serial_Port_Poller_Start(handle);
    Serial_Port_State.Poller = poller;
    {
        Poller_Pause pause(poller);
        sim->Hang_Up();
        ASSERT_TRUE(sim->Wait_Ended(5000));
    }
    EXPECT_TRUE(Eventually([&] { return !Serial_Port_Poller_Running(poller); }));
}

TEST_F(Serial_Poller, WaitInputWakesOnTheFirstByte) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    EXPECT_FALSE(Serial_Port_Wait_Input(handle, 30));
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sim->Send("Z");
    });
    EXPECT_TRUE(Serial_Port_Wait_Input(handle, 10000));
    later.join();
    EXPECT_EQ(Serial_Port_Read(handle), "Z");
}

// A "?" taken by the poller starts the fault query on the poller's thread, while the
// user-interface thread records the poller in the port's state (as the Terminal does after
// each open): the query must not read that record, which only its owner thread writes. The
// ThreadSanitizer build of the suite reports the race this would be.
TEST_F(Serial_Poller, AFaultQueryOnThePollerLeavesThePortRecordToItsOwner) {
    Start_Sim();
    ASSERT_GT(Open(), 0);
    int32_t poller = Serial_Port_Poller_Start(handle);
    ASSERT_NE(poller, 0);
    sim->Send("?\r");
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) Serial_Port_State.Poller = poller;
    EXPECT_TRUE(Eventually([&] { return sim->Received().find("KF,getFAc") != std::string::npos; }))
        << sim->Received();
    Serial_Port_State.Poller = 0;
}

}  // namespace
}  // namespace kdx::test
