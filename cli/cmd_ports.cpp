// kdx-cli ports: the machine's serial ports with their adapter types and line settings.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/port_open.h"
#include "cli/protocol_port.h"
#include "cli/system_words.h"
#include "cli/text_forms.h"
#include "cli/usage.h"
#include "kdx/kdx.h"

namespace {

const char* const Help =
    "Usage: kdx-cli ports [--probe [BAUD]] [--names | --json]\n"
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
    "  --json           one JSON object a line per port: \"port\", \"usable\", \"real_name\",\n"
    "                   \"type\", \"adapter\", \"settings\" (null when none are recorded),\n"
    "                   \"device\" (null when none is known), \"answer\" with --probe; an\n"
    "                   entry of the ports directory that is no serial line has \"usable\"\n"
    "                   false, its \"path\", \"target\" and \"reason\"\n"
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

// A listed port as one JSON line.
std::string Json_Port(const Serial_Port_Info& info, const Device* device,
                      const std::string* answer) {
    using kdx::cli::Json_String;
    std::string out = "{\"port\":" + Json_String(info.Friendly_Name) +
                      ",\"usable\":true,\"real_name\":" + Json_String(info.Real_Name) +
                      ",\"type\":" + Json_String(info.Type) +
                      ",\"adapter\":" + Json_String(info.Type_Description) + ",\"settings\":";
    if (*info.Baud)
        out += "{\"baud\":" + Json_String(info.Baud) + ",\"parity\":" + Json_String(info.Parity) +
               ",\"data_bits\":" + Json_String(info.Data_Bits) +
               ",\"stop_bits\":" + Json_String(info.Stop_Bits) +
               ",\"handshake\":" + Json_String(info.Handshake) + "}";
    else
        out += "null";
    out += ",\"device\":";
    if (device)
        out += "{\"node\":" + Json_String(device->node) +
               ",\"source\":" + Json_String(device->source) +
               ",\"driver\":" + Json_String(device->driver) +
               ",\"product\":" + Json_String(device->product) +
               ",\"latency\":" + Json_String(device->latency) + "}";
    else
        out += "null";
    if (answer) out += ",\"answer\":" + Json_String(*answer);
    return out + "}";
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
    bool probe = false, names = false, json = false;
    int32_t baud = 57600;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--probe") {
            probe = true;
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
                char* end = nullptr;
                long b = std::strtol(args[i + 1].c_str(), &end, 10);
                if (*end != '\0' || b <= 0 || b > 4000000)
                    return kdx::cli::Usage_Error("ports", "bad baud rate " + args[i + 1]);
                baud = int32_t(b);
                ++i;
            }
        } else if (args[i] == "--names") {
            names = true;
        } else if (args[i] == "--json") {
            json = true;
        } else {
            return kdx::cli::Unknown_Argument("ports", args[i]);
        }
    }
    if (names && json) {
        std::fprintf(stderr, "kdx-cli ports: --names and --json do not go together\n");
        return 2;
    }
    Serial_Port_Enum();
    // A ports folder that is not trusted lists nothing: say so, the listing goes on without it.
    std::string untrusted = Serial_Ports_Directory_Problem();
    if (!untrusted.empty()) std::fprintf(stderr, "kdx-cli ports: %s\n", untrusted.c_str());
    // A value the listing left out is named; the ports around it are listed all the same.
    std::string warnings = Serial_Port_Enum_Warnings();
    for (size_t at = 0, end; (end = warnings.find('\n', at)) != std::string::npos; at = end + 1)
        std::fprintf(stderr, "kdx-cli ports: warning: %s\n",
                     kdx::cli::Printable(warnings.substr(at, end - at)).c_str());
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
        for (const auto& [name, d] : devices) {
            if (d.unusable.empty()) continue;
            std::string path = std::string(Serial_Ports_Directory()) + "/" + name;
            if (json)
                std::printf(
                    "{\"port\":%s,\"usable\":false,\"path\":%s,\"target\":%s,"
                    "\"reason\":%s}\n",
                    kdx::cli::Json_String(name).c_str(), kdx::cli::Json_String(path).c_str(),
                    kdx::cli::Json_String(d.node).c_str(),
                    kdx::cli::Json_String(d.unusable).c_str());
            else
                std::printf("%-10s not usable: %s -> %s: %s\n", name.c_str(), path.c_str(),
                            d.node.c_str(), d.unusable.c_str());
        }
    };
    if (count == 0) {
        if (!json) std::printf("No serial ports found.\n");
        unusable();
        return 0;
    }
    // The rows are laid out once all are known: each column as wide as its widest entry
    // (a long "not opened" reason included), so the device column stays in line.
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"PORT", "ADAPTER", "LINE SETTINGS", "ANSWER", "DEVICE"});
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
        if (probe) answer = info.Port_Number > 0 ? Probe(info.Port_Number, baud) : "-";
        if (json) {
            std::printf("%s\n", Json_Port(info, it == devices.end() ? nullptr : &it->second,
                                          probe ? &answer : nullptr)
                                    .c_str());
            continue;
        }
        rows.push_back({info.Friendly_Name, adapter, Settings(info), answer, device});
    }
    size_t width[4] = {10, 38, 24, 17};
    for (const auto& row : rows)
        for (size_t c = 0; c < 4; ++c) width[c] = std::max(width[c], row[c].size());
    for (const auto& row : json ? decltype(rows){} : rows) {
        std::string line;
        for (size_t c = 0; c < 4; ++c) {
            if (c == 3 && !probe) continue;
            line += row[c];
            line.append(width[c] + 1 - row[c].size(), ' ');
        }
        std::printf("%s%s\n", line.c_str(), row[4].c_str());
    }
    unusable();
    return 0;
}

kdx::cli::Subcommand_Registration registration(
    {"ports", "list the machine's serial ports with adapter types and line settings", Help, Run});

}  // namespace
