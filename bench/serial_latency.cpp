// Latency from the simulator writing a reply to the line until the echo holding it reaches
// the sink, through the receive poller: 2000 replies one after another.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench/serial_bench_util.h"
#include "platform/os/system.h"
#include "serial/echo.h"

namespace {

class Latency_Sink final : public kdx::Echo_Sink {
  public:
    void Echo_Apply(const kdx::Echo_Document& document) override {
        if (document.Kind != kdx::Echo_Kind::Received) return;
        applied_ns = kdx::platform::Query_Performance_Counter();
        ++count;
    }
    std::atomic<int64_t> applied_ns{0};
    std::atomic<int> count{0};
};

}  // namespace

int main() {
    std::atomic<int64_t> written_ns{0};
    kdx::sim::Sim_Config config;
    config.on_write = [&](std::string_view, int64_t now_ns) { written_ns = now_ns; };
    Latency_Sink sink;
    kdx::Echo_Set_Sink(&sink);
    kdx::bench::Sim_Session session(config);
    if (!session.Open()) {
        std::fprintf(stderr, "cannot open COM5\n");
        return 1;
    }
    const int rounds = 2000;
    std::vector<double> us;
    us.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        int before = sink.count;
        session.sim->Send("R" + std::to_string(i) + "\r");
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (sink.count == before && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        if (sink.count == before) {
            std::fprintf(stderr, "reply %d never echoed\n", i);
            return 1;
        }
        us.push_back(double(sink.applied_ns - written_ns) / 1000.0);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, size_t(q * double(us.size())))]; };
    std::printf("serial_latency: %d replies, simulator write -> echo in the sink\n", rounds);
    std::printf("  p50 %.1f us   p90 %.1f us   p99 %.1f us   max %.1f us (goal: p99 under 1 ms)\n",
                at(0.50), at(0.90), at(0.99), us.back());
    kdx::Echo_Set_Sink(nullptr);
    return 0;
}
