// What the system-independent part of platform/console needs from each system.
#pragma once
#include <memory>

#include "platform/console/console.h"

namespace kdx::platform {

// The console "terminal" names: standard error with keys from the user's terminal on Linux,
// the process's own console window on Windows.
std::unique_ptr<Console_Device> Default_Terminal();

}  // namespace kdx::platform
