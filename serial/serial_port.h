// The line to the controller: the open port's state, its lifecycle, write and read with their
// echoes, and the receive poller that picks up text nobody asked for.
#pragma once
#include <cstdint>
#include <string>

#include "platform/ports/serial.h"

namespace kdx {

struct Serial_Port_State_Record {
    int32_t Handle = 0;  // 0 closed, -1 failed open, else a usable handle
    int32_t Number = 0;  // 5 for COM5
    std::string Name;    // the port entry as picked, at most 5 characters
    int32_t Baud = 0;
    int32_t Poller = 0;  // handle of the receive poller of the open port, 0 none
};
extern Serial_Port_State_Record Serial_Port_State;

int32_t Serial_Port_Open(int32_t& number, int32_t& baud);
// Why an open failed, sorted from its last error into the causes a user acts on differently
// (the numbers of the C interface's KDX_OPEN_ codes). Asks the platform whether a refusal was
// for permission, so call it right after the failed open.
enum Serial_Open_Cause : int32_t {
    Open_Ok = 0,
    Open_No_Such_Port = 1,
    Open_Held = 2,  // another program (or an earlier open) holds the port
    Open_No_Permission = 3,
    Open_Not_Serial = 4,  // the name leads to something that is no serial line
    Open_Failed = 5,
};
int32_t Serial_Port_Open_Failure_Cause(uint32_t code);
int32_t Serial_Port_DCB(int32_t& handle, int32_t& baud);
std::string Serial_Port_Clear(int32_t& handle);
// Also stops and joins the port's poller.
int32_t Serial_Port_Close(int32_t& handle);
int32_t Serial_Port_Guess_Exist(int32_t& number);
// Sets the time-outs every port runs with (reads return at once) and fills record with them;
// 0 for INVALID_HANDLE_VALUE, leaving record unchanged.
int32_t Serial_Port_Timeouts(int32_t& handle, platform::COMMTIMEOUTS& record);
// Returns the text as the driver took it: all of it, or less when the line hung up, failed or
// took no byte for 5 s (a device that stopped reading), with the last error saying which
// (ERROR_DEVICE_NOT_CONNECTED, ERROR_TIMEOUT, ...). Only what was taken is echoed and logged.
std::string Serial_Port_Write(int32_t& handle, const std::string& text,
                              const int32_t* echo = nullptr);
// Serial_Port_Write for bytes that are no zero-terminated text (a file sent raw): every byte
// goes out, zero bytes included, and the wait for the driver grows with the length. Returns
// the bytes as the driver took them ("" when the handle is unusable).
std::string Serial_Port_Write_Bytes(int32_t& handle, const std::string& bytes,
                                    const int32_t* echo = nullptr);
std::string Serial_Port_Read(int32_t& handle, const int32_t* echo = nullptr);
// Waits until the other end has taken every byte written on the port: the driver hands bytes
// on as the line goes, so a write that ended whole says only that the driver took them. True
// when it did; false when the line took no byte for 5 s (last error ERROR_TIMEOUT) or hung
// up (ERROR_DEVICE_NOT_CONNECTED), left then receiving how many bytes it never took. Without
// wait it only looks: true when nothing is left, else false with the count (a write that
// timed out asks what of it the line really took).
bool Serial_Port_Drain(int32_t& handle, int64_t& left, bool wait = true);

// Waits at most timeout_ms until at least one byte is waiting, waking as soon as one arrives
// (poll(), never a spin); true when bytes are waiting. Does not read.
bool Serial_Port_Wait_Input(int32_t handle, uint32_t timeout_ms);

// How long bytes take on the line at the port's current rate (10 bits a byte: start, 8 data,
// stop), rounded up; 0 when the rate cannot be read.
uint32_t Serial_Port_Wire_Ms(int32_t handle, size_t bytes);

// Receive poller of an open port: returns its handle for Serial_Port_State.Poller (0 when the
// port handle is unusable). Pause returns once the poller has acknowledged that it is outside
// any read; pausing poller 0 or from the poller's own thread does nothing.
int32_t Serial_Port_Poller_Start(int32_t handle);
void Serial_Port_Poller_Pause(int32_t poller);
void Serial_Port_Poller_Resume(int32_t poller);
// True on a receive poller's own thread (where a "?" it read runs the fault query).
bool Serial_Port_On_Poller_Thread();
// True while the poller's thread runs (false after a hang-up ended it, or for no poller).
bool Serial_Port_Poller_Running(int32_t poller);
// A caller that sleeps until something happens names a descriptor (a non-blocking pipe's
// write end; -1 none): one byte is written to it whenever a poller ends or the port log stops
// on a line it could not write.
void Serial_Port_Watch(int fd);
// Tells the watcher something happened.
void Serial_Port_Watch_Notify();
// Called on a poller's thread once a hang-up or a failed line has ended it (never when it was
// stopped), with its port's handle: how a window learns that its port is gone. One hook for
// the process; null removes it.
void Serial_Port_Set_Hang_Up_Hook(void (*hook)(int32_t port));
// Asked by a read whose text holds a "?" (the controller's sign of a fault), with the read's
// port: the protocol layer installs its fault query here when it is linked, so a read keeps
// asking the controller what went wrong without this layer knowing the query's commands.
// One hook for the process; null removes it.
void Serial_Port_Set_Fault_Query(void (*query)(int32_t& handle));

// Pauses the poller in the constructor and resumes it in the destructor.
class Poller_Pause {
  public:
    explicit Poller_Pause(int32_t poller);
    ~Poller_Pause();
    Poller_Pause(const Poller_Pause&) = delete;
    Poller_Pause& operator=(const Poller_Pause&) = delete;

  private:
    int32_t poller_;
};

}  // namespace kdx
