// The simulator's side of a pseudo-terminal: waits with fine deadlines, non-blocking reads
// and writes of the master; plain writes to a descriptor; stop signals taken by waiting.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/stop_signals.h"
#include "platform/os/system.h"
#include "platform/ports/pty.h"
#include "platform/ports/serial.h"

namespace kdx::platform {
namespace {

class Pty_Master : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Pty_Open(pty));
        wake = Create_Wake_Event();
        ASSERT_TRUE(Handle_Usable(wake));
    }
    void TearDown() override {
        Close_Handle(wake);
        Pty_Close(pty);
    }
    // Reads everything the slave holds (it is non-blocking).
    std::string Drain_Slave() {
        std::string got;
        char buf[4096];
        for (ssize_t n; (n = read(pty.slave, buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
        return got;
    }
    Pty_Pair pty;
    int32_t wake = 0;
};

TEST_F(Pty_Master, WaitEndsOnWhatHappensFirst) {
    struct Case {
        const char* name;
        bool slave_sends;
        bool wake_set;
        int64_t deadline_after_ns;  // -1: none
        Pty_Events want;
    };
    const Case cases[] = {
        {"deadline only", false, false, 3000000, {}},
        {"deadline already past", false, false, 0, {}},
        {"input", true, false, -1, {true, false, false}},
        {"wake-up", false, true, -1, {false, false, true}},
        {"input and wake-up", true, true, 1000000000, {true, false, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.slave_sends) {
            ASSERT_EQ(write(pty.slave, "V", 1), 1);
        }
        if (c.wake_set) {
            ASSERT_TRUE(Set_Wake_Event(wake));
        }
        int64_t start = Query_Performance_Counter();
        int64_t deadline = c.deadline_after_ns < 0 ? -1 : start + c.deadline_after_ns;
        Pty_Events got;
        ASSERT_TRUE(Pty_Wait(pty.master, wake, false, deadline, got));
        EXPECT_EQ(got.input, c.want.input);
        EXPECT_EQ(got.writable, c.want.writable);
        EXPECT_EQ(got.woken, c.want.woken);
        // A deadline is never cut short to a coarser unit.
        if (!c.slave_sends && !c.wake_set) {
            EXPECT_GE(Query_Performance_Counter(), deadline);
        }
        char buf[16];
        if (c.slave_sends) {
            EXPECT_EQ(Pty_Read(pty.master, buf, sizeof buf), 1u);
        }
        EXPECT_EQ(Pty_Read(pty.master, buf, sizeof buf), 0u);  // nothing left, no block
        EXPECT_EQ(Get_Last_Error(), ERROR_SUCCESS);
        ASSERT_TRUE(Reset_Wake_Event(wake));
    }
}

TEST_F(Pty_Master, WritesTakeWhatFitsAndWaitForRoom) {
    // Fill the slave's queue without blocking: writes take less than offered, then nothing.
    // The kernel moves bytes along behind the scenes, so fill until a pause changes nothing.
    const std::string chunk(4096, 'x');
    int64_t total = 0;
    for (int round = 0; round < 100; ++round) {
        int64_t taken_now = 0;
        for (int64_t n; (n = Pty_Write(pty.master, chunk)) > 0;) taken_now += n;
        total += taken_now;
        if (round > 0 && taken_now == 0) break;
        Sleep_Ms(10);
    }
    ASSERT_GT(total, 0);
    EXPECT_EQ(Pty_Write(pty.master, "y"), 0);  // full: nothing taken, no failure
    EXPECT_EQ(Get_Last_Error(), ERROR_SUCCESS);
    Pty_Events got;
    ASSERT_TRUE(Pty_Wait(pty.master, 0, true, Query_Performance_Counter() + 2000000, got));
    EXPECT_FALSE(got.writable);
    std::string drained = Drain_Slave();
    EXPECT_EQ(int64_t(drained.size()), total);
    EXPECT_EQ(drained.find_first_not_of('x'), std::string::npos);
    ASSERT_TRUE(Pty_Wait(pty.master, 0, true, Query_Performance_Counter() + 1000000000, got));
    EXPECT_TRUE(got.writable);
    EXPECT_EQ(Pty_Write(pty.master, "end"), 3);
    EXPECT_EQ(Drain_Slave(), "end");
}

TEST_F(Pty_Master, ClosedDescriptorsAndUnknownEventsFail) {
    Pty_Events got;
    EXPECT_FALSE(Pty_Wait(pty.master, 987654, false, 0, got));
    EXPECT_EQ(Get_Last_Error(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Pty_Write(-1, "V"), -1);
    EXPECT_NE(Get_Last_Error(), ERROR_SUCCESS);
    char buf[4];
    EXPECT_EQ(Pty_Read(-1, buf, sizeof buf), 0u);
    EXPECT_NE(Get_Last_Error(), ERROR_SUCCESS);
}

TEST(Write_Descriptor, WritesEverythingOrSaysWhy) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // More than a pipe holds, so the write must go on while the reader takes it.
    const std::string text(300000, 'k');
    std::string got;
    std::thread reader([&] {
        char buf[8192];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    });
    uint32_t written = 0;
    EXPECT_TRUE(Write_Descriptor(fds[1], text, &written));
    EXPECT_EQ(written, text.size());
    EXPECT_EQ(Get_Last_Error(), ERROR_SUCCESS);
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(got, text);

    written = 7;
    EXPECT_FALSE(Write_Descriptor(fds[1], "lost", &written));  // closed above
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Get_Last_Error(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(Write_Descriptor(-1, ""));  // nothing to write, nothing to fail
}

TEST(Stop_Signals, AreTakenByWaiting) {
    // In a thread of its own, so the test process keeps its own signal mask.
    bool timed_out = true, taken = false, after = true;
    std::thread t([&] {
        Block_Stop_Signals();
        timed_out = Wait_Stop_Signal(5);
        pthread_kill(pthread_self(), SIGTERM);
        taken = Wait_Stop_Signal(5000);
        after = Wait_Stop_Signal(1);
    });
    t.join();
    EXPECT_FALSE(timed_out);
    EXPECT_TRUE(taken);
    EXPECT_FALSE(after);  // taken once, not again
}

}  // namespace
}  // namespace kdx::platform
