// Serial ports with the Win32 communications notions the port procedures are written in:
// an exclusive open by COM number, the device control block, time-outs, the event mask,
// the error-and-status query, non-blocking reads, writes handed whole to the driver, and a
// wait for input that sleeps in poll() until a byte or a wake-up arrives.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace kdx::platform {

// Device control block: the Win32 field names over termios.
struct DCB {
    uint32_t DCBlength = sizeof(DCB);
    uint32_t BaudRate = 0;
    uint32_t fBinary = 1;
    uint32_t fParity = 0;
    uint32_t fOutxCtsFlow = 0;
    uint32_t fOutxDsrFlow = 0;
    uint32_t fDtrControl = 1;  // DTR_CONTROL_ENABLE
    uint32_t fDsrSensitivity = 0;
    uint32_t fTXContinueOnXoff = 0;
    uint32_t fOutX = 0;
    uint32_t fInX = 0;
    uint32_t fErrorChar = 0;
    uint32_t fNull = 0;
    uint32_t fRtsControl = 1;  // RTS_CONTROL_ENABLE
    uint32_t fAbortOnError = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;    // NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY
    uint8_t StopBits = 0;  // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
};

enum : uint32_t {
    NOPARITY = 0,
    ODDPARITY = 1,
    EVENPARITY = 2,
    MARKPARITY = 3,
    SPACEPARITY = 4,
    ONESTOPBIT = 0,
    ONE5STOPBITS = 1,
    TWOSTOPBITS = 2,
    DTR_CONTROL_DISABLE = 0,
    DTR_CONTROL_ENABLE = 1,
    DTR_CONTROL_HANDSHAKE = 2,
    RTS_CONTROL_DISABLE = 0,
    RTS_CONTROL_ENABLE = 1,
    RTS_CONTROL_HANDSHAKE = 2,
    EV_RXCHAR = 0x0001,
    EV_TXEMPTY = 0x0004,
    EV_ERR = 0x0080,
    CE_RXOVER = 0x0001,
    CE_OVERRUN = 0x0002,
    CE_RXPARITY = 0x0004,
    CE_FRAME = 0x0008,
    CE_BREAK = 0x0010,
};
constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

