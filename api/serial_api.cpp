#include <memory>
#include <mutex>

#include "api/api_util.h"
#include "files/port_log.h"
#include "platform/os/error.h"
#include "platform/os/system.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/serial.h"
#include "protocol/kdx_fault.h"
#include "serial/echo.h"
#include "serial/serial_port.h"

using kdx::api::Guard;
using kdx::api::Keep;
using kdx::api::Ref;
using kdx::api::Text;

// The C codes are the causes' own numbers.
static_assert(int(kdx::Open_No_Such_Port) == int(KDX_OPEN_NO_SUCH_PORT) &&
              int(kdx::Open_Held) == int(KDX_OPEN_HELD) &&
              int(kdx::Open_No_Permission) == int(KDX_OPEN_NO_PERMISSION) &&
              int(kdx::Open_Not_Serial) == int(KDX_OPEN_NOT_SERIAL) &&
              int(kdx::Open_Failed) == int(KDX_OPEN_FAILED));

namespace {

thread_local int32_t last_read_length = 0;
thread_local int32_t last_open_failure = KDX_OPEN_OK;
thread_local int32_t last_open_error = 0;

std::mutex terminal_lock;
std::unique_ptr<kdx::Echo_Terminal_Sink> terminal_sink;

}  // namespace

KDX_API int32_t Serial_Port_Open(int32_t* number, int32_t* baud) {
    return Guard<int32_t>(-1, [&] {
        Ref n(number);
        Ref b(baud);
        last_open_failure = KDX_OPEN_FAILED;
        last_open_error = 0;
        int32_t handle = kdx::Serial_Port_Open(n.value, b.value);
        if (handle == 0 || handle == -1) {
            // Port 0 makes no call: it names no port.
            uint32_t code = n.value == 0 ? kdx::platform::ERROR_FILE_NOT_FOUND
                                         : kdx::platform::Get_Last_Error();
            last_open_error = int32_t(code);
            last_open_failure = kdx::Serial_Port_Open_Failure_Cause(code);
        } else {
            last_open_failure = KDX_OPEN_OK;
        }
        return handle;
    });
}

KDX_API int32_t Serial_Port_Open_Failure(int32_t* error) {
    if (error) *error = last_open_error;
    return last_open_failure;
}

KDX_API int32_t Serial_Port_DCB(int32_t* handle, int32_t* baud) {
    return Guard<int32_t>(0, [&] {
        Ref h(handle);
        Ref b(baud);
        return kdx::Serial_Port_DCB(h.value, b.value);
    });
}

KDX_API int32_t Serial_Port_Timeouts(int32_t* handle, KDX_Comm_Timeouts* record) {
    return Guard<int32_t>(0, [&] {
        Ref h(handle);
        kdx::platform::COMMTIMEOUTS t{};
        if (record) {
            t.ReadIntervalTimeout = record->ReadIntervalTimeout;
            t.ReadTotalTimeoutMultiplier = record->ReadTotalTimeoutMultiplier;
            t.ReadTotalTimeoutConstant = record->ReadTotalTimeoutConstant;
            t.WriteTotalTimeoutMultiplier = record->WriteTotalTimeoutMultiplier;
            t.WriteTotalTimeoutConstant = record->WriteTotalTimeoutConstant;
        }
        int32_t r = kdx::Serial_Port_Timeouts(h.value, t);
        if (record && r) {
            record->ReadIntervalTimeout = t.ReadIntervalTimeout;
            record->ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
            record->ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
            record->WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
            record->WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
        }
        return r;
    });
}

KDX_API const char* Serial_Port_Clear(int32_t* handle) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        Ref h(handle);
        return Keep(slot, kdx::Serial_Port_Clear(h.value));
    });
}

KDX_API int32_t Serial_Port_Close(int32_t* handle) {
    return Guard<int32_t>(0, [&] {
        Ref h(handle);
        return kdx::Serial_Port_Close(h.value);
    });
}

KDX_API int32_t Serial_Port_Guess_Exist(int32_t* number) {
    return Guard<int32_t>(-1, [&] {
        Ref n(number);
        return kdx::Serial_Port_Guess_Exist(n.value);
    });
}

