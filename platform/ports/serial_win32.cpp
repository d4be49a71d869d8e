// Serial ports on Windows: \\.\COM<n> opened exclusively and overlapped, the device control
// block, time-outs and status query of the communications driver, and waits on its
// EV_RXCHAR event beside a wake-up event. Every overlapped call ends within a bound: a
// driver that finishes nothing (a UART with nothing behind it under Wine) makes the port one
// that does not respond, never a program that hangs.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/ports/port_map.h"
#include "platform/ports/serial_os.h"

#include "platform/ports/serial_win32.h"

namespace kdx::platform {

namespace win32 {
Comm_Calls& Comm_System_Calls() {
    static Comm_Calls calls;
    return calls;
}
}  // namespace win32

namespace {
using win32::System_Invalid;
using win32::Take_System_Error;

const win32::Comm_Calls& Calls() {
    return win32::Comm_System_Calls();
}

// The driver's handle and what its overlapped calls need.
struct Comm_Object final : Comm_Port {
    HANDLE handle = System_Invalid;
    HANDLE read_done = nullptr;   // the overlapped reads' event
    HANDLE write_done = nullptr;  // the overlapped writes' event
    HANDLE wait_done = nullptr;   // WaitCommEvent's event
    // One read at a time: two readers (the receive poller and a window's read) would share
    // read_done, and the second could be left asking for bytes the first took.
    std::mutex read_lock;
    // Line errors a read's queue count cleared, kept for the caller's next status query.
    std::atomic<uint32_t> held_errors{0};
    // Set once the driver has refused WaitCommEvent: waits then look at the queue in slices.
    std::atomic<bool> no_events{false};
    // Set once a read or write outlived its cancel: the port no longer responds (Finish).
    std::atomic<bool> unresponsive{false};

