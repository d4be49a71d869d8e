// What each system's form of the serial line gives its system-independent part
// (serial_common.cpp): the port's record and the calls that reach the driver. The handle
// lookups, the kept time-outs and mask, the name and settings checks are the same everywhere.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/ports/serial.h"

namespace kdx::platform {

// An open port. What the driver does not hold (the caller's time-outs and mask: reads never
// wait, callers wait with Wait_Comm_Input) is kept here, to read back as set; each system's
// record adds what its calls need.
struct Comm_Port : Handle_Object {
    std::mutex lock;
    COMMTIMEOUTS timeouts{};
    uint32_t mask = 0;
    std::atomic<bool> hung_up{false};
    std::atomic<int64_t> last_write_ms{-1000};
    // Set once the line stopped taking bytes (a write or a drain ran out of time): what it
    // still holds is dropped on closing, which would otherwise wait for it (30 s on a UART).
    std::atomic<bool> stalled{false};
    // Bytes the driver took from us, and what the other end had taken of them when last
    // looked at (written less what was left) and when that last grew: a drain counts a line
    // that stopped from when it stopped, not from its own start.
    std::atomic<int64_t> written{0};
    std::atomic<int64_t> taken_seen{0};
    std::atomic<int64_t> taken_moved_ms{-1};
    // When the driver last took bytes without a wait for room: a drain's clock starts no
    // earlier (a line idle before a new send has not stopped), and no later for a driver that
    // took a last few bytes only after long waits while the line took nothing.
    std::atomic<int64_t> free_write_ms{-1};
    bool low_latency = false;  // found on opening
};

// A wake event for Wait_Comm_Input; each system's record holds its own object.
struct Wake_Event : Handle_Object {};

// The wake event of a handle as the record asked for, or null with the last error 6.
template <class Event = Wake_Event>
std::shared_ptr<Event> Wake_Event_Of(int32_t handle) {
    auto event = Handle_Get_As<Event>(handle);
    if (!event) Set_Last_Error(ERROR_INVALID_HANDLE);
    return event;
}

// The port of a handle as the record asked for, or null with the last error 6.
template <class Port = Comm_Port>
std::shared_ptr<Port> Comm_Port_Of(int32_t handle) {
    auto port = Handle_Get_As<Port>(handle);
    if (!port) Set_Last_Error(ERROR_INVALID_HANDLE);
    return port;
}

// The number of a "\\.\COM<n>" name (1 to 999, no leading zero); 0 for a name of another
// form; -1 with the last error 2 for a COM name without such a number.
int32_t Comm_Name_Number(const std::string& name);

// Notes for Comm_Open_Denied_By_Permission whether this thread's open failed for lack of
// permission.
void Note_Open_Denied_By_Permission(bool denied);

// True when the driver can take these line settings; false with the last error 87 for a
// rate of 0, a byte size, parity or stop bits outside the driver's words.
bool Comm_State_Usable(const DCB& dcb);

// A line without a wire to drain (a pseudo-terminal with nobody of ours reading its other
// end) gives the bytes written last this long to reach the other end before the rate
// changes under them: waits out what is left of it.
void Let_Last_Write_Settle(const Comm_Port& port);

// Notes what the other end has taken, from the bytes still left in the output queue.
void Note_Output_Left(Comm_Port& port, int64_t left);

// The system's calls on a port already looked up; a null port fails with the last error 6.
namespace serial_os {
bool Clear_Error(Comm_Port* port, uint32_t* errors, COMSTAT* status, bool output_count);
bool Read(Comm_Port* port, std::string& out, uint32_t capacity);
bool Write(Comm_Port* port, const std::string& data, uint32_t* written, uint32_t timeout_ms,
           uint32_t stall_ms);
bool Catch_Up_Peer(Comm_Port& port);
bool Send_Break(Comm_Port& port);

// How many bytes written on the port the other end has not taken yet: the driver's output
// queue (or, on a pseudo-terminal, what its reader has not read). False with the last error
// when the line hung up or cannot tell.
bool Output_Left(Comm_Port& port, int64_t& left);
// The wait for input of a port that is not hung up; wake may be null.
Comm_Wait Wait(Comm_Port& port, const Wake_Event* wake, uint32_t timeout_ms);
}  // namespace serial_os

}  // namespace kdx::platform
