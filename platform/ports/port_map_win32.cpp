// The port map on Windows: the machine's serial device map (SERIALCOMM), with the adapter's
// own description from the Ports device class where the system has one.
#include <algorithm>

#include "platform/os/error.h"
#include "platform/ports/port_map.h"
#include "platform/ports/registry_live.h"
#include "platform/ports/serial.h"

#include "platform/os/win32.h"

namespace kdx::platform {

std::vector<Port_Map_Entry> Port_Map_List() {
    std::vector<Port_Map_Entry> map;
    std::vector<Registry_Value> values;
    Live_Values(Serial_Comm, values);
    for (const auto& value : values) {
        std::string port(value.Data.c_str());
        if (port.size() < 4 || port.compare(0, 3, "COM") != 0 ||
            port.find_first_not_of("0123456789", 3) != std::string::npos)
            continue;
        Port_Map_Entry entry;
        entry.Number = std::stoi(port.substr(3));
        entry.Node = Comm_Device_Name(entry.Number);
        std::string device = value.Name;
        if (device.rfind("\\Device\\", 0) == 0) device = device.substr(8);
        entry.Device_Name = device;
        entry.Identity = value.Name;
        bool seen = std::any_of(map.begin(), map.end(),
                                [&](const auto& e) { return e.Number == entry.Number; });
        if (entry.Number > 0 && entry.Number <= 999 && !seen) map.push_back(std::move(entry));
    }
    std::stable_sort(map.begin(), map.end(),
                     [](const auto& a, const auto& b) { return a.Number < b.Number; });
    Set_Last_Error(ERROR_SUCCESS);
    return map;
}

std::string Port_Map_Device(int32_t number) {
    return Comm_Device_Node(number);
}

}  // namespace kdx::platform
