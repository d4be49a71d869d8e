// The memory test of axis 4 against the simulator at 57600 baud with wire time: its duration
// and its ratio to the wire time of the bytes it sends and receives.
#include <algorithm>
#include <vector>

#include "bench/protocol_bench.h"
#include "protocol/kdx.h"

int main() {
    using namespace kdx;
    using namespace kdx::bench;
    constexpr int Runs = 5;
    int32_t axis = 4;
    // Sent: open, the 64 steps and "]", the list command; received: the listing.
    const std::string program = KDX_Test_Program(axis);
    const double sent =
        std::string("F,[4[PM-4,").size() + program.size() + 1 + std::string("lst4M4,").size();
    const double received = std::string("lst4M4\r").size() + program.size() + 1;
    const double wire = Wire_Seconds(sent + received);
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run) {
        Bench_Line line;
        if (!line.Ready()) {
            std::fprintf(stderr, "bench_protocol_memory: the simulator's port did not open\n");
            return 1;
        }
        auto start = std::chrono::steady_clock::now();
        KDX_Tester_Commo_Fill_Memory(line.Handle(), axis);
        times.push_back(Seconds_Since(start));
        if (!KDX_Tester_Passed()) {
            std::fprintf(stderr, "bench_protocol_memory: the test failed\n");
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    double median = times[Runs / 2];
    std::printf("memory test, axis 4, at %d baud, %d runs\n", Bench_Baud, Runs);
    std::printf("  bytes              %.0f sent, %.0f received\n", sent, received);
    std::printf("  wire time          %.3f s\n", wire);
    std::printf("  best               %.3f s  (%.2f x wire)\n", times.front(),
                times.front() / wire);
    std::printf("  median             %.3f s  (%.2f x wire)\n", median, median / wire);
    std::printf("  goal               <= 1.5 x wire\n");
    return 0;
}
