// kdx-cli info: the controller's device information and the identification of its axes.
#include "cli/cli.h"
#include "cli/protocol_port.h"

namespace kdx::cli {
namespace {

const char* const kHelp =
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

// The field of the joined axis id that follows tag ("getL1M=," -> "-1A").
std::string After_Tag(const std::string& id, const std::string& tag) {
    size_t at = id.find(tag);
    if (at == std::string::npos) return "";
    at += tag.size();
    return id.substr(at, id.find(',', at) - at);
}

int Run(const std::vector<std::string>& args) {
    Port_Args a;
    if (int code = Parse_Port_Args("info", args, 0, a)) return code;
    std::vector<std::pair<const char*, std::string>> fields;
    std::vector<std::pair<int, std::string>> axes;
    {
        Open_Port port("info", a);
        if (!port.Ok()) return 1;
        int32_t* h = port.Handle();
        fields = {{"Serial Num", Field(KDX_Serial_Number_Get(h))},
                  {"Order Num", Field(KDX_Order_Number_Get(h))},
                  {"Version", Field(KDX_Firmware_Version_Get(h))},
                  {"Revision", Field(KDX_Firmware_Revision_Get(h))},
                  {"Axis Mode", Field(KDX_Axis_Set(h))},
                  {"Detected", Field(KDX_Axis_Found(h))}};
        // Every axis the controller found (its number in the found list, 0 where none).
        const std::string& found = fields.back().second;
        using Id = const char* (*)(int32_t*);
        const Id ids[] = {KDX_ID_Axis_1, KDX_ID_Axis_2, KDX_ID_Axis_3, KDX_ID_Axis_4};
        for (int n = 1; n <= 4; ++n)
            if (found.find(char('0' + n)) != std::string::npos) axes.push_back({n, ids[n - 1](h)});
    }
    for (const auto& [name, value] : fields)
        std::printf("%-11s %s\n", (std::string(name) + ":").c_str(), Printable(value).c_str());
    for (const auto& [n, id] : axes) {
        std::string d = std::to_string(n);
        std::string limit = After_Tag(id, "getL" + d + "M=,");
        std::printf("Axis %d ID:  %s\n", n, Printable(id).c_str());
        std::printf("            motor %s, limit switches %s (%s), home switch %s\n",
                    After_Tag(id, "getMT" + d + "M=,").c_str(), limit.c_str(),
                    KDX_Limit_Description(limit.c_str()),
                    After_Tag(id, "getHS" + d + "M=,").c_str());
    }
    // Every field must read as its answer: one blank or garbled field (a controller that
    // stopped answering or hung up half-way, a flood run into a reply) fails the command.
    std::string bad;
    auto check = [&](const std::string& name, bool ok) {
        if (!ok) bad += (bad.empty() ? "" : ", ") + name;
    };
    for (const auto& [name, value] : fields) {
        bool digits = std::string(name) == "Axis Mode" || std::string(name) == "Detected";
        check(name, Clean_Field(value, digits));
    }
    for (const auto& [n, id] : axes) {
        std::string d = std::to_string(n);
        check("Axis " + d + " ID", Clean_Field(id) && id.find("getMT" + d + "M=,") == 0 &&
                                       id.find(",getL" + d + "M=,") != std::string::npos &&
                                       id.find(",getHS" + d + "M=,") != std::string::npos);
    }
    if (!bad.empty()) {
        std::printf("No answer or a garbled answer for: %s\n", bad.c_str());
        return 1;
    }
    return 0;
}

const Subcommand_Registration registration({"info",
                                            "device information and axis ids of the "
                                            "controller",
                                            kHelp, Run});

}  // namespace
}  // namespace kdx::cli
