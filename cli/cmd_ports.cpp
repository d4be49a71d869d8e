// kdx-cli ports: the machine's serial ports with their adapter types and line settings.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/port_open.h"
#include "cli/system_words.h"
#include "kdx/kdx.h"

namespace {

const char* const Help =
    "Usage: kdx-cli ports [--probe [BAUD] | --names]\n"
    "\n"
    "Lists the serial ports of this machine as the Terminal sees them: every COM name of the\n"
    "serial device map, with the adapter type read from its driver's name, its default line\n"
    "settings (baud, parity, data bits, stop bits, handshake) and the device behind it.\n"
    "Nothing is opened to list them. Where the driver tells, the device column also says\n"
    "\"low latency\" for a port in low-latency mode (an FTDI adapter otherwise shows its\n"
    "latency timer): every program of this package asks for it when it opens a port, so a USB\n"
    "adapter passes each reply on at once instead of after its 16 ms timer.\n"
    "\n"
    "{port-sources}"
    "\n"
    "Options:\n"
    "  --probe [BAUD]   also open each numbered port at BAUD (default 57600), send \"V,\" and\n"
    "                   tell from the answer which controller model is there: QMT, ZLR or\n"
    "                   \"Device not found\" (\"not opened\" when the port is busy or gone)\n"
    "  --names          print only the COM names, one a line (for scripts)\n"
    "\n"
    "Exit status: 0 listed (also when there is no port), 1 the registry view could not be\n"
    "read (a malformed hive file, or a value the listing stopped at: the message says\n"
    "which), 2 usage error.\n";

struct Device {
    std::string node, object, driver, product, source, unusable, latency;
};

// COM<n> -> what the port map knows of it.
std::map<std::string, Device> Port_Map() {
    std::map<std::string, Device> map;
    std::string text = Serial_Port_Map_Text();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> f;
        std::string line = text.substr(pos, end - pos);
        size_t p = 0;
        for (;;) {
            size_t tab = line.find('\t', p);
            f.push_back(line.substr(p, tab == std::string::npos ? std::string::npos : tab - p));
            if (tab == std::string::npos) break;
            p = tab + 1;
        }
        f.resize(std::max<size_t>(f.size(), 8));
        if (!f[0].empty()) map[f[0]] = Device{f[1], f[2], f[3], f[4], f[5], f[6], f[7]};
        pos = end + 1;
    }
    return map;
}

std::string Settings(const Serial_Port_Info& info) {
    if (!*info.Baud) return "-";
    return std::string(info.Baud) + "," + info.Parity + "," + info.Data_Bits + "," +
           info.Stop_Bits + "," + info.Handshake;
}

// What answers on COM<number>: the device probe on the port opened at baud.
std::string Probe(int32_t number, int32_t baud) {
    int32_t n = number, b = baud;
    int32_t handle = Serial_Port_Open(&n, &b);
    if (handle == 0 || handle == -1) return "not opened: " + kdx::cli::Open_Failure_Cause();
    std::string type = Serial_Port_Device(&handle, 0);
    Serial_Port_Close(&handle);
    return type;
}

int Run(const std::vector<std::string>& args) {
    bool probe = false, names = false;
    int32_t baud = 57600;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--probe") {
            probe = true;
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
                char* end = nullptr;
                long b = std::strtol(args[i + 1].c_str(), &end, 10);
                if (*end != '\0' || b <= 0 || b > 4000000) {
                    std::fprintf(stderr, "kdx-cli ports: bad baud rate %s\n", args[i + 1].c_str());
                    return 2;
                }
                baud = int32_t(b);
                ++i;
            }
        } else if (args[i] == "--names") {
            names = true;
        } else {
            std::fprintf(stderr, "kdx-cli ports: unexpected argument %s\n", args[i].c_str());
            std::fputs(kdx::cli::Help_Text(Help).c_str(), stderr);
            return 2;
        }
    }
    Serial_Port_Enum();
    // A ports folder that is not trusted lists nothing: say so, the listing goes on without it.
    std::string untrusted = Serial_Ports_Directory_Problem();
    if (!untrusted.empty()) std::fprintf(stderr, "kdx-cli ports: %s\n", untrusted.c_str());
    std::string error = Serial_Port_Registry_Error();
    int32_t count = Serial_Port_Table_Count();
    if (!error.empty()) {
        std::fprintf(stderr, "kdx-cli ports: cannot read the registry view: %s\n", error.c_str());
        return 1;
    }
    std::string failure = Serial_Port_Enum_Error();
    if (!failure.empty()) {
        std::fprintf(stderr, "kdx-cli ports: the port listing failed: %s\n", failure.c_str());
        return 1;
    }
    if (names) {
        for (int32_t i = 0; i < count; ++i) {
            Serial_Port_Info info{};
            if (Serial_Port_Table_Get(i, &info) && info.Port_Number > 0)
                std::printf("%s\n", info.Friendly_Name);
        }
        return 0;
    }
    // The registry view of a described machine ($KDX_REGISTRY) may name ports this machine
    // does not have: those show no device.
    std::map<std::string, Device> devices =
        getenv("KDX_REGISTRY") ? std::map<std::string, Device>() : Port_Map();
    // Ports directory entries that are no serial line (a link to /dev/zero, a folder) are
    // not ports: named apart, with the reason, so a wrong link is found.
    auto unusable = [&] {
        for (const auto& [name, d] : devices)
            if (!d.unusable.empty())
                std::printf("%-10s not usable: %s -> %s: %s\n", name.c_str(),
                            (std::string(Serial_Ports_Directory()) + "/" + name).c_str(),
                            d.node.c_str(), d.unusable.c_str());
    };
    if (count == 0) {
        std::printf("No serial ports found.\n");
        unusable();
        return 0;
    }
    std::printf("%-10s %-38s %-24s %s%s\n", "PORT", "ADAPTER", "LINE SETTINGS",
                probe ? "ANSWER            " : "", "DEVICE");
    for (int32_t i = 0; i < count; ++i) {
        Serial_Port_Info info{};
        if (!Serial_Port_Table_Get(i, &info) || !*info.Real_Name) continue;
        std::string device = "-";
        auto it = devices.find(info.Friendly_Name);
        if (it != devices.end()) {
            const Device& d = it->second;
            device = d.node + " (" + (d.source == "udev" ? d.driver : d.source);
            if (!d.product.empty()) device += ", " + d.product;
            if (!d.latency.empty()) device += ", " + d.latency;
            device += ")";
        }
        std::string adapter = std::string(info.Type_Description) + " [" + info.Type + "]";
        std::string answer;
        if (probe) {
            answer = info.Port_Number > 0 ? Probe(info.Port_Number, baud) : "-";
            answer.resize(std::max<size_t>(answer.size() + 1, 18), ' ');
        }
        std::printf("%-10s %-38s %-24s %s%s\n", info.Friendly_Name, adapter.c_str(),
                    Settings(info).c_str(), answer.c_str(), device.c_str());
    }
    unusable();
    return 0;
}

kdx::cli::Subcommand_Registration registration(
    {"ports", "list the machine's serial ports with adapter types and line settings", Help, Run});

}  // namespace
