// Start-up: the trace console on request, the frame, the Terminal inside it, the controller
// diagnostic, and the message loop whose quit code is the program's exit code.
#include <atomic>
#include <thread>

#include <cstdio>

#include "platform/stop_signals.h"
#include "platform/system.h"
#include "platform/window/application.h"
#include "protocol/kdx.h"
#include "serial/serial_enum.h"
#include "trace/trace.h"
#include "ui/ui.h"

namespace kdx {

std::string Command_Line_Arguments(int argc, char** argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) text += ' ';
        text += argv[i];
    }
    return text;
}

int32_t Main_Message_Loop() {
    KDX_CALLBACK_FRAME("Main_Message_Loop");
    return win::Message_Loop();
}

int32_t WinMain(int32_t instance, int32_t previous, const std::string& arguments, int32_t show) {
    KDX_FRAME("WinMain", instance, previous, arguments, show);
    // Only the exact text opens the console: other letter case or more words do not.
    if (arguments == "-Admin") ErrCheck_Debug(1);
    ErrCheck_Comment(arguments + "\r");
    ErrCheck_Comment(arguments + "\r");
    Serial_Terminal_COM_Name_Value("COM5");
    int32_t unused = 0;
    win::Mdi_Client = Mdi_Parent_Create(unused);
    win::Terminal_Dialog = Serial_Terminal_Create();
    win::Set_Parent(win::Terminal_Dialog, win::Mdi_Client);
    Echo_Window_Install();
    Long_Operations_Install();
    KDX_Diagnostic(win::Terminal_Dialog);
    win::Set_Menu_State(win::Menu_Bar, IDM_Terminal, win::MFS_CHECKED);
    Serial_Terminal_Show(win::Terminal_Dialog);
    int32_t result = Main_Message_Loop();
    Long_Operations_Remove();
    Echo_Window_Remove();
    return kdx_frame.result(result);
}

}  // namespace kdx

int main(int argc, char** argv) {
    // The argument text is taken before the toolkit removes any options of its own.
    std::string arguments = kdx::Command_Line_Arguments(argc, argv);
    // Interrupt, terminate and hang-up close the frame as its close box does (the port is
    // closed, the exit code is the quit message's), like a polite end of the session.
    kdx::platform::Block_Stop_Signals();
    std::atomic<bool> done{false};
    std::thread stopper([&done] {
        bool asked = false;
        while (!done.load()) {
            if (!asked) asked = kdx::platform::Wait_Stop_Signal(100);
            if (asked && kdx::win::Frame_Window != 0) {
                kdx::win::Post_Message(kdx::win::Frame_Window, kdx::win::WM_CLOSE);
                asked = false;
            } else if (asked) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    });
    kdx::win::Application_Start(argc, argv);
    // KDX_TIMING=1: the monotonic clock at the frame's first paint, for the start-up benchmark.
    if (!kdx::platform::Environment("KDX_TIMING").empty())
        kdx::win::On_First_Paint([] {
            std::fprintf(stderr, "kdx: first paint %lld\n",
                         static_cast<long long>(kdx::platform::Query_Performance_Counter()));
            std::fflush(stderr);
        });
    int32_t code = kdx::WinMain(0, 0, arguments, 1);
    done.store(true);
    stopper.join();
    kdx::win::Application_Stop();
    return code;
}
