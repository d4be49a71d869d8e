// What each system's device-change monitor (device_change.cpp, device_change_win32.cpp)
// shares with the registry of callbacks (device_change_common.cpp): one lock over both, the
// monitor's start and stop, and the delivery of what it saw.
#pragma once
#include <mutex>
#include <vector>

#include "platform/ports/device_change.h"

namespace kdx::platform::device_change {

// Held over the registry and the monitor's own state; the monitor's calls below are made
// with it held (l), and may let it go meanwhile.
std::mutex& Lock();

// The system's monitor, its state guarded by Lock().
class Monitor {
  public:
    virtual ~Monitor() = default;
    // Makes sure a monitor runs that will deliver again: one starts, or one on its way out
    // goes on. False with the last error set when nothing can be watched.
    virtual bool Keep_Running(std::unique_lock<std::mutex>& l) = 0;
    // The last callback has gone: the monitor ends; from its own thread (a callback that
    // unregistered) it ends after this delivery.
    virtual void End(std::unique_lock<std::mutex>& l) = 0;
    // True on the monitor's thread.
    virtual bool On_Thread() const = 0;
};
Monitor& The_Monitor();

// For the monitor, without the lock: runs every callback on each change in turn; a callback
// unregistered meanwhile is not run again, and unregistering waits for a delivery to end.
void Deliver(const std::vector<Device_Change>& changes);
// For the monitor, with the lock held: true when no callback is registered.
bool No_Callbacks();
// For the monitor's end at exit, with the lock held: no callback is run again.
void Forget_Callbacks();

}  // namespace kdx::platform::device_change