    ~Comm_Object() override;
};

struct Event_Object final : Wake_Event {
    HANDLE event = nullptr;
    ~Event_Object() override {
        if (event) ::CloseHandle(event);
    }
};

Comm_Object::~Comm_Object() {
    // A port that stalled drops what it still holds: the close would wait for it.
    if (handle != System_Invalid && stalled) ::PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
    if (handle != System_Invalid) Calls().Close_Handle(handle);
    for (HANDLE h : {read_done, write_done, wait_done})
        if (h) ::CloseHandle(h);
}

// A read asks only for bytes the driver has counted, so it ends at once; should a driver hold
// it anyway, it is cancelled after this long with what it took.
constexpr DWORD kRead_Bound_Ms = 250;

constexpr DWORD kLine_Errors = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;

// An overlapped call's record and buffer, on the heap: a call its driver keeps past the
// cancel keeps them for good, since the driver may still write into them.
struct Io_Call {
    OVERLAPPED call{};
    std::string buffer;
    DWORD events = 0;
    explicit Io_Call(HANDLE done) {
        call.hEvent = done;
        ::ResetEvent(done);
    }
};

// False, with ERROR_SEM_TIMEOUT, on a port that stopped responding: nothing more is asked of
// its driver.
bool Responsive(const Comm_Object& port) {
    if (!port.unresponsive) return true;
    Set_Last_Error(ERROR_SEM_TIMEOUT);
    return false;
}

// How a started call ended.
enum class Io_End {
    Done,       // by itself
    Woken,      // the wake event came first; the call was cancelled
    Timed_Out,  // not within the wait; the call was cancelled
    Stuck,      // not even once cancelled: left to the driver (see Finish)
};

// Waits for a started overlapped call at most wait_ms (INFINITE only beside a wake event,
// which ends it), and cancels one that has not ended then. A cancelled call gets
// Comm_Cancel_Bound_Ms more to end; one that takes longer is left to its driver (io is
// released, never freed, with ERROR_SEM_TIMEOUT): a read or write so kept makes the port
// unresponsive, an event wait (Wine cannot cancel one on a real UART) makes its waits look
// at the queue instead. Except when Stuck, the call's count and result are taken (ok false
// with the thread's last error set).
Io_End Finish(Comm_Object& port, std::unique_ptr<Io_Call>& io, HANDLE wake, DWORD wait_ms,
              DWORD& count, bool& ok) {
    count = 0;
    ok = false;
    HANDLE both[2] = {io->call.hEvent, wake};
    DWORD r = ::WaitForMultipleObjects(wake ? 2 : 1, both, FALSE, wait_ms);
    Io_End end = r == WAIT_OBJECT_0       ? Io_End::Done
                 : r == WAIT_OBJECT_0 + 1 ? Io_End::Woken
                                          : Io_End::Timed_Out;
    if (end != Io_End::Done) {
        Calls().Cancel_Io(port.handle, &io->call);
        if (::WaitForSingleObject(io->call.hEvent, win32::Comm_Cancel_Bound_Ms) != WAIT_OBJECT_0) {
            io.release();  // the driver's for good
            Set_Last_Error(ERROR_SEM_TIMEOUT);
            return Io_End::Stuck;
        }
    }
    ok = ::GetOverlappedResult(port.handle, &io->call, &count, FALSE);
    if (!ok) Take_System_Error();
    return end;
}

// A failing call on a port whose device has gone (a USB adapter pulled out) gives one of
// these; every later call fails the same way.
bool Device_Gone(DWORD code) {
    return code == ERROR_ACCESS_DENIED || code == ERROR_BAD_COMMAND ||
           code == ERROR_DEVICE_NOT_CONNECTED || code == ERROR_GEN_FAILURE ||
           code == ERROR_OPERATION_ABORTED || code == ERROR_INVALID_HANDLE;
}

void Fail(Comm_Port& port) {
    DWORD code = ::GetLastError();
    if (Device_Gone(code)) {
        port.hung_up = true;
        Set_Last_Error(ERROR_DEVICE_NOT_CONNECTED);
    } else {
        Set_Last_Error(code);
    }
}

// The line settings between our block and the driver's, which share their field names.
template <class From, class To>
void Copy_Line_Settings(const From& in, To& out) {
    out.BaudRate = in.BaudRate;
    out.fBinary = 1;
    out.fParity = in.fParity;
    out.fOutxCtsFlow = in.fOutxCtsFlow;
    out.fOutxDsrFlow = in.fOutxDsrFlow;
    out.fDtrControl = in.fDtrControl;
    out.fDsrSensitivity = in.fDsrSensitivity;
    out.fTXContinueOnXoff = in.fTXContinueOnXoff;
    out.fOutX = in.fOutX;
    out.fInX = in.fInX;
    out.fErrorChar = in.fErrorChar;
    out.fNull = in.fNull;
    out.fRtsControl = in.fRtsControl;
    out.fAbortOnError = in.fAbortOnError;
    out.XonLim = in.XonLim;
    out.XoffLim = in.XoffLim;
    out.ByteSize = in.ByteSize;
    out.Parity = in.Parity;
    out.StopBits = in.StopBits;
    out.XonChar = in.XonChar;
    out.XoffChar = in.XoffChar;
    out.ErrorChar = in.ErrorChar;
    out.EofChar = in.EofChar;
    out.EvtChar = in.EvtChar;
}
}  // namespace

std::string Comm_Device_Node(int32_t number) {
    std::string name = Comm_Device_Name(number);
    if (name.empty()) {
        Set_Last_Error(ERROR_FILE_NOT_FOUND);
        return name;
    }
    // The serial device map, or else the system's device namespace (a port some driver
    // made without listing it).
    bool known = false;
    for (const auto& entry : Port_Map_List()) known = known || entry.Number == number;
    wchar_t target[1024];
    known = known || ::QueryDosDeviceW(win32::Wide(name.substr(4)).c_str(), target, 1024) != 0;
    Set_Last_Error(known ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    return known ? name : std::string();
}

std::string Serial_Node_Problem(const std::string& node) {
    if (node.rfind("\\\\.\\", 0) == 0) return std::string();
    return "it is not a serial line";
}

int32_t Comm_Open(const std::string& name) {
    // A port held by another program fails with 5 too, which is no lack of permission.
    Note_Open_Denied_By_Permission(false);
    int32_t number = Comm_Name_Number(name);
    if (number < 0) return INVALID_HANDLE_VALUE;
    if (number == 0 && name.rfind("\\\\.\\", 0) != 0) {
        Set_Last_Error(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    // No sharing: a port another program holds fails with 5, as the driver keeps it.
    HANDLE h = Calls().Create_File(win32::Wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == System_Invalid) {
        Take_System_Error();
        return INVALID_HANDLE_VALUE;
    }
    auto port = std::make_shared<Comm_Object>();
    port->handle = h;
    ::DCB system{};
    system.DCBlength = sizeof system;
    if (Calls().Get_File_Type(h) != FILE_TYPE_CHAR || !Calls().Get_Comm_State(h, &system)) {
        Set_Last_Error(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    port->read_done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    port->write_done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    port->wait_done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!port->read_done || !port->write_done || !port->wait_done) {
        Take_System_Error();
        return INVALID_HANDLE_VALUE;
    }
    // Raw: binary, no flow control, no byte dropped or replaced, no abort on a line error.
    system.fBinary = 1;
    system.fOutxCtsFlow = system.fOutxDsrFlow = system.fDsrSensitivity = 0;
    system.fOutX = system.fInX = system.fNull = system.fErrorChar = system.fAbortOnError = 0;
    system.ByteSize = 8;
    system.Parity = NOPARITY;
    system.StopBits = ONESTOPBIT;
    Calls().Set_Comm_State(h, &system);  // kept as it was where the driver refuses a field
    // A read returns at once with what has arrived: callers wait with Wait_Comm_Input.
    ::COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
    if (!Calls().Set_Comm_Timeouts(h, &immediate) ||
        !Calls().Set_Comm_Mask(h, EV_RXCHAR | EV_ERR | EV_BREAK | EV_RLSD)) {
        Take_System_Error();
        return INVALID_HANDLE_VALUE;
    }
    Calls().Purge_Comm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    // The adapter's latency is its driver's setting (the Device Manager's), not a request of
    // ours: the port map reads it where the driver keeps one.
    for (const auto& entry : number > 0 ? Port_Map_List() : std::vector<Port_Map_Entry>())
        if (entry.Number == number) port->low_latency = entry.Latency == "low latency";
    int32_t handle = Handle_Insert(port);
    Set_Last_Error(ERROR_SUCCESS);
    return handle;
}

bool Get_Comm_State(int32_t handle, DCB& dcb) {
    auto port = Comm_Port_Of<Comm_Object>(handle);
    if (!port) return false;
    if (!Responsive(*port)) return false;
    ::DCB system{};
    system.DCBlength = sizeof system;
    if (!Calls().Get_Comm_State(port->handle, &system)) {
        Fail(*port);
        return false;
    }
    dcb = DCB{};
    Copy_Line_Settings(system, dcb);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Set_Comm_State(int32_t handle, const DCB& dcb) {
    auto port = Comm_Port_Of<Comm_Object>(handle);
    if (!port) return false;
    if (!Comm_State_Usable(dcb) || !Responsive(*port)) return false;
    ::DCB system{};
    system.DCBlength = sizeof system;
    if (!Calls().Get_Comm_State(port->handle, &system)) {
        Fail(*port);
        return false;
    }
    // The new settings apply once what is already written has gone out.
    if (system.BaudRate != dcb.BaudRate) {
        ::FlushFileBuffers(port->handle);
        // Under Wine the port may be a pseudo-terminal, which has no wire to drain.
        if (win32::Under_Wine()) Let_Last_Write_Settle(*port);
    }
    Copy_Line_Settings(dcb, system);
    if (!Calls().Set_Comm_State(port->handle, &system)) {
        Fail(*port);
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

namespace serial_os {

bool Clear_Error(Comm_Port* base, uint32_t* errors, COMSTAT* status, bool output_count) {
    auto* port = static_cast<Comm_Object*>(base);
    if (!port) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    if (errors) *errors = 0;
    if (status) *status = COMSTAT{};
    if (!Responsive(*port)) return false;
    DWORD flags = 0;
    ::COMSTAT now{};
    if (!Calls().Clear_Comm_Error(port->handle, &flags, &now)) {
        Fail(*port);
        return false;
    }
    flags |= port->held_errors.exchange(0);
    if (errors) *errors = flags & kLine_Errors;
    if (status) {
        status->cbInQue = now.cbInQue;
        status->cbOutQue = output_count ? now.cbOutQue : 0;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Read(Comm_Port* base, std::string& out, uint32_t capacity) {
    out.clear();
    auto* port = static_cast<Comm_Object*>(base);
    if (!port) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    if (capacity == 0) {
        Set_Last_Error(ERROR_SUCCESS);
        return true;
    }
    if (port->hung_up) {
        Set_Last_Error(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }
    if (!Responsive(*port)) return false;
    // The "return at once" time-outs do not end a read of an empty queue everywhere (Wine on
    // a pseudo-terminal waits for a byte): the read asks for no more than is queued.
    std::lock_guard<std::mutex> guard(port->read_lock);
    DWORD flags = 0;
    ::COMSTAT queued{};
    if (!Calls().Clear_Comm_Error(port->handle, &flags, &queued)) {
        Fail(*port);
        return false;
    }
    if (flags & kLine_Errors) port->held_errors.fetch_or(flags & kLine_Errors);
    DWORD want = std::min<DWORD>(capacity, queued.cbInQue);
    if (want == 0) {
        Set_Last_Error(ERROR_SUCCESS);
        return true;
    }
    auto io = std::make_unique<Io_Call>(port->read_done);
    io->buffer.resize(want);
    DWORD n = 0;
    bool ok = Calls().Read_File(port->handle, io->buffer.data(), want, &n, &io->call);
    if (!ok && ::GetLastError() != ERROR_IO_PENDING) {
        Fail(*port);
        return false;
    }
    // Held past the count: what it took stays, the cancel is no fault of the line.
    Io_End end = Finish(*port, io, nullptr, ok ? 0 : kRead_Bound_Ms, n, ok);
    if (end == Io_End::Stuck) {
        port->unresponsive = true;
        return false;
    }
    if (!ok && (end == Io_End::Done || ::GetLastError() != ERROR_OPERATION_ABORTED)) {
        Fail(*port);
        return false;
    }
    out.assign(io->buffer, 0, n);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Write(Comm_Port* base, const std::string& data, uint32_t* written, uint32_t timeout_ms,
           uint32_t stall_ms) {
    if (written) *written = 0;
    auto* port = static_cast<Comm_Object*>(base);
    if (!port) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!Responsive(*port)) return false;
    const int64_t end = Tick_Count_Ms() + timeout_ms;
    size_t done = 0;
    while (done < data.size()) {
        int64_t deadline = std::min<int64_t>(end, Tick_Count_Ms() + stall_ms);
        DWORD chunk = DWORD(std::min<size_t>(data.size() - done, 1u << 20));
        auto io = std::make_unique<Io_Call>(port->write_done);
        io->buffer.assign(data, done, chunk);
        OVERLAPPED& call = io->call;
        DWORD n = 0;
        bool started = Calls().Write_File(port->handle, io->buffer.data(), chunk, &n, &call);
        if (!started && ::GetLastError() != ERROR_IO_PENDING) {
            Fail(*port);
            return false;
        }
        // On a window's thread (a whole file going out) the window works between slices.
        const bool pump = Sleep_Hook_Here();
        bool complete = started;
        while (!complete) {
            int64_t left = deadline - Tick_Count_Ms();
            if (left <= 0) break;
            DWORD slice = DWORD(pump ? std::min<int64_t>(left, 20) : left);
            if (::WaitForSingleObject(call.hEvent, slice) == WAIT_OBJECT_0)
                complete = true;
            else if (pump)
                Sleep_Ms(0);
        }
        // Its count and result; one not complete is cancelled, within a bound.
        bool ok = false;
        Io_End how = Finish(*port, io, nullptr, 0, n, ok);
        if (how == Io_End::Stuck) {
            port->unresponsive = true;
            return false;
        }
        complete = how == Io_End::Done;
        if (n > 0) {
            port->last_write_ms = Tick_Count_Ms();
            if (started) port->free_write_ms = port->last_write_ms.load();
            port->written += n;
            done += n;
            if (written) *written = uint32_t(done);
        }
        if (!complete) {
            port->stalled = true;
            Set_Last_Error(ERROR_TIMEOUT);
            return false;
        }
        if (!ok) {
            Fail(*port);
            return false;
        }
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Send_Break(Comm_Port& base) {
    auto* port = static_cast<Comm_Object*>(&base);
    if (!::SetCommBreak(port->handle)) {
        Take_System_Error();
        return false;
    }
    ::Sleep(250);
    if (!::ClearCommBreak(port->handle)) {
        Take_System_Error();
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Catch_Up_Peer(Comm_Port&) {
    return false;  // a real line: its other end is a device, never a reader of ours
}

bool Output_Left(Comm_Port& base, int64_t& left) {
    // ClearCommError's output count, polled: FlushFileBuffers would wait with no bound on a
    // device that stopped reading (flow control held, a stalled adapter).
    auto* port = static_cast<Comm_Object*>(&base);
    left = 0;
    if (port->hung_up) {
        Set_Last_Error(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }
    DWORD flags = 0;
    ::COMSTAT now{};
    if (!::ClearCommError(port->handle, &flags, &now)) {
        Fail(*port);
        return false;
    }
    // The line errors found here belong to the next status query.
    port->held_errors |= uint32_t(flags & kLine_Errors);
    left = int64_t(now.cbOutQue);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

Comm_Wait Wait(Comm_Port& base, const Wake_Event* wake_event, uint32_t timeout_ms) {
    auto* port = static_cast<Comm_Object*>(&base);
    HANDLE wake = wake_event ? static_cast<const Event_Object*>(wake_event)->event : nullptr;
    const int64_t deadline = timeout_ms == MAXDWORD ? -1 : Tick_Count_Ms() + timeout_ms;
    for (;;) {
        if (port->hung_up) {
            Set_Last_Error(ERROR_DEVICE_NOT_CONNECTED);
            return Comm_Wait::Hung_Up;
        }
        if (!Responsive(*port)) return Comm_Wait::Failed;
        if (wake && ::WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) {
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Woken;
        }
        // A byte already waiting raises no new event: look first.
        DWORD flags = 0;
        ::COMSTAT now{};
        if (!Calls().Clear_Comm_Error(port->handle, &flags, &now)) {
            Fail(*port);
            return port->hung_up ? Comm_Wait::Hung_Up : Comm_Wait::Failed;
        }
        if (flags & kLine_Errors) port->held_errors.fetch_or(flags & kLine_Errors);
        if (now.cbInQue > 0) {
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Input;
        }
        DWORD wait = INFINITE;
        if (deadline >= 0) wait = DWORD(std::max<int64_t>(0, deadline - Tick_Count_Ms()));
        if (wait == 0) {
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Timeout;
        }
        if (port->no_events) {
            // A driver without events: look at the queue again after a short wait, which a
            // wake-up ends at once.
            DWORD slice = std::min<DWORD>(wait, 2);
            if (wake ? ::WaitForSingleObject(wake, slice) == WAIT_OBJECT_0
                     : (::Sleep(slice), false)) {
                Set_Last_Error(ERROR_SUCCESS);
                return Comm_Wait::Woken;
            }
            continue;
        }
        auto io = std::make_unique<Io_Call>(port->wait_done);
        bool started = Calls().Wait_Comm_Event(port->handle, &io->events, &io->call);
        if (!started && ::GetLastError() == ERROR_NOT_SUPPORTED) {
            port->no_events = true;  // Wine on a pseudo-terminal, some virtual ports
            continue;
        }
        if (!started && ::GetLastError() != ERROR_IO_PENDING) {
            Fail(*port);
            return port->hung_up ? Comm_Wait::Hung_Up : Comm_Wait::Failed;
        }
        DWORD ignored = 0;
        bool ok = false;
        Io_End end = Finish(*port, io, wake, started ? 0 : wait, ignored, ok);
        if (end == Io_End::Stuck) {
            port->no_events = true;  // Wine on a real UART: its event waits cannot be ended
            continue;
        }
        if (end == Io_End::Woken) {
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Woken;
        }
        if (end == Io_End::Timed_Out) {
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Timeout;
        }
        // An event came (a byte, a line error, carrier): look at the queue again.
    }
}

}  // namespace serial_os

int32_t Create_Wake_Event() {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        Take_System_Error();
        return INVALID_HANDLE_VALUE;
    }
    auto object = std::make_shared<Event_Object>();
    object->event = event;
    Set_Last_Error(ERROR_SUCCESS);
    return Handle_Insert(object);
}

bool Set_Wake_Event(int32_t event) {
    auto object = Wake_Event_Of<Event_Object>(event);
    if (!object) return false;
    ::SetEvent(object->event);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Reset_Wake_Event(int32_t event) {
    auto object = Wake_Event_Of<Event_Object>(event);
    if (!object) return false;
    ::ResetEvent(object->event);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

}  // namespace kdx::platform
