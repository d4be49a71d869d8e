// Progress and stop requests of the long operations (sending a file, the communication and
// memory tests, and whatever else a window runs for seconds): the operation reports what it
// sends and how far it is between its commands, and ends after the current command once a
// stop has been requested.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace kdx {

struct KDX_Progress {
    std::string Operation;  // "Sending prog.kdx", "Testing USB", "Testing Axis 2 - Program 2"
    std::string Item;       // what goes out next ("S1M400,", "V", "lst2M2,")
    int64_t Done = 0;       // commands (or queries) finished so far
    int64_t Total = 0;      // commands in all; Done == Total when the operation ends
};

// One hook for the process; it runs on the operation's thread, between two commands, and
// must not start an exchange of its own. An empty hook removes it.
using KDX_Progress_Hook = std::function<void(const KDX_Progress&)>;
void KDX_Set_Progress_Hook(KDX_Progress_Hook hook);
// Calls the hook, if any (a hook that throws is ignored).
void KDX_Progress_Report(const KDX_Progress& progress);

// Asks the running operation to end after its current command. Safe from any thread and from
// a signal handler. A request made while no operation runs is dropped when the next starts.
void KDX_Request_Stop();
bool KDX_Stop_Requested();

// True while an operation runs on any thread (a window disables what would start another).
bool KDX_Operation_Running();

// Brackets an operation: the outermost one on a thread starts with no stop requested.
class KDX_Operation {
  public:
    KDX_Operation();
    ~KDX_Operation();
    KDX_Operation(const KDX_Operation&) = delete;
    KDX_Operation& operator=(const KDX_Operation&) = delete;
    // True when a stop has been requested since the operation started.
    bool Stopped() const { return KDX_Stop_Requested(); }
};

}  // namespace kdx
