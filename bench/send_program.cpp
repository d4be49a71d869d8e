// Sending files to the simulator (57600 baud, wire time) on a thread with a wait pump: a
// 10,000-command program file with the pace shortened by KDX_SEND_PACE_PERCENT (1 % unless
// set), and a 64 KB raw file. For each: its duration, and how long the sending thread went
// between two calls of its pump (the stretches in which a window on that thread could not
// paint), p50 / p99 / max.
#include <algorithm>
#include <fstream>
#include <vector>

#include "bench/protocol_bench.h"
#include "platform/os/system.h"
#include "protocol/kdx_send.h"

namespace {

using namespace kdx;
using namespace kdx::bench;
using Clock = std::chrono::steady_clock;

bool Run(const char* title, const std::string& name, const std::string& bytes) {
    std::string path =
        (std::filesystem::temp_directory_path() / (std::to_string(getpid()) + "-" + name)).string();
    std::ofstream(path, std::ios::binary) << bytes;
    Bench_Line line;
    if (!line.Ready()) {
        std::fprintf(stderr, "bench_send_program: the simulator's port did not open\n");
        return false;
    }
    std::vector<double> gaps_ms;
    Clock::time_point last = Clock::now();
    platform::Set_Sleep_Hook([&](uint32_t ms) {
        auto now = Clock::now();
        gaps_ms.push_back(std::chrono::duration<double, std::milli>(now - last).count());
        platform::Sleep_Ms(ms);  // inside the hook a plain sleep, as an event loop would wait
        last = Clock::now();
    });
    auto start = Clock::now();
    KDX_Send_Outcome outcome = KDX_Send_File(path);
    double seconds = Seconds_Since(start);
    gaps_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - last).count());
    platform::Set_Sleep_Hook(nullptr);
    std::remove(path.c_str());
    if (outcome.Status != KDX_Send_Status::Sent) {
        std::fprintf(stderr, "bench_send_program: %s\n", outcome.Message.c_str());
        return false;
    }
    std::sort(gaps_ms.begin(), gaps_ms.end());
    auto at = [&](double q) { return gaps_ms[size_t(q * double(gaps_ms.size() - 1))]; };
    std::printf("%s: %lld commands, %lld bytes at %d baud\n", title,
                static_cast<long long>(outcome.Commands), static_cast<long long>(outcome.Bytes),
                Bench_Baud);
    std::printf("  duration                 %.3f s\n", seconds);
    std::printf("  wire time                %.3f s\n", Wire_Seconds(double(outcome.Bytes)));
    std::printf("  wait pump calls          %zu\n", gaps_ms.size() - 1);
    std::printf("  between pump calls p50   %.3f ms\n", at(0.5));
    std::printf("  between pump calls p99   %.3f ms\n", at(0.99));
    std::printf("  between pump calls max   %.3f ms\n", gaps_ms.back());
    std::printf("  goal                     p99 <= 50 ms\n");
    return true;
}

}  // namespace

int main() {
    setenv("KDX_SEND_PACE_PERCENT", "1", 0);
    // 1000 lines of nine fields and the empty field after the line's last comma.
    std::string text;
    for (int line = 0; line < 1000; ++line)
        text += "S1M100,I1M10,I1M-10,S1M200,I1M20,I1M-20,S1M300,I1M30,I1M-30,\r";
    text.pop_back();
    std::string title = "program file, pace " + std::to_string(KDX_Send_Pace_Percent()) + " %";
    if (!Run(title.c_str(), "bench.kdx", KDX_Program_Scramble(text))) return 1;
    std::string raw(64 * 1024, '\0');
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = char(i * 131 % 251);
    if (!Run("raw file", "bench.bin", raw)) return 1;
    return 0;
}
