// The communication test in the window beside the same test as kdx-cli runs it, under Wine
// on one simulated unit (bench/commo_side_by_side_win32.sh starts it): the window's test is
// the frame's "KDX Test USB Commo" with the program's windows as start-up makes them (the
// Terminal's echo, the status strip, the wait pump); the command line's is the same routine
// with kdx-cli's terminal echo on a file. Rounds alternate which goes first; each prints its
// seconds, then the medians and the window's as a ratio of the command line's.
//   bench_gui_commo_win32.exe COM<n> [rounds]
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/window/application.h"
#include "protocol/kdx.h"
#include "serial/echo.h"
#include "serial/serial_port.h"
#include "ui/ui.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds_Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The window's test: the menu command, then what its echo still holds painted.
double Window_Round(int32_t number) {
    using namespace kdx;
    HWND list = win::Get_Dlg_Item(win::Terminal_Dialog, Port_List);
    std::string name = "COM" + std::to_string(number);
    win::Send_Message(list, win::CB_RESETCONTENT);
    win::Send_Message(list, win::CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    win::Send_Message(list, win::CB_SETCURSEL, 0);
    win::Send_Message(win::Get_Dlg_Item(win::Terminal_Dialog, OptPortOpen), win::BM_CLICK);
    if (Serial_Port_State.Handle <= 0) {
        std::fprintf(stderr, "bench: the window could not open %s\n", name.c_str());
        std::exit(1);
    }
    win::Process_Events(200);
    auto start = Clock::now();
    Frame_Command(IDM_KDX_Test_USB_Commo);
    win::Update_Window(win::Terminal_Dialog);
    double seconds = Seconds_Since(start);
    bool passed = KDX_Tester_Passed() == 1;
    win::Send_Message(win::Get_Dlg_Item(win::Terminal_Dialog, OptPortClosed), win::BM_CLICK);
    // The next round starts from empty windows, as a test after "Clear Window" does.
    win::Set_Dlg_Item_Text(win::Terminal_Dialog, Rich_Edit_Sent, "");
    win::Set_Dlg_Item_Text(win::Terminal_Dialog, Rich_Edit_Received, "");
    win::Process_Events(100);
    if (!passed) {
        std::fprintf(stderr, "bench: the window's test did not pass\n");
        std::exit(1);
    }
    return seconds;
}

// The command line's test: kdx-cli's terminal echo, here on a file.
double Command_Line_Round(int32_t number, int fd) {
    using namespace kdx;
    // No window here: no wait pump, no progress strip, kdx-cli's echo.
    Long_Operations_Remove();
    Echo_Window_Remove();
    Echo_Terminal_Sink sink(fd, false, false);
    Echo_Set_Sink(&sink);
    int32_t baud = 57600;
    int32_t handle = Serial_Port_Open(number, baud);
    if (handle <= 0) {
        std::fprintf(stderr, "bench: COM%d could not be opened\n", int(number));
        std::exit(1);
    }
    // Entered as the open port, as kdx-cli does.
    Serial_Port_State = Serial_Port_State_Record{};
    Serial_Port_State.Handle = handle;
    Serial_Port_State.Number = number;
    Serial_Port_State.Baud = baud;
    auto start = Clock::now();
    KDX_Tester_USB_Commo(handle);
    sink.Flush(true);
    double seconds = Seconds_Since(start);
    bool passed = KDX_Tester_Passed() == 1;
    Serial_Port_Close(handle);
    Serial_Port_State = Serial_Port_State_Record{};
    Echo_Set_Sink(nullptr);
    Echo_Window_Install();
    Long_Operations_Install();
    if (!passed) {
        std::fprintf(stderr, "bench: the command line's test did not pass\n");
        std::exit(1);
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kdx;
    if (argc < 2 || std::string(argv[1]).rfind("COM", 0) != 0) {
        std::fprintf(stderr, "usage: bench_gui_commo_win32.exe COM<n> [rounds]\n");
        return 2;
    }
    int32_t number = std::atoi(argv[1] + 3);
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (!win::Application_Start(argc, argv)) {
        std::fprintf(stderr, "bench: no window system\n");
        return 1;
    }
    Main_Windows_Create();
    win::Process_Events(300);
    int fd = _open("kdx_commo_bench.txt", _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    std::vector<double> window, command_line;
    for (int r = 0; r < rounds; ++r) {
        bool window_first = r % 2 == 0;
        if (window_first) window.push_back(Window_Round(number));
        command_line.push_back(Command_Line_Round(number, fd));
        if (!window_first) window.push_back(Window_Round(number));
        std::printf("round %d: window %.3f s, command line %.3f s\n", r + 1, window.back(),
                    command_line.back());
        std::fflush(stdout);
    }
    _close(fd);
    _unlink("kdx_commo_bench.txt");
    double w = Median(window), c = Median(command_line);
    std::printf("median: window %.3f s, command line %.3f s, window / command line %.2f\n", w, c,
                c > 0 ? w / c : 0.0);
    Long_Operations_Remove();
    Echo_Window_Remove();
    win::Destroy_Window(win::Frame_Window);
    win::Application_Stop();
    return 0;
}
