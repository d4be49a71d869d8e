// Serial devices found by udev: on-board UARTs, USB serial adapters, CDC-ACM, Bluetooth
// RFCOMM, each with its COM number.
#pragma once
#include <cstdint>
#include <string>

namespace kdx::platform {

// Device node of COM<number> among the devices udev knows ("" when none).
std::string Udev_Port_Device(int32_t number);

}  // namespace kdx::platform
