// Placeholder until discovery through udev is built: udev knows no port.
#include "platform/udev_ports.h"

namespace kdx::platform {

std::string Udev_Port_Device(int32_t) { return std::string(); }

}  // namespace kdx::platform
