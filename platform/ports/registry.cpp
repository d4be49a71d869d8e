// The live keys on Linux: built from the port map.
#include <algorithm>
#include <string_view>

#include "platform/ports/port_map.h"
#include "platform/ports/registry_live.h"
#include "platform/ports/udev_ports.h"

namespace kdx::platform {

namespace {

Registry_Value Sz(const std::string& name, const std::string& text) {
    return Registry_Value{name, REG_SZ, text + std::string(1, '\0')};
}

}  // namespace

bool Live_Values(const char* key, std::vector<Registry_Value>& values) {
    values.clear();
    if (std::string_view(key) == Serial_Comm) {
        for (const auto& entry : Port_Map_List())
            if (entry.Unusable.empty())
                values.push_back(
                    Sz("\\Device\\" + entry.Device_Name, "COM" + std::to_string(entry.Number)));
    } else if (std::string_view(key) == Arbiter) {
        // Every number the arbiter ever gave, present or not (a port number stays taken
        // while its adapter is unplugged), and the present ports' own identities.
        std::vector<std::pair<int32_t, std::string>> all;
        for (const auto& entry : Port_Map_List()) all.emplace_back(entry.Number, entry.Identity);
        for (const auto& stored : Com_Name_Store_List())
            if (std::none_of(all.begin(), all.end(),
                             [&](const auto& a) { return a.first == stored.first; }))
                all.push_back(stored);
        std::stable_sort(all.begin(), all.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [n, identity] : all)
            values.push_back(Sz("COM" + std::to_string(n), identity));
    }
    return true;
}

std::string Registry_Overlay_Path() {
    return Config_Directory() + "/registry.reg";
}

}  // namespace kdx::platform
