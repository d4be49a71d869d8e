// Serial ports on Windows: \\.\COM<n> opened exclusively and overlapped, the device control
// block, time-outs and status query of the communications driver, and waits on its
// EV_RXCHAR event beside a wake-up event.
#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/ports/port_map.h"
#include "platform/ports/serial.h"

#include "platform/os/win32.h"

namespace kdx::platform {

namespace {
using win32::System_Invalid;
using win32::Take_System_Error;

// What the driver's block does not hold (the caller's time-outs and mask: reads never wait
// here, callers wait with Wait_Comm_Input) is kept with the port, to read back as set.
struct Comm_Object final : Handle_Object {
    HANDLE handle = System_Invalid;
    HANDLE read_done = nullptr;   // the overlapped reads' event
    HANDLE write_done = nullptr;  // the overlapped writes' event
    HANDLE wait_done = nullptr;   // WaitCommEvent's event
    std::mutex lock;
    // One read at a time: two readers (the receive poller and a window's read) would share
    // read_done, and the second could be left asking for bytes the first took.
    std::mutex read_lock;
    // Line errors a read's queue count cleared, kept for the caller's next status query.
    std::atomic<uint32_t> held_errors{0};
    COMMTIMEOUTS timeouts{};
    uint32_t mask = 0;
    std::atomic<bool> hung_up{false};
    std::atomic<int64_t> last_write_ms{-1000};
    // Set once the driver has refused WaitCommEvent: waits then look at the queue in slices.
    std::atomic<bool> no_events{false};

