// The port lifecycle, write and read, and the receive poller, against the simulated
// controller on a real pty.
#include <sys/stat.h>
#ifndef _WIN32
#include <pthread.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>

#include "platform/console/console.h"
#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/pty.h"
#include "platform/ports/serial.h"
#include "protocol/kdx_fault.h"
#include "tests/support/reacting_sink.h"
#include "tests/support/serial_fixture.h"
#include "trace/trace.h"

namespace kdx::test {
namespace {

using namespace platform;

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<std::string> Status_Lines(const Echo_Capture_Sink& capture) {
    std::vector<std::string> out;
    for (const auto& e : capture.Entries())
        if (e.Document.Kind == Echo_Kind::Status) out.push_back(Rtf_Visible_Text(e.Document.Rtf));
    return out;
}

using Serial_Port_Opening = Sim_Port_Test;

TEST_F(Serial_Port_Opening, PortZeroAndRefusedNumbersMakeNoCallAndNoStatusLine) {
    struct Case {
        int32_t number;
        int32_t want;
    } cases[] = {{0, 0}, {1000, -1}, {-3, -1}, {6, -1} /* nothing registered there */};
    for (const auto& c : cases) {
        int32_t number = c.number, baud = 57600;
        EXPECT_EQ(Serial_Port_Open(number, baud), c.want) << c.number;
    }
    EXPECT_EQ(capture.Count(), 0u);
#ifndef _WIN32  // the ports folder is Linux's
    // Entries that are not usable ports fail with a code that says why.
    Ports_Dir_Register(7, "/dev/null");
    Ports_Dir_Register(8, dir.path() + "/gone");
    struct Bad {
        int32_t number;
        uint32_t code;
    } bad[] = {{6, ERROR_FILE_NOT_FOUND}, {7, ERROR_NOT_SUPPORTED}, {8, ERROR_FILE_NOT_FOUND}};
    for (const auto& b : bad) {
        int32_t number = b.number, baud = 57600;
        EXPECT_EQ(Serial_Port_Open(number, baud), INVALID_HANDLE_VALUE);
        EXPECT_EQ(Get_Last_Error(), b.code) << b.number;
    }
    EXPECT_EQ(capture.Count(), 0u);
#endif
}

// Closing a handle that is already closed (a copy of one closed before, 0, or -1) reports
// no error: no "Error:" line in the trace and no pause for a key.
TEST_F(Serial_Port_Opening, ClosingAClosedHandleReportsNoError) {
    Start_Sim();
    ASSERT_TRUE(Handle_Usable(Open()));
    int32_t copy = handle;
    Temp_Dir logs;
    std::string saved = Current_Directory();
    Set_Current_Directory(logs.path());
    setenv("KDX_CONSOLE", "capture", 1);
    Capture_Reset();
    ErrCheck_Debug(1);
    Serial_Port_Close(handle);
    for (int32_t closed : {copy, int32_t(0), int32_t(INVALID_HANDLE_VALUE)}) {
        EXPECT_EQ(Serial_Port_Close(closed), 0);
        EXPECT_EQ(closed, 0);
    }
    ErrCheck_Debug(0);
    unsetenv("KDX_CONSOLE");
    Set_Current_Directory(saved);
    std::string shown = Capture_Text();
    EXPECT_EQ(shown.find("Error:"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("Press any Key"), std::string::npos) << shown;
    EXPECT_EQ(Status_Lines(capture).size(), 5u);  // COM5 Open and four Port Closed
}

TEST_F(Serial_Port_Opening, APseudoTerminalRefusesLowLatencyAndOpensCleanAsBefore) {
    Start_Sim();
    Set_Last_Error(0);
    ASSERT_TRUE(Handle_Usable(Open(57600)));
    // The refusal is normal: nothing is left for the trace frame to report.
    EXPECT_EQ(Get_Last_Error(), 0u);
    EXPECT_FALSE(Comm_Low_Latency(handle));
    EXPECT_EQ(Get_Last_Error(), 0u);
    EXPECT_EQ(Status_Lines(capture), std::vector<std::string>{"COM5 Open\n"});
}

TEST_F(Serial_Port_Opening, SettingsReadBackFromTheDriver) {
    if (Under_Wine())
        GTEST_SKIP() << "Wine sets a pseudo-terminal only to the standard rates and keeps no "
                        "event character";
    Start_Sim();
    ASSERT_TRUE(Handle_Usable(Open(57600)));
    DCB dcb{};
    ASSERT_TRUE(Get_Comm_State(handle, dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(Get_Comm_Timeouts(handle, t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(Status_Lines(capture), std::vector<std::string>{"COM5 Open\n"});
    // Standard and non-standard rates both reach the driver.
    for (int32_t baud : {9600, 250000, 31250, 921600}) {
        EXPECT_EQ(Serial_Port_DCB(handle, baud), 1);
        ASSERT_TRUE(Get_Comm_State(handle, dcb));
        EXPECT_EQ(dcb.BaudRate, uint32_t(baud));
    }
    // Fields termios does not hold read back as they were set.
    dcb.EvtChar = 'x';
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(Set_Comm_State(handle, dcb));
    DCB again{};
    ASSERT_TRUE(Get_Comm_State(handle, again));
    EXPECT_EQ(again.EvtChar, 'x');
    EXPECT_EQ(again.fDtrControl, uint32_t(DTR_CONTROL_DISABLE));
    dcb.ByteSize = 9;
    EXPECT_FALSE(Set_Comm_State(handle, dcb));
    EXPECT_EQ(Get_Last_Error(), ERROR_INVALID_PARAMETER);
}

TEST_F(Serial_Port_Opening, SecondOpenRefusedAndCloseTwice) {
    if (Under_Wine()) GTEST_SKIP() << "Wine opens a pseudo-terminal port twice: no exclusive open";
    Start_Sim();
    ASSERT_TRUE(Handle_Usable(Open()));
    int32_t number = 5, baud = 57600;
    EXPECT_EQ(Serial_Port_Open(number, baud), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Get_Last_Error(), ERROR_ACCESS_DENIED);
    int32_t guess = Serial_Port_Guess_Exist(number);
    EXPECT_EQ(guess, INVALID_HANDLE_VALUE);

    int32_t h = handle;
    EXPECT_EQ(Serial_Port_Close(h), 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(Serial_Port_Close(h), 0);
    EXPECT_EQ(h, 0);
    handle = 0;
    EXPECT_EQ(Status_Lines(capture),
              (std::vector<std::string>{"COM5 Open\n", "Port Closed\n", "Port Closed\n"}));
    // Once closed the port opens again.
    guess = Serial_Port_Guess_Exist(number);
    EXPECT_TRUE(Handle_Usable(guess));
    Serial_Port_Close(guess);
}

TEST_F(Serial_Port_Opening, DrainShowsWhatWaitedOnceBeforeTheOpenLine) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows keeps nothing of what came before a port was opened (the backend "
                    "purges the driver's queues at opening)";
#endif
    struct Case {
        const char* name;
        std::string greeting;
    } cases[] = {
        {"nothing", ""},
        {"short", "BOOT KDX\r"},
        {"over 1024 bytes", sim::Flood_Text(3000)},
        {"zero byte kept", std::string("AB\0CD", 5)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Sim_Config config;
        config.greeting = c.greeting;
        Start_Sim(config);
        ASSERT_TRUE(Eventually([&] { return sim->Sent() == int64_t(c.greeting.size()); }));
        capture.Clear();
        ASSERT_TRUE(Handle_Usable(Open()));
        auto entries = capture.Entries();
        if (c.greeting.empty()) {
            ASSERT_EQ(entries.size(), 1u);
        } else {
            ASSERT_EQ(entries.size(), 2u);
            EXPECT_EQ(entries[0].Document.Kind, Echo_Kind::Received);
            EXPECT_EQ(entries[0].Document.Rtf, Echo_Received_Document(c.greeting));
        }
        EXPECT_EQ(Rtf_Visible_Text(entries.back().Document.Rtf), "COM5 Open\n");
        Serial_Port_Close(handle);
        sim.reset();
    }
}

using Serial_Port_Write_Read = Sim_Port_Test;

TEST_F(Serial_Port_Write_Read, WriteSendsUnchangedAndEchoesByFlag) {
    Start_Sim();
    ASSERT_TRUE(Handle_Usable(Open()));
    const int32_t zero = 0, one = 1, two = 2;
    struct Case {
        std::string text;
        const int32_t* echo;
        bool echoed;
    } cases[] = {
        {"F,\r", nullptr, true}, {"Q,", &one, true},  {"E,", &zero, false},
        {"F,", &two, false},     {"", nullptr, true},
    };
    std::string all;
    for (const auto& c : cases) {
        capture.Clear();
        EXPECT_EQ(Serial_Port_Write(handle, c.text, c.echo), c.text);
        all += c.text;
        // Only the sent echo counts here: a reply the pre-read picked up may come with it.
        std::vector<Echo_Capture_Sink::Entry> entries;
        for (const auto& e : capture.Entries())
            if (e.Document.Kind == Echo_Kind::Sent) entries.push_back(e);
        ASSERT_EQ(entries.size(), c.echoed ? 1u : 0u) << c.text;
        if (c.echoed) {
            EXPECT_EQ(entries[0].Document.Rtf, Echo_Sent_Document(c.text));
        }
    }
    EXPECT_TRUE(Eventually([&] { return sim->Received() == all; })) << sim->Received();
    // Only the bytes before a zero byte go out.
    EXPECT_EQ(Serial_Port_Write(handle, std::string("V\0junk", 6)), "V");
}

TEST_F(Serial_Port_Write_Read, PreReadEchoesPendingTextEvenWithoutEcho) {
    Start_Sim();
    ASSERT_TRUE(Handle_Usable(Open()));
    sim->Send("LATE");
    ASSERT_TRUE(Serial_Port_Wait_Input(handle, 5000));
    capture.Clear();
    const int32_t zero = 0;
    Serial_Port_Write(handle, "V", &zero);
    auto entries = capture.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Document.Kind, Echo_Kind::Received);
    EXPECT_EQ(Rtf_Visible_Text(entries[0].Document.Rtf), "LATE");
}

TEST_F(Serial_Port_Write_Read, UnusableHandleSendsAndEchoesNothing) {
    for (int32_t h : {0, -1}) {
        EXPECT_EQ(Serial_Port_Write(h, "V"), "");
        EXPECT_EQ(Serial_Port_Read(h), "");
        EXPECT_EQ(Serial_Port_Clear(h), "");
        EXPECT_FALSE(Serial_Port_Wait_Input(h, 0));
        EXPECT_EQ(Serial_Port_Poller_Start(h), 0);
    }
    EXPECT_EQ(capture.Count(), 0u);
}

TEST_F(Serial_Port_Write_Read, ReadTakesEverythingInOrder) {
    Start_Sim();
    ASSERT_TRUE(Handle_Usable(Open()));
    capture.Clear();
    EXPECT_EQ(Serial_Port_Read(handle), "");
    EXPECT_EQ(capture.Count(), 0u);
    EXPECT_EQ(Count(sim->Received(), "F,getFAc"), 0);

    std::string big = sim::Flood_Text(5000) + "END";
    sim->Send(big);
    std::string got = Read_Until("END");
    EXPECT_TRUE(got == big) << got.size();
    // A zero byte keeps the bytes after it.
    std::string with_nul("R\0S", 3);
    sim->Send(with_nul);
    EXPECT_EQ(Read_Until("S"), with_nul);
}

TEST_F(Serial_Port_Write_Read, QuestionMarkStartsOneFaultQueryWhateverTheEcho) {
    const int32_t zero = 0;
    for (const int32_t* echo : {static_cast<const int32_t*>(nullptr), &zero}) {
        Start_Sim();
        ASSERT_TRUE(Handle_Usable(Open()));
        Serial_Port_Write(handle, "XYZ,");  // not understood: "?" CR
        std::string reply = Read_Until("?", echo);
        EXPECT_EQ(reply.substr(0, 1), "?");
        EXPECT_EQ(Count(sim->Received(), "KF,getFAc"), 1) << sim->Received();
        Serial_Port_Close(handle);
        sim.reset();
    }
}

// Injects a second "?" while the first fault query runs: the guard keeps it from nesting.
class Reentry_Sink final : public Echo_Sink {
  public:
    std::function<void()> on_first_received;
    void Echo_Apply(const Echo_Document& d) override {
        if (d.Kind == Echo_Kind::Received && on_first_received) {
            auto f = std::move(on_first_received);
            on_first_received = nullptr;
            f();
        }
    }
};

TEST_F(Serial_Port_Write_Read, FaultQueryNeverNestsOnOneThread) {
    Start_Sim();
    ASSERT_TRUE(Handle_Usable(Open()));
    Reentry_Sink sink;
    sink.on_first_received = [&] {
        sim->Send("?\r");
        ASSERT_TRUE(Serial_Port_Wait_Input(handle, 5000));
    };
    Echo_Set_Sink(&sink);
    sim->Send("?\r");
    ASSERT_TRUE(Serial_Port_Wait_Input(handle, 5000));
    Serial_Port_Read(handle);
    Echo_Set_Sink(&capture);
    EXPECT_EQ(Count(sim->Received(), "F,getFAc"), 1) << sim->Received();
}

TEST_F(Serial_Port_Write_Read, RateChangeRightAfterAWriteKeepsTheWrite) {
    Start_Sim();
    ASSERT_TRUE(Handle_Usable(Open()));
    const int32_t zero = 0;
    for (int pass = 0; pass < 3; ++pass) {
        int32_t fast = 57600, slow = 9600;
        Serial_Port_DCB(handle, fast);
        Serial_Port_Write(handle, "F,", &zero);
        Serial_Port_DCB(handle, slow);
        Serial_Port_Write(handle, "F,", &zero);
    }
    EXPECT_TRUE(Eventually([&] { return sim->Received() == "F,F,F,"; })) << sim->Received();
    EXPECT_TRUE(Eventually([&] { return sim->Dropped() == 6; }));
}

// The receive poller: unasked text shown, pauses honoured, ended with its port or a hang-up;
// its lifetime across threads: a port closed by an echo the poller applies, a pause racing
// a close, and reads from two threads keeping the order of the bytes.
using Serial_Port_Poller = Sim_Port_Test;

TEST_F(Serial_Port_Poller, PicksUpUnaskedText) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    Serial_Port_State.Poller = Serial_Port_Poller_Start(handle);
    ASSERT_NE(Serial_Port_State.Poller, 0);
    EXPECT_TRUE(Serial_Port_Poller_Running(Serial_Port_State.Poller));
    sim->Send("HELLO\r");
    EXPECT_TRUE(Eventually([&] { return Received_Visible() == "HELLO\n"; })) << Received_Visible();
    // A reply to a write nobody reads is left to the poller.
    Serial_Port_Write(handle, "V");
    EXPECT_TRUE(Eventually([&] { return Received_Visible() == "HELLO\nR"; })) << Received_Visible();
}

TEST_F(Serial_Port_Poller, ACommandIsAlwaysShownBeforeItsReply) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    Serial_Port_State.Poller = Serial_Port_Poller_Start(handle);
    for (int i = 0; i < 50; ++i) {
        capture.Clear();
        Serial_Port_Write(handle, "V");
        ASSERT_TRUE(Eventually([&] { return capture.Count() == 2; }));
        auto entries = capture.Entries();
        EXPECT_EQ(entries[0].Document.Kind, Echo_Kind::Sent);
        EXPECT_EQ(entries[1].Document.Kind, Echo_Kind::Received);
    }
}

TEST_F(Serial_Port_Poller, NoPollerReadDuringAPausedExchange) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t poller = Serial_Port_Poller_Start(handle);
    Serial_Port_State.Poller = poller;
    for (int round = 0; round < 20; ++round) {
        capture.Clear();
        std::string reply;
        {
            Poller_Pause pause(poller);
            Poller_Pause nested(poller);  // pauses nest
            Serial_Port_Write(handle, "V");
            // The reply stays for the exchange's own read, however long it waits.
            ASSERT_TRUE(Serial_Port_Wait_Input(handle, 5000));
            std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
            reply = Read_Until("R");
        }
        EXPECT_EQ(reply, "R");
        auto entries = capture.Entries();
        ASSERT_EQ(entries.size(), 2u);  // the sent echo and our own read's echo
    }
    // Resumed: the poller takes text again.
    capture.Clear();
    sim->Send("X");
    EXPECT_TRUE(Eventually([&] { return Received_Visible() == "X"; }));
}

TEST_F(Serial_Port_Poller, FaultQueryOnThePollerThreadDoesNotPauseItself) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    Serial_Port_State.Poller = Serial_Port_Poller_Start(handle);
    // The poller reads "?", runs the fault query on its own thread, and goes on.
    Serial_Port_Write(handle, "NOPE,");
    EXPECT_TRUE(Eventually([&] { return sim->Received().find("KF,getFAc") != std::string::npos; }))
        << sim->Received();
    sim->Send("AFTER");
    EXPECT_TRUE(Eventually([&] { return Received_Visible().find("AFTER") != std::string::npos; }))
        << Received_Visible();
    EXPECT_TRUE(Serial_Port_Poller_Running(Serial_Port_State.Poller));
}

TEST_F(Serial_Port_Poller, CloseStopsAndJoinsThePoller) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t poller = Serial_Port_Poller_Start(handle);
    Serial_Port_State.Poller = poller;
    Serial_Port_Close(handle);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(Serial_Port_State.Poller, 0);
    EXPECT_FALSE(Serial_Port_Poller_Running(poller));
    EXPECT_EQ(platform::Handle_Get(poller), nullptr);
    // Pausing a gone poller, or poller 0, returns at once.
    Serial_Port_Poller_Pause(poller);
    Serial_Port_Poller_Resume(poller);
    Serial_Port_Poller_Pause(0);
    Serial_Port_Poller_Resume(0);
    // A later open gets a port that no old poller reads.
    capture.Clear();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    sim->Send("MINE");
    EXPECT_EQ(Read_Until("MINE"), "MINE");
}

TEST_F(Serial_Port_Poller, SecondStartReplacesTheFirst) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t first = Serial_Port_Poller_Start(handle);
    int32_t second = Serial_Port_Poller_Start(handle);
    EXPECT_NE(first, second);
    EXPECT_FALSE(Serial_Port_Poller_Running(first));
    EXPECT_TRUE(Serial_Port_Poller_Running(second));
    Serial_Port_State.Poller = second;
}

TEST_F(Serial_Port_Poller, HangUpInTheMiddleOfASession) {
    if (Under_Wine())
        GTEST_SKIP() << "Wine says a hung-up pseudo-terminal is not ready (21), not hung up";
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t poller = Serial_Port_Poller_Start(handle);
    Serial_Port_State.Poller = poller;
    sim->Send("BEFORE");
    ASSERT_TRUE(Eventually([&] { return Received_Visible() == "BEFORE"; }));
    sim->Hang_Up();
    ASSERT_TRUE(sim->Wait_Ended(5000));
    // The poller notices, traces once and ends; it does not spin on the dead line.
    EXPECT_TRUE(Eventually([&] { return !Serial_Port_Poller_Running(poller); }));
    EXPECT_TRUE(platform::Comm_Hung_Up(handle));
#ifndef _WIN32
    EXPECT_EQ(platform::Ports_Dir_Device(5), "");  // the registration went with the line
#endif
    // Everything after it fails cleanly and returns at once.
    { Poller_Pause pause(poller); }
    EXPECT_FALSE(Serial_Port_Wait_Input(handle, 5000));
    EXPECT_EQ(Serial_Port_Read(handle), "");
    // A write the dead line does not take is neither returned nor echoed as sent.
    capture.Clear();
    EXPECT_EQ(Serial_Port_Write(handle, "V"), "");
    EXPECT_EQ(platform::Get_Last_Error(), platform::ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(capture.Visible(Echo_Kind::Sent), "");
    int32_t h = handle;
    EXPECT_EQ(Serial_Port_Close(h), 0);
    handle = 0;
}

TEST_F(Serial_Port_Poller, HangUpWhilePausedEndsThePollerOnResume) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t poller = Serial_Port_Poller_Start(handle);
    Serial_Port_State.Poller = poller;
    {
        Poller_Pause pause(poller);
        sim->Hang_Up();
        ASSERT_TRUE(sim->Wait_Ended(5000));
    }
    EXPECT_TRUE(Eventually([&] { return !Serial_Port_Poller_Running(poller); }));
}

TEST_F(Serial_Port_Poller, WaitInputWakesOnTheFirstByte) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    EXPECT_FALSE(Serial_Port_Wait_Input(handle, 30));
    // The byte goes once this thread is on its way into the wait (it may still arrive before
    // the wait blocks, which the wait must take as well).
    std::atomic<bool> waiting{false};
    std::thread later([&] {
        while (!waiting.load()) std::this_thread::yield();
        sim->Send("Z");
    });
    waiting.store(true);
    EXPECT_TRUE(Serial_Port_Wait_Input(handle, 10000));
    later.join();
    EXPECT_EQ(Serial_Port_Read(handle), "Z");
}

// A "?" taken by the poller starts the fault query on the poller's thread, while the
// user-interface thread records the poller in the port's state (as the Terminal does after
// each open): the query must not read that record, which only its owner thread writes. The
// ThreadSanitizer build of the suite reports the race this would be.
TEST_F(Serial_Port_Poller, AFaultQueryOnThePollerLeavesThePortRecordToItsOwner) {
    Start_Sim();
    ASSERT_GT(Open(), 0);
    int32_t poller = Serial_Port_Poller_Start(handle);
    ASSERT_NE(poller, 0);
    sim->Send("?\r");
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) Serial_Port_State.Poller = poller;
    EXPECT_TRUE(Eventually([&] { return sim->Received().find("KF,getFAc") != std::string::npos; }))
        << sim->Received();
    Serial_Port_State.Poller = 0;
}

