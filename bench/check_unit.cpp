// kdx-cli check of one simulated unit at 57600 baud with wire time: its duration against
// the wire time of every byte it exchanges plus the waits the routines prescribe (the 100 ms
// after each of the 18 information queries).
#include <algorithm>
#include <atomic>
#include <vector>

#include "bench/protocol_bench.h"
#include "tests/support/serial_fixture.h"
#include "tests/support/temp_dir.h"

int main() {
    using namespace kdx;
    using namespace kdx::bench;
    constexpr int Runs = 3;
    constexpr double Prescribed = 18 * 0.100;
    std::vector<double> ratios, times, floors;
    for (int run = 0; run < Runs; ++run) {
        test::Temp_Dir ports, out;
        setenv("KDX_PORTS", ports.path().c_str(), 1);
        std::atomic<int64_t> replied{0};
        sim::Sim_Config config;
        config.number = 5;
        config.baud = Bench_Baud;
        config.wire_time = true;
        config.on_write = [&](std::string_view bytes, int64_t) { replied += bytes.size(); };
        sim::Simulator sim(config);
        if (!sim.Start()) {
            std::fprintf(stderr, "bench_check_unit: the simulator's port did not open\n");
            return 1;
        }
        auto start = std::chrono::steady_clock::now();
        test::Shell_Result r = test::Shell(std::string(KDX_CLI_PATH) + " check COM5 --out " +
                                           out.path() + " 2>&1 </dev/null");
        double seconds = Seconds_Since(start);
        if (r.code != 0) {
            std::fprintf(stderr, "bench_check_unit: the check failed:\n%s", r.out.c_str());
            return 1;
        }
        double floor = Wire_Seconds(double(sim.Received().size() + replied.load())) + Prescribed;
        times.push_back(seconds);
        floors.push_back(floor);
        ratios.push_back(seconds / floor);
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(times.begin(), times.end());
    std::printf("kdx-cli check of one unit (4 axes) at %d baud, %d runs\n", Bench_Baud, Runs);
    std::printf("  wire time + prescribed waits  %.3f s\n", floors.front());
    std::printf("  median                        %.3f s  (%.3f x)\n", times[Runs / 2],
                ratios[Runs / 2]);
    std::printf("  best                          %.3f s  (%.3f x)\n", times.front(),
                ratios.front());
    std::printf("  goal                          <= 1.10 x\n");
    return 0;
}
