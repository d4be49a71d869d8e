// The wait pump and the sleeps, the same on every system.
#include <memory>
#include <mutex>
#include <thread>

#include "platform/os/path.h"
#include "platform/os/system.h"
#include "platform/os/system_os.h"

namespace kdx::platform {

namespace {

struct Sleep_Hook {
    std::thread::id thread;
    std::function<void(uint32_t)> pump;
};

std::mutex sleep_hook_lock;
std::shared_ptr<const Sleep_Hook> sleep_hook;
// Set while this thread runs its hook: a sleep made by the pumped work sleeps plainly, so
// pumps never nest.
thread_local bool in_sleep_hook = false;
// When this thread's hook last returned (Tick_Count_Ms), for Sleep_Hook_Turn.
thread_local int64_t last_turn_ms = 0;

}  // namespace

std::string Path_In_Folder(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    char last = folder.back();
    if (last == Path_Separator() || last == '/') return folder + name;
    return folder + Path_Separator() + name;
}

void Set_Sleep_Hook(std::function<void(uint32_t milliseconds)> hook) {
    std::shared_ptr<const Sleep_Hook> next;
    if (hook)
        next = std::make_shared<const Sleep_Hook>(
            Sleep_Hook{std::this_thread::get_id(), std::move(hook)});
    std::lock_guard<std::mutex> guard(sleep_hook_lock);
    sleep_hook = std::move(next);
}

namespace {

std::shared_ptr<const Sleep_Hook> Hook_Here() {
    if (in_sleep_hook) return nullptr;
    std::lock_guard<std::mutex> guard(sleep_hook_lock);
    if (sleep_hook && sleep_hook->thread == std::this_thread::get_id()) return sleep_hook;
    return nullptr;
}

}  // namespace

bool Sleep_Hook_Here() {
    return Hook_Here() != nullptr;
}

void Sleep_Ms(uint32_t milliseconds) {
    std::shared_ptr<const Sleep_Hook> hook = Hook_Here();
    if (!hook) return Sleep_Ns(int64_t(milliseconds) * 1000000);
    int64_t start = Query_Performance_Counter();
    in_sleep_hook = true;
    try {
        hook->pump(milliseconds);
    } catch (...) {
        // A hook that fails still leaves the caller's wait to the plain sleep below.
    }
    in_sleep_hook = false;
    last_turn_ms = Tick_Count_Ms();
    // The caller's timing holds whatever the hook did: the rest of the time is slept here.
    int64_t elapsed_ns = Query_Performance_Counter() - start;
    int64_t wanted_ns = int64_t(milliseconds) * 1000000;
    if (elapsed_ns < wanted_ns) Sleep_Ns(wanted_ns - elapsed_ns);
}

void Sleep_Hook_Turn(uint32_t every_ms) {
    if (!Hook_Here()) return;
    if (Tick_Count_Ms() - last_turn_ms < int64_t(every_ms)) return;
    Sleep_Ms(0);
}

}  // namespace kdx::platform
