// The Windows serial backend over a driver of the test's own, put in at the backend's seam
// (platform/ports/serial_win32.h): what neither Wine's pseudo-terminal ports nor a machine
// without adapters shows, tried on every run. The port is the client end of a named pipe, so
// reads, writes and cancels are the system's own; the double adds what a communications
// driver keeps (its line settings, its queue count, its events) and what a device does (a
// driver that finishes nothing, an exclusive open, an adapter pulled out).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/ports/serial.h"
#include "protocol/kdx.h"
#include "serial/echo.h"
#include "serial/serial_port.h"
#include "tests/support/echo_capture.h"
#include "tests/support/serial_fixture.h"

#include "platform/ports/serial_win32.h"

namespace kdx::platform {
namespace {

constexpr ULONG_PTR Status_Pending = 0x103;
constexpr ULONG_PTR Status_Cancelled = 0xC0000120;
constexpr ULONG_PTR Status_Access_Denied = 0xC0000022;

class Driver_Double;
Driver_Double* driver = nullptr;

// The driver of the ports "\\.\COM<n>" while it lives; any other name is the system's.
class Driver_Double {
  public:
    std::atomic<DWORD> phantom{0};       // bytes the status query adds to those waiting
    std::atomic<bool> cancels{true};     // false: a driver that ignores every cancel
    std::atomic<bool> unplugged{false};  // every call fails as for a pulled adapter
    std::atomic<int> opens{0};           // successful opens
    ::DCB settings{};                    // the line settings it keeps

    Driver_Double() {
        saved_ = win32::Comm_System_Calls();
        settings.DCBlength = sizeof settings;
        settings.BaudRate = 9600;
        settings.ByteSize = 8;
        settings.fOutxCtsFlow = 1;  // a driver's own defaults, which the open must clear
        settings.fOutX = 1;
        driver = this;
        auto& calls = win32::Comm_System_Calls();
        calls.Create_File = [](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                               DWORD how, DWORD flags, HANDLE templ) {
            return driver->Open(name, access, share, sa, how, flags, templ);
        };
        calls.Close_Handle = [](HANDLE h) { return driver->Close(h); };
        calls.Get_File_Type = [](HANDLE) -> DWORD { return FILE_TYPE_CHAR; };
        calls.Get_Comm_State = [](HANDLE, LPDCB dcb) {
            std::lock_guard<std::mutex> guard(driver->lock_);
            *dcb = driver->settings;
            return driver->Answer();
        };
        calls.Set_Comm_State = [](HANDLE, LPDCB dcb) {
            std::lock_guard<std::mutex> guard(driver->lock_);
            if (driver->unplugged) return driver->Answer();
            driver->settings = *dcb;
            return TRUE;
        };
        calls.Set_Comm_Timeouts = [](HANDLE, LPCOMMTIMEOUTS) { return driver->Answer(); };
        calls.Set_Comm_Mask = [](HANDLE, DWORD) { return driver->Answer(); };
        calls.Purge_Comm = [](HANDLE, DWORD) { return driver->Answer(); };
        calls.Clear_Comm_Error = [](HANDLE h, LPDWORD errors, LPCOMSTAT status) {
            if (errors) *errors = 0;
            DWORD waiting = 0;
            ::PeekNamedPipe(h, nullptr, 0, nullptr, &waiting, nullptr);
            if (status) {
                *status = ::COMSTAT{};
                status->cbInQue = waiting + driver->phantom;
            }
            return driver->Answer();
        };
        calls.Read_File = [](HANDLE h, LPVOID buffer, DWORD n, LPDWORD got, LPOVERLAPPED call) {
            return driver->unplugged ? driver->Answer()
                                     : driver->saved_.Read_File(h, buffer, n, got, call);
        };
        calls.Write_File = [](HANDLE h, LPCVOID data, DWORD n, LPDWORD put, LPOVERLAPPED call) {
            return driver->unplugged ? driver->Answer()
                                     : driver->saved_.Write_File(h, data, n, put, call);
        };
        // Events come only when the test says (Unplug); until then a wait is pending.
        calls.Wait_Comm_Event = [](HANDLE, LPDWORD events, LPOVERLAPPED call) {
            if (driver->unplugged) return driver->Answer();
            *events = 0;
            std::lock_guard<std::mutex> guard(driver->lock_);
            call->Internal = Status_Pending;
            driver->waiting_ = call;
            ::SetLastError(ERROR_IO_PENDING);
            return FALSE;
        };
        calls.Cancel_Io = [](HANDLE h, LPOVERLAPPED call) {
            if (!driver->cancels) return TRUE;  // said done, and nothing done
            if (driver->End_Wait(call, Status_Cancelled)) return TRUE;
            return driver->saved_.Cancel_Io(h, call);
        };
    }