TEST_F(Serial_Port_Poller, PortClosedByAnEchoOnThePollerThread) {
    // The received echo is applied on the poller's thread; closing the port there stops the
    // poller from inside itself. The poller must end cleanly, and the port be free again.
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t port = handle;
    handle = 0;
    Reacting_Sink sink(capture, Echo_Kind::Received, [port]() mutable { Serial_Port_Close(port); });
    Echo_Set_Sink(&sink);
    int32_t poller = Serial_Port_Poller_Start(port);
    ASSERT_NE(poller, 0);
    sim->Send("HELLO\r");
    EXPECT_TRUE(Eventually([&] {
        return capture.Visible(Echo_Kind::Status).find("Port Closed") != std::string::npos;
    })) << capture.Visible(Echo_Kind::Status);
    EXPECT_TRUE(Eventually([&] { return !Serial_Port_Poller_Running(poller); }));
    // Give the ended poller's thread time to run past its loop before anything else.
    platform::Sleep_Ms(50);
    EXPECT_FALSE(platform::Handle_Get(port));
    int32_t number = 5, baud = 57600;
    int32_t again = Serial_Port_Open(number, baud);
    EXPECT_TRUE(platform::Handle_Usable(again));
    Serial_Port_Close(again);
    Echo_Set_Sink(&capture);
}

