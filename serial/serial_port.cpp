#include "serial/serial_port.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/os/thread.h"
#include "platform/ports/serial.h"
#include "serial/echo.h"
#include "trace/trace.h"

namespace kdx {

using namespace platform;

Serial_Port_State_Record Serial_Port_State;

namespace {

// A drain stops after this many bytes even while more keep coming, so a line that never
// goes quiet cannot hold an open or a read for ever; the rest waits for the next read.
constexpr size_t Drain_Limit = 64 * 1024;

// The receive poller's stack. Its work (a read, the echo, a fault query) needs far less; the
// system's default would reserve 8 MB for each open port.
constexpr size_t Poller_Stack_Bytes = 0x100000;

// Held from a drain to the echo of what it took: the poller and a caller's own read (every
// write drains first) may both be at the line, and the received echo must keep the bytes'
// order. Recursive, as a sink applied during the echo may read again on the same thread.
std::recursive_mutex read_order_lock;

bool Echo_Wanted(const int32_t* echo) {
    return echo == nullptr || *echo == 1;
}

// A text's own bound on waiting for the driver; a long block of bytes gets twice its wire
// time at the port's rate on top, so a slow line can take a whole file. A line that takes no
// byte for Write_Stall_Ms ends any write: the device has stopped reading.
constexpr uint32_t Write_Wait_Ms = 5000;
constexpr uint32_t Write_Stall_Ms = 5000;

// Serial_Port_Read on a line already looked up (null: look the handle up).
std::string Read_On(const Comm_Line* known, int32_t& handle, const int32_t* echo);

// Reads what the driver has queued, all that is waiting in one read each time, until a status
// query finds nothing waiting. Zero bytes are kept with the bytes after them. waiting: the
// count a status query has just given (0: query first).
std::string Drain(const Comm_Line& line, trace::Frame& frame, uint32_t waiting = 0) {
    std::string result;
    std::string piece;
    while (result.size() < Drain_Limit) {
        COMSTAT status{};
        status.cbInQue = waiting;
        waiting = 0;
        uint32_t errors = 0;
        if (status.cbInQue == 0 && !line.Clear_Error(&errors, &status)) {
            frame.check();
            break;
        }
        if (status.cbInQue == 0) break;
        uint32_t room = uint32_t(Drain_Limit - result.size());
        if (!line.Read(piece, std::min(status.cbInQue, room))) {
            frame.check();
            break;
        }
        if (piece.empty()) break;  // another reader took the bytes first
        if (result.empty())
            result.swap(piece);
        else
            result += piece;
    }
    return result;
}

struct Poller_Object final : Handle_Object {
    int32_t port = 0;
    int32_t wake = 0;
    platform::Thread thread;
    std::mutex lock;
    std::condition_variable changed;
    int pause_count = 0;  // pauses nest; each is matched by one resume
    bool parked = false;  // acknowledged a pause: outside any read, waiting
    bool stop = false;
    bool ended = false;

