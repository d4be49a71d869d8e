// Pseudo-terminals for the controller simulator: the master side the simulator drives and
// the slave device a program opens as its serial port.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kdx::platform {

struct Pty_Pair {
    int master = -1;     // non-blocking, close-on-exec
    int slave = -1;      // kept open by the simulator so the line survives its clients
    std::string device;  // the slave's path, /dev/pts/<k>
};

// Opens a pair with the slave in raw mode. False with the last error on failure.
bool Pty_Open(Pty_Pair& pair);
void Pty_Close(Pty_Pair& pair);

// Makes the slave the controlling terminal of a session of this process's own, so that no
// program that opens it later takes it (Wine's server would, and be hung up with it), and
// links path to it, replacing what is there. False with the last error.
bool Pty_Publish(const Pty_Pair& pair, const std::string& link);
// Removes the link while it still points at the slave (pseudo-terminal numbers are reused).
void Pty_Unpublish(const Pty_Pair& pair, const std::string& link);

// A pseudo-terminal has no wire, so a rate change on its slave cannot wait for the bytes
// before it to go out, and a busy machine may not yet have run the other end when a wait for
// its answer ends. Where the master is held in this process (the simulator library) its
// holder registers a reader: it returns once the master has taken every byte written so far
// and put out what it answers at once, however late the holder's thread runs. The port calls
// it before a rate change (so the bytes are read at the rate they were written at) and before
// a wait for input counts as timed out. Other processes reach the reader through a socket in
// the ports directory (".pty-peer-<device number>"), so a program run against a simulator
// gets the same. A null reader removes the registration, after any call under way has
// returned. The reader returns how many bytes its holder has read from the master in all:
// with what it wrote, the slave's user can tell how much the other end has not taken yet (a
// pseudo-terminal's output queue always reads empty on the slave's side).
void Pty_Set_Peer_Reader(const Pty_Pair& pair, std::function<int64_t()> reader);
// Calls the reader registered for the slave with this device number (st_rdev), in this
// process or another: true once it has returned (taken, when not null, receiving its count),
// false when none is registered.
bool Pty_Peer_Read(uint64_t slave_device, int64_t* taken = nullptr);

// The baud rate the slave's user has set (any rate, standard or not); 0 when unknown.
uint32_t Pty_Baud(int master);

// What a wait on the master saw; several may hold at once.
struct Pty_Events {
    bool input = false;     // the slave's user has sent bytes
    bool writable = false;  // the slave's input queue takes more (asked for only)
    bool woken = false;     // the wake-up event is set
};

// Sleeps until the master has input, has room for output (when want_output), the wake-up
// event (a Create_Wake_Event handle, 0: none) is set, or the monotonic clock of
// Query_Performance_Counter reaches deadline_ns (-1: no deadline). The deadline is kept to
// the nanosecond the kernel allows, not rounded to milliseconds. An interrupted wait returns
// true with no events. False with the last error when the wait fails. Without want_input
// the master's input does not end the wait.
bool Pty_Wait(int master, int32_t wake_event, bool want_output, int64_t deadline_ns,
              Pty_Events& events, bool want_input = true);

// Reads at most capacity bytes the slave's user has sent, never blocking: the count, 0 when
// nothing is waiting (or the read fails: the last error tells which).
size_t Pty_Read(int master, char* buffer, size_t capacity);

// Hands bytes to the slave's input queue, never blocking: the count taken, which is short or
// 0 while the queue is full. -1 with the last error when the write fails otherwise.
int64_t Pty_Write(int master, std::string_view bytes);

}  // namespace kdx::platform
