// Device changes: a udev monitor on the tty subsystem that turns serial ports appearing and
// going away into the Win32 device-change events, delivered to whoever registered.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace kdx::platform {

enum : uint32_t {
    DBT_DEVNODES_CHANGED = 0x0007,
    DBT_DEVICEARRIVAL = 0x8000,
    DBT_DEVICEREMOVECOMPLETE = 0x8004,
    DBT_DEVTYP_PORT = 0x0003,
};

struct Device_Change {
    uint32_t Event = 0;     // one of the DBT_ codes above
    std::string Port_Name;  // "COM5" for an arrival or removal, "" for DBT_DEVNODES_CHANGED
    std::string Node;       // the device node, "" for DBT_DEVNODES_CHANGED
};

// Called on the monitor's own thread, one change at a time: a window posts itself a message
// rather than touching its controls from here. An arrival or removal is followed by one
// DBT_DEVNODES_CHANGED, as Windows sends it.
using Device_Change_Callback = std::function<void(const Device_Change&)>;

// Registers a callback and starts the monitor with the first one. Returns its id (never 0),
// or 0 with the last error set when udev cannot be watched.
int32_t Device_Change_Register(Device_Change_Callback callback);

// Unregisters; once it returns (from any other thread) the callback is not running and will
// not run again. The monitor stops with the last callback. False for an unknown id.
bool Device_Change_Unregister(int32_t id);

}  // namespace kdx::platform
