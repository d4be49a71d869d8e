#include "platform/os/stop_signals.h"

#include <pthread.h>
#include <signal.h>

namespace kdx::platform {

namespace {
sigset_t Stop_Set() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}
}  // namespace

void Block_Stop_Signals() {
    sigset_t signals = Stop_Set();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool Wait_Stop_Signal(uint32_t timeout_ms) {
    sigset_t signals = Stop_Set();
    timespec wait{time_t(timeout_ms / 1000), long(timeout_ms % 1000) * 1000000};
    return sigtimedwait(&signals, nullptr, &wait) > 0;
}

}  // namespace kdx::platform