KDX_API const char* Serial_Port_Write(int32_t* handle, const char* text, const int32_t* echo) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        Ref h(handle);
        return Keep(slot, kdx::Serial_Port_Write(h.value, Text(text), echo));
    });
}

KDX_API const char* Serial_Port_Read(int32_t* handle, const int32_t* echo) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        Ref h(handle);
        std::string r = kdx::Serial_Port_Read(h.value, echo);
        last_read_length = int32_t(r.size());
        return Keep(slot, std::move(r));
    });
}

KDX_API int32_t Serial_Port_Read_Length(void) {
    return last_read_length;
}

KDX_API int32_t Serial_Port_Wait_Input(int32_t handle, uint32_t timeout_ms) {
    return Guard<int32_t>(0,
                          [&] { return kdx::Serial_Port_Wait_Input(handle, timeout_ms) ? 1 : 0; });
}

KDX_API int32_t Serial_Port_Poller_Start(int32_t handle) {
    return Guard<int32_t>(0, [&] { return kdx::Serial_Port_Poller_Start(handle); });
}

KDX_API int32_t Serial_Port_Poller_Pause(int32_t poller) {
    return Guard<int32_t>(0, [&] {
        kdx::Serial_Port_Poller_Pause(poller);
        return 0;
    });
}

KDX_API int32_t Serial_Port_Poller_Resume(int32_t poller) {
    return Guard<int32_t>(0, [&] {
        kdx::Serial_Port_Poller_Resume(poller);
        return 0;
    });
}

KDX_API int32_t Serial_Port_Poller_Running(int32_t poller) {
    return Guard<int32_t>(0, [&] { return kdx::Serial_Port_Poller_Running(poller) ? 1 : 0; });
}

namespace {
thread_local std::string break_failure;
}

KDX_API int32_t Serial_Port_Break(int32_t* handle) {
    return Guard<int32_t>(0, [&] {
        int32_t h = handle ? *handle : 0;
        if (h == 0 || h == -1) {
            break_failure = "no port is open";
            return 0;
        }
        if (kdx::platform::Send_Comm_Break(h)) {
            break_failure.clear();
            return 1;
        }
        uint32_t code = kdx::platform::Get_Last_Error();
        break_failure = code == kdx::platform::ERROR_NOT_SUPPORTED
                            ? "a pseudo-terminal has no break"
                            : kdx::platform::System_Message_Text(code);
        return 0;
    });
}

KDX_API const char* Serial_Port_Break_Failure(void) {
    return break_failure.c_str();
}

KDX_API int32_t Serial_Port_Watch(int32_t fd) {
    return Guard<int32_t>(0, [&] {
        kdx::Serial_Port_Watch(fd < 0 ? -1 : fd);
        return 1;
    });
}

KDX_API int32_t Serial_Port_State_Get(KDX_Serial_Port_State* state) {
    return Guard<int32_t>(0, [&] {
        if (!state) return 0;
        const auto& s = kdx::Serial_Port_State;
        state->Handle = s.Handle;
        state->Number = s.Number;
        kdx::api::Copy_Out(state->Name, sizeof state->Name, s.Name);
        state->Baud = s.Baud;
        state->Poller = s.Poller;
        return 1;
    });
}

KDX_API int32_t Serial_Port_State_Set(const KDX_Serial_Port_State* state) {
    return Guard<int32_t>(0, [&] {
        if (!state) return 0;
        auto& s = kdx::Serial_Port_State;
        s.Handle = state->Handle;
        s.Number = state->Number;
        s.Name = std::string(state->Name, strnlen(state->Name, sizeof state->Name)).substr(0, 5);
        s.Baud = state->Baud;
        s.Poller = state->Poller;
        return 1;
    });
}

KDX_API int32_t Serial_Port_Echo_Sent(const char* text) {
    return Guard<int32_t>(0, [&] { return kdx::Serial_Port_Echo_Sent(Text(text)); });
}

KDX_API int32_t Serial_Port_Echo_Status(const char* text) {
    return Guard<int32_t>(0, [&] { return kdx::Serial_Port_Echo_Status(Text(text)); });
}

