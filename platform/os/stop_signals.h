// Interrupt, terminate and hang-up as requests to stop, taken by waiting for them rather
// than by a handler, so a program can finish its work in order.
#pragma once
#include <cstdint>

namespace kdx::platform {

// Holds the three signals back in the calling thread and in every thread it starts later.
void Block_Stop_Signals();

// Waits at most timeout_ms for one of them (held back first): true when one came.
bool Wait_Stop_Signal(uint32_t timeout_ms);

}  // namespace kdx::platform
