// The callbacks of the device-change monitor, the same on every system: registered and
// unregistered from any thread, each change delivered to every one in turn. The monitor
// itself is in device_change.cpp or device_change_win32.cpp (device_change_os.h).
#include <map>

#include "platform/os/error.h"
#include "platform/ports/device_change_os.h"

namespace kdx::platform {

namespace device_change {
namespace {
struct Registry {
    std::mutex lock;
    // Held while callbacks run, so that unregistering can wait a delivery out.
    std::mutex delivering;
    std::map<int32_t, Device_Change_Callback> callbacks;
    int32_t last_id = 0;
};

Registry& The_Registry() {
    static auto* registry = new Registry();  // lives to the end: the monitor may outlive statics
    return *registry;
}
}  // namespace

std::mutex& Lock() {
    return The_Registry().lock;
}

bool No_Callbacks() {
    return The_Registry().callbacks.empty();
}

void Forget_Callbacks() {
    The_Registry().callbacks.clear();
}

void Deliver(const std::vector<Device_Change>& changes) {
    Registry& r = The_Registry();
    std::lock_guard<std::mutex> d(r.delivering);
    for (const auto& change : changes) {
        std::vector<int32_t> ids;
        {
            std::lock_guard<std::mutex> l(r.lock);
            for (const auto& entry : r.callbacks) ids.push_back(entry.first);
        }
        for (int32_t id : ids) {
            // Looked up again just before the call: a callback unregistered by an earlier
            // one (or by itself) is never called again.
            Device_Change_Callback cb;
            {
                std::lock_guard<std::mutex> l(r.lock);
                auto it = r.callbacks.find(id);
                if (it == r.callbacks.end()) continue;
                cb = it->second;
            }
            try {
                cb(change);
            } catch (...) {
                // A failing receiver must not end the monitor for the others.
            }
        }
    }
}
}  // namespace device_change

int32_t Device_Change_Register(Device_Change_Callback callback) {
    if (!callback) {
        Set_Last_Error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    device_change::Registry& r = device_change::The_Registry();
    std::unique_lock<std::mutex> l(r.lock);
    if (!device_change::The_Monitor().Keep_Running(l)) return 0;
    int32_t id = ++r.last_id;
    if (id == 0) id = ++r.last_id;
    r.callbacks.emplace(id, std::move(callback));
    Set_Last_Error(ERROR_SUCCESS);
    return id;
}

bool Device_Change_Unregister(int32_t id) {
    device_change::Registry& r = device_change::The_Registry();
    std::unique_lock<std::mutex> l(r.lock);
    if (r.callbacks.erase(id) == 0) {
        Set_Last_Error(ERROR_INVALID_PARAMETER);
        return false;
    }
    device_change::Monitor& monitor = device_change::The_Monitor();
    bool on_monitor = monitor.On_Thread();
    if (r.callbacks.empty()) monitor.End(l);
    l.unlock();
    // Wait out a delivery in progress so the caller may free what its callback uses.
    if (!on_monitor) std::lock_guard<std::mutex> d(r.delivering);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

}  // namespace kdx::platform
