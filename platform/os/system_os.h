// What the system-independent part of platform/system needs from each system.
#pragma once
#include <cstdint>

namespace kdx::platform {

// Sleeps at least the time given; 0 (or less) gives the processor to another thread once.
void Sleep_Ns(int64_t nanoseconds);

}  // namespace kdx::platform
