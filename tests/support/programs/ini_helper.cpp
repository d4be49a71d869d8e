// Runs settings and port-log operations as a program of its own, so tests can copy it under
// any name into any folder: the path rules follow the executable's name and place.
//
// Usage: ini_helper COMMAND... where each command prints one line "command=result":
//   paths                  full, folder, name, extension and page path, one line each
//   set S K V | get S K D  Ini_Set_Value / Ini_Get_Value
//   page                   Ini_Get_Current_Path
//   port NAME              the Terminal's port entry
//   rename NEW             renames this executable within its folder
//   tz ZONE                switches the local time zone, as midnight passing would
//   as-nobody              drops root privileges (so folder permissions apply)
//   log-open | log-close | log-line TEXT | log-stale TEXT
//   log-error              what went wrong with the port log since its opening
//   debug-open             opens and closes a capture debug console (its log in this
//                          program's folder); prints the log's path and what went wrong
//   log-threads N          two threads write N lines each at once ("A 0007 ...", "B 0007 ...")
//   end-arm                opens a capture debug console (its log in this program's folder)
//                          whose next pause gets the End key; the process dies after 20 s
//   end-key                an error check that pauses (and so ends the program once armed)
#include <stdlib.h>
#include <time.h>
#ifdef _WIN32
#include <direct.h>
#else
#include <sys/prctl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "files/ini.h"
#include "files/port_log.h"
#include "platform/console/console.h"
#include "platform/os/error.h"
#include "platform/os/system.h"
#include "tests/support/posix.h"
#include "trace/trace.h"

using namespace kdx;

namespace {
void Print(const char* command, const std::string& result) {
    std::printf("%s=%s\n", command, result.c_str());
    std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // The tests read the lines as written, without carriage returns added.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    int32_t stale = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& c = args[i];
        auto next = [&]() -> std::string { return i + 1 < args.size() ? args[++i] : ""; };
        if (c == "paths") {
            Print("full", Ini_Get_Full_Path());
            Print("folder", Ini_Get_Leading_Path());
            Print("name", Ini_Get_Name());
            Print("extension", Ini_Get_Extension());
            Print("page", Ini_Get_Page_Path());
        } else if (c == "set") {
            std::string s = next(), k = next(), v = next();
            Print("set", Ini_Set_Value(s, k, v));
        } else if (c == "get") {
            std::string s = next(), k = next(), d = next();
            Print("get", Ini_Get_Value(s, k, d));
        } else if (c == "page") {
            Print("page", Ini_Get_Current_Path());
        } else if (c == "port") {
            Print("port", std::to_string(Ini_Set_Terminal_Port(next())));
        } else if (c == "rename") {
            std::filesystem::path self = platform::Module_File_Name();
            std::filesystem::rename(self, self.parent_path() / next());
            Print("rename", platform::Module_File_Name());
        } else if (c == "tz") {
            setenv("TZ", next().c_str(), 1);
            tzset();
            Print("tz", getenv("TZ"));
        } else if (c == "as-nobody") {
#ifdef _WIN32
            Print("as-nobody", "0");  // a process cannot give up its user on Windows
#else
            bool ok = getuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0);
            // Keep /proc/self readable, so the executable's path can still be found.
            prctl(PR_SET_DUMPABLE, 1);
            Print("as-nobody", ok ? "1" : "0");
#endif
        } else if (c == "log-open") {
            stale = Port_Log_Open();
            Print("log-open", std::to_string(stale));
        } else if (c == "log-close") {
            Print("log-close", std::to_string(Port_Log_Close()));
        } else if (c == "log-line") {
            Print("log-line", std::to_string(Port_Log_Write_Line(Port_Log_File, next())));
        } else if (c == "log-stale") {
            Print("log-stale", std::to_string(Port_Log_Write_Line(stale, next())));
        } else if (c == "log-error") {
            Print("log-error", Port_Log_Failure());
        } else if (c == "debug-open") {
            std::string exe = platform::Module_File_Name();
            if (chdir(exe.substr(0, exe.find_last_of("/\\") + 1).c_str()) != 0) return 1;
            setenv("KDX_CONSOLE", "capture", 1);
            ErrCheck_Debug(1);
            ErrCheck_Comment("written");
            ErrCheck_Debug(0);
            Print("debug-path", trace::Debug_Log_Path());
            Print("debug-error", trace::Debug_Log_Error());
        } else if (c == "log-threads") {
            int n = std::stoi(next());
            auto writer = [n](char id) {
                for (int k = 0; k < n; ++k) {
                    char line[64];
                    std::snprintf(line, sizeof line, "%c %04d %s", id, k,
                                  std::string(40, id).c_str());
                    Port_Log_Write_Line(Port_Log_File, line);
                }
            };
            std::thread a(writer, 'A'), b(writer, 'B');
            a.join();
            b.join();
            Print("log-threads", std::to_string(n));
        } else if (c == "end-arm") {
            // A hang ends the test run instead of stalling it.
#ifdef _WIN32
            std::thread([] {
                platform::Sleep_Ms(20000);
                std::_Exit(142);
            }).detach();
#else
            alarm(20);
#endif
            std::string exe = platform::Module_File_Name();
            std::string folder = exe.substr(0, exe.find_last_of("/\\") + 1);
            bool moved = chdir(folder.c_str()) == 0;
            setenv("KDX_CONSOLE", "capture", 1);
            ErrCheck_Debug(1);
            platform::Capture_Set_Keyboard(true);
            platform::Capture_Push_Key(platform::VK_END);
            Print("end-arm", moved ? "1" : "0");
        } else if (c == "end-key") {
            KDX_FRAME("End_Key");
            platform::Set_Last_Error(5);
            kdx_frame.check();
            Print("end-key", "not ended");
        } else {
            std::fprintf(stderr, "ini_helper: unknown command %s\n", c.c_str());
            return 2;
        }
    }
    return 0;
}