TEST_F(Serial_Port_Poller, ThePollerRunsOnAOneMegabyteStack) {
#ifdef _WIN32
    GTEST_SKIP() << "a thread's stack size is read through Linux's pthread_getattr_np; "
                    "Windows gives none";
#else
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    Serial_Port_State.Poller = Serial_Port_Poller_Start(handle);
    ASSERT_NE(Serial_Port_State.Poller, 0);
    std::atomic<bool> on_poller{false};
    std::atomic<size_t> stack_bytes{0};
    Reacting_Sink sink(capture, Echo_Kind::Received, [&] {
        on_poller = Serial_Port_On_Poller_Thread();
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
        size_t size = 0;
        pthread_attr_getstacksize(&attributes, &size);
        pthread_attr_destroy(&attributes);
        stack_bytes = size;
    });
    Echo_Set_Sink(&sink);
    sim->Send("HELLO\r");
    EXPECT_TRUE(Eventually([&] { return stack_bytes != 0; }));
    EXPECT_TRUE(on_poller);
    EXPECT_EQ(stack_bytes, 0x100000u);
    Serial_Port_Close(handle);
    Echo_Set_Sink(&capture);
#endif
}

TEST_F(Serial_Port_Poller, PauseAndCloseRacingEndWithoutHanging) {
    Start_Sim();
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(platform::Handle_Usable(Open()));
        int32_t poller = Serial_Port_Poller_Start(handle);
        ASSERT_NE(poller, 0);
        sim->Send("X\r");
        auto pauser = std::async(std::launch::async, [poller] {
            for (int i = 0; i < 50; ++i) {
                Poller_Pause pause(poller);
            }
        });
        Serial_Port_Close(handle);
        ASSERT_EQ(pauser.wait_for(std::chrono::seconds(10)), std::future_status::ready)
            << "a pause never returned while its port closed";
        EXPECT_FALSE(Serial_Port_Poller_Running(poller));
    }
}