    ~Comm_Object() override {
        if (handle != System_Invalid) ::CloseHandle(handle);
        for (HANDLE h : {read_done, write_done, wait_done})
            if (h) ::CloseHandle(h);
    }
};

struct Event_Object final : Handle_Object {
    HANDLE event = nullptr;
    ~Event_Object() override {
        if (event) ::CloseHandle(event);
    }
};

// Under Wine a port may be a pseudo-terminal with a simulator at its other end, which has no
// wire to drain: bytes written last are given this long to reach it before the rate changes.
constexpr int64_t kPseudo_Line_Settle_Ms = 10;

// A read asks only for bytes the driver has counted, so it ends at once; should a driver hold
// it anyway, it is cancelled after this long with what it took.
constexpr DWORD kRead_Bound_Ms = 250;

constexpr DWORD kLine_Errors = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;

std::shared_ptr<Comm_Object> Port(int32_t handle) {
    auto port = Handle_Get_As<Comm_Object>(handle);
    if (!port) Set_Last_Error(ERROR_INVALID_HANDLE);
    return port;
}

// A failing call on a port whose device has gone (a USB adapter pulled out) gives one of
// these; every later call fails the same way.
bool Device_Gone(DWORD code) {
    return code == ERROR_ACCESS_DENIED || code == ERROR_BAD_COMMAND ||
           code == ERROR_DEVICE_NOT_CONNECTED || code == ERROR_GEN_FAILURE ||
           code == ERROR_OPERATION_ABORTED || code == ERROR_INVALID_HANDLE;
}

void Fail(Comm_Object& port) {
    DWORD code = ::GetLastError();
    if (Device_Gone(code)) {
        port.hung_up = true;
        Set_Last_Error(ERROR_DEVICE_NOT_CONNECTED);
    } else {
        Set_Last_Error(code);
    }
}

void To_System(const DCB& in, ::DCB& out) {
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

void From_System(const ::DCB& in, DCB& out) {
    out = DCB{};
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

thread_local bool last_open_permission = false;
}  // namespace

std::string Comm_Device_Name(int32_t number) {
    if (number < 1 || number > 999) return std::string();
    return "\\\\.\\COM" + std::to_string(number);
}

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
    last_open_permission = false;
    static const std::string prefix = "\\\\.\\COM";
    if (name.rfind(prefix, 0) == 0) {
        std::string digits = name.substr(prefix.size());
        if (digits.empty() || digits.size() > 3 || digits[0] == '0' ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            Set_Last_Error(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
    } else if (name.rfind("\\\\.\\", 0) != 0) {
        Set_Last_Error(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    // No sharing: a port another program holds fails with 5, as the driver keeps it.
    HANDLE h = ::CreateFileW(win32::Wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == System_Invalid) {
        Take_System_Error();
        return INVALID_HANDLE_VALUE;
    }
    auto port = std::make_shared<Comm_Object>();
    port->handle = h;
    ::DCB system{};
    system.DCBlength = sizeof system;
    if (::GetFileType(h) != FILE_TYPE_CHAR || !::GetCommState(h, &system)) {
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
    ::SetCommState(h, &system);  // kept as it was where the driver refuses a field
    // A read returns at once with what has arrived: callers wait with Wait_Comm_Input.
    ::COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
    if (!::SetCommTimeouts(h, &immediate) ||
        !::SetCommMask(h, EV_RXCHAR | EV_ERR | EV_BREAK | EV_RLSD)) {
        Take_System_Error();
        return INVALID_HANDLE_VALUE;
    }
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    int32_t handle = Handle_Insert(port);
    Set_Last_Error(ERROR_SUCCESS);
    return handle;
}

bool Comm_Low_Latency(int32_t handle) {
    // The adapter's latency timer is the driver's setting in the Device Manager.
    auto port = Port(handle);
    if (port) Set_Last_Error(ERROR_SUCCESS);
    return false;
}

bool Comm_Open_Denied_By_Permission() {
    return last_open_permission;
}

bool Get_Comm_State(int32_t handle, DCB& dcb) {
    auto port = Port(handle);
    if (!port) return false;
    ::DCB system{};
    system.DCBlength = sizeof system;
    if (!::GetCommState(port->handle, &system)) {
        Fail(*port);
        return false;
    }
    From_System(system, dcb);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Set_Comm_State(int32_t handle, const DCB& dcb) {
    auto port = Port(handle);
    if (!port) return false;
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS) {
        Set_Last_Error(ERROR_INVALID_PARAMETER);
        return false;
    }
    ::DCB system{};
    system.DCBlength = sizeof system;
    if (!::GetCommState(port->handle, &system)) {
        Fail(*port);
        return false;
    }
    // The new settings apply once what is already written has gone out.
    if (system.BaudRate != dcb.BaudRate) {
        ::FlushFileBuffers(port->handle);
        if (win32::Under_Wine()) {
            int64_t wait = port->last_write_ms + kPseudo_Line_Settle_Ms - Tick_Count_Ms();
            if (wait > 0) Sleep_Ms(uint32_t(wait));
        }
    }
    To_System(dcb, system);
    if (!::SetCommState(port->handle, &system)) {
        Fail(*port);
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Get_Comm_Timeouts(int32_t handle, COMMTIMEOUTS& timeouts) {
    auto port = Port(handle);
    if (!port) return false;
    std::lock_guard<std::mutex> guard(port->lock);
    timeouts = port->timeouts;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Set_Comm_Timeouts(int32_t handle, const COMMTIMEOUTS& timeouts) {
    auto port = Port(handle);
    if (!port) return false;
    std::lock_guard<std::mutex> guard(port->lock);
    port->timeouts = timeouts;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

namespace {
bool Set_Mask(Comm_Object* port, uint32_t mask) {
    if (!port) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    std::lock_guard<std::mutex> guard(port->lock);
    port->mask = mask;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Clear_Error(Comm_Object* port, uint32_t* errors, COMSTAT* status, bool output_count) {
    if (!port) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    if (errors) *errors = 0;
    if (status) *status = COMSTAT{};
    DWORD flags = 0;
    ::COMSTAT now{};
    if (!::ClearCommError(port->handle, &flags, &now)) {
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

bool Read(Comm_Object* port, std::string& out, uint32_t capacity) {
    out.clear();
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
    // The "return at once" time-outs do not end a read of an empty queue everywhere (Wine on
    // a pseudo-terminal waits for a byte): the read asks for no more than is queued.
    std::lock_guard<std::mutex> guard(port->read_lock);
    DWORD flags = 0;
    ::COMSTAT queued{};
    if (!::ClearCommError(port->handle, &flags, &queued)) {
        Fail(*port);
        return false;
    }
    if (flags & kLine_Errors) port->held_errors.fetch_or(flags & kLine_Errors);
    DWORD want = std::min<DWORD>(capacity, queued.cbInQue);
    if (want == 0) {
        Set_Last_Error(ERROR_SUCCESS);
        return true;
    }
    out.resize(want);
    OVERLAPPED call{};
    call.hEvent = port->read_done;
    ::ResetEvent(call.hEvent);
    DWORD n = 0;
    bool started = ::ReadFile(port->handle, out.data(), want, &n, &call);
    if (!started && ::GetLastError() != ERROR_IO_PENDING) {
        out.clear();
        Fail(*port);
        return false;
    }
    if (!started && ::WaitForSingleObject(call.hEvent, kRead_Bound_Ms) != WAIT_OBJECT_0) {
        // Held past the count: what it took stays, the cancel is no fault of the line.
        ::CancelIoEx(port->handle, &call);
        if (!::GetOverlappedResult(port->handle, &call, &n, TRUE) &&
            ::GetLastError() != ERROR_OPERATION_ABORTED) {
            out.clear();
            Fail(*port);
            return false;
        }
    } else if (!::GetOverlappedResult(port->handle, &call, &n, FALSE)) {
        out.clear();
        Fail(*port);
        return false;
    }
    out.resize(n);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Write(Comm_Object* port, const std::string& data, uint32_t* written, uint32_t timeout_ms,
           uint32_t stall_ms) {
    if (written) *written = 0;
    if (!port) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    const int64_t end = Tick_Count_Ms() + timeout_ms;
    size_t done = 0;
    while (done < data.size()) {
        int64_t deadline = std::min<int64_t>(end, Tick_Count_Ms() + stall_ms);
        OVERLAPPED call{};
        call.hEvent = port->write_done;
        ::ResetEvent(call.hEvent);
        DWORD n = 0;
        DWORD chunk = DWORD(std::min<size_t>(data.size() - done, 1u << 20));
        bool started = ::WriteFile(port->handle, data.data() + done, chunk, &n, &call);
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
        if (!complete) ::CancelIoEx(port->handle, &call);
        bool ok = ::GetOverlappedResult(port->handle, &call, &n, TRUE);
        if (n > 0) {
            port->last_write_ms = Tick_Count_Ms();
            done += n;
            if (written) *written = uint32_t(done);
        }
        if (!complete) {
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
}  // namespace

bool Set_Comm_Mask(int32_t handle, uint32_t mask) {
    auto port = Port(handle);
    return port && Set_Mask(port.get(), mask);
}

bool Get_Comm_Mask(int32_t handle, uint32_t& mask) {
    auto port = Port(handle);
    if (!port) return false;
    std::lock_guard<std::mutex> guard(port->lock);
    mask = port->mask;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Clear_Comm_Error(int32_t handle, uint32_t* errors, COMSTAT* status) {
    auto port = Port(handle);
    return port && Clear_Error(port.get(), errors, status, true);
}

bool Read_Comm(int32_t handle, std::string& out, uint32_t capacity) {
    out.clear();
    auto port = Port(handle);
    return port && Read(port.get(), out, capacity);
}

Comm_Line::Comm_Line(int32_t handle) : port_(Port(handle)) {}

bool Comm_Line::Set_Mask(uint32_t mask) const {
    return platform::Set_Mask(static_cast<Comm_Object*>(port_.get()), mask);
}

bool Comm_Line::Clear_Error(uint32_t* errors, COMSTAT* status) const {
    return platform::Clear_Error(static_cast<Comm_Object*>(port_.get()), errors, status, false);
}

bool Comm_Line::Read(std::string& out, uint32_t capacity) const {
    return platform::Read(static_cast<Comm_Object*>(port_.get()), out, capacity);
}

bool Comm_Line::Catch_Up_Peer() const {
    return false;  // a real line: its other end is a device, never a reader of ours
}

bool Write_Comm(int32_t handle, const std::string& data, uint32_t* written, uint32_t timeout_ms) {
    if (written) *written = 0;
    auto port = Port(handle);
    return port && Write(port.get(), data, written, timeout_ms, MAXDWORD);
}

bool Comm_Line::Write(const std::string& data, uint32_t* written, uint32_t timeout_ms,
                      uint32_t stall_ms) const {
    return platform::Write(static_cast<Comm_Object*>(port_.get()), data, written, timeout_ms,
                           stall_ms);
}

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
    auto object = Handle_Get_As<Event_Object>(event);
    if (!object) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    ::SetEvent(object->event);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Reset_Wake_Event(int32_t event) {
    auto object = Handle_Get_As<Event_Object>(event);
    if (!object) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    ::ResetEvent(object->event);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

Comm_Waiter::Comm_Waiter(int32_t handle, int32_t event) : port_(Port(handle)) {
    if (event != 0) wake_ = Handle_Get_As<Event_Object>(event);
    found_ = port_ && (event == 0 || wake_);
}

bool Comm_Waiter::Hung_Up() const {
    return port_ && static_cast<Comm_Object*>(port_.get())->hung_up;
}

Comm_Wait Comm_Waiter::Wait(uint32_t timeout_ms) const {
    if (!found_) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return Comm_Wait::Failed;
    }
    auto* port = static_cast<Comm_Object*>(port_.get());
    HANDLE wake = wake_ ? static_cast<Event_Object*>(wake_.get())->event : nullptr;
    const int64_t deadline = timeout_ms == MAXDWORD ? -1 : Tick_Count_Ms() + timeout_ms;
    for (;;) {
        if (port->hung_up) {
            Set_Last_Error(ERROR_DEVICE_NOT_CONNECTED);
            return Comm_Wait::Hung_Up;
        }
        if (wake && ::WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) {
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Woken;
        }
        // A byte already waiting raises no new event: look first.
        DWORD flags = 0;
        ::COMSTAT now{};
        if (!::ClearCommError(port->handle, &flags, &now)) {
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
        OVERLAPPED call{};
        call.hEvent = port->wait_done;
        ::ResetEvent(call.hEvent);
        DWORD events = 0;
        bool started = ::WaitCommEvent(port->handle, &events, &call);
        if (!started && ::GetLastError() == ERROR_NOT_SUPPORTED) {
            port->no_events = true;  // Wine on a pseudo-terminal, some virtual ports
            continue;
        }
        if (!started && ::GetLastError() != ERROR_IO_PENDING) {
            Fail(*port);
            return port->hung_up ? Comm_Wait::Hung_Up : Comm_Wait::Failed;
        }
        DWORD r = WAIT_OBJECT_0;
        if (!started) {
            HANDLE both[2] = {call.hEvent, wake};
            r = ::WaitForMultipleObjects(wake ? 2 : 1, both, FALSE, wait);
            if (r != WAIT_OBJECT_0) ::CancelIoEx(port->handle, &call);
            DWORD ignored = 0;
            ::GetOverlappedResult(port->handle, &call, &ignored, TRUE);
        }
        if (r == WAIT_OBJECT_0 + 1) {
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Woken;
        }
        if (r == WAIT_TIMEOUT) {
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Timeout;
        }
        if (r != WAIT_OBJECT_0) {
            Take_System_Error();
            return Comm_Wait::Failed;
        }
        // An event came (a byte, a line error, carrier): look at the queue again.
    }
}

Comm_Wait Wait_Comm_Input(int32_t handle, int32_t event, uint32_t timeout_ms) {
    return Comm_Waiter(handle, event).Wait(timeout_ms);
}

bool Comm_Hung_Up(int32_t handle) {
    auto port = Handle_Get_As<Comm_Object>(handle);
    return port && port->hung_up;
}

}  // namespace kdx::platform