    ~Driver_Double() {
        win32::Comm_System_Calls() = saved_;
        driver = nullptr;
        for (HANDLE server : servers_) ::CloseHandle(server);
    }

    // The adapter is pulled out: the pending wait ends, every call from now on fails.
    void Unplug() {
        unplugged = true;
        std::lock_guard<std::mutex> guard(lock_);
        End_Wait(waiting_, Status_Access_Denied);
    }

    // Bytes the device sends: into the pipe, with the event a pending wait gets for them.
    void Send(const std::string& bytes) {
        DWORD put = 0;
        ASSERT_TRUE(::WriteFile(servers_.back(), bytes.data(), DWORD(bytes.size()), &put, nullptr));
        std::lock_guard<std::mutex> guard(lock_);
        End_Wait(waiting_, 0);
    }

  private:
    HANDLE Open(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD how,
                DWORD flags, HANDLE templ) {
        std::wstring port = name;
        if (port.rfind(L"\\\\.\\COM", 0) != 0)
            return saved_.Create_File(name, access, share, sa, how, flags, templ);
        std::lock_guard<std::mutex> guard(lock_);
        // The port is held exclusively, by this program as by any other.
        for (const auto& [h, held] : open_)
            if (held == port) {
                ::SetLastError(ERROR_ACCESS_DENIED);
                return win32::System_Invalid;
            }
        static std::atomic<int> serial{0};
        std::wstring pipe = L"\\\\.\\pipe\\kdx-comm-double-" +
                            std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++serial);
        HANDLE server = ::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                           4096, 4096, 0, nullptr);
        if (server == win32::System_Invalid) return server;
        HANDLE client =
            saved_.Create_File(pipe.c_str(), access, 0, sa, OPEN_EXISTING, flags, templ);
        if (client == win32::System_Invalid) {
            ::CloseHandle(server);
            return client;
        }
        ::ConnectNamedPipe(server, nullptr);  // already connected: says so at once
        servers_.push_back(server);
        open_[client] = port;
        ++opens;
        return client;
    }

    BOOL Close(HANDLE h) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            open_.erase(h);
        }
        return saved_.Close_Handle(h);
    }

    // TRUE, or as a pulled adapter's driver answers.
    BOOL Answer() const {
        if (!unplugged) return TRUE;
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }

    // Ends the pending wait (when call is it) with status, as a driver completes it.
    bool End_Wait(LPOVERLAPPED call, ULONG_PTR status) {
        if (!call || call != waiting_) return false;
        waiting_ = nullptr;
        call->InternalHigh = 0;
        call->Internal = status;
        ::SetEvent(call->hEvent);
        return true;
    }

    win32::Comm_Calls saved_;
    std::mutex lock_;
    LPOVERLAPPED waiting_ = nullptr;
    std::vector<HANDLE> servers_;
    std::map<HANDLE, std::wstring> open_;
};

constexpr int32_t kPort = 41;

// Runs work on a thread of its own and says whether it ended within the time given: a call
// that hangs fails the test instead of stopping the run (the thread is left behind).
bool Ends_Within(std::function<void()> work, int seconds) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    std::thread([work = std::move(work), done] {
        work();
        done->set_value();
    }).detach();
    return ended.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
}

