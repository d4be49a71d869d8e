// Device changes on Windows: a hidden window of the monitor's own thread registered for the
// serial-port device interface (RegisterDeviceNotification); each WM_DEVICECHANGE compares
// the serial device map with the one known before, so every arrival and removal is named by
// its port, and is followed by one DBT_DEVNODES_CHANGED, as Windows sends it.
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os/error.h"
#include "platform/ports/device_change.h"
#include "platform/ports/port_map.h"

#include "platform/os/win32.h"
// After the system's headers, which it needs.
#include <dbt.h>

namespace kdx::platform {

namespace {

// GUID_DEVINTERFACE_COMPORT, spelled out: its header needs the whole device-install kit.
constexpr GUID kComPort_Interface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
constexpr wchar_t kClass_Name[] = L"KDX_Device_Change_Monitor";

class Monitor {
  public:
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
        bool on_monitor = std::this_thread::get_id() == thread_id_;
        if (callbacks_.empty() && !on_monitor) Stop(l);
        if (callbacks_.empty() && on_monitor && window_) ::PostMessageW(window_, WM_CLOSE, 0, 0);
        l.unlock();
        // Wait out a delivery in progress so the caller may free what its callback uses.
        if (!on_monitor) std::lock_guard<std::mutex> d(delivering_);
        Set_Last_Error(ERROR_SUCCESS);
        return true;
    }

  private:
    bool Start(std::unique_lock<std::mutex>& l) {
        if (thread_.joinable()) {  // one that ended itself from its own callback
            std::thread old = std::move(thread_);
            l.unlock();
            old.join();
            l.lock();
            if (running_) return true;
        }
        known_ = Ports_Now();
        started_ = false;
        failure_ = 0;
        thread_ = std::thread([this] { Run(); });
        thread_id_ = thread_.get_id();
        ready_.wait(l, [this] { return started_; });
        if (failure_) {
            std::thread failed = std::move(thread_);
            l.unlock();
            failed.join();
            l.lock();
            Set_Last_Error(failure_);
            return false;
        }
        running_ = true;
        return true;
    }

    void Stop(std::unique_lock<std::mutex>& l) {
        if (running_ && window_) ::PostMessageW(window_, WM_CLOSE, 0, 0);
        std::thread old = std::move(thread_);
        l.unlock();
        if (old.joinable()) old.join();
        l.lock();
    }

    // Decides the monitor's end when no callback is left; a later registration then starts
    // a new one.
    bool Close_Now() {
        std::lock_guard<std::mutex> l(lock_);
        if (!callbacks_.empty()) return false;
        running_ = false;
        return true;
    }

    static std::map<std::string, std::string> Ports_Now() {
        std::map<std::string, std::string> ports;
        for (const auto& entry : Port_Map_List())
            ports["COM" + std::to_string(entry.Number)] = entry.Node;
        return ports;
    }

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        auto* self = reinterpret_cast<Monitor*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_DEVICECHANGE && self) {
            if (w == DBT_DEVICEARRIVAL || w == DBT_DEVICEREMOVECOMPLETE ||
                w == DBT_DEVNODES_CHANGED)
                self->Changed();
            return TRUE;
        }
        if (message == WM_CLOSE) {
            // A callback registered since the close was asked keeps the monitor running.
            if (!self || self->Close_Now()) ::DestroyWindow(window);
            return 0;
        }
        if (message == WM_DESTROY) {
            ::PostQuitMessage(0);
            return 0;
        }
        return ::DefWindowProcW(window, message, w, l);
    }

    void Run() {
        HINSTANCE instance = ::GetModuleHandleW(nullptr);
        WNDCLASSW type{};
        type.lpfnWndProc = Procedure;
        type.hInstance = instance;
        type.lpszClassName = kClass_Name;
        ::RegisterClassW(&type);  // already there from an earlier monitor is fine
        // A top-level window (never shown): broadcasts of port arrivals reach only those.
        HWND window = ::CreateWindowExW(0, kClass_Name, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                        instance, nullptr);
        HDEVNOTIFY notify = nullptr;
        if (window) {
            ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            DEV_BROADCAST_DEVICEINTERFACE_W filter{};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = kComPort_Interface;
            notify = ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        }
        {
            std::lock_guard<std::mutex> l(lock_);
            window_ = window;
            failure_ = window ? 0 : ::GetLastError();
            started_ = true;
        }
        ready_.notify_all();
        if (!window) return;
        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        if (notify) ::UnregisterDeviceNotification(notify);
        std::lock_guard<std::mutex> l(lock_);
        window_ = nullptr;
        running_ = false;
    }

    void Changed() {
        std::map<std::string, std::string> now = Ports_Now();
        std::vector<Device_Change> changes;
        for (const auto& [name, node] : known_)
            if (!now.count(name)) changes.push_back({DBT_DEVICEREMOVECOMPLETE, name, node});
        for (const auto& [name, node] : now)
            if (!known_.count(name)) changes.push_back({DBT_DEVICEARRIVAL, name, node});
        known_ = std::move(now);
        changes.push_back({DBT_DEVNODES_CHANGED, {}, {}});
        std::lock_guard<std::mutex> d(delivering_);
        for (const auto& change : changes) {
            std::vector<int32_t> ids;
            {
                std::lock_guard<std::mutex> l(lock_);
                for (const auto& entry : callbacks_) ids.push_back(entry.first);
            }
            for (int32_t id : ids) {
                // Looked up again just before the call: one unregistered meanwhile is not run.
                Device_Change_Callback cb;
                {
                    std::lock_guard<std::mutex> l(lock_);
                    auto it = callbacks_.find(id);
                    if (it == callbacks_.end()) continue;
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

    std::mutex lock_;
    std::mutex delivering_;
    std::condition_variable ready_;
    std::map<int32_t, Device_Change_Callback> callbacks_;
    std::map<std::string, std::string> known_;  // only the monitor's thread, once started
    std::thread thread_;
    std::thread::id thread_id_;
    HWND window_ = nullptr;
    bool running_ = false;
    bool started_ = false;
    DWORD failure_ = 0;
    int32_t last_id_ = 0;
};

Monitor& The_Monitor() {
    static auto* monitor = new Monitor();  // lives to the end: callbacks may outlive statics
    return *monitor;
}

}  // namespace

int32_t Device_Change_Register(Device_Change_Callback callback) {
    return The_Monitor().Register(std::move(callback));
}

bool Device_Change_Unregister(int32_t id) {
    return The_Monitor().Unregister(id);
}

}  // namespace kdx::platform
