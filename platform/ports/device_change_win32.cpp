// Device changes on Windows: a hidden window of the monitor's own thread registered for the
// serial-port device interface (RegisterDeviceNotification); each WM_DEVICECHANGE compares
// the serial device map with the one known before, so every arrival and removal is named by
// its port, and is followed by one DBT_DEVNODES_CHANGED, as Windows sends it.
#include <condition_variable>
#include <map>
#include <thread>
#include <vector>

#include "platform/os/error.h"
#include "platform/ports/device_change_os.h"
#include "platform/ports/port_map.h"

#include "platform/os/win32.h"
// After the system's headers, which it needs.
#include <dbt.h>

namespace kdx::platform::device_change {

namespace {

// GUID_DEVINTERFACE_COMPORT, spelled out: its header needs the whole device-install kit.
constexpr GUID kComPort_Interface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
constexpr wchar_t kClass_Name[] = L"KDX_Device_Change_Monitor";

// A hidden window of a thread of its own, told of every COM port's arrival and removal.
class Window_Monitor final : public Monitor {
  public:
    bool Keep_Running(std::unique_lock<std::mutex>& l) override { return running_ || Start(l); }

    void End(std::unique_lock<std::mutex>& l) override {
        if (!On_Thread())
            Stop(l);
        else if (window_)
            ::PostMessageW(window_, WM_CLOSE, 0, 0);
    }

    bool On_Thread() const override { return std::this_thread::get_id() == thread_id_; }

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
        std::lock_guard<std::mutex> l(Lock());
        if (!No_Callbacks()) return false;
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
        auto* self = reinterpret_cast<Window_Monitor*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
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
            std::lock_guard<std::mutex> l(Lock());
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
        std::lock_guard<std::mutex> l(Lock());
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
        Deliver(changes);
    }

    std::condition_variable ready_;
    std::map<std::string, std::string> known_;  // only the monitor's thread, once started
    std::thread thread_;
    std::thread::id thread_id_;
    HWND window_ = nullptr;
    bool running_ = false;
    bool started_ = false;
    DWORD failure_ = 0;
};

}  // namespace

Monitor& The_Monitor() {
    static auto* monitor = new Window_Monitor();  // lives to the end: callbacks may outlive statics
    return *monitor;
}

}  // namespace kdx::platform::device_change
