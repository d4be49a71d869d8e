// Start-up: the trace console on request, the frame, the Terminal inside it, the controller
// diagnostic, and the message loop whose quit code is the program's exit code.
#include <atomic>
#include <thread>

#include <cstdio>
#include <cstring>

#include "kdx_version.h"

#include "platform/os/stop_signals.h"
#include "platform/os/system.h"
#include "platform/window/application.h"
#include "serial/serial_enum.h"
#include "trace/trace.h"
#include "ui/system_words.h"
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
    Main_Windows_Create();
    int32_t result = Main_Message_Loop();
    Long_Operations_Remove();
    Echo_Window_Remove();
    return kdx_frame.result(result);
}

}  // namespace kdx

namespace {

const char* const Help =
    "Usage: kdx [-Admin]\n"
    "\n"
    "The KDX configurator: finds a KDX stepper-motor controller on a serial port or USB\n"
    "adapter, shows its identity and axes, runs the communication and program-memory tests,\n"
    "jogs an axis (QuickMove), sends program files and talks to the controller in the\n"
    "Terminal, whose traffic can be logged. It needs a desktop session.\n"
    "\n"
    "Options:\n"
    "  -Admin      open the Debug Console with the trace of every procedure, also written\n"
    "              to kdx_Debug.txt in the current directory (exactly this word)\n"
    "  --help      show this text and exit\n"
    "  --version   show the version and the commit it was built from, and exit\n"
    "\n";

}  // namespace

int main(int argc, char** argv) {
    // Answered before the toolkit starts, so they work without a display (manual pages and
    // package checks ask them); any other argument text is the program's as it stands.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kdx %s\n", KDX_VERSION_TEXT);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(Help, stdout);
        std::fputs(kdx::Help_System_Words(), stdout);
        return 0;
    }
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
