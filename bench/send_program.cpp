// A 10,000-command program file sent to the simulator (57600 baud, wire time) with the pace
// shortened by KDX_SEND_PACE_PERCENT (1 % unless set): its duration, and how long the
// sending thread went between two calls of its wait pump (the stretches in which a window
// on that thread could not paint), p50 / p99 / max.
#include <algorithm>
#include <fstream>
#include <vector>

#include "bench/protocol_bench.h"
#include "platform/system.h"
#include "protocol/kdx_send.h"

int main() {
    using namespace kdx;
    using namespace kdx::bench;
    setenv("KDX_SEND_PACE_PERCENT", "1", 0);
    // 1000 lines of nine fields and the empty field after the line's last comma.
    std::string text;
    for (int line = 0; line < 1000; ++line)
        text += "S1M100,I1M10,I1M-10,S1M200,I1M20,I1M-20,S1M300,I1M30,I1M-30,\r";
    text.pop_back();
    std::string path = (std::filesystem::temp_directory_path() /
                        ("kdx-bench-" + std::to_string(getpid()) + ".kdx"))
                           .string();
    std::ofstream(path, std::ios::binary) << KDX_Program_Scramble(text);

    Bench_Line line;
    if (!line.Ready()) {
        std::fprintf(stderr, "bench_send_program: the simulator's port did not open\n");
        return 1;
    }
    using clock = std::chrono::steady_clock;
    std::vector<double> gaps_ms;
    clock::time_point last = clock::now();
    platform::Set_Sleep_Hook([&](uint32_t ms) {
        auto now = clock::now();
        gaps_ms.push_back(std::chrono::duration<double, std::milli>(now - last).count());
        platform::Sleep_Ms(ms);  // inside the hook: a plain sleep, as an event loop would wait
        last = clock::now();
    });
    auto start = clock::now();
    KDX_Send_Outcome outcome = KDX_Send_File(path);
    double seconds = Seconds_Since(start);
    platform::Set_Sleep_Hook(nullptr);
    std::remove(path.c_str());
    if (outcome.Status != KDX_Send_Status::Sent) {
        std::fprintf(stderr, "bench_send_program: %s\n", outcome.Message.c_str());
        return 1;
    }
    std::sort(gaps_ms.begin(), gaps_ms.end());
    auto at = [&](double q) { return gaps_ms[size_t(q * double(gaps_ms.size() - 1))]; };
    std::printf("program file, %lld commands (%lld bytes) at %d baud, pace %u %%\n",
                static_cast<long long>(outcome.Commands), static_cast<long long>(outcome.Bytes),
                Bench_Baud, KDX_Send_Pace_Percent());
    std::printf("  duration                 %.3f s\n", seconds);
    std::printf("  wire time                %.3f s\n", Wire_Seconds(double(outcome.Bytes)));
    std::printf("  wait pump calls          %zu\n", gaps_ms.size());
    std::printf("  between pump calls p50   %.3f ms\n", at(0.5));
    std::printf("  between pump calls p99   %.3f ms\n", at(0.99));
    std::printf("  between pump calls max   %.3f ms\n", gaps_ms.back());
    std::printf("  goal                     p99 <= 50 ms\n");
    return 0;
}
