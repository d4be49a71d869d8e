#include "protocol/kdx_progress.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace kdx {

namespace {

std::mutex hook_lock;
std::shared_ptr<const KDX_Progress_Hook> progress_hook;
// A plain lock-free flag: a signal handler may raise it.
std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);
thread_local int operation_depth = 0;
std::atomic<int> operations_running{0};

}  // namespace

void KDX_Set_Progress_Hook(KDX_Progress_Hook hook) {
    std::shared_ptr<const KDX_Progress_Hook> next;
    if (hook) next = std::make_shared<const KDX_Progress_Hook>(std::move(hook));
    std::lock_guard<std::mutex> guard(hook_lock);
    progress_hook = std::move(next);
}

void KDX_Progress_Report(const KDX_Progress& progress) {
    std::shared_ptr<const KDX_Progress_Hook> hook;
    {
        std::lock_guard<std::mutex> guard(hook_lock);
        hook = progress_hook;
    }
    if (!hook) return;
    try {
        (*hook)(progress);
    } catch (...) {
        // A display that fails must not end the operation half-way.
    }
}

void KDX_Request_Stop() {
    stop_requested.store(true);
}

bool KDX_Stop_Requested() {
    return stop_requested.load();
}

bool KDX_Operation_Running() {
    return operations_running.load() > 0;
}

KDX_Operation::KDX_Operation() {
    if (operation_depth++ == 0) stop_requested.store(false);
    ++operations_running;
}

KDX_Operation::~KDX_Operation() {
    --operations_running;
    --operation_depth;
}

}  // namespace kdx
