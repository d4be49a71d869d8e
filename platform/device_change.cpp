#include "platform/device_change.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/port_map.h"
#include "platform/udev_ports.h"

namespace kdx::platform {

namespace {

class Monitor {
  public:
    ~Monitor() {
        std::unique_lock<std::mutex> l(lock_);
        callbacks_.clear();
        Stop(l);
    }

    int32_t Register(Device_Change_Callback callback) {
        std::unique_lock<std::mutex> l(lock_);
        if (!running_ && !Start(l)) return 0;
        int32_t id = ++last_id_;
        if (id == 0) id = ++last_id_;
        callbacks_.emplace(id, std::move(callback));
        Set_Last_Error(ERROR_SUCCESS);
        return id;
    }

    bool Unregister(int32_t id) {
        std::unique_lock<std::mutex> l(lock_);
        if (callbacks_.erase(id) == 0) {
            Set_Last_Error(ERROR_INVALID_PARAMETER);
            return false;
        }
        bool on_monitor = std::this_thread::get_id() == thread_.get_id();
        if (callbacks_.empty()) {
            if (on_monitor)
                stop_requested_ = true;  // the thread ends after this callback
            else
                Stop(l);
        }
        l.unlock();
        // Wait out a delivery in progress so the caller may free what its callback uses.
        if (!on_monitor) std::lock_guard<std::mutex> d(delivering_);
        Set_Last_Error(ERROR_SUCCESS);
        return true;
    }

  private:
    bool Start(std::unique_lock<std::mutex>& l) {
        if (thread_.joinable()) {
            // A monitor that stopped itself from its own callback: collect it first.
            l.unlock();
            thread_.join();
            l.lock();
        }
        udev_ = udev_new();
        if (!udev_) {
            Set_Last_Error(ERROR_NOT_SUPPORTED);
            return false;
        }
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (!monitor_ ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor_) < 0) {
            Release();
            Set_Last_Error(ERROR_NOT_SUPPORTED);
            return false;
        }
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0) {
            Set_Last_Error_From_Errno(errno);
            Release();
            return false;
        }
        // What is present now, so that a removal can name its port: after the monitor
        // listens, so that nothing falls between the two.
        known_.clear();
        for (const auto& entry : Port_Map_List())
            known_[entry.Node] = "COM" + std::to_string(entry.Number);
        stop_requested_ = false;
        running_ = true;
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    void Stop(std::unique_lock<std::mutex>& l) {
        if (running_) {
            stop_requested_ = true;
            uint64_t one = 1;
            if (write(wake_, &one, sizeof one) < 0) {
                // Cannot fail with one pending write; poll's time-out would end it anyway.
            }
        }
        l.unlock();
        if (thread_.joinable()) thread_.join();
        l.lock();
    }

    void Release() {
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
        if (wake_ >= 0) close(wake_);
        monitor_ = nullptr;
        udev_ = nullptr;
        wake_ = -1;
    }

    void Deliver(const std::vector<Device_Change>& changes) {
        std::lock_guard<std::mutex> d(delivering_);
        for (const auto& change : changes) {
            std::vector<Device_Change_Callback> targets;
            {
                std::lock_guard<std::mutex> l(lock_);
                for (const auto& [id, cb] : callbacks_) targets.push_back(cb);
            }
            for (const auto& cb : targets) {
                try {
                    cb(change);
                } catch (...) {
                    // A failing receiver must not end the monitor for the others.
                }
            }
        }
    }

    std::vector<Device_Change> Changes_For(udev_device* device) {
        std::vector<Device_Change> changes;
        std::string action = udev_device_get_action(device) ? udev_device_get_action(device) : "";
        const char* subsystem = udev_device_get_subsystem(device);
        if (!subsystem || std::strcmp(subsystem, "tty") != 0) return changes;
        const char* devnode = udev_device_get_devnode(device);
        const char* sysname = udev_device_get_sysname(device);
        std::string node = devnode ? devnode : std::string("/dev/") + (sysname ? sysname : "");
        if (action == "add") {
            Udev_Port port;
            if (!Udev_Describe(device, port)) return changes;
            for (const auto& entry : Port_Map_List()) {
                if (entry.Node != node) continue;
                std::string name = "COM" + std::to_string(entry.Number);
                known_[node] = name;
                changes.push_back(Device_Change{DBT_DEVICEARRIVAL, name, node});
            }
            changes.push_back(Device_Change{DBT_DEVNODES_CHANGED, {}, {}});
        } else if (action == "remove") {
            auto it = known_.find(node);
            if (it == known_.end()) return changes;
            changes.push_back(Device_Change{DBT_DEVICEREMOVECOMPLETE, it->second, node});
            changes.push_back(Device_Change{DBT_DEVNODES_CHANGED, {}, {}});
            known_.erase(it);
        }
        return changes;
    }

    void Run() {
        for (;;) {
            {
                std::lock_guard<std::mutex> l(lock_);
                if (stop_requested_) break;
            }
            pollfd fds[2] = {{udev_monitor_get_fd(monitor_), POLLIN, 0}, {wake_, POLLIN, 0}};
            int n = poll(fds, 2, 1000);
            if (n < 0 && errno != EINTR) break;
            if (n <= 0) continue;
            if (fds[1].revents) break;
            if (!(fds[0].revents & POLLIN)) continue;
            udev_device* device = udev_monitor_receive_device(monitor_);
            if (!device) continue;
            std::vector<Device_Change> changes = Changes_For(device);
            udev_device_unref(device);
            if (!changes.empty()) Deliver(changes);
        }
        std::lock_guard<std::mutex> l(lock_);
        Release();
        running_ = false;
    }

    std::mutex lock_;
    std::mutex delivering_;
    std::map<int32_t, Device_Change_Callback> callbacks_;
    int32_t last_id_ = 0;
    bool running_ = false;
    bool stop_requested_ = false;
    std::thread thread_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int wake_ = -1;
    std::map<std::string, std::string> known_;  // device node -> COM name, monitor thread only
};

Monitor& The_Monitor() {
    static Monitor monitor;
    return monitor;
}

}  // namespace

int32_t Device_Change_Register(Device_Change_Callback callback) {
    if (!callback) {
        Set_Last_Error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return The_Monitor().Register(std::move(callback));
}

bool Device_Change_Unregister(int32_t id) {
    return The_Monitor().Unregister(id);
}

}  // namespace kdx::platform