class Comm_Calls_Test : public ::testing::Test {
  protected:
    void SetUp() override { Echo_Set_Sink(&capture); }
    void TearDown() override {
        if (handle != 0) Serial_Port_Close(handle);
        Echo_Set_Sink(nullptr);
    }
    int32_t Open(int32_t baud = 57600) {
        int32_t number = kPort;
        return Serial_Port_Open(number, baud);
    }
    std::vector<std::string> Status_Lines() const {
        std::vector<std::string> out;
        for (const auto& e : capture.Entries())
            if (e.Document.Kind == Echo_Kind::Status)
                out.push_back(Rtf_Visible_Text(e.Document.Rtf));
        return out;
    }
    Driver_Double device;
    Echo_Capture_Sink capture;
    int32_t handle = 0;
};

// A driver that finishes nothing, not even a cancel (a queue count that promised a byte, a
// read that never ends): the open, the status query and the close all end, the query's
// answer is "No Response", and the port answers every later call at once instead of asking
// the driver again.
TEST_F(Comm_Calls_Test, APortWhoseDriverFinishesNothingIsNoResponseNotAHang) {
    device.cancels = false;
    device.phantom = 1;
    std::string meaning;
    int32_t closed = -1;
    ASSERT_TRUE(Ends_Within(
        [&] {
            int32_t port = Open();
            meaning = KDX_Status_Meaning(KDX_Verify_Status(port));
            handle = port;
        },
        30))
        << "the status query of a port that finishes nothing did not end";
    EXPECT_TRUE(Handle_Usable(handle));
    EXPECT_EQ(meaning, "No Response");
    uint32_t errors = 0;
    COMSTAT status{};
    EXPECT_FALSE(Clear_Comm_Error(handle, &errors, &status));
    EXPECT_EQ(Get_Last_Error(), uint32_t(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(Wait_Comm_Input(handle, 0, MAXDWORD), Comm_Wait::Failed);
    ASSERT_TRUE(Ends_Within([&] { closed = Serial_Port_Close(handle); }, 10));
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(handle, 0);
}

// Wine cannot end a pending event wait on a real UART: a wait whose cancel never completes
// ends at its time-out all the same, and the port's later waits look at the queue instead,
// so a byte that comes is still seen and read.
TEST_F(Comm_Calls_Test, AnEventWaitThatCannotBeCancelledGivesWayToLookingAtTheQueue) {
    handle = Open();
    ASSERT_TRUE(Handle_Usable(handle)) << Get_Last_Error();
    device.cancels = false;
    EXPECT_EQ(Wait_Comm_Input(handle, 0, 30), Comm_Wait::Timeout);
    device.Send("R");
    EXPECT_EQ(Wait_Comm_Input(handle, 0, 10000), Comm_Wait::Input) << Get_Last_Error();
    EXPECT_EQ(Serial_Port_Read(handle), "R");
}

// A read the driver holds past its count (a queue count that promised bytes that never come)
// is cancelled and returns what it took, nothing; a wait that sees no event ends at its
// time-out; the line goes on and the next byte is read.
TEST_F(Comm_Calls_Test, AHeldReadIsCancelledAndTheLineGoesOn) {
    handle = Open();
    ASSERT_TRUE(Handle_Usable(handle)) << Get_Last_Error();
    device.phantom = 1;
    std::string got = "untouched";
    ASSERT_TRUE(Ends_Within([&] { EXPECT_TRUE(Read_Comm(handle, got, 256)); }, 10));
    EXPECT_EQ(got, "");
    device.phantom = 0;
    EXPECT_EQ(Wait_Comm_Input(handle, 0, 30), Comm_Wait::Timeout);
    device.Send("R");
    EXPECT_EQ(Serial_Port_Read(handle), "R");
    EXPECT_EQ(capture.Visible(Echo_Kind::Received), "R");
}

// The port is held exclusively: a second open (this program's or another's) is refused as
// held, writes no Open line and leaves the first open as it was; closed, it opens again.
TEST_F(Comm_Calls_Test, AHeldPortIsRefusedAndOpensAgainOnceClosed) {
    handle = Open();
    ASSERT_TRUE(Handle_Usable(handle)) << Get_Last_Error();
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Get_Last_Error(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Serial_Port_Open_Failure_Cause(ERROR_ACCESS_DENIED), Open_Held);
    int32_t number = kPort;
    EXPECT_EQ(Serial_Port_Guess_Exist(number), INVALID_HANDLE_VALUE);
    DCB first{};
    EXPECT_TRUE(Get_Comm_State(handle, first));
    int32_t h = handle;
    EXPECT_EQ(Serial_Port_Close(h), 0);
    EXPECT_EQ(Serial_Port_Close(h), 0);
    EXPECT_EQ(h, 0);
    handle = 0;
    EXPECT_EQ(Status_Lines(),
              (std::vector<std::string>{"COM41 Open\n", "Port Closed\n", "Port Closed\n"}));
    int32_t again = Serial_Port_Guess_Exist(number);
    EXPECT_TRUE(Handle_Usable(again));
    Serial_Port_Close(again);
    EXPECT_EQ(device.opens, 2);
}

// An adapter pulled out in the middle of a session: the receive poller notices, traces and
// ends; the port is hung up, and reads and writes fail at once, echoing nothing as sent.
TEST_F(Comm_Calls_Test, AnUnpluggedAdapterEndsThePollerAndEveryCallAfter) {
    handle = Open();
    ASSERT_TRUE(Handle_Usable(handle)) << Get_Last_Error();
    int32_t poller = Serial_Port_Poller_Start(handle);
    device.Send("BEFORE");
    ASSERT_TRUE(test::Eventually([&] { return capture.Visible(Echo_Kind::Received) == "BEFORE"; }));
    device.Unplug();
    EXPECT_TRUE(test::Eventually([&] { return !Serial_Port_Poller_Running(poller); }));
    EXPECT_TRUE(Comm_Hung_Up(handle));
    EXPECT_EQ(Serial_Port_Read(handle), "");
    capture.Clear();
    EXPECT_EQ(Serial_Port_Write(handle, "V"), "");
    EXPECT_EQ(Get_Last_Error(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(capture.Visible(Echo_Kind::Sent), "");
}

// The open puts the line in raw mode (the driver's own flow control off), and every setting
// reaches the driver and reads back: standard and other rates, the fields only a Windows
// driver keeps; settings no driver takes are refused before it is asked.
TEST_F(Comm_Calls_Test, LineSettingsReachTheDriverAndReadBack) {
    handle = Open(57600);
    ASSERT_TRUE(Handle_Usable(handle)) << Get_Last_Error();
    EXPECT_EQ(device.settings.fOutxCtsFlow, 0u);
    EXPECT_EQ(device.settings.fOutX, 0u);
    EXPECT_EQ(device.settings.fBinary, 1u);
    DCB dcb{};
    ASSERT_TRUE(Get_Comm_State(handle, dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    for (int32_t baud : {9600, 250000, 31250, 921600}) {
        EXPECT_EQ(Serial_Port_DCB(handle, baud), 1);
        ASSERT_TRUE(Get_Comm_State(handle, dcb));
        EXPECT_EQ(dcb.BaudRate, uint32_t(baud));
    }
    dcb.EvtChar = 'x';
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(Set_Comm_State(handle, dcb));
    DCB again{};
    ASSERT_TRUE(Get_Comm_State(handle, again));
    EXPECT_EQ(again.EvtChar, 'x');
    EXPECT_EQ(again.fDtrControl, uint32_t(DTR_CONTROL_DISABLE));
    EXPECT_EQ(again.fRtsControl, uint32_t(RTS_CONTROL_HANDSHAKE));
    dcb.ByteSize = 9;
    EXPECT_FALSE(Set_Comm_State(handle, dcb));
    EXPECT_EQ(Get_Last_Error(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(device.settings.ByteSize, 8);
}

}  // namespace
}  // namespace kdx::platform
