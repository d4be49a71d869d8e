// 1 MB (or the megabytes given) of received text at full speed into the Terminal's
// "Response" window: the simulated controller floods the line, the receive poller echoes it,
// the echo reaches the rich edit on the user-interface thread. Checks that every byte is in the
// port log and the newest text is on screen, and measures how long the event loop goes without
// turning (a message posted every 2 ms from another thread; its delay is the stall). Goal: p99 at
// most 50 ms.
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "bench/gui_port_log.h"
#include "bench/gui_stall.h"
#include "bench/serial_bench_util.h"
#include "files/port_log.h"
#include "platform/os/system.h"
#include "platform/window/application.h"
#include "serial/echo.h"
#include "ui/ui.h"

namespace {

const std::string End = "#END#";

}  // namespace

int main(int argc, char** argv) {
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
    const int64_t bytes = (argc > 1 ? std::max(1, std::atoi(argv[1])) : 1) * 1024 * 1024;
    std::string flood = kdx::sim::Flood_Text(bytes) + End;
    stall.Start();
    auto start = std::chrono::steady_clock::now();
    session.sim->Send(flood);
    bool shown = false;
    for (int i = 0; i < 3000 && !shown; ++i) {
        kdx::win::Process_Events(20);
        std::string tail =
            kdx::win::Get_Dlg_Item_Text(kdx::win::Terminal_Dialog, kdx::Rich_Edit_Received);
        shown = tail.size() >= End.size() &&
                tail.compare(tail.size() - End.size(), End.size(), End) == 0;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stall.Stop();
    kdx::win::Process_Events(20);
    kdx::Serial_Port_Close(session.handle);
    session.handle = 0;
    kdx::Port_Log_Close();

    std::string window =
        kdx::win::Get_Dlg_Item_Text(kdx::win::Terminal_Dialog, kdx::Rich_Edit_Received);
    // Read back, a line break is CR LF: the window's own break is the LF.
    std::string shown_text;
    for (size_t i = 0; i < window.size(); ++i)
        if (!(window[i] == '\r' && i + 1 < window.size() && window[i + 1] == '\n'))
            shown_text += window[i];
    std::string raw = kdx::bench::Raw_From_Visible(shown_text);
    bool newest = raw.size() >= 2000 &&
                  raw.compare(raw.size() - 2000, 2000, flood, flood.size() - 2000, 2000) == 0;
    std::string in_log =
        log_path.empty() ? std::string() : kdx::bench::Received_In_Log(log_path, log_start);
    bool logged = in_log == flood;
    if (!logged)
        std::fprintf(stderr, "port log %s: %zu received bytes from offset %ju, %zu flooded\n",
                     log_path.c_str(), in_log.size(), log_start, flood.size());
    std::printf("gui_flood: %.1f MB received at full speed into the Response window (%s)\n",
                double(flood.size()) / 1e6,
                getenv("QT_QPA_PLATFORM") ? "offscreen" : "on the display");
    std::printf("  all shown after %.2f s; newest text on screen: %s\n", seconds,
                shown && newest ? "yes" : "NO");
    std::printf("  every byte in the port log: %s\n", logged ? "yes" : "NO");
    stall.Report();
    kdx::Echo_Window_Remove();
    kdx::win::Application_Stop();
    return shown && newest && logged ? 0 : 1;
}
