// How long the window's event loop stalls while something runs: a message posted every 2 ms
// from another thread to a small dialog, its delay when handled being the stall.
#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/os/system.h"
#include "platform/window/window.h"

namespace kdx::bench {

class Event_Loop_Stall {
  public:
    // Makes the dialog the pings go to; call after the application has started.
    Event_Loop_Stall() {
        pinged_ = win::Create_Dialog({"Ping", 10, 10}, 0);
        win::Set_Dialog_Proc(pinged_, &Ping_Proc);
    }
    ~Event_Loop_Stall() { Stop(); }

    void Start() {
        done_ = false;
        pinger_ = std::thread([this] {
            while (!done_.load()) {
                win::Post_Message(pinged_, Ping, uint64_t(platform::Query_Performance_Counter()));
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    void Stop() {
        done_ = true;
        if (pinger_.joinable()) pinger_.join();
    }
    // The stall at quantile q (0.99: p99) in ms; -1 with no pings.
    double Percentile(double q) const {
        std::vector<double> sorted = Delays();
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? -1.0 : sorted[size_t(q * double(sorted.size() - 1))];
    }
    // "event-loop stall over N pings: p50 …, p99 …, max …" with the goal.
    void Report() const {
        std::printf(
            "  event-loop stall over %zu pings: p50 %.1f ms, p99 %.1f ms, max %.1f ms "
            "(goal: p99 at most 50 ms)\n",
            Delays().size(), Percentile(0.5), Percentile(0.99), Percentile(1.0));
    }

  private:
    static constexpr uint32_t Ping = win::WM_USER + 9;
    static std::vector<double>& Delays() {
        static std::vector<double> delays_ms;
        return delays_ms;
    }
    static int64_t Ping_Proc(win::HWND, uint32_t message, win::WPARAM wparam, win::LPARAM) {
        if (message != Ping) return 0;
        Delays().push_back(double(platform::Query_Performance_Counter() - int64_t(wparam)) / 1e6);
        return 1;
    }

    win::HWND pinged_ = 0;
    std::atomic<bool> done_{false};
    std::thread pinger_;
};

}  // namespace kdx::bench
