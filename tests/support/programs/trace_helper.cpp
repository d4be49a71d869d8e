// A small traced program for the tests that need a process of their own: the End key ends
// it, and its debug log is named after whatever name it was copied to.
//
//   trace_helper end-key MARKER   capture console; an error pause gets End; the program-end
//                                 handler writes MARKER before the process ends
//   trace_helper log-name         opens and closes the console, prints the log's full path
//   trace_helper pause-twice      two error pauses on the configured console (a terminal
//                                 in the tests), then exits 0 unless End ended it
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/console/console.h"
#include "platform/os/error.h"
#include "tests/support/posix.h"
#include "trace/trace.h"

namespace {

std::string marker;

void Write_Marker() {
    std::ofstream(marker) << "ended";
}

void Fail(const char* name) {
    KDX_FRAME(name);
    kdx::platform::Set_Last_Error(5);
    kdx_frame.check();
    kdx::platform::Set_Last_Error(0);
}

void C_Proc(int mode) {
    KDX_FRAME("C", mode);
    if (mode == 0) {
        kdx::platform::Capture_Set_Keyboard(true);
        kdx::platform::Capture_Push_Key(kdx::platform::VK_END);
        kdx::platform::Set_Last_Error(5);
        kdx_frame.check();
    } else {
        Fail("First");
        Fail("Second");
    }
}

void B_Proc(const std::string& text, int mode) {
    KDX_FRAME("B", text);
    C_Proc(mode);
}

void A_Proc(int mode) {
    KDX_FRAME("A");
    B_Proc("x", mode);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // The tests read the lines as written, without carriage returns added.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "end-key" && argc > 2) {
        setenv("KDX_CONSOLE", "capture", 1);
        marker = argv[2];
        kdx::trace::On_Program_End(&Write_Marker);
        kdx::ErrCheck_Debug(1);
        std::printf("started");  // still buffered when End ends the process
        A_Proc(0);
        std::printf("not ended\n");
        return 0;
    }
    if (mode == "log-name") {
        setenv("KDX_CONSOLE", "capture", 1);
        kdx::ErrCheck_Debug(1);
        std::printf("%s\n", kdx::trace::Debug_Log_Path().c_str());
        kdx::ErrCheck_Debug(0);
        return 0;
    }
    if (mode == "pause-twice") {
        kdx::ErrCheck_Debug(1);
        A_Proc(1);
        kdx::ErrCheck_Debug(0);
        return 0;
    }
    std::fprintf(stderr, "usage: trace_helper end-key MARKER | log-name | pause-twice\n");
    return 2;
}
