// Start-up of the windowed program with a simulated controller attached: the time from
// starting the process to the first paint of the frame with the Terminal shown, and the
// resident memory once it is up. Goals: first paint at most 0.5 s, at most 30 MB resident.
// The program runs on Qt's offscreen platform unless a display is given.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/serial_bench_util.h"
#include "platform/os/system.h"

namespace {

// A figure of /proc/<pid>/smaps_rollup in kB: "Rss:" resident, "Pss:" resident with shared
// library pages divided among the processes that map them.
long Memory_Kb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + field.size());
    return -1;
}

struct Run {
    double first_paint_ms = -1;
    long rss_kb = -1;
    long pss_kb = -1;
    int exit_code = -1;
};

Run Start_Once() {
    Run run;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return run;
    int64_t start = kdx::platform::Query_Performance_Counter();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        setenv("KDX_TIMING", "1", 1);
        if (!getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY"))
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        execl(KDX_GUI_PATH, KDX_GUI_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipe_fds[1]);
    FILE* err = fdopen(pipe_fds[0], "r");
    char line[512];
    while (fgets(line, sizeof line, err)) {
        long long at = 0;
        if (std::sscanf(line, "kdx: first paint %lld", &at) == 1) {
            run.first_paint_ms = double(at - start) / 1e6;
            break;
        }
    }
    // Resident memory once the program has settled after its first paint.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    run.rss_kb = Memory_Kb(pid, "Rss:");
    run.pss_kb = Memory_Kb(pid, "Pss:");
    kill(pid, SIGTERM);  // closes the frame as its close box does
    int status = 0;
    waitpid(pid, &status, 0);
    fclose(err);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace

int main() {
    kdx::bench::Sim_Session session;  // a controller on COM5 in the program's port list
    std::vector<double> paints;
    std::vector<long> rss, pss;
    bool clean = true;
    for (int i = 0; i < 5; ++i) {
        Run r = Start_Once();
        if (r.first_paint_ms < 0 || r.exit_code != 0) clean = false;
        paints.push_back(r.first_paint_ms);
        rss.push_back(r.rss_kb);
        pss.push_back(r.pss_kb);
    }
    std::sort(paints.begin(), paints.end());
    std::sort(rss.begin(), rss.end());
    std::sort(pss.begin(), pss.end());
    std::printf("gui_startup: kdx with the simulator on COM5, %s, 5 starts\n",
                getenv("DISPLAY") || getenv("WAYLAND_DISPLAY") ? "on the display" : "offscreen");
    std::printf(
        "  process start to first paint of the frame with the Terminal: median %.0f ms, "
        "worst %.0f ms (goal: at most 500 ms)\n",
        paints[2], paints[4]);
    std::printf(
        "  resident memory after start: median %.1f MB, worst %.1f MB (goal: at most 30 MB)\n",
        double(rss[2]) / 1024, double(rss[4]) / 1024);
    std::printf(
        "  proportional set size (shared library pages divided among users): median %.1f MB\n",
        double(pss[2]) / 1024);
    std::printf("  every start painted and ended with exit code 0 on SIGTERM: %s\n",
                clean ? "yes" : "NO");
    return clean ? 0 : 1;
}
