// kdx-cli watch: prints serial ports arriving and going away as it happens.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/port_names.h"
#include "cli/system_words.h"
#include "cli/text_forms.h"
#include "cli/usage.h"
#include "kdx/kdx.h"

namespace {

const char* const Help =
    "Usage: kdx-cli watch [--count N] [--json]\n"
    "\n"
    "Prints the serial ports present, then one line per port arriving or going away as it\n"
    "happens, until interrupted (Ctrl+C):\n"
    "  12:00:01 COM3 arrived: FTDI FT232R USB UART, {device-example}\n"
    "  12:00:09 COM3 went away: FTDI FT232R USB UART, {device-example}\n"
    "{watch-sources}"
    "\n"
    "Options:\n"
    "  --count N   stop after N ports arrived or went away\n"
    "  --json      one JSON object a line, for scripts: first {\"event\":\"present\", ...}\n"
    "              for each port present, then \"arrived\" and \"removed\" as they happen,\n"
    "              each with \"time\" (ISO 8601), \"port\", \"node\", \"driver\", \"product\"\n"
    "              and \"description\"; \"changed\" (no port) when the device list changed\n"
    "\n"
    "Exit status: 0 stopped, 1 device changes cannot be watched here, 2 usage error.\n";

std::mutex print_lock;
std::atomic<long> printed{0};
bool json = false;
// What each port was when last seen, so a port that went away is still described.
std::map<std::string, kdx::cli::Port_Entry> known;

kdx::cli::Port_Entry Entry_Of(const std::string& port, const std::string& node) {
    for (const auto& e : kdx::cli::Port_Entries())
        if (e.port == port) return e;
    auto it = known.find(port);
    if (it != known.end()) return it->second;
    return {port, node, "", ""};
}

void Print_Json(const char* event, const kdx::cli::Port_Entry* e) {
    using kdx::cli::Json_String;
    std::string line = "{\"event\":\"" + std::string(event) +
                       "\",\"time\":" + Json_String(kdx::cli::Local_Time_Iso(time(nullptr)));
    if (e)
        line += ",\"port\":" + Json_String(e->port) + ",\"node\":" + Json_String(e->node) +
                ",\"driver\":" + Json_String(e->driver) +
                ",\"product\":" + Json_String(e->product) +
                ",\"description\":" + Json_String(kdx::cli::Port_Description(*e));
    std::printf("%s}\n", line.c_str());
}

void On_Change(int32_t event, const char* port, const char* node, void*) {
    std::lock_guard<std::mutex> l(print_lock);
    const bool arrived = event == 0x8000, removed = event == 0x8004;
    if (!arrived && !removed) {
        // The device list changed: news for scripts, noise for a person.
        if (json) {
            Print_Json("changed", nullptr);
            std::fflush(stdout);
        }
        return;
    }
    kdx::cli::Port_Entry e = Entry_Of(port ? port : "", node ? node : "");
    if (arrived) known[e.port] = e;
    if (json) {
        Print_Json(arrived ? "arrived" : "removed", &e);
    } else {
        time_t now = time(nullptr);
        tm local = kdx::cli::sys::Local_Time(now);
        char stamp[16];
        strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
        std::string what = kdx::cli::Port_Description(e);
        if (!e.node.empty()) what += (what.empty() ? "" : ", ") + e.node;
        std::printf("%s %s %s%s%s\n", stamp, e.port.c_str(), arrived ? "arrived" : "went away",
                    what.empty() ? "" : ": ", what.c_str());
    }
    std::fflush(stdout);
    if (removed) known.erase(e.port);
    ++printed;
}

int Run(const std::vector<std::string>& args) {
    long count = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        char* end = nullptr;
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--count") {
            if (i + 1 == args.size()) return kdx::cli::Missing("watch", "N", "--count");
            count = std::strtol(args[++i].c_str(), &end, 10);
            if (args[i].empty() || *end != '\0' || count <= 0)
                return kdx::cli::Usage_Error("watch", "bad count " + args[i] + ": a number from 1");
        } else {
            return kdx::cli::Unknown_Argument("watch", args[i]);
        }
    }
    // Ctrl+C ends the wait below instead of the process, on every thread.
    kdx::cli::sys::Hold_Stop_Requests();

    int32_t id = Serial_Port_Watch_Start(On_Change, nullptr);
    if (id == 0) {
        std::fprintf(stderr, "kdx-cli watch: device changes cannot be watched here (%s)\n",
                     kdx::cli::System_Words("no-watch"));
        return 1;
    }
    {
        std::lock_guard<std::mutex> l(print_lock);
        const char* ports[256];
        int32_t n = std::min<int32_t>(Serial_Terminal_Port_Enum(ports, 256), 256);
        std::vector<std::string> present(ports, ports + n);
        for (const auto& e : kdx::cli::Port_Entries()) known[e.port] = e;
        if (json) {
            for (const auto& p : present)
                Print_Json(
                    "present",
                    &known.try_emplace(p, kdx::cli::Port_Entry{p, "", "", ""}).first->second);
        } else {
            std::printf("Present:");
            for (const auto& p : present) std::printf(" %s", p.c_str());
            std::printf("%s\nWatching for device changes (Ctrl+C to stop)\n", n ? "" : " none");
        }
        std::fflush(stdout);
    }
    for (;;) {
        if (count > 0 && printed >= count) break;
        if (kdx::cli::sys::Wait_Stop_Request(100)) break;
    }
    Serial_Port_Watch_Stop(id);
    return 0;
}

kdx::cli::Subcommand_Registration registration(
    {"watch", "print serial ports arriving and going away until interrupted", Help, Run});

}  // namespace
