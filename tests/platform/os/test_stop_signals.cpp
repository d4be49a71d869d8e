// Stop signals, blocked in every thread, are taken by waiting for them.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <thread>

#include "platform/os/stop_signals.h"

namespace kdx::platform {
namespace {

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
