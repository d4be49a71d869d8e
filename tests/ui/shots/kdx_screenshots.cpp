// Renders the program's windows to PNG files for the documentation and for looking at the
// layout: the frame with the Terminal after a short session with a simulated controller, the
// progress of a program file being sent, the frame with the QuickMove dialog, the Debug
// Console.
//
//   kdx_screenshots <folder>
#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "files/ini.h"
#include "platform/window/application.h"
#include "protocol/kdx_send.h"
#include "serial/echo.h"
#include "serial/serial_enum.h"
#include "serial/serial_port.h"
#include "sim/sim.h"
#include "trace/trace.h"
#include "ui/ui.h"

using namespace kdx;

namespace {

void Click(int32_t id) {
    win::Send_Message(win::Get_Dlg_Item(win::Terminal_Dialog, id), win::BM_CLICK);
}

void Type(int32_t id, const std::string& keys) {
    for (char c : keys)
        win::Send_Message(win::Get_Dlg_Item(win::Terminal_Dialog, id), win::WM_CHAR, uint8_t(c));
    win::Process_Events(150);
}

void Open(const std::string& port) {
    HWND list = win::Get_Dlg_Item(win::Terminal_Dialog, Port_List);
    for (int64_t i = 0; i < win::Send_Message(list, win::CB_GETCOUNT); ++i) {
        char name[64] = {};
        win::Send_Message(list, win::CB_GETLBTEXT, uint64_t(i), reinterpret_cast<LPARAM>(name));
        if (std::string(name) == port) win::Send_Message(list, win::CB_SETCURSEL, uint64_t(i));
    }
    Click(OptPortOpen);
}

QWidget* Frame_Widget() {
    for (QWidget* w : QApplication::allWidgets())
        if (w->property("kdx_hwnd").toInt() == win::Frame_Window) return w;
    return nullptr;
}

// The frame at a small and a laptop screen's size after each verdict the strip gives, to
// look at for clipped, overlapping or wrapped words: kdx-verdict-<name>-<size>.png.
bool Verdict_Shots(const std::string& folder) {
    struct Unit {
        int32_t number;
        std::function<void(sim::Sim_Config&)> set;
    };
    const Unit units[] = {
        {11, [](sim::Sim_Config&) {}},
        {12, [](sim::Sim_Config& c) { c.late_ms = 150; }},
        {13, [](sim::Sim_Config& c) { c.slow_ms = 10; }},
        {14, [](sim::Sim_Config& c) { c.model.answer_limit = 300; }},
    };
    std::vector<std::unique_ptr<sim::Simulator>> sims;
    for (const auto& u : units) {
        sim::Sim_Config c;
        c.number = u.number;
        u.set(c);
        sims.push_back(std::make_unique<sim::Simulator>(c));
        sims.back()->Start();
    }
    win::Send_Message(win::Terminal_Dialog, win::WM_DEVICECHANGE, 0x8000);  // reread the list
    win::Process_Events(300);
    struct Verdict {
        const char* name;
        std::function<void()> run;
    };
    const Verdict verdicts[] = {
        {"refresh-passed",
         [] {
             Open("COM11");
             Click(Cmd_Refresh_Ids);
         }},
        {"refresh-late",
         [] {
             Click(OptPortClosed);
             Open("COM12");
             Click(Cmd_Refresh_Ids);
         }},
        {"refresh-slow",
         [] {
             Click(OptPortClosed);
             Open("COM13");
             Click(Cmd_Refresh_Ids);
         }},
        {"commo-aborted",
         [] {
             Click(OptPortClosed);
             Open("COM14");
             win::Send_Message(win::Frame_Window, win::WM_COMMAND, IDM_KDX_Test_USB_Commo);
         }},
        {"refresh-no-port",
         [] {
             Click(OptPortClosed);
             Click(Cmd_Refresh_Ids);
         }},
        {"send-no-port", [] { Status_Verdict("Send: no port open, nothing sent", false); }},
        {"edit-failed",
         [] {
             setenv("KDX_EDITOR", "/bin/false", 1);
             win::Send_Message(win::Frame_Window, win::WM_COMMAND, IDM_Edit);
             win::Process_Events(1500);  // the watch sees it end
         }},
        {"ports-changed",
         [] {
             Open("COM11");
             win::Send_Message(win::Terminal_Dialog, win::WM_COMMAND, IDM_Refresh_Ports);
         }},
        {"port-not-saved",
         [] {
             // A link where the settings page is: the writer refuses it.
             std::string page = Ini_Get_Page_Path();
             std::string kept = page + ".kept";
             bool had = std::rename(page.c_str(), kept.c_str()) == 0;
             bool linked = symlink("/nonexistent/kdx-settings", page.c_str()) == 0;
             ErrCheck_Debug(0);  // the console would wait for a key at the failed write
             Open("COM11");
             ErrCheck_Debug(1);
             if (linked) unlink(page.c_str());
             if (had) std::rename(kept.c_str(), page.c_str());
         }},
    };
    bool ok = true;
    QWidget* frame = Frame_Widget();
    if (!frame) return false;
    for (const auto& v : verdicts) {
        v.run();
        for (auto [w, h] : {std::pair{800, 600}, std::pair{1366, 768}}) {
            frame->resize(w, h);
            win::Process_Events(200);
            ok =
                win::Save_Window_Picture(win::Frame_Window, folder + "/kdx-verdict-" + v.name +
                                                                "-" + std::to_string(w) + ".png") &&
                ok;
        }
    }
    Click(OptPortClosed);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = argc > 1 ? argv[1] : ".";
    sim::Sim_Config config;
    config.number = 5;
    sim::Simulator controller(config);
    bool simulated = controller.Start();
    win::Application_Start(argc, argv);
    ErrCheck_Debug(1);
    Main_Windows_Create();
    win::Process_Events(200);

    // A short session: the simulator's port opened, the identity read, a few commands typed.
    HWND list = win::Get_Dlg_Item(win::Terminal_Dialog, Port_List);
    for (int64_t i = 0; i < win::Send_Message(list, win::CB_GETCOUNT); ++i) {
        char name[64] = {};
        win::Send_Message(list, win::CB_GETLBTEXT, uint64_t(i), reinterpret_cast<LPARAM>(name));
        if (std::string(name) == "COM5") win::Send_Message(list, win::CB_SETCURSEL, uint64_t(i));
    }
    if (simulated) Click(OptPortOpen);
    Click(Cmd_Refresh_Ids);
    Type(Rich_Edit_Sent, "V");
    Type(Rich_Edit_Sent, "F,getD0,");
    win::Set_Dlg_Item_Text(win::Terminal_Dialog, Text_Buffered, "F,getAF,");
    Click(Cmd_Send);
    win::Process_Events(400);
    bool ok = win::Save_Window_Picture(win::Frame_Window, folder + "/kdx-terminal.png");

    // A program file going out: the status strip shows what is sent and how far it is.
    setenv("KDX_SEND_PACE_PERCENT", "20", 1);
    std::string text;
    for (int line = 1; line <= 40; ++line)
        text += "I1M" + std::to_string(line * 100) + ",I2M" + std::to_string(line * 50) + "\r\n";
    std::string program = std::filesystem::temp_directory_path() / "kdx-shots-demo.kdx";
    std::ofstream(program, std::ios::binary) << KDX_Program_Scramble(text);
    bool sending_shot = false;
    QTimer::singleShot(1500, [&] {
        sending_shot = win::Save_Window_Picture(win::Frame_Window, folder + "/kdx-sending.png");
        KDX_Request_Stop();  // the picture is taken: the rest need not go out
    });
    {
        Ui_Exchange exchange;
        KDX_Send_File(program);
    }
    std::filesystem::remove(program);
    ok = ok && sending_shot;
    Click(OptPortClosed);

    int32_t client = win::Mdi_Client;
    HWND quickmove = CreateQuickMoveSingle(&client);
    win::Set_Parent(quickmove, win::Mdi_Client);
    ShowQuickMoveSingle();
    win::Process_Events(300);
    ok = win::Save_Window_Picture(win::Frame_Window, folder + "/kdx-quickmove.png") && ok;
    ok = win::Save_Window_Picture(quickmove, folder + "/kdx-quickmove-dialog.png") && ok;
    ok = win::Save_Titled_Window_Picture("Debug Console", folder + "/kdx-debug-console.png") && ok;
    win::Destroy_Window(quickmove);
    ok = Verdict_Shots(folder) && ok;
    Long_Operations_Remove();
    Echo_Window_Remove();
    win::Application_Stop();
    if (!ok) std::fprintf(stderr, "kdx_screenshots: a picture could not be written\n");
    return ok ? 0 : 1;
}