TEST_F(Serial_Port_Poller, ReceivedTextIsShownInTheOrderItArrivedWhateverThreadReadsIt) {
    // The poller and a caller's own read (a write drains first) take turns at the line: the
    // received echo must keep the order of the bytes.
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    int32_t poller = Serial_Port_Poller_Start(handle);
    ASSERT_NE(poller, 0);
    std::string expected;
    std::atomic<bool> sending{true};
    auto reader = std::async(std::launch::async, [&] {
        int32_t h = handle;
        while (sending) Serial_Port_Read(h);
    });
    for (int i = 0; i < 3000; ++i) {
        std::string piece = std::to_string(i) + ";";
        expected += piece;
        sim->Send(piece);
        if (i % 8 == 0) platform::Sleep_Ms(0);
    }
    EXPECT_TRUE(Eventually([&] { return Received_Visible().size() >= expected.size(); }));
    sending = false;
    reader.wait();
    std::string got = Received_Visible();
    ASSERT_EQ(got.size(), expected.size()) << "bytes lost or doubled";
    size_t at = 0;
    while (at < got.size() && got[at] == expected[at]) ++at;
    EXPECT_EQ(at, got.size()) << "out of order from byte " << at << ": got "
                              << got.substr(at >= 10 ? at - 10 : 0, 40) << " expected "
                              << expected.substr(at >= 10 ? at - 10 : 0, 40);
}

}  // namespace
}  // namespace kdx::test
