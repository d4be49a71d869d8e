// kdx-cli info: the controller's device information and the identification of its axes.
#include "cli/cli.h"
#include "cli/device_info.h"
#include "cli/protocol_port.h"
#include "cli/text_forms.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli info COM<n> [--baud B] [--quiet] [--json]\n"
    "\n"
    "Reads the controller's serial number, order number, firmware version and revision,\n"
    "the axes set and the axes found, then for every axis found its motor type, limit\n"
    "switches and home switch (the axis id: three replies joined), with the limit-switch\n"
    "code's description. Each query takes about 100 ms.\n"
    "\n"
    "Options:\n" KDX_CLI_PORT_OPTIONS
    "  --json      one JSON object on standard output instead (no traffic shown):\n"
    "              \"port\", \"fields\" (each field's name and reply), \"axes\" (per axis\n"
    "              found: \"axis\", \"id\", \"motor\", \"limit\", \"limit_description\",\n"
    "              \"home\") and \"bad\" (the fields not answered as they should be)\n"
    "\n"
    "Exit status: 0 every query was answered, 1 a field stayed blank or garbled (the\n"
    "controller stopped answering, hung up, or sent other text) or the port could not be\n"
    "opened, 2 usage error.\n";

// The whole answer as one JSON line.
std::string Json_Info(int32_t number, const Device_Info& info,
                      const std::vector<std::string>& bad) {
    std::string out = "{\"port\":" + Json_String("COM" + std::to_string(number)) + ",\"fields\":{";
    for (size_t i = 0; i < info.fields.size(); ++i)
        out += (i ? "," : "") + Json_String(info.fields[i].first) + ":" +
               Json_String(info.fields[i].second);
    out += "},\"axes\":[";
    for (size_t i = 0; i < info.axes.size(); ++i) {
        const auto& [n, id] = info.axes[i];
        std::string d = std::to_string(n);
        std::string limit = After_Tag(id, "getL" + d + "M=,");
        out += std::string(i ? "," : "") + "{\"axis\":" + d + ",\"id\":" + Json_String(id) +
               ",\"motor\":" + Json_String(After_Tag(id, "getMT" + d + "M=,")) +
               ",\"limit\":" + Json_String(limit) +
               ",\"limit_description\":" + Json_String(KDX_Limit_Description(limit.c_str())) +
               ",\"home\":" + Json_String(After_Tag(id, "getHS" + d + "M=,")) + "}";
    }
    out += "],\"bad\":[";
    for (size_t i = 0; i < bad.size(); ++i) out += (i ? "," : "") + Json_String(bad[i]);
    return out + "]}";
}

int Run(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    const bool json = Take_Flag(args, "--json");
    Port_Args a;
    if (int code = Parse_Port_Args("info", args, {}, a)) return code;
    a.quiet = a.quiet || json;
    Device_Info info;
    {
        Open_Port port("info", a);
        if (!port.Ok()) return 1;
        info = Read_Device_Info(port.Handle());
    }
    if (json) {
        std::vector<std::string> bad = Bad_Fields(info);
        std::printf("%s\n", Json_Info(a.number, info, bad).c_str());
        return bad.empty() ? 0 : 1;
    }
    for (const auto& [name, value] : info.fields)
        std::printf("%-11s %s\n", (std::string(name) + ":").c_str(), Printable(value).c_str());
    for (const auto& [n, id] : info.axes) {
        std::string d = std::to_string(n);
        std::string limit = After_Tag(id, "getL" + d + "M=,");
        std::printf("Axis %d ID:  %s\n", n, Printable(id).c_str());
        std::printf("            motor %s, limit switches %s (%s), home switch %s\n",
                    After_Tag(id, "getMT" + d + "M=,").c_str(), limit.c_str(),
                    KDX_Limit_Description(limit.c_str()),
                    After_Tag(id, "getHS" + d + "M=,").c_str());
    }
    std::string bad;
    for (const std::string& name : Bad_Fields(info)) bad += (bad.empty() ? "" : ", ") + name;
    if (!bad.empty()) {
        std::printf("No answer or a garbled answer for: %s\n", bad.c_str());
        return 1;
    }
    return 0;
}

const Subcommand_Registration Registration({"info",
                                            "device information and axis ids of the "
                                            "controller",
                                            Help, Run});

}  // namespace
}  // namespace kdx::cli