    ~Poller_Object() override {
        Stop();
        if (wake) Close_Handle(wake);
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> guard(lock);
            stop = true;
        }
        changed.notify_all();
        if (wake) Set_Wake_Event(wake);
        if (!thread.Joinable()) return;
        if (thread.Is_Current())
            thread.Detach();
        else
            thread.Join();
    }
};

// A poller stopped from its own thread (the port closed by an echo its read applied) cannot be
// joined: its object is kept here until its loop has ended, not freed under it.
thread_local std::shared_ptr<Poller_Object> stopped_self;
// The poller whose loop runs on this thread.
thread_local Poller_Object* running_poller = nullptr;

std::mutex pollers_lock;
std::vector<std::pair<int32_t, int32_t>> pollers;  // (poller handle, port handle)

std::atomic<int> watch_fd{-1};
std::atomic<void (*)(int32_t)> hang_up_hook{nullptr};
std::atomic<void (*)(int32_t&)> fault_query{nullptr};

void Poller_Ended(Poller_Object& self) {
    {
        std::lock_guard<std::mutex> guard(self.lock);
        self.ended = true;
        self.parked = false;
        self.changed.notify_all();
    }
    Serial_Port_Watch_Notify();
}

void Serial_Port_Poll(Poller_Object* self) {
    running_poller = self;
    int32_t handle = self->port;
    KDX_FRAME("Serial_Port_Poll", handle);
    bool hung_up = false;
    // What escapes a read (a sink that fails while its echo is applied) ends the poller as a
    // failed line does, never the process.
    auto escaped = [&] {
        kdx_frame.comment("an error escaped the read: poller ended");
        hung_up = true;
    };
    try {
        // Looked up once: the port outlives its poller (a close stops the poller first).
        const Comm_Line line(handle);
        const Comm_Waiter waiter(handle, self->wake);
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(self->lock);
                if (self->pause_count > 0 && !self->stop) {
                    self->parked = true;
                    self->changed.notify_all();
                    self->changed.wait(guard, [&] { return self->pause_count == 0 || self->stop; });
                    self->parked = false;
                }
                if (self->stop) break;
            }
            Comm_Wait got = waiter.Wait(MAXDWORD);
            if (got == Comm_Wait::Woken) {
                Reset_Wake_Event(self->wake);
                continue;
            }
            if (got == Comm_Wait::Hung_Up || got == Comm_Wait::Failed) {
                // Traced once; a dead line is never queried again.
                kdx_frame.check();
                kdx_frame.comment("the port hung up or failed: poller ended");
                hung_up = true;
                break;
            }
            if (got != Comm_Wait::Input) continue;
            {
                std::lock_guard<std::mutex> guard(self->lock);
                if (self->pause_count > 0 || self->stop) continue;
            }
            int32_t port = handle;
            Read_On(&line, port, nullptr);
            if (waiter.Hung_Up()) {
                Set_Last_Error(ERROR_DEVICE_NOT_CONNECTED);
                kdx_frame.check();
                kdx_frame.comment("the port hung up: poller ended");
                hung_up = true;
                break;
            }
        }
    } catch (const std::exception& e) {
        platform::Report_Caught_Error("the receive poller", e);
        escaped();
    } catch (...) {
        platform::Report_Caught_Error("the receive poller");
        escaped();
    }
    Poller_Ended(*self);
    if (auto hook = hang_up_hook.load(); hung_up && hook) hook(handle);
    running_poller = nullptr;
    stopped_self.reset();
}

