// kdx-cli watch: prints serial ports arriving and going away as it happens.
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "kdx/kdx.h"

namespace {

const char* const Help =
    "Usage: kdx-cli watch [--count N]\n"
    "\n"
    "Prints the serial ports present, then one line per device change as it happens, until\n"
    "interrupted (Ctrl+C). Each line holds the local time, the event, the COM name and the\n"
    "device node:\n"
    "  12:00:01 DBT_DEVICEARRIVAL COM3 /dev/ttyUSB0        an adapter was plugged in\n"
    "  12:00:01 DBT_DEVNODES_CHANGED                       the device list changed\n"
    "  12:00:09 DBT_DEVICEREMOVECOMPLETE COM3 /dev/ttyUSB0 it was pulled out\n"
    "An adapter plugged in again keeps its COM number. Ports that come and go in the ports\n"
    "directory (kdx-sim starting and stopping, entries made by hand) show the same way.\n"
    "\n"
    "Options:\n"
    "  --count N   stop after N changes\n"
    "\n"
    "Exit status: 0 stopped, 1 device changes cannot be watched here, 2 usage error.\n";

std::mutex print_lock;
std::atomic<long> printed{0};

const char* Event_Name(int32_t event) {
    switch (event) {
        case 0x8000:
            return "DBT_DEVICEARRIVAL";
        case 0x8004:
            return "DBT_DEVICEREMOVECOMPLETE";
        case 0x0007:
            return "DBT_DEVNODES_CHANGED";
        default:
            return "DBT_UNKNOWN";
    }
}

void On_Change(int32_t event, const char* port, const char* node, void*) {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::lock_guard<std::mutex> l(print_lock);
    std::string line = std::string(stamp) + " " + Event_Name(event);
    if (port && *port) line += std::string(" ") + port;
    if (node && *node) line += std::string(" ") + node;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    ++printed;
}

int Run(const std::vector<std::string>& args) {
    long count = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        char* end = nullptr;
        if (args[i] == "--count" && i + 1 < args.size() &&
            (count = std::strtol(args[i + 1].c_str(), &end, 10), *end == '\0' && count > 0)) {
            ++i;
        } else {
            std::fprintf(stderr, "kdx-cli watch: unexpected or incomplete argument %s\n",
                         args[i].c_str());
            std::fputs(Help, stderr);
            return 2;
        }
    }
    // Ctrl+C ends the wait below instead of the process, on every thread.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    int32_t id = Serial_Port_Watch_Start(On_Change, nullptr);
    if (id == 0) {
        std::fprintf(stderr, "kdx-cli watch: device changes cannot be watched here (no udev)\n");
        return 1;
    }
    const char* ports[256];
    int32_t n = Serial_Terminal_Port_Enum(ports, 256);
    {
        std::lock_guard<std::mutex> l(print_lock);
        std::printf("Present:");
        for (int32_t i = 0; i < n && i < 256; ++i) std::printf(" %s", ports[i]);
        std::printf("%s\nWatching for device changes (Ctrl+C to stop)\n", n ? "" : " none");
        std::fflush(stdout);
    }
    for (;;) {
        if (count > 0 && printed >= count) break;
        timespec wait{0, 100 * 1000 * 1000};
        if (sigtimedwait(&stop, nullptr, &wait) > 0) break;
    }
    Serial_Port_Watch_Stop(id);
    return 0;
}

kdx::cli::Subcommand_Registration registration(
    {"watch", "print serial ports arriving and going away until interrupted", Help, Run});

}  // namespace
