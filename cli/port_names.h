// The machine's ports as the command line names them: COM<n>, or the device behind one
// (/dev/ttyUSB0, /dev/serial/by-id/...), and what each device is, in words.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kdx::cli {

struct Port_Entry {
    std::string port;     // "COM3"
    std::string node;     // "/dev/ttyUSB0"
    std::string driver;   // "ftdi_sio"
    std::string product;  // "FT232R USB UART"
};

// The port map as it stands now.
std::vector<Port_Entry> Port_Entries();

// "FTDI FT232R USB UART", "on-board serial port", ... ("" when nothing is known).
std::string Port_Description(const Port_Entry& entry);

// Takes COM<n> (n from 1 to 999) or the path of a device the port map holds (any link to
// it, such as its /dev/serial/by-id name) as the port's number. False with why otherwise.
bool Parse_Port(const std::string& word, int32_t& number, std::string& why);

}  // namespace kdx::cli
