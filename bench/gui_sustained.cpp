// A flood that does not stop: the simulated controller sends at full pseudo-terminal speed for
// the seconds given (default 60) into the Terminal's "Response" window, port log on. Prints
// the resident memory every 10 s, then whether the newest text is on screen and the port log
// holds every byte, and last one line: rss_mb=<peak> stall_p99_ms=<n> log_bytes_lost=<n>.
// Goals: peak resident memory under 100 MB, event-loop stall p99 under 50 ms, nothing lost.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench/gui_port_log.h"
#include "bench/gui_stall.h"
#include "bench/serial_bench_util.h"
#include "files/port_log.h"
#include "platform/window/application.h"
#include "serial/echo.h"
#include "ui/ui.h"

namespace {

const std::string End = "#END#";

// A figure of /proc/self/status in kB ("VmRSS:" now, "VmHWM:" the peak).
long Status_Kb(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    if (!getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    kdx::win::Application_Start(argc, argv);
    kdx::Main_Windows_Create();
    kdx::bench::Event_Loop_Stall stall;
    kdx::win::Process_Events(200);

    kdx::bench::Sim_Session session;
    std::string log_path;
    const std::uintmax_t log_start = kdx::bench::Port_Log_Open_Here(log_path);
    if (!session.Open()) {
        std::fprintf(stderr, "cannot open COM5\n");
        return 1;
    }
    std::printf(
        "gui_sustained: a flood at full speed for %d s into the Response window (%s), "
        "port log on\n",
        seconds, getenv("QT_QPA_PLATFORM") ? "offscreen" : "on the display");
    std::fflush(stdout);
    // The flood goes out a megabyte at a time (whole lines, so the text runs on unbroken),
    // never more than two ahead of the line: the simulator holds little of it.
    const int64_t chunk = 1024 * 1024;
    int64_t queued = 0;
    stall.Start();
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    int next_report = 10;
    while (elapsed() < seconds) {
        while (queued - session.sim->Sent() < 2 * chunk) {
            session.sim->Flood(chunk);
            queued += chunk;
        }
        kdx::win::Process_Events(5);
        if (elapsed() >= next_report) {
            std::printf("  %3d s: %6.0f MB received, resident %.1f MB\n", next_report,
                        double(session.sim->Sent()) / 1e6, double(Status_Kb("VmRSS:")) / 1024);
            std::fflush(stdout);
            next_report += 10;
        }
    }
    session.sim->Send(End);
    const int64_t flooded = queued;
    bool shown = false;
    for (int i = 0; i < 6000 && !shown; ++i) {
        kdx::win::Process_Events(10);
        std::string tail =
            kdx::win::Get_Dlg_Item_Text(kdx::win::Terminal_Dialog, kdx::Rich_Edit_Received);
        shown = tail.size() >= End.size() &&
                tail.compare(tail.size() - End.size(), End.size(), End) == 0;
    }
    stall.Stop();
    kdx::Serial_Port_Close(session.handle);
    session.handle = 0;
    kdx::Port_Log_Close();
    const double rss_mb = double(Status_Kb("VmHWM:")) / 1024;

    // The log against the flood: its lines repeat without a break, then the end mark.
    const std::string line = kdx::sim::Flood_Text(64);
    int64_t matched = 0;
    bool broken = false, ended = false;
    kdx::bench::Received_In_Log(log_path, log_start, [&](const std::string& text) {
        for (size_t i = 0; i < text.size() && !broken && !ended; ++i) {
            if (matched == flooded) {
                ended = text.compare(i, End.size(), End) == 0;
                broken = !ended;
            } else if (text[i] == line[size_t(matched % int64_t(line.size()))]) {
                ++matched;
            } else {
                broken = true;
                std::fprintf(stderr, "port log %s: the flood breaks after %lld bytes at \"%s\"\n",
                             log_path.c_str(), static_cast<long long>(matched),
                             text.substr(i, 40).c_str());
            }
        }
    });
    std::error_code ec;
    if (!broken)
        std::filesystem::remove(log_path,
                                ec);  // gigabytes; the bench's own  // gigabytes; the bench's own
    std::printf("  %.0f MB received in %.0f s; newest text on screen: %s\n", double(flooded) / 1e6,
                double(seconds), shown ? "yes" : "NO");
    std::printf("  every byte in the port log, in order: %s\n",
                matched == flooded && ended ? "yes" : "NO");
    std::printf("  peak resident memory %.1f MB (goal: under 100 MB)\n", rss_mb);
    stall.Report();
    std::printf("rss_mb=%.1f stall_p99_ms=%.1f log_bytes_lost=%lld\n", rss_mb,
                stall.Percentile(0.99), static_cast<long long>(flooded - matched));
    kdx::Echo_Window_Remove();
    kdx::win::Application_Stop();
    return shown && matched == flooded && ended ? 0 : 1;
}