KDX_API int32_t Serial_Port_Echo_Received(const char* text) {
    return Guard<int32_t>(0, [&] { return kdx::Serial_Port_Echo_Received(Text(text)); });
}

KDX_API int32_t Serial_Echo_Terminal(int32_t fd, int32_t colour, int32_t crlf) {
    return Guard<int32_t>(0, [&] {
        std::lock_guard<std::mutex> guard(terminal_lock);
        if (fd < 0) {
            kdx::Echo_Set_Sink(nullptr);
            terminal_sink.reset();
            return 1;
        }
        // NO_COLOR, when set, turns colour off whatever the caller asked for.
        bool coloured = colour != 0 && kdx::platform::Environment("NO_COLOR").empty();
        auto sink = std::make_unique<kdx::Echo_Terminal_Sink>(fd, coloured, crlf != 0);
        kdx::Echo_Set_Sink(sink.get());
        terminal_sink = std::move(sink);
        return 1;
    });
}

KDX_API int32_t Serial_Echo_Terminal_Hold(int32_t ms) {
    return Guard<int32_t>(0, [&] {
        std::lock_guard<std::mutex> guard(terminal_lock);
        if (!terminal_sink) return 0;
        terminal_sink->Hold_Sent(ms);
        return 1;
    });
}

KDX_API int32_t Serial_Echo_Terminal_Flush(int32_t all) {
    return Guard<int32_t>(-1, [&] {
        std::lock_guard<std::mutex> guard(terminal_lock);
        return terminal_sink ? int32_t(terminal_sink->Flush(all != 0)) : -1;
    });
}

KDX_API int32_t Serial_Echo_Terminal_Options(int32_t flags, int32_t copy_fd) {
    return Guard<int32_t>(0, [&] {
        std::lock_guard<std::mutex> guard(terminal_lock);
        if (!terminal_sink) return 0;
        kdx::Echo_Terminal_Options options;
        options.timestamps = (flags & (KDX_ECHO_TIMESTAMPS | KDX_ECHO_TIMESTAMPS_DELTA)) != 0;
        options.delta = (flags & KDX_ECHO_TIMESTAMPS_DELTA) != 0;
        options.hex = (flags & KDX_ECHO_HEX) != 0;
        options.own_lines = (flags & KDX_ECHO_OWN_LINES) != 0;
        options.mark_sent = (flags & KDX_ECHO_MARK_SENT) != 0;
        options.hide_sent = (flags & KDX_ECHO_HIDE_SENT) != 0;
        options.copy_fd = copy_fd;
        terminal_sink->Set_Options(options);
        return 1;
    });
}

KDX_API const char* Serial_Echo_Terminal_Copy_Error(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        std::lock_guard<std::mutex> guard(terminal_lock);
        return Keep(slot, terminal_sink ? terminal_sink->Copy_Error() : std::string());
    });
}

KDX_API int32_t Serial_Echo_Terminal_Note(const char* text) {
    return Guard<int32_t>(0, [&] {
        std::lock_guard<std::mutex> guard(terminal_lock);
        if (!terminal_sink) return 0;
        terminal_sink->Note(Text(text));
        return 1;
    });
}

KDX_API int32_t Serial_Port_Log_Switch(int32_t on) {
    return Guard<int32_t>(0, [&] {
        if (on && kdx::Port_Log_File == 0)
            kdx::Port_Log_Open();
        else if (!on && kdx::Port_Log_File != 0)
            kdx::Port_Log_Close();
        return kdx::Port_Log_File.load();
    });
}

KDX_API const char* Serial_Ports_Directory(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::platform::Ports_Directory()); });
}

KDX_API const char* Serial_Ports_Directory_Problem(void) {
    static thread_local std::string slot;
    return Guard<const char*>("",
                              [&] { return Keep(slot, kdx::platform::Ports_Directory_Problem()); });
}

KDX_API const char* KDX_Error_Check(int32_t* handle) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        Ref h(handle);
        return Keep(slot, kdx::KDX_Error_Check(h.value));
    });
}

KDX_API const char* KDX_Current_Error_Check(int32_t* handle) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        Ref h(handle);
        return Keep(slot, kdx::KDX_Current_Error_Check(h.value));
    });
}
