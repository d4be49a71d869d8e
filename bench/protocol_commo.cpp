// The communication test (1000 status queries) against the simulator at 57600 baud with wire
// time: its duration and its ratio to the wire time of the 2000 bytes it exchanges.
#include <algorithm>
#include <vector>

#include "bench/protocol_bench.h"
#include "protocol/kdx.h"

int main() {
    using namespace kdx;
    using namespace kdx::bench;
    constexpr int Runs = 5;
    const double wire = Wire_Seconds(2.0 * KDX_Commo_Queries);
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run) {
        Bench_Line line;
        if (!line.Ready()) {
            std::fprintf(stderr, "bench_protocol_commo: the simulator's port did not open\n");
            return 1;
        }
        auto start = std::chrono::steady_clock::now();
        KDX_Tester_USB_Commo(line.Handle());
        times.push_back(Seconds_Since(start));
        if (!KDX_Tester_Passed()) {
            std::fprintf(stderr, "bench_protocol_commo: the test failed\n");
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    double median = times[Runs / 2];
    std::printf("communication test, %d queries at %d baud, %d runs\n", KDX_Commo_Queries,
                Bench_Baud, Runs);
    std::printf("  wire time          %.3f s\n", wire);
    std::printf("  best               %.3f s  (%.2f x wire)\n", times.front(),
                times.front() / wire);
    std::printf("  median             %.3f s  (%.2f x wire)\n", median, median / wire);
    std::printf("  per query (median) %.3f ms\n", median * 1000 / KDX_Commo_Queries);
    std::printf("  goal               <= 1.25 x wire\n");
    return 0;
}
