#include "platform/ports/port_map.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/os/error.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/serial.h"
#include "platform/ports/udev_ports.h"

namespace kdx::platform {

namespace {

std::string Real_Path(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// "/dev/pts/3" -> "pts3": the kernel's own name, usable as one word.
std::string Kernel_Name_Of(const std::string& node) {
    std::string name = node;
    if (name.rfind("/dev/", 0) == 0)
        name = name.substr(5);
    else if (size_t slash = name.rfind('/'); slash != std::string::npos)
        name = name.substr(slash + 1);
    name.erase(std::remove(name.begin(), name.end(), '/'), name.end());
    return name;
}

}  // namespace

std::vector<Port_Map_Entry> Port_Map_List() {
    std::vector<Port_Map_Entry> map;
    std::vector<Udev_Port> devices = Udev_Port_List();
    std::vector<bool> shown(devices.size(), false);
    for (const auto& [number, target] : Ports_Dir_List()) {
        std::string real = Real_Path(target);
        // A link whose device has gone is a stale registration, not a port; a link loop is
        // a mistake to be shown, with the reason.
        bool loop = real.empty() && errno == ELOOP;
        if (real.empty() && !loop) continue;
        const std::string& node = loop ? target : real;
        Port_Map_Entry entry;
        entry.Number = number;
        entry.Node = target;
        entry.From_Ports_Dir = true;
        entry.Device_Name = Kernel_Name_Of(node);
        entry.Identity = target;
        entry.Unusable = Serial_Node_Problem(node);
        if (loop) {
            map.push_back(std::move(entry));
            continue;
        }
        // A hand-made entry for an adapter udev also knows: one port, under the user's
        // number, described as the adapter.
        for (size_t i = 0; i < devices.size(); ++i) {
            if (Real_Path(devices[i].Node) != real) continue;
            entry.Device_Name = devices[i].Device_Name;
            entry.Driver = devices[i].Driver;
            entry.Identity = devices[i].Identity;
            entry.Description = devices[i].Description;
            entry.Latency = devices[i].Latency;
            shown[i] = true;
        }
        map.push_back(std::move(entry));
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        if (shown[i]) continue;
        const Udev_Port& d = devices[i];
        // The ports directory wins a number, as it does when a port is opened.
        bool taken = std::any_of(map.begin(), map.end(), [&](const Port_Map_Entry& e) {
            return e.From_Ports_Dir && e.Number == d.Number;
        });
        if (taken || d.Number <= 0) continue;
        map.push_back(Port_Map_Entry{d.Number,
                                     d.Node,
                                     d.Device_Name,
                                     d.Driver,
                                     d.Identity,
                                     d.Description,
                                     false,
                                     {},
                                     d.Latency});
    }
    std::stable_sort(map.begin(), map.end(),
                     [](const auto& a, const auto& b) { return a.Number < b.Number; });
    Set_Last_Error(ERROR_SUCCESS);
    return map;
}

std::string Port_Map_Device(int32_t number) {
    std::string device = Ports_Dir_Device(number);
    if (!device.empty()) return device;
    return Udev_Port_Device(number);
}

}  // namespace kdx::platform
