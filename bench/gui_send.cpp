// A 10,000-field program file sent to the simulated controller through the windowed program:
// "Send to Device", the file chosen in the open-file dialog, the commands paced as the
// controller wants them (shortened by KDX_SEND_PACE_PERCENT, 1 % unless set). Checks that
// every field reached the controller in order and that the status strip showed the progress,
// and measures how long the window's event loop goes without turning meanwhile (a message
// posted every 2 ms from another thread; its delay is the stall). Goal: p99 at most 50 ms.
#include <stdlib.h>

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "bench/gui_stall.h"
#include "bench/serial_bench_util.h"
#include "platform/os/system.h"
#include "platform/window/application.h"
#include "protocol/kdx_send.h"
#include "serial/echo.h"
#include "tests/ui/file_dialog.h"
#include "ui/ui.h"

namespace {

std::vector<std::string> statuses;

}  // namespace

int main(int argc, char** argv) {
    if (!getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("KDX_SEND_PACE_PERCENT", "1", 0);
    kdx::bench::Sim_Session session;
    kdx::win::Application_Start(argc, argv);
    kdx::Main_Windows_Create();
    kdx::bench::Event_Loop_Stall stall;
    kdx::win::Process_Events(200);
    if (!session.Open()) {
        std::fprintf(stderr, "cannot open COM5\n");
        return 1;
    }

    // 1,000 lines of 10 fields the controller takes without complaint.
    std::string text, expected;
    const int kLines = 1000, kFields = 9;
    for (int line = 0; line < kLines; ++line) {
        for (int f = 0; f < kFields; ++f) {
            std::string field = "I" + std::to_string(f % 4 + 1) + "M" + std::to_string(line);
            text += field + (f + 1 < kFields ? "," : "");
            expected += field + ",";
        }
        text += "\r\n";
        expected += ",";  // the comma appended to the line is an empty field of its own
    }
    expected += ",,";  // the empty line after the last line end
    size_t fields = 0;
    for (const auto& line : kdx::KDX_Program_Commands(text)) fields += line.size();
    std::string folder = std::filesystem::temp_directory_path() / "kdx-bench-send";
    std::filesystem::create_directories(folder);
    std::string path = folder + "/bench.kdx";
    std::ofstream(path, std::ios::binary) << kdx::KDX_Program_Scramble(text);

    auto* frame = dynamic_cast<QMainWindow*>(QApplication::activeWindow());
    QLabel* strip = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* main = qobject_cast<QMainWindow*>(w))
            strip = main->findChild<QLabel*>(QStringLiteral("status_text"));
    (void)frame;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (strip && (statuses.empty() || statuses.back() != strip->text().toStdString()))
            statuses.push_back(strip->text().toStdString());
    });
    sampler.start(500);

    stall.Start();
    size_t before = session.sim->Received().size();
    kdx::test::Choose_When_Asked(path);
    auto start = std::chrono::steady_clock::now();
    kdx::win::Send_Message(kdx::win::Frame_Window, kdx::win::WM_COMMAND,
                           kdx::win::MAKEWPARAM(kdx::IDM_Send_To_Device, 0), 0);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stall.Stop();
    sampler.stop();
    for (int i = 0; i < 100 && session.sim->Received().size() < before + expected.size(); ++i)
        kdx::win::Process_Events(20);
    std::string wire = session.sim->Received().substr(before);
    bool exact = wire == expected;
    std::string shown = kdx::win::Get_Dlg_Item_Text(kdx::win::Terminal_Dialog, kdx::Rich_Edit_Sent);
    bool complete = shown.find("Transmission Complete") != std::string::npos;

    std::printf(
        "gui_send: %zu fields in %d lines sent through \"Send to Device\" at %s %% pace (%s)\n",
        fields, kLines, getenv("KDX_SEND_PACE_PERCENT"),
        getenv("QT_QPA_PLATFORM") ? "offscreen" : "on the display");
    std::printf(
        "  took %.1f s; every field on the wire in order: %s; \"Transmission Complete\": %s\n",
        seconds, exact ? "yes" : "NO", complete ? "yes" : "NO");
    std::printf("  status strip seen %zu times, e.g. \"%s\"\n", statuses.size(),
                statuses.size() > 1 ? statuses[statuses.size() / 2].c_str() : "");
    stall.Report();
    if (!exact)
        std::fprintf(stderr, "wire: %zu bytes, expected %zu\n", wire.size(), expected.size());
    kdx::Serial_Port_Close(session.handle);
    session.handle = 0;
    std::filesystem::remove_all(folder);
    kdx::Long_Operations_Remove();
    kdx::Echo_Window_Remove();
    kdx::win::Application_Stop();
    return exact && complete ? 0 : 1;
}
