// Where a thread's start or the window toolkit enters our code, what escapes is caught: the
// process lives on, the debug log gets an "Error:" line naming the boundary and what it caught,
// and the boundary carries on (the poller ends as on a failed line, the message answers 0).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/window/application.h"
#include "platform/window/window.h"
#include "tests/support/serial_fixture.h"
#include "trace/trace.h"

namespace kdx::test {
namespace {

enum class Thrown { Standard, Other };
std::atomic<Thrown> thrown{Thrown::Standard};

[[noreturn]] void Throw() {
    if (thrown.load() == Thrown::Standard) throw std::runtime_error("the handler gave up");
    throw 42;
}

// A sink that fails on received text, on whichever thread applies it.
class Failing_Sink final : public Echo_Sink {
  public:
    void Echo_Apply(const Echo_Document& document) override {
        if (document.Kind == Echo_Kind::Received) Throw();
    }
};

constexpr uint32_t Fail = win::WM_USER + 1;
constexpr uint32_t Mark = win::WM_USER + 2;
std::atomic<bool> marked{false};

win::LRESULT Failing_Proc(win::HWND window, uint32_t message, win::WPARAM wparam,
                          win::LPARAM lparam) {
    if (message == Fail) Throw();
    if (message == Mark) {
        marked = true;
        return 1;
    }
    return win::Def_Window_Proc(window, message, wparam, lparam);
}

std::atomic<int32_t> hung_up_port{0};

class Boundaries : public Sim_Port_Test {
  protected:
    void SetUp() override {
        Sim_Port_Test::SetUp();
        setenv("KDX_CONSOLE", "capture", 1);
        old_dir = platform::Current_Directory();
        ASSERT_TRUE(platform::Set_Current_Directory(folder.path()));
    }
    void TearDown() override {
        ErrCheck_Debug(0);
        Serial_Port_Set_Hang_Up_Hook(nullptr);
        platform::Set_Current_Directory(old_dir);
        unsetenv("KDX_CONSOLE");
        Sim_Port_Test::TearDown();
    }

  public:
    // A received echo whose sink throws on the poller's thread.
    void Fail_In_Poller() {
        Start_Sim();
        ASSERT_TRUE(platform::Handle_Usable(Open()));
        // Without a dispatcher the poller applies its echoes itself.
        Echo_Set_Dispatcher(std::thread::id(), nullptr);
        Echo_Set_Sink(&failing);
        hung_up_port = 0;
        Serial_Port_Set_Hang_Up_Hook([](int32_t port) { hung_up_port = port; });
        int32_t poller = Serial_Port_Poller_Start(handle);
        ASSERT_NE(poller, 0);
        sim->Send("HELLO\r");
        // Ended as a failed line ends it: its window hears of it through the hang-up hook.
        EXPECT_TRUE(Eventually([&] { return hung_up_port.load() == handle; }));
        EXPECT_FALSE(Serial_Port_Poller_Running(poller));
        Echo_Set_Sink(&capture);
        Serial_Port_Close(handle);
        handle = 0;
        sim.reset();
    }

    // A window procedure that throws, sent to and posted through Qt's event loop.
    void Fail_In_Dispatch() {
        win::HWND frame = win::Create_Frame("Boundary", 200, 100, &Failing_Proc);
        ASSERT_NE(frame, 0);
        EXPECT_EQ(win::Send_Message(frame, Fail), 0);
        marked = false;
        win::Post_Message(frame, Fail);
        win::Post_Message(frame, Mark);
        for (int i = 0; i < 500 && !marked.load(); ++i) win::Process_Events(10);
        EXPECT_TRUE(marked.load());  // the loop went on to the next message
        EXPECT_EQ(win::Send_Message(frame, Mark), 1);
        win::Destroy_Window(frame);
    }

  protected:
    Temp_Dir folder;
    std::string old_dir;
    Failing_Sink failing;
};

TEST_F(Boundaries, WhatEscapesIsCaughtReportedAndSurvived) {
    struct Case {
        const char* boundary;
        Thrown kind;
        const char* caught;
        void (Boundaries::*provoke)();
    };
    const Case cases[] = {
        {"the receive poller", Thrown::Standard, "std::runtime_error: the handler gave up",
         &Boundaries::Fail_In_Poller},
        {"the receive poller", Thrown::Other, "an exception of unknown type",
         &Boundaries::Fail_In_Poller},
        {"the window dispatch", Thrown::Standard, "std::runtime_error: the handler gave up",
         &Boundaries::Fail_In_Dispatch},
        {"the window dispatch", Thrown::Other, "an exception of unknown type",
         &Boundaries::Fail_In_Dispatch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.boundary) + " / " + c.caught);
        ASSERT_NE(ErrCheck_Debug(1), 0);  // a fresh debug log for each case
        thrown = c.kind;
        (this->*c.provoke)();
        std::string log;
        ASSERT_TRUE(platform::Read_Whole_File(trace::Debug_Log_Path(), log));
        std::string line = std::string("Error: ") + c.boundary + " caught " + c.caught + "\r\n";
        EXPECT_NE(log.find(line), std::string::npos) << log;
        ErrCheck_Debug(0);
    }
}

}  // namespace
}  // namespace kdx::test
