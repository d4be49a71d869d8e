#include "platform/ports/device_change_os.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "platform/os/error.h"
#include "platform/os/system.h"
#include "platform/ports/port_map.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/udev_ports.h"

namespace kdx::platform::device_change {

namespace {

// udev and the ports folder watched on a thread of its own.
class Udev_Monitor final : public Monitor {
  public:
    ~Udev_Monitor() override {
        std::unique_lock<std::mutex> l(Lock());
        Forget_Callbacks();
        Stop(l);
    }

    bool Keep_Running(std::unique_lock<std::mutex>& l) override {
        // A monitor whose last callback just left is on its way out: start a new one rather
        // than adding to a thread that will not deliver again.
        if (running_ && On_Thread()) {
            stop_requested_ = false;  // still inside a delivery: the loop simply goes on
            ended_.notify_all();      // and whoever waits for its end need not
            return true;
        }
        return (running_ && !stop_requested_) || Start(l);
    }

    void End(std::unique_lock<std::mutex>& l) override {
        if (On_Thread())
            stop_requested_ = true;  // the thread ends after this callback
        else
            Stop(l);
    }

    bool On_Thread() const override { return std::this_thread::get_id() == monitor_id_; }

  private:
    bool Start(std::unique_lock<std::mutex>& l) {
        // The lock is let go while an old monitor ends: others may register or unregister
        // meanwhile, so look again each time it is held.
        for (;;) {
            if (running_ && !stop_requested_) return true;  // another caller started one
            if (running_) {
                // A monitor on its way out still owns the udev and file handles.
                ended_.wait(l);
                continue;
            }
            if (!thread_.joinable()) break;
            // A monitor that stopped itself from its own callback: collect it first. One
            // caller joins it; a thread may be joined only once.
            std::thread old = std::move(thread_);
            l.unlock();
            old.join();
            l.lock();
        }
        // Two sources: udev for hardware, and the ports directory, where the simulator and
        // hand-made entries come and go without udev knowing. Either one is enough.
        udev_ = udev_new();
        monitor_ = udev_ ? udev_monitor_new_from_netlink(udev_, "udev") : nullptr;
        if (monitor_ &&
            (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
             udev_monitor_enable_receiving(monitor_) < 0)) {
            udev_monitor_unref(monitor_);
            monitor_ = nullptr;
        }
        uint32_t kept = Get_Last_Error();
        if (Ports_Directory_Problem().empty()) Make_Directories(Ports_Directory());
        Set_Last_Error(kept);
        dir_watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (dir_watch_ >= 0 &&
            inotify_add_watch(dir_watch_, Ports_Directory().c_str(),
                              IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0) {
            close(dir_watch_);
            dir_watch_ = -1;
        }
        if (!monitor_ && dir_watch_ < 0) {
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
        dir_known_.clear();
        for (const auto& entry : Port_Map_List()) {
            std::string name = "COM" + std::to_string(entry.Number);
            known_[entry.Node] = name;
            if (entry.From_Ports_Dir) dir_known_[name] = entry.Node;
        }
        stop_requested_ = false;
        running_ = true;
        thread_ = std::thread([this] { Run(); });
        monitor_id_ = thread_.get_id();
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
        // Taken out under the lock, so that only this caller joins it.
        std::thread old = std::move(thread_);
        l.unlock();
        if (old.joinable()) old.join();
        l.lock();
    }

    void Release() {
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
        if (wake_ >= 0) close(wake_);
        if (dir_watch_ >= 0) close(dir_watch_);
        dir_watch_ = -1;
        monitor_ = nullptr;
        udev_ = nullptr;
        wake_ = -1;
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

    // Entries COM<n> made or removed in the ports directory since the last look.
    std::vector<Device_Change> Ports_Dir_Changes() {
        std::vector<Device_Change> changes;
        alignas(inotify_event) char buf[4096];
        for (;;) {
            ssize_t n = read(dir_watch_, buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t pos = 0; pos + ssize_t(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buf + pos);
                pos += ssize_t(sizeof(inotify_event) + event->len);
                std::string name = event->len ? event->name : "";
                int32_t number = 0;
                if (name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
                    name.find_first_not_of("0123456789", 3) == std::string::npos && name.size() < 9)
                    number = std::stoi(name.substr(3));
                if (number <= 0) continue;  // the temporary names of a registration
                if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
                    std::string node = Ports_Dir_Device(number);
                    if (node.empty()) continue;
                    dir_known_[name] = node;
                    known_[node] = name;
                    changes.push_back(Device_Change{DBT_DEVICEARRIVAL, name, node});
                    changes.push_back(Device_Change{DBT_DEVNODES_CHANGED, {}, {}});
                } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
                    auto it = dir_known_.find(name);
                    if (it == dir_known_.end()) continue;
                    std::string node = it->second;
                    dir_known_.erase(it);
                    changes.push_back(Device_Change{DBT_DEVICEREMOVECOMPLETE, name, node});
                    changes.push_back(Device_Change{DBT_DEVNODES_CHANGED, {}, {}});
                }
            }
        }
        return changes;
    }

    void Run() {
        for (;;) {
            {
                std::lock_guard<std::mutex> l(Lock());
                if (stop_requested_) break;
            }
            pollfd fds[3] = {{wake_, POLLIN, 0},
                             {monitor_ ? udev_monitor_get_fd(monitor_) : -1, POLLIN, 0},
                             {dir_watch_, POLLIN, 0}};
            int n = poll(fds, 3, 1000);
            if (n < 0 && errno != EINTR) break;
            if (n <= 0) continue;
            if (fds[0].revents) break;
            std::vector<Device_Change> changes;
            if (fds[1].revents & POLLIN) {
                if (udev_device* device = udev_monitor_receive_device(monitor_)) {
                    changes = Changes_For(device);
                    udev_device_unref(device);
                }
            }
            if (fds[2].revents & POLLIN) {
                std::vector<Device_Change> more = Ports_Dir_Changes();
                changes.insert(changes.end(), more.begin(), more.end());
            }
            if (!changes.empty()) Deliver(changes);
        }
        std::lock_guard<std::mutex> l(Lock());
        Release();
        running_ = false;
        monitor_id_ = std::thread::id();  // nothing runs on it any more
        ended_.notify_all();
    }

    bool running_ = false;
    bool stop_requested_ = false;
    std::thread thread_;
    // The monitor thread's id, kept while a stopping caller joins it (thread_ is empty then)
    // so that its callbacks are still known as running on it.
    std::thread::id monitor_id_;
    std::condition_variable ended_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int wake_ = -1;
    int dir_watch_ = -1;
    // Monitor thread only: device node -> COM name, and the ports directory's COM name ->
    // node (its links are gone by the time their removal is seen).
    std::map<std::string, std::string> known_;
    std::map<std::string, std::string> dir_known_;
};

}  // namespace

Monitor& The_Monitor() {
    static Udev_Monitor monitor;
    return monitor;
}

}  // namespace kdx::platform::device_change
