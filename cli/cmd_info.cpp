// kdx-cli info: the controller's device information and the identification of its axes.
#include "cli/cli.h"
#include "cli/device_info.h"
#include "cli/protocol_port.h"

namespace kdx::cli {
namespace {

const char* const Help =
    "Usage: kdx-cli info COM<n> [--baud B] [--quiet]\n"
    "\n"
    "Reads the controller's serial number, order number, firmware version and revision,\n"
    "the axes set and the axes found, then for every axis found its motor type, limit\n"
    "switches and home switch (the axis id: three replies joined), with the limit-switch\n"
    "code's description. Each query takes about 100 ms.\n"
    "\n"
    "Options:\n" KDX_CLI_PORT_OPTIONS
    "\n"
    "Exit status: 0 every query was answered, 1 a field stayed blank or garbled (the\n"
    "controller stopped answering, hung up, or sent other text) or the port could not be\n"
    "opened, 2 usage error.\n";

int Run(const std::vector<std::string>& args) {
    Port_Args a;
    if (int code = Parse_Port_Args("info", args, {}, a)) return code;
    Device_Info info;
    {
        Open_Port port("info", a);
        if (!port.Ok()) return 1;
        info = Read_Device_Info(port.Handle());
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
