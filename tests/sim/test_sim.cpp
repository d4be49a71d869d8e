// The simulator's line: registration, its own baud rate, wire time and the fault switches.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/serial.h"
#include "tests/support/serial_fixture.h"

namespace kdx::test {
namespace {

using Sim_Transport = Sim_Port_Test;

TEST_F(Sim_Transport, RegistersWhileRunningOnly) {
    Start_Sim();
    EXPECT_EQ(platform::Ports_Dir_Device(5), sim->Device());
    sim->Stop();
    EXPECT_EQ(platform::Ports_Dir_Device(5), "");
}

TEST_F(Sim_Transport, AnswersOnlyAtItsOwnRate) {
    sim::Sim_Config config;
    config.baud = 19200;
    Start_Sim(config);
    ASSERT_TRUE(platform::Handle_Usable(Open(57600)));
    Serial_Port_Write(handle, "V");
    EXPECT_FALSE(Serial_Port_Wait_Input(handle, 100));
    EXPECT_TRUE(Eventually([&] { return sim->Dropped() == 1; }));
    int32_t baud = 19200;
    Serial_Port_DCB(handle, baud);
    Serial_Port_Write(handle, "V");
    EXPECT_EQ(Read_Until("R"), "R");
    EXPECT_EQ(sim->Received(), "V");
}

TEST_F(Sim_Transport, ReplyShapes) {
    struct Case {
        const char* name;
        sim::Sim_Config config;
        std::string want;
        bool in_pieces;
    };
    sim::Sim_Config nul, pieces, slow, late;
    nul.nul_every = 1;
    pieces.piece_size = 1;
    pieces.piece_gap_ms = 30;
    slow.slow_ms = 30;
    late.late_ms = 50;
    const Case cases[] = {
        {"zero bytes", nul, std::string("R\0", 2), false},
        {"pieces", pieces, "getD0,1.23\r", true},
        {"slow", slow, "getD0,1.23\r", true},
        {"late", late, "R", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Start_Sim(c.config);
        ASSERT_TRUE(platform::Handle_Usable(Open()));
        const int32_t zero = 0;
        std::string command = c.want[0] == 'g' ? "F,getD0," : "V";
        int64_t sent_at = platform::Tick_Count_Ms();
        Serial_Port_Write(handle, command, &zero);
        ASSERT_TRUE(Serial_Port_Wait_Input(handle, 5000));
        int64_t first_at = platform::Tick_Count_Ms();
        std::string first = Serial_Port_Read(handle, &zero);
        std::string all = first;
        if (all.size() < c.want.size()) all += Read_Until(c.want.substr(c.want.size() - 1), &zero);
        EXPECT_EQ(all.substr(0, c.want.size()), c.want);
        if (c.in_pieces) {
            EXPECT_LT(first.size(), c.want.size());
        }
        if (c.config.late_ms) {
            EXPECT_GE(first_at - sent_at, c.config.late_ms - 1);
        }
        Serial_Port_Close(handle);
        sim.reset();
    }
}

// A unit slow to wake: its first reply late, the next on time.
TEST_F(Sim_Transport, OnlyTheFirstRepliesAreLate) {
    sim::Sim_Config config;
    config.late_ms = 2000;
    config.late_replies = 1;
    Start_Sim(config);
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    const int32_t zero = 0;
    Serial_Port_Write(handle, "V", &zero);
    EXPECT_FALSE(Serial_Port_Wait_Input(handle, 100));
    ASSERT_TRUE(Serial_Port_Wait_Input(handle, 10000));
    EXPECT_EQ(Serial_Port_Read(handle, &zero), "R");
    Serial_Port_Write(handle, "V", &zero);
    ASSERT_TRUE(Serial_Port_Wait_Input(handle, 1500));
    EXPECT_EQ(Serial_Port_Read(handle, &zero), "R");
}

TEST_F(Sim_Transport, WireTimeHoldsEachByte) {
    sim::Sim_Config config;
    config.baud = 9600;  // about 1 ms a byte
    config.wire_time = true;
    Start_Sim(config);
    ASSERT_TRUE(platform::Handle_Usable(Open(9600)));
    int64_t start = platform::Tick_Count_Ms();
    sim->Send(std::string(100, 'w') + "END");
    std::string got = Read_Until("END");
    EXPECT_EQ(got.size(), 103u);
    EXPECT_GE(platform::Tick_Count_Ms() - start, 100);  // cannot be faster than the wire
}

TEST_F(Sim_Transport, WireTimeCountsCommandAndReplyBytes) {
    // At 1200 baud a byte takes 8.33 ms: a reply byte reaches the program no sooner than the
    // command's bytes have crossed the line and its own ten bits have followed them.
    struct Case {
        const char* name;
        std::string command;
        std::string reply;
        int32_t late_ms;
    };
    const Case cases[] = {
        {"status query", "V", "R", 0},
        {"value query", "F,getD0,", "getD0,1.23\r", 0},
        {"late reply", "V", "R", 30},
    };
    const int64_t byte_ns = 10 * int64_t(1000000000) / 1200;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::mutex lock;
        std::vector<int64_t> written_ns;
        sim::Sim_Config config;
        config.baud = 1200;
        config.wire_time = true;
        config.late_ms = c.late_ms;
        config.on_write = [&](std::string_view bytes, int64_t now_ns) {
            std::lock_guard<std::mutex> guard(lock);
            for (size_t i = 0; i < bytes.size(); ++i) written_ns.push_back(now_ns);
        };
        Start_Sim(config);
        ASSERT_TRUE(platform::Handle_Usable(Open(1200)));
        const int32_t zero = 0;
        int64_t sent_ns = platform::Query_Performance_Counter();
        Serial_Port_Write(handle, c.command, &zero);
        EXPECT_EQ(Read_Until(c.reply.substr(c.reply.size() - 1), &zero), c.reply);
        {
            std::lock_guard<std::mutex> guard(lock);
            ASSERT_EQ(written_ns.size(), c.reply.size());
            for (size_t k = 0; k < written_ns.size(); ++k) {
                int64_t earliest = sent_ns + int64_t(c.command.size() + k + 1) * byte_ns +
                                   int64_t(c.late_ms) * 1000000;
                EXPECT_GE(written_ns[k], earliest) << "reply byte " << k;
            }
        }
        Serial_Port_Close(handle);
        handle = 0;
        sim.reset();
    }
}

TEST_F(Sim_Transport, FloodFollowsTheFirstReplyWhole) {
    sim::Sim_Config config;
    config.flood_bytes = 200000;
    Start_Sim(config);
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    Serial_Port_Write(handle, "V");
    std::string want = "R" + sim::Flood_Text(config.flood_bytes);
    std::string got;
    Eventually([&] {
        if (Serial_Port_Wait_Input(handle, 50)) got += Serial_Port_Read(handle);
        return got.size() >= want.size();
    });
    EXPECT_TRUE(got == want) << got.size();
}

TEST_F(Sim_Transport, HangsUpAfterItsReplies) {
    sim::Sim_Config config;
    config.hangup_after = 2;
    Start_Sim(config);
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    Serial_Port_Write(handle, "V");
    Serial_Port_Write(handle, "V");
    ASSERT_TRUE(sim->Wait_Ended(5000));
    EXPECT_TRUE(sim->Hung_Up());
    EXPECT_EQ(platform::Ports_Dir_Device(5), "");
}

TEST_F(Sim_Transport, StoppingKeepsARegistrationAnotherSimulatorTook) {
    // Two simulators asked for the same number: the later one's entry stands, and the first
    // one's end (stopped, or hung up) must not take it away.
    for (bool hang_up : {false, true}) {
        sim::Sim_Config first_config;
        first_config.number = 5;
        auto first = std::make_unique<sim::Simulator>(first_config);
        ASSERT_TRUE(first->Start());
        Start_Sim();
        ASSERT_EQ(platform::Ports_Dir_Device(5), sim->Device());
        if (hang_up) {
            first->Hang_Up();
            ASSERT_TRUE(first->Wait_Ended(5000));
        }
        first.reset();
        EXPECT_EQ(platform::Ports_Dir_Device(5), sim->Device()) << "hang_up " << hang_up;
        sim->Stop();
        EXPECT_EQ(platform::Ports_Dir_Device(5), "") << "hang_up " << hang_up;
        sim.reset();
    }
}

}  // namespace
}  // namespace kdx::test
