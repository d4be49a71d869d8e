// CPU time of the whole process over 5 s with a port open, its poller running and the line
// idle. A poller that queried the port back to back would burn a whole core.
#include <time.h>

#include <chrono>
#include <thread>

#include "bench/serial_bench_util.h"
#include "serial/echo.h"
#include "tests/support/echo_capture.h"

namespace {
double Process_Cpu_Seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
}  // namespace

int main() {
    kdx::Echo_Capture_Sink capture;
    kdx::Echo_Set_Sink(&capture);
    kdx::bench::Sim_Session session;
    if (!session.Open()) {
        std::fprintf(stderr, "cannot open COM5\n");
        return 1;
    }
    const double seconds = 5.0;
    double cpu0 = Process_Cpu_Seconds();
    auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double cpu = Process_Cpu_Seconds() - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("serial_idle_cpu: port open, poller running, line idle for %.2f s\n", wall);
    std::printf("  process CPU time %.6f s = %.4f%% of one core (goal: under 1%%)\n", cpu,
                100.0 * cpu / wall);
    bool running = kdx::Serial_Port_Poller_Running(kdx::Serial_Port_State.Poller);
    std::printf("  poller still running: %s\n", running ? "yes" : "NO");
    kdx::Echo_Set_Sink(nullptr);
    return running ? 0 : 1;
}
