// The port map on Windows: the machine's serial device map (SERIALCOMM), with the latency
// timer from the Ports device class where the port's driver keeps one.
#include <algorithm>
#include <map>

#include "platform/os/error.h"
#include "platform/ports/port_map.h"
#include "platform/ports/registry_live.h"
#include "platform/ports/serial.h"

#include "platform/os/win32.h"
// After the system's headers, which it needs.
#include <setupapi.h>

namespace kdx::platform {

namespace {

// GUID_DEVCLASS_PORTS, spelled out: its header needs the whole device-install kit.
constexpr GUID kPorts_Class = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The latency timers (ms) that the drivers of the present ports keep among their device
// parameters (FTDI's "LatencyTimer", set in the Device Manager), by COM number; a port whose
// driver keeps none is not there.
std::map<int32_t, uint32_t> Latency_Timers() {
    std::map<int32_t, uint32_t> timers;
    HDEVINFO set = ::SetupDiGetClassDevsW(&kPorts_Class, nullptr, nullptr, DIGCF_PRESENT);
    if (set == win32::System_Invalid) return timers;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == win32::System_Invalid) continue;
        wchar_t name[16] = {};
        DWORD name_size = sizeof name - sizeof(wchar_t), timer = 0, timer_size = sizeof timer;
        DWORD name_type = 0, timer_type = 0;
        bool named = ::RegQueryValueExW(key, L"PortName", nullptr, &name_type,
                                        reinterpret_cast<BYTE*>(name), &name_size) == 0 &&
                     name_type == REG_SZ;
        bool timed = ::RegQueryValueExW(key, L"LatencyTimer", nullptr, &timer_type,
                                        reinterpret_cast<BYTE*>(&timer), &timer_size) == 0 &&
                     timer_type == REG_DWORD;
        ::RegCloseKey(key);
        std::string port = win32::Narrow(name);
        if (named && timed && port.rfind("COM", 0) == 0 &&
            port.find_first_not_of("0123456789", 3) == std::string::npos && port.size() > 3 &&
            port.size() < 7)
            timers[std::stoi(port.substr(3))] = timer;
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return timers;
}

}  // namespace

std::vector<Port_Map_Entry> Port_Map_List() {
    std::vector<Port_Map_Entry> map;
    std::vector<Registry_Value> values;
    Live_Values(Serial_Comm, values);
    const std::map<int32_t, uint32_t> timers = Latency_Timers();
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
        // An FTDI adapter passes received bytes on at once only with a timer of 1 or 2 ms; it
        // comes with 16.
        if (auto timer = timers.find(entry.Number); timer != timers.end())
            entry.Latency = timer->second <= 2
                                ? "low latency"
                                : "latency timer " + std::to_string(timer->second) + " ms";
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
