// The serial line's calls that are the same on every system: handle lookups, the kept
// time-outs and event mask, the checks of names and settings. What reaches the driver is in
// serial.cpp or serial_win32.cpp (serial_os.h).
#include <algorithm>

#include "platform/os/error.h"
#include "platform/os/system.h"
#include "platform/ports/serial_os.h"

namespace kdx::platform {

namespace {
thread_local bool last_open_permission = false;

// See Let_Last_Write_Settle.
constexpr int64_t Pseudo_Line_Settle_Ms = 10;

Comm_Port* As_Port(const std::shared_ptr<Handle_Object>& object) {
    return static_cast<Comm_Port*>(object.get());
}
}  // namespace

std::string Comm_Device_Name(int32_t number) {
    if (number < 1 || number > 999) return std::string();
    return "\\\\.\\COM" + std::to_string(number);
}

int32_t Comm_Name_Number(const std::string& name) {
    static const std::string Prefix = "\\\\.\\COM";
    if (name.rfind(Prefix, 0) != 0) return 0;
    std::string digits = name.substr(Prefix.size());
    if (digits.empty() || digits.size() > 3 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        Set_Last_Error(ERROR_FILE_NOT_FOUND);
        return -1;
    }
    return std::stoi(digits);
}

void Note_Open_Denied_By_Permission(bool denied) {
    last_open_permission = denied;
}

bool Comm_Open_Denied_By_Permission() {
    return last_open_permission;
}

bool Comm_Low_Latency(int32_t handle) {
    auto port = Comm_Port_Of(handle);
    if (!port) return false;
    Set_Last_Error(ERROR_SUCCESS);
    return port->low_latency;
}

bool Comm_State_Usable(const DCB& dcb) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS) {
        Set_Last_Error(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

void Let_Last_Write_Settle(const Comm_Port& port) {
    int64_t wait = port.last_write_ms + Pseudo_Line_Settle_Ms - Tick_Count_Ms();
    if (wait > 0) Sleep_Ms(uint32_t(wait));
}

bool Get_Comm_Timeouts(int32_t handle, COMMTIMEOUTS& timeouts) {
    auto port = Comm_Port_Of(handle);
    if (!port) return false;
    std::lock_guard<std::mutex> guard(port->lock);
    timeouts = port->timeouts;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Set_Comm_Timeouts(int32_t handle, const COMMTIMEOUTS& timeouts) {
    auto port = Comm_Port_Of(handle);
    if (!port) return false;
    // Reads never block whatever the values: callers wait with Wait_Comm_Input.
    std::lock_guard<std::mutex> guard(port->lock);
    port->timeouts = timeouts;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

namespace {
bool Set_Mask(Comm_Port* port, uint32_t mask) {
    if (!port) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    std::lock_guard<std::mutex> guard(port->lock);
    port->mask = mask;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}
}  // namespace

bool Set_Comm_Mask(int32_t handle, uint32_t mask) {
    auto port = Comm_Port_Of(handle);
    return port && Set_Mask(port.get(), mask);
}

bool Get_Comm_Mask(int32_t handle, uint32_t& mask) {
    auto port = Comm_Port_Of(handle);
    if (!port) return false;
    std::lock_guard<std::mutex> guard(port->lock);
    mask = port->mask;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Clear_Comm_Error(int32_t handle, uint32_t* errors, COMSTAT* status) {
    auto port = Comm_Port_Of(handle);
    return port && serial_os::Clear_Error(port.get(), errors, status, true);
}

bool Read_Comm(int32_t handle, std::string& out, uint32_t capacity) {
    out.clear();
    auto port = Comm_Port_Of(handle);
    return port && serial_os::Read(port.get(), out, capacity);
}

bool Write_Comm(int32_t handle, const std::string& data, uint32_t* written, uint32_t timeout_ms) {
    if (written) *written = 0;
    auto port = Comm_Port_Of(handle);
    return port && serial_os::Write(port.get(), data, written, timeout_ms, MAXDWORD);
}

bool Send_Comm_Break(int32_t handle) {
    auto port = Comm_Port_Of(handle);
    return port && serial_os::Send_Break(*port);
}

Comm_Line::Comm_Line(int32_t handle) : port_(Comm_Port_Of(handle)) {}

bool Comm_Line::Set_Mask(uint32_t mask) const {
    return platform::Set_Mask(As_Port(port_), mask);
}

bool Comm_Line::Clear_Error(uint32_t* errors, COMSTAT* status) const {
    return serial_os::Clear_Error(As_Port(port_), errors, status, false);
}

bool Comm_Line::Read(std::string& out, uint32_t capacity) const {
    return serial_os::Read(As_Port(port_), out, capacity);
}

bool Comm_Line::Write(const std::string& data, uint32_t* written, uint32_t timeout_ms,
                      uint32_t stall_ms) const {
    return serial_os::Write(As_Port(port_), data, written, timeout_ms, stall_ms);
}

void Note_Output_Left(Comm_Port& port, int64_t left) {
    int64_t taken = port.written - left;
    if (taken > port.taken_seen) {
        port.taken_seen = taken;
        port.taken_moved_ms = Tick_Count_Ms();
    }
}

bool Comm_Line::Drain(uint32_t stall_ms, int64_t* left) const {
    if (left) *left = 0;
    Comm_Port* port = As_Port(port_);
    if (!port) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    // The line last moved when it was last seen taking bytes (a write's wait looks), or when
    // the driver last took bytes at once; else now.
    int64_t moved_ms = std::max<int64_t>(port->taken_moved_ms, port->free_write_ms);
    if (moved_ms < 0) moved_ms = Tick_Count_Ms();
    for (;;) {
        int64_t now_left = 0;
        if (!serial_os::Output_Left(*port, now_left)) return false;
        if (left) *left = now_left;
        Note_Output_Left(*port, now_left);
        if (now_left <= 0) {
            Set_Last_Error(ERROR_SUCCESS);
            return true;
        }
        const int64_t now = Tick_Count_Ms();
        moved_ms = std::max<int64_t>(moved_ms, port->taken_moved_ms);
        if (now - moved_ms >= int64_t(stall_ms)) {
            if (stall_ms > 0) port->stalled = true;
            Set_Last_Error(ERROR_TIMEOUT);
            return false;
        }
        // In slices, so a window's thread that waits here keeps working.
        Sleep_Ms(10);
    }
}

bool Comm_Line::Catch_Up_Peer() const {
    return port_ && serial_os::Catch_Up_Peer(*As_Port(port_));
}

Comm_Waiter::Comm_Waiter(int32_t handle, int32_t event) : port_(Comm_Port_Of(handle)) {
    if (event != 0) wake_ = Handle_Get_As<Wake_Event>(event);
    found_ = port_ && (event == 0 || wake_);
}

bool Comm_Waiter::Hung_Up() const {
    return port_ && As_Port(port_)->hung_up;
}

Comm_Wait Comm_Waiter::Wait(uint32_t timeout_ms) const {
    if (!found_) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return Comm_Wait::Failed;
    }
    Comm_Port& port = *As_Port(port_);
    if (port.hung_up) {
        Set_Last_Error(ERROR_DEVICE_NOT_CONNECTED);
        return Comm_Wait::Hung_Up;
    }
    return serial_os::Wait(port, static_cast<const Wake_Event*>(wake_.get()), timeout_ms);
}

Comm_Wait Wait_Comm_Input(int32_t handle, int32_t event, uint32_t timeout_ms) {
    return Comm_Waiter(handle, event).Wait(timeout_ms);
}

bool Comm_Hung_Up(int32_t handle) {
    auto port = Handle_Get_As<Comm_Port>(handle);
    return port && port->hung_up;
}

}  // namespace kdx::platform
