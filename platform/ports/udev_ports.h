// Serial devices found by udev: on-board UARTs, USB serial adapters, CDC-ACM, Bluetooth
// RFCOMM, each with its COM number. Listing never opens a device.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct udev_device;

namespace kdx::platform {

// One serial device udev knows.
struct Udev_Port {
    int32_t Number = 0;       // the COM number (0 while none is assigned yet)
    std::string Node;         // /dev/ttyUSB0
    std::string Kernel_Name;  // ttyUSB0
    std::string Driver;       // ftdi_sio, pl2303, cdc_acm, serial8250, rfcomm, ...
    std::string Device_Name;  // the object name under \Device\: VCP0, ProlificSerial1, ...
    std::string Identity;     // stable across unplugging: by-id or by-path name
    std::string Description;  // what the device calls itself (USB product), may be empty
    // The driver's latency as the listing can see it without opening the port: "low latency",
    // "latency timer 16 ms" (FTDI), or "" where the driver does not say.
    std::string Latency;
};

// Every serial device present, with its COM number, sorted by number. ttyS<k> is COM<k+1>;
// every other device keeps the number the COM name arbiter gave it the first time (lowest
// free from 3), stored in Com_Name_Store_Path().
std::vector<Udev_Port> Udev_Port_List();

// Device node of COM<number> among the devices udev knows ("" when none, last error 2).
std::string Udev_Port_Device(int32_t number);

// Describes a tty device when it is a serial port (false for consoles, pseudo-terminals and
// UARTs with no hardware behind them). Number stays 0 except for ttyS<k>.
bool Udev_Describe(udev_device* device, Udev_Port& port);

// Our folder for settings that outlive a run: $XDG_CONFIG_HOME/kdx (default ~/.config/kdx).
std::string Config_Directory();

// The arbiter's file: $XDG_CONFIG_HOME/kdx/com-names (see Config_Directory), one
// line "COM<n> <identity>" per device ever seen.
std::string Com_Name_Store_Path();

// The stored assignments as (number, identity), sorted by number.
std::vector<std::pair<int32_t, std::string>> Com_Name_Store_List();

// A COM number in use by a ports directory entry, and the device node the entry leads to.
struct Com_Number_Use {
    int32_t Number = 0;
    std::string Device;
};

// Gives each port without a number its stored number, or the lowest free one from 3 (stored
// at once). fixed holds the numbers of on-board UARTs: a stored number among them is given
// anew. avoid holds the numbers ports directory entries use: a new assignment skips them, and
// a stored one that an entry uses for another device than the port's node is given anew (the
// port list shows the entry under it and would hide the adapter). An identity is stored with
// its line ends as "_" ("-" when empty), so that it reads back as the same.
void Com_Name_Assign(std::vector<Udev_Port>& ports, const std::vector<int32_t>& fixed,
                     const std::vector<Com_Number_Use>& avoid);

}  // namespace kdx::platform
