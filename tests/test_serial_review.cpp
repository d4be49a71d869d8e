// Lifetimes across threads: a port closed by an echo the poller applies, echoes made while
// the queue is being applied, the simulator's registration when another has taken its number,
// and the user's terminal settings on every way the interactive terminal can end.
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <future>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/serial.h"
#include "tests/test_serial_fixture.h"

namespace kdx::test {
namespace {

using Serial_Review = Sim_Port_Test;

// Passes every document on to a capture sink, and makes one more call the first time a
// document of the given kind arrives.
class Reacting_Sink final : public Echo_Sink {
  public:
    Reacting_Sink(Echo_Capture_Sink& capture, Echo_Kind on, std::function<void()> react)
        : capture_(capture), on_(on), react_(std::move(react)) {}
    void Echo_Apply(const Echo_Document& document) override {
        capture_.Echo_Apply(document);
        if (document.Kind == on_ && !done_.exchange(true)) react_();
    }

  private:
    Echo_Capture_Sink& capture_;
    Echo_Kind on_;
    std::function<void()> react_;
    std::atomic<bool> done_{false};
};

TEST_F(Serial_Review, AnEchoMadeWhileTheQueueIsAppliedFollowsInOrder) {
    // Without a dispatcher the echoing thread applies the queue itself; a sink that echoes
    // again (a status line on what arrived) must neither wait on itself nor jump the queue.
    Reacting_Sink sink(capture, Echo_Kind::Received, [] { Serial_Port_Echo_Status("seen\r"); });
    Echo_Set_Sink(&sink);
    auto done = std::async(std::launch::async, [] {
        Serial_Port_Echo_Received("A");
        Serial_Port_Echo_Sent("B");
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "an echo from inside the sink never returned";
    auto entries = capture.Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].Document.Kind, Echo_Kind::Received);
    EXPECT_EQ(entries[1].Document.Kind, Echo_Kind::Status);
    EXPECT_EQ(entries[2].Document.Kind, Echo_Kind::Sent);
    Echo_Set_Sink(&capture);
}

TEST_F(Serial_Review, PortClosedByAnEchoOnThePollerThread) {
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

TEST_F(Serial_Review, ThePollerRunsOnAOneMegabyteStack) {
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
}

TEST_F(Serial_Review, PauseAndCloseRacingEndWithoutHanging) {
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

TEST_F(Serial_Review, StoppingKeepsARegistrationAnotherSimulatorTook) {
    // Two simulators asked for the same number: the later one's entry stands, and the first
    // one's end (stopped, or hung up) must not take it away.
    for (bool hang_up : {false, true}) {
        sim::Sim_Config first_config;
        first_config.number = 5;
        auto first = std::make_unique<sim::Simulator>(first_config);
        ASSERT_TRUE(first->Start());
        Start_Sim();
        ASSERT_EQ(platform::Ports_Dir_Device(5), sim->Device());
        if (hang_up) {
            first->Hang_Up();
            ASSERT_TRUE(first->Wait_Ended(5000));
        }
        first.reset();
        EXPECT_EQ(platform::Ports_Dir_Device(5), sim->Device()) << "hang_up " << hang_up;
        sim->Stop();
        EXPECT_EQ(platform::Ports_Dir_Device(5), "") << "hang_up " << hang_up;
        sim.reset();
    }
}

TEST_F(Serial_Review, AnOrdinaryUserCanOpenThePortAgainAfterClosingIt) {
    // Root passes the device's exclusive mark, so the check runs in a child as nobody.
    if (getuid() != 0) GTEST_SKIP() << "needs root to become another user";
    Start_Sim();
    ASSERT_EQ(chown(sim->Device().c_str(), 65534, 65534), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        int32_t first = platform::Comm_Open(sim->Device());
        if (!platform::Handle_Usable(first)) _exit(11);
        // Held: a second opener is refused as "in use".
        int32_t second = platform::Comm_Open(sim->Device());
        if (platform::Handle_Usable(second) || platform::Get_Last_Error() != 5) _exit(12);
        platform::Close_Handle(first);
        int32_t again = platform::Comm_Open(sim->Device());
        if (!platform::Handle_Usable(again)) _exit(13);
        platform::Close_Handle(again);
        _exit(0);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    // 11: first open failed; 12: a held port was opened twice; 13: no reopen after close.
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Serial_Review, TerminalRefusesABadWait) {
    Start_Sim();
    for (const char* wait : {"-5", "x", "", "10ms", "99999999999"}) {
        std::string command = "printf 'V\\n' | " KDX_CLI_PATH " terminal COM5 --wait '" +
                              std::string(wait) + "' >/dev/null 2>&1";
        int status = system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << wait;
    }
    EXPECT_EQ(sim->Received(), "");
}

// How the interactive terminal is made to end, with what the terminal's user sees.
enum class Ending { Quit_Key, Term, Hang_Up_Signal, Interrupt, Quit_Signal, Output_Gone };

TEST_F(Serial_Review, TerminalRestoresTheUsersTtyOnEveryEnding) {
    Start_Sim();
    const struct {
        const char* name;
        Ending ending;
    } cases[] = {
        {"quit key", Ending::Quit_Key},     {"SIGTERM", Ending::Term},
        {"SIGHUP", Ending::Hang_Up_Signal}, {"SIGINT", Ending::Interrupt},
        {"SIGQUIT", Ending::Quit_Signal},   {"output closed", Ending::Output_Gone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        bool piped = c.ending == Ending::Output_Gone;
        int master = -1;
        pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (piped) dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execl(KDX_CLI_PATH, "kdx-cli", "terminal", "COM5", nullptr);
            _exit(127);
        }
        close(out[1]);
        int screen_fd = piped ? out[0] : master;
        std::string screen;
        bool ready = Eventually([&] {
            char buf[1024];
            pollfd p{screen_fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                ssize_t n = read(screen_fd, buf, sizeof buf);
                if (n > 0) screen.append(buf, size_t(n));
            }
            return screen.find("Ctrl-] quit") != std::string::npos;
        });
        EXPECT_TRUE(ready) << screen;
        termios during{};
        tcgetattr(master, &during);
        EXPECT_EQ(during.c_lflag & ICANON, 0u) << "the session did not put the tty in raw mode";
        switch (c.ending) {
            case Ending::Quit_Key:
                EXPECT_EQ(write(master, "\x1d", 1), 1);
                break;
            case Ending::Term:
                kill(pid, SIGTERM);
                break;
            case Ending::Hang_Up_Signal:
                kill(pid, SIGHUP);
                break;
            case Ending::Interrupt:
                kill(pid, SIGINT);
                break;
            case Ending::Quit_Signal:
                kill(pid, SIGQUIT);
                break;
            case Ending::Output_Gone:
                // The reader goes away; the next echo written finds nobody to read it.
                close(out[0]);
                out[0] = -1;
                EXPECT_EQ(write(master, "V", 1), 1);
                break;
        }
        // Drain the screen so the child never blocks on it; bounded in case it hangs.
        int status = -1;
        bool ended = Eventually([&] {
            char buf[1024];
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) > 0 && read(master, buf, sizeof buf) < 0) {
            }
            return waitpid(pid, &status, WNOHANG) == pid;
        });
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(ended) << "the terminal did not end";
        termios after{};
        ASSERT_EQ(tcgetattr(master, &after), 0);
        EXPECT_NE(after.c_lflag & ICANON, 0u) << "line editing left off";
        EXPECT_NE(after.c_lflag & ECHO, 0u) << "echo left off";
        EXPECT_NE(after.c_lflag & ISIG, 0u) << "signal keys left off";
        if (out[0] >= 0) close(out[0]);
        close(master);
    }
}

TEST_F(Serial_Review, ReceivedTextIsShownInTheOrderItArrivedWhateverThreadReadsIt) {
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