void Stop_Pollers_Of(int32_t port) {
    std::vector<int32_t> stopping;
    {
        std::lock_guard<std::mutex> guard(pollers_lock);
        for (auto it = pollers.begin(); it != pollers.end();) {
            if (it->second == port) {
                stopping.push_back(it->first);
                it = pollers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (int32_t poller : stopping) {
        if (auto object = Handle_Get_As<Poller_Object>(poller)) {
            if (object.get() == running_poller) stopped_self = object;
            object->Stop();
        }
        Close_Handle(poller);
        if (Serial_Port_State.Poller == poller) Serial_Port_State.Poller = 0;
    }
}

}  // namespace

int32_t Serial_Port_Open(int32_t& number, int32_t& baud) {
    KDX_FRAME("Serial_Port_Open", number, baud);
    if (number == 0) return kdx_frame.result(int32_t(0));
    std::string name = Comm_Device_Name(number);
    if (name.empty()) {
        ErrCheck_Comment("COM" + std::to_string(number) +
                         " refused: port numbers run from 1 to 999\r\n");
        Set_Last_Error(ERROR_INVALID_NAME);
        kdx_frame.check();
        return kdx_frame.result(INVALID_HANDLE_VALUE);
    }
    int32_t handle = Comm_Open(name);
    bool permission = Comm_Open_Denied_By_Permission();
    kdx_frame.check();
    if (handle == INVALID_HANDLE_VALUE) {
        if (permission)
            kdx_frame.comment(
                "permission denied: the user is probably not in the dialout group "
                "(sudo usermod -aG dialout $USER, then log in again)");
        return kdx_frame.result(handle);
    }
    Serial_Port_DCB(handle, baud);
    COMMTIMEOUTS record{};
    Serial_Port_Timeouts(handle, record);
    Serial_Port_Clear(handle);
    Serial_Port_Echo_Status("COM" + std::to_string(number) + " Open\r");
    return kdx_frame.result(handle);
}

int32_t Serial_Port_Open_Failure_Cause(uint32_t code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_DEV_NOT_EXIST:
            return Open_No_Such_Port;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return Comm_Open_Denied_By_Permission() ? Open_No_Permission : Open_Held;
        case ERROR_NOT_SUPPORTED:
            return Open_Not_Serial;
        default:
            return Open_Failed;
    }
}

int32_t Serial_Port_DCB(int32_t& handle, int32_t& baud) {
    KDX_FRAME("Serial_Port_DCB", handle, baud);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    Get_Comm_State(handle, dcb);
    kdx_frame.check();
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = uint32_t(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    bool ok = Set_Comm_State(handle, dcb);
    kdx_frame.check();
    return kdx_frame.result(int32_t(ok ? 1 : 0));
}

int32_t Serial_Port_Timeouts(int32_t& handle, COMMTIMEOUTS& record) {
    KDX_FRAME("Serial_Port_Timeouts", handle);
    if (handle == INVALID_HANDLE_VALUE) return kdx_frame.result(int32_t(0));
    record.ReadIntervalTimeout = MAXDWORD;
    record.ReadTotalTimeoutMultiplier = 0;
    record.ReadTotalTimeoutConstant = 0;
    record.WriteTotalTimeoutMultiplier = 0;
    record.WriteTotalTimeoutConstant = 0;
    bool ok = Set_Comm_Timeouts(handle, record);
    kdx_frame.check();
    return kdx_frame.result(int32_t(ok ? 1 : 0));
}

std::string Serial_Port_Clear(int32_t& handle) {
    KDX_FRAME("Serial_Port_Clear", handle);
    if (!Handle_Usable(handle)) return kdx_frame.result(std::string());
    Set_Comm_Mask(handle, EV_RXCHAR | EV_ERR);
    kdx_frame.check();
    // What the line sent before the open has usually arrived already; give a late byte 10 ms.
    if (Wait_Comm_Input(handle, 0, 10) == Comm_Wait::Failed) kdx_frame.check();
    std::string result;
    {
        std::lock_guard<std::recursive_mutex> order(read_order_lock);
        result = Drain(Comm_Line(handle), kdx_frame);
        if (!result.empty()) Serial_Port_Echo_Received(result);
    }
    return kdx_frame.result(result);
}

int32_t Serial_Port_Close(int32_t& handle) {
    KDX_FRAME("Serial_Port_Close", handle);
    if (Handle_Usable(handle)) {
        // The port's poller ends before its handle can be reused by a later open.
        Stop_Pollers_Of(handle);
        Close_Handle(handle);
    }
    // A handle closed before is no error: the status echo's own check must not take the
    // close's "invalid handle" for its own and pause on it.
    Set_Last_Error(ERROR_SUCCESS);
    Serial_Port_Echo_Status("Port Closed\r");
    Set_Last_Error(ERROR_SUCCESS);
    handle = 0;
    return kdx_frame.result(int32_t(0));
}

int32_t Serial_Port_Guess_Exist(int32_t& number) {
    KDX_FRAME("Serial_Port_Guess_Exist", number);
    int32_t handle = Comm_Open(Comm_Device_Name(number));
    kdx_frame.check();
    return kdx_frame.result(handle);
}

namespace {

// The write after the pre-read: sent goes out as it is, within timeout_ms. Returns what the
// driver took, which is all of it unless the line hung up, failed or stopped taking bytes
// (the last error then says which).
std::string Write_After_Pre_Read(int32_t& handle, const std::string& sent, const int32_t* echo,
                                 uint32_t timeout_ms, trace::Frame& frame) {
    const Comm_Line line(handle);
    Read_On(&line, handle, nullptr);
    line.Set_Mask(EV_TXEMPTY);
    frame.check();
    uint32_t written = 0;
    uint32_t error = 0;
    {
        // The echo shows what the driver took, never what it did not (a hang-up, a device that
        // stopped reading). It is made once the bytes are out, so the command reaches the line
        // without waiting for the terminal; the read-order lock keeps a reply that another
        // thread takes meanwhile from being shown ahead of its command.
        std::lock_guard<std::recursive_mutex> order(read_order_lock);
        Echo_Hold hold;
        line.Write(sent, &written, timeout_ms, Write_Stall_Ms);
        error = Get_Last_Error();
        frame.check();
        if (Echo_Wanted(echo) && (written > 0 || sent.empty()))
            Serial_Port_Echo_Sent(sent.substr(0, written));
    }
    Set_Last_Error(error);
    return written == sent.size() ? sent : sent.substr(0, written);
}

uint32_t Write_Wait_For(int32_t handle, size_t bytes) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    uint32_t baud = Get_Comm_State(handle, dcb) && dcb.BaudRate > 0 ? dcb.BaudRate : 300;
    uint64_t wire_ms = uint64_t(bytes) * 10 * 1000 / baud;
    return uint32_t(std::min<uint64_t>(Write_Wait_Ms + 2 * wire_ms, MAXDWORD - 1));
}

}  // namespace

std::string Serial_Port_Write(int32_t& handle, const std::string& text, const int32_t* echo) {
    KDX_FRAME("Serial_Port_Write", handle, text, echo);
    if (!Handle_Usable(handle)) return kdx_frame.result(std::string());
    // The text is a zero-terminated buffer: only the bytes before its first zero byte go out.
    std::string sent = text.substr(0, text.find('\0'));
    return kdx_frame.result(Write_After_Pre_Read(handle, sent, echo, Write_Wait_Ms, kdx_frame));
}

std::string Serial_Port_Write_Bytes(int32_t& handle, const std::string& bytes,
                                    const int32_t* echo) {
    KDX_FRAME("Serial_Port_Write_Bytes", handle, bytes.size(), echo);
    if (!Handle_Usable(handle)) return kdx_frame.result(std::string());
    uint32_t wait_ms = Write_Wait_For(handle, bytes.size());
    std::string sent = Write_After_Pre_Read(handle, bytes, echo, wait_ms, kdx_frame);
    kdx_frame.result(sent.size());
    return sent;
}

bool Serial_Port_Drain(int32_t& handle, int64_t& left, bool wait) {
    KDX_FRAME("Serial_Port_Drain", handle);
    left = 0;
    if (!Handle_Usable(handle)) return kdx_frame.result(int32_t(1)) != 0;
    bool drained = Comm_Line(handle).Drain(wait ? Write_Stall_Ms : 0, &left);
    const uint32_t error = Get_Last_Error();
    kdx_frame.check();
    if (!drained) kdx_frame.comment(std::to_string(left) + " bytes never taken");
    kdx_frame.result(int32_t(drained ? 1 : 0));
    Set_Last_Error(error);
    return drained;
}

std::string Serial_Port_Read(int32_t& handle, const int32_t* echo) {
    return Read_On(nullptr, handle, echo);
}

namespace {

std::string Read_On(const Comm_Line* known, int32_t& handle, const int32_t* echo) {
    KDX_FRAME("Serial_Port_Read", handle, echo);
    if (!Handle_Usable(handle)) return kdx_frame.result(std::string());
    const Comm_Line line = known ? *known : Comm_Line(handle);
    line.Set_Mask(EV_RXCHAR | EV_ERR);
    kdx_frame.check();
    uint32_t waiting = 0;
    // A caller's read (not a write's pre-read nor the poller's) that finds nothing on a
    // pseudo-terminal looks once more after its other end has answered: on a busy machine
    // that end may not have run yet, where a controller on a wire would have answered.
    bool peer_asked = known != nullptr;
    for (int attempt = 0; attempt < 10; ++attempt) {
        uint32_t errors = 0;
        COMSTAT status{};
        if (!line.Clear_Error(&errors, &status)) {
            kdx_frame.check();
            break;
        }
        waiting = status.cbInQue;
        if (waiting > 0) break;
        if (attempt == 9 && !peer_asked) {
            peer_asked = true;
            if (line.Catch_Up_Peer()) --attempt;
        }
    }
    std::string result;
    {
        std::lock_guard<std::recursive_mutex> order(read_order_lock);
        // The count just queried starts the drain: asking again at once would tell nothing new.
        result = Drain(line, kdx_frame, waiting);
        if (Echo_Wanted(echo) && !result.empty()) Serial_Port_Echo_Received(result);
    }
    if (auto query = fault_query.load(); query && result.find('?') != std::string::npos) {
        query(handle);
    }
    return kdx_frame.result(result);
}

}  // namespace

uint32_t Serial_Port_Wire_Ms(int32_t handle, size_t bytes) {
    platform::DCB dcb{};
    if (!platform::Get_Comm_State(handle, dcb) || dcb.BaudRate == 0) return 0;
    uint64_t bits = uint64_t(bytes) * 10;
    return uint32_t((bits * 1000 + dcb.BaudRate - 1) / dcb.BaudRate);
}

bool Serial_Port_Wait_Input(int32_t handle, uint32_t timeout_ms) {
    KDX_FRAME("Serial_Port_Wait_Input", handle, timeout_ms);
    if (!Handle_Usable(handle)) return kdx_frame.result(false);
    Comm_Wait got;
    if (!platform::Sleep_Hook_Here()) {
        got = Wait_Comm_Input(handle, 0, timeout_ms);
    } else {
        // A window's thread: wait in slices and let the window work between them. A byte
        // that comes during a slice still ends the wait at once.
        constexpr uint32_t Slice_Ms = 20;
        const int64_t deadline = platform::Tick_Count_Ms() + timeout_ms;
        for (;;) {
            int64_t left = deadline - platform::Tick_Count_Ms();
            got = Wait_Comm_Input(handle, 0, uint32_t(std::clamp<int64_t>(left, 0, Slice_Ms)));
            if (got != Comm_Wait::Timeout || left <= int64_t(Slice_Ms)) break;
            platform::Sleep_Ms(0);
        }
        // A controller that answers every query at once never lets a slice run out: the
        // window still gets a turn 20 times a second (to be closed during a long test, to
        // paint), which costs a fast exchange little.
        platform::Sleep_Hook_Turn(50);
    }
    if (got == Comm_Wait::Failed || got == Comm_Wait::Hung_Up) kdx_frame.check();
    return kdx_frame.result(got == Comm_Wait::Input);
}

int32_t Serial_Port_Poller_Start(int32_t handle) {
    KDX_FRAME("Serial_Port_Poller_Start", handle);
    uint32_t mask = 0;
    if (!Handle_Usable(handle) || !Get_Comm_Mask(handle, mask)) return kdx_frame.result(0);
    // One poller per port: a second start replaces the first.
    Stop_Pollers_Of(handle);
    auto object = std::make_shared<Poller_Object>();
    object->port = handle;
    object->wake = Create_Wake_Event();
    kdx_frame.check();
    if (!Handle_Usable(object->wake)) return kdx_frame.result(0);
    Poller_Object* self = object.get();
    if (!object->thread.Start([self] { Serial_Port_Poll(self); }, Poller_Stack_Bytes)) {
        kdx_frame.check();
        return kdx_frame.result(0);
    }
    int32_t poller = Handle_Insert(object);
    {
        std::lock_guard<std::mutex> guard(pollers_lock);
        pollers.emplace_back(poller, handle);
    }
    return kdx_frame.result(poller);
}

void Serial_Port_Poller_Pause(int32_t poller) {
    KDX_FRAME("Serial_Port_Poller_Pause", poller);
    if (poller == 0) return;
    auto self = Handle_Get_As<Poller_Object>(poller);
    if (!self || self->thread.Is_Current()) return;
    std::unique_lock<std::mutex> guard(self->lock);
    ++self->pause_count;
    Set_Wake_Event(self->wake);
    self->changed.wait(guard, [&] { return self->parked || self->ended; });
}

void Serial_Port_Poller_Resume(int32_t poller) {
    KDX_FRAME("Serial_Port_Poller_Resume", poller);
    if (poller == 0) return;
    auto self = Handle_Get_As<Poller_Object>(poller);
    if (!self || self->thread.Is_Current()) return;
    {
        std::lock_guard<std::mutex> guard(self->lock);
        if (self->pause_count > 0) --self->pause_count;
    }
    self->changed.notify_all();
}

bool Serial_Port_On_Poller_Thread() {
    return running_poller != nullptr;
}

void Serial_Port_Watch(int fd) {
    watch_fd.store(fd);
}

void Serial_Port_Watch_Notify() {
    int fd = watch_fd.load();
    if (fd < 0) return;
    // A full pipe already wakes its reader; the caller's error code stays its own.
    uint32_t error = Get_Last_Error();
    platform::Write_Descriptor(fd, "!");
    Set_Last_Error(error);
}

bool Serial_Port_Poller_Running(int32_t poller) {
    if (poller == 0) return false;
    auto self = Handle_Get_As<Poller_Object>(poller);
    if (!self) return false;
    std::lock_guard<std::mutex> guard(self->lock);
    return !self->ended;
}

void Serial_Port_Set_Hang_Up_Hook(void (*hook)(int32_t port)) {
    hang_up_hook.store(hook);
}

void Serial_Port_Set_Fault_Query(void (*query)(int32_t& handle)) {
    fault_query.store(query);
}

Poller_Pause::Poller_Pause(int32_t poller) : poller_(poller) {
    Serial_Port_Poller_Pause(poller_);
}

Poller_Pause::~Poller_Pause() {
    Serial_Port_Poller_Resume(poller_);
}

}  // namespace kdx