struct COMMTIMEOUTS {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

struct COMSTAT {
    uint32_t cbInQue = 0;   // bytes received and not yet read
    uint32_t cbOutQue = 0;  // bytes written and not yet sent
};

// The device name of a port: "\\.\COM" + number; "" for numbers outside 1..999.
std::string Comm_Device_Name(int32_t number);

// The device node behind COM<number>: the ports directory first, then udev; "" (last error
// 2) when neither knows the port.
std::string Comm_Device_Node(int32_t number);

// Why the node cannot be a serial line ("" when it can): it must be a character device of
// the tty class (sysfs says so; pseudo-terminals, which sysfs does not list, by their major
// number). Looked up without opening anything, so a listing can tell too.
std::string Serial_Node_Problem(const std::string& node);

// Opens a port by its device name ("\\.\COM5") or by a device node path, exclusively, and
// puts the line in raw mode before anything else. Returns a handle, or INVALID_HANDLE_VALUE
// with the last error: 2 no such port, 5 held by another program or no permission, 50 not
// a serial line (checked before the open, and a tty after it, before anything else is
// done), 123 a name that is neither.
int32_t Comm_Open(const std::string& name);

// True when the driver runs the open port in low-latency mode (asked for on opening: a USB
// adapter then passes received bytes on at once instead of after its latency timer).
bool Comm_Low_Latency(int32_t handle);

// True when the last Comm_Open failed for lack of permission (not because the port was held).
bool Comm_Open_Denied_By_Permission();

bool Get_Comm_State(int32_t handle, DCB& dcb);
// New line settings take effect once the bytes already written have gone out.
bool Set_Comm_State(int32_t handle, const DCB& dcb);
bool Get_Comm_Timeouts(int32_t handle, COMMTIMEOUTS& timeouts);
bool Set_Comm_Timeouts(int32_t handle, const COMMTIMEOUTS& timeouts);
bool Set_Comm_Mask(int32_t handle, uint32_t mask);
bool Get_Comm_Mask(int32_t handle, uint32_t& mask);
// Error flags since the last query and the queue counts. False (last error 6) on a handle
// that is not a port, or (31) when the device has gone.
bool Clear_Comm_Error(int32_t handle, uint32_t* errors, COMSTAT* status);

// Reads at most capacity bytes that have already arrived; never blocks. An empty result with
// true means nothing was waiting. False with the last error when the device has gone.
bool Read_Comm(int32_t handle, std::string& out, uint32_t capacity);

struct Handle_Object;

// A port looked up once for a run of calls on it: a read makes up to ten status queries and
// a drain, each of which would otherwise look the handle up again. Keeps the port's object
// alive while it lives. On a handle that is not a port its calls fail with last error 6.
class Comm_Line {
  public:
    explicit Comm_Line(int32_t handle);
    // As Set_Comm_Mask, Clear_Comm_Error, Read_Comm and Write_Comm on the handle; the status
    // query leaves the output count 0 (a read asks only what is waiting).
    bool Set_Mask(uint32_t mask) const;
    bool Clear_Error(uint32_t* errors, COMSTAT* status) const;
    bool Read(std::string& out, uint32_t capacity) const;
    // A line that takes no byte for stall_ms ends the write as a time-out too, however long
    // timeout_ms would still allow (a device that stopped reading).
    bool Write(const std::string& data, uint32_t* written, uint32_t timeout_ms,
               uint32_t stall_ms = MAXDWORD) const;
    // Waits until every byte written has left the driver for the other end (on a
    // pseudo-terminal: its reader has read it). A line whose queue does not shrink for
    // stall_ms ends the wait with false and the last error 1460 (a device that stopped
    // reading), a hang-up with 1167; left receives the bytes still queued then (0 on true).
    // A line that cannot tell (a pseudo-terminal with nobody of ours at its other end) counts
    // as drained. A stall_ms of 0 only looks.
    bool Drain(uint32_t stall_ms, int64_t* left) const;
    // On a pseudo-terminal whose other end registered a reader (Pty_Set_Peer_Reader): lets it
    // take what was written and put out its answers, so a read that found nothing can look
    // once more. False (nothing done) on any other line.
    bool Catch_Up_Peer() const;

  private:
    std::shared_ptr<Handle_Object> port_;
};

// Hands every byte to the driver, waiting while its queue is full, at most timeout_ms in
// all. written receives the count handed over. False with the last error 1460 on time-out.
bool Write_Comm(int32_t handle, const std::string& data, uint32_t* written,
                uint32_t timeout_ms = 5000);

// A wake-up event for Wait_Comm_Input (an eventfd): set from any thread, reset by the waiter.
int32_t Create_Wake_Event();
bool Set_Wake_Event(int32_t event);
bool Reset_Wake_Event(int32_t event);

enum class Comm_Wait { Input, Woken, Timeout, Hung_Up, Failed };
// Sleeps until a byte is waiting, the event (0: none) is set, the device hangs up, or
// timeout_ms passes (MAXDWORD: no limit).
Comm_Wait Wait_Comm_Input(int32_t handle, int32_t event, uint32_t timeout_ms);

// True once a read or wait has seen the device hang up (adapter pulled, other end closed).
bool Comm_Hung_Up(int32_t handle);

// Holds the line in the break state for about a quarter of a second. False with the last
// error set where the line has no break to send (50 for a pseudo-terminal).
bool Send_Comm_Break(int32_t handle);

// Wait_Comm_Input and Comm_Hung_Up with the port and the event looked up once, for a loop that
// waits again and again (the receive poller): each lookup takes the handle table's lock.
class Comm_Waiter {
  public:
    Comm_Waiter(int32_t handle, int32_t event);
    Comm_Wait Wait(uint32_t timeout_ms) const;
    bool Hung_Up() const;

  private:
    std::shared_ptr<Handle_Object> port_;
    std::shared_ptr<Handle_Object> wake_;
    bool found_ = false;  // both handles were known
};

}  // namespace kdx::platform
