// Counter, clock, process paths and local time.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace kdx::platform {

// High-resolution counter: ticks and ticks per second.
int64_t Query_Performance_Counter();
int64_t Query_Performance_Frequency();

// Milliseconds of a monotonic clock, for time-outs.
int64_t Tick_Count_Ms();

// Sleeps at least the time given. On the thread that installed a sleep hook the hook does
// the waiting (a window keeps painting meanwhile); should it return early, the rest is slept.
void Sleep_Ms(uint32_t milliseconds);

// A wait pump for the calling thread: Sleep_Ms on this thread calls hook(ms) instead of
// sleeping, and the hook waits at least ms while it lets its thread's window work (an event
// loop). A sleep inside the hook's own work sleeps plainly. An empty hook removes it; only
// one thread has a hook at a time (the last to install it).
void Set_Sleep_Hook(std::function<void(uint32_t milliseconds)> hook);
// True on the thread whose sleeps the hook does (and not inside the hook's own work): a
// long wait of another kind there should wait in slices with Sleep_Ms(0) between them.
bool Sleep_Hook_Here();
// On the hook's thread: a turn of the hook (as Sleep_Ms(0)) when it had none for every_ms. A
// run of waits that are each answered at once never sleeps, yet the window must still work
// (be closed, repaint) now and then; elsewhere it does nothing.
void Sleep_Hook_Turn(uint32_t every_ms);

// Full path of the running executable ("" and last error set when it cannot be read).
std::string Module_File_Name();
// The path the files kept "beside the executable" (settings page, port log) are named
// after: the executable's own path, except for a program run from an installed tree
// (share/kdx beside its bin folder) or from a folder it may not write; those use the same
// file name in the per-user folder $XDG_DATA_HOME/kdx (~/.local/share/kdx), made on demand.
std::string Module_Data_File_Name();
// Why the last Module_Data_File_Name on this thread gave "" ("cannot create the data folder
// ...: reason"); "" when it gave a name or the executable's path is unknown.
std::string Module_Data_Folder_Error();
// mkdir -p, mode 0700 for the parts made. False with the last error when one cannot be.
bool Make_Directories(const std::string& path);
// The process's current directory, without a trailing "/".
std::string Current_Directory();
bool Set_Current_Directory(const std::string& path);

// Win32 SYSTEMTIME in local time.
struct System_Time {
    uint16_t Year, Month, Day_Of_Week, Day, Hour, Minute, Second, Milliseconds;
};
System_Time Get_Local_Time();

// Reads an environment variable ("" when unset).
std::string Environment(const char* name);

// Ends the process at once with an exit code, after flushing the C streams; no destructor
// runs (other threads may still be using the program's state).
[[noreturn]] void Exit_Process(uint32_t code);

// Asks the kernel to end the calling thread's timed waits as close to their deadlines as it
// can (no timer slack): for a thread whose clock must hold to microseconds.
void Fine_Thread_Timers();

}  // namespace kdx::platform
