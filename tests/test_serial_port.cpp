// The port lifecycle, write and read, against the simulated controller on a real pty.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/console/console.h"
#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/pty.h"
#include "platform/ports/serial.h"
#include "tests/test_serial_fixture.h"
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

TEST(Ports_Dir, ResolvesListsAndUnregisters) {
    Temp_Dir dir;
    setenv("KDX_PORTS", (dir.path() + "/ports/").c_str(), 1);
    EXPECT_EQ(Ports_Directory(), dir.path() + "/ports");
    EXPECT_EQ(Ports_Dir_Device(7), "");
    EXPECT_TRUE(Ports_Dir_Register(12, "/dev/ttyUSB0"));
    EXPECT_TRUE(Ports_Dir_Register(7, "/dev/pts/9"));
    EXPECT_TRUE(Ports_Dir_Register(7, "/dev/pts/3"));  // replaced, not doubled
    // Names that are not COM<n> are not ports.
    symlink("/dev/null", (dir.path() + "/ports/COM07").c_str());
    symlink("/dev/null", (dir.path() + "/ports/notes").c_str());
    auto list = Ports_Dir_List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], std::make_pair(int32_t(7), std::string("/dev/pts/3")));
    EXPECT_EQ(list[1], std::make_pair(int32_t(12), std::string("/dev/ttyUSB0")));
    EXPECT_TRUE(Ports_Dir_Unregister(7));
    EXPECT_TRUE(Ports_Dir_Unregister(7));  // already gone is fine
    EXPECT_EQ(Ports_Dir_Device(7), "");
    EXPECT_EQ(Get_Last_Error(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(Ports_Dir_Register(0, "/dev/null"));
    unsetenv("KDX_PORTS");
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(Ports_Directory(), "/run/user/4242/kdx/ports");
}

// Runs script as root of a private mount namespace with a tmpfs of its own on /tmp; its
// output and status, or "" when this machine allows no such namespace.
std::string Run_With_Own_Tmp(const std::string& script) {
    // Real root may change owners there; anyone else maps themselves to root of a user
    // namespace.
    std::string command = std::string(getuid() == 0 ? "unshare -m" : "unshare -rm") +
                          " sh -c 'mount -t tmpfs tmpfs /tmp || exit 97; " + script +
                          "; echo status=$?' 2>&1";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    pclose(pipe);
    return out.find("status=") == std::string::npos ? std::string() : out;
}

// The shared fallback /tmp/kdx-<uid>/ports is used only when it and its parent are folders of
// the user with mode 0700: another user could make them first and plant COM entries that
// lead to a pty of theirs. Otherwise the listing says why and shows none of its entries.
TEST(Ports_Dir, TheSharedFallbackIsUsedOnlyWhenItIsTheUsersWithMode0700) {
    if (Run_With_Own_Tmp("true").empty()) GTEST_SKIP() << "no mount namespace here";
    const struct {
        const char* name;
        std::string make;  // makes $T (/tmp/kdx-<uid>) and $T/ports
        std::string said;  // why it is not used; "" when it is
        bool needs_root;
    } cases[] = {
        {"the user's, mode 0700", "mkdir -m 0700 $T $T/ports", "", false},
        {"open to all", "mkdir -m 0777 $T; mkdir -m 0700 $T/ports", "$T has mode 0777, not 0700",
         false},
        {"ports writable by the group", "mkdir -m 0700 $T; mkdir -m 0770 $T/ports",
         "$T/ports has mode 0770, not 0700", false},
        // As earlier versions made it: nobody else could add entries, so it is made private.
        {"the user's, mode 0755", "mkdir -m 0755 $T $T/ports", "", false},
        {"a link to a folder",
         "mkdir -m 0700 /tmp/elsewhere /tmp/elsewhere/ports; ln -s /tmp/elsewhere $T",
         "$T is a symbolic link", false},
        {"another user's", "mkdir -m 0700 $T $T/ports; chown 65534 $T",
         "$T belongs to another user (uid 65534)", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && getuid() != 0) continue;
        std::string out =
            Run_With_Own_Tmp("T=/tmp/kdx-$(id -u); " + c.make +
                             "; ln -s /dev/null $T/ports/COM9; env -u KDX_PORTS -u XDG_RUNTIME_DIR "
                             "-u KDX_REGISTRY XDG_CONFIG_HOME=/tmp/config " KDX_CLI_PATH " ports");
        // Root of the namespace either way: uid 0.
        const std::string t = "/tmp/kdx-0";
        std::string said = c.said;
        for (size_t at = said.find("$T"); at != std::string::npos; at = said.find("$T"))
            said.replace(at, 2, t);
        if (said.empty()) {
            EXPECT_NE(out.find("COM9"), std::string::npos) << out;
            EXPECT_EQ(out.find("is not used"), std::string::npos) << out;
        } else {
            EXPECT_NE(out.find("kdx-cli ports: the ports folder " + t +
                               "/ports is not used: " + said + "\n"),
                      std::string::npos)
                << out;
            EXPECT_EQ(out.find("COM9"), std::string::npos) << out;
        }
    }
}

TEST(Serial_Open_Permission, DeniedOpenIsToldApartFromAHeldPort) {
    Pty_Pair pty;
    ASSERT_TRUE(Pty_Open(pty));
    chmod(pty.device.c_str(), 0600);
    // A user without rights to the device (root is never refused, so the check runs in a
    // child that gives them up).
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        int32_t h = Comm_Open(pty.device);
        bool ok = h == INVALID_HANDLE_VALUE && Get_Last_Error() == ERROR_ACCESS_DENIED &&
                  Comm_Open_Denied_By_Permission();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // A port held by another opener is refused with the same code, but not for permission.
    int32_t first = Comm_Open(pty.device);
    ASSERT_TRUE(Handle_Usable(first));
    EXPECT_EQ(Comm_Open(pty.device), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Get_Last_Error(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Comm_Open_Denied_By_Permission());
    Close_Handle(first);
    Pty_Close(pty);
}

using Serial_Open = Sim_Port_Test;

TEST_F(Serial_Open, PortZeroAndRefusedNumbersMakeNoCallAndNoStatusLine) {
    struct Case {
        int32_t number;
        int32_t want;
    } cases[] = {{0, 0}, {1000, -1}, {-3, -1}, {6, -1} /* nothing registered there */};
    for (const auto& c : cases) {
        int32_t number = c.number, baud = 57600;
        EXPECT_EQ(Serial_Port_Open(number, baud), c.want) << c.number;
    }
    EXPECT_EQ(capture.Count(), 0u);
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
}

// Closing a handle that is already closed (a copy of one closed before, 0, or -1) reports
// no error: no "Error:" line in the trace and no pause for a key.
TEST_F(Serial_Open, ClosingAClosedHandleReportsNoError) {
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

TEST_F(Serial_Open, APseudoTerminalRefusesLowLatencyAndOpensCleanAsBefore) {
    Start_Sim();
    Set_Last_Error(0);
    ASSERT_TRUE(Handle_Usable(Open(57600)));
    // The refusal is normal: nothing is left for the trace frame to report.
    EXPECT_EQ(Get_Last_Error(), 0u);
    EXPECT_FALSE(Comm_Low_Latency(handle));
    EXPECT_EQ(Get_Last_Error(), 0u);
    EXPECT_EQ(Status_Lines(capture), std::vector<std::string>{"COM5 Open\n"});
}

TEST_F(Serial_Open, SettingsReadBackFromTheDriver) {
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

TEST_F(Serial_Open, SecondOpenRefusedAndCloseTwice) {
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

TEST_F(Serial_Open, DrainShowsWhatWaitedOnceBeforeTheOpenLine) {
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

using Serial_Write_Read = Sim_Port_Test;

TEST_F(Serial_Write_Read, WriteSendsUnchangedAndEchoesByFlag) {
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

TEST_F(Serial_Write_Read, PreReadEchoesPendingTextEvenWithoutEcho) {
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

TEST_F(Serial_Write_Read, UnusableHandleSendsAndEchoesNothing) {
    for (int32_t h : {0, -1}) {
        EXPECT_EQ(Serial_Port_Write(h, "V"), "");
        EXPECT_EQ(Serial_Port_Read(h), "");
        EXPECT_EQ(Serial_Port_Clear(h), "");
        EXPECT_FALSE(Serial_Port_Wait_Input(h, 0));
        EXPECT_EQ(Serial_Port_Poller_Start(h), 0);
    }
    EXPECT_EQ(capture.Count(), 0u);
}

TEST_F(Serial_Write_Read, ReadTakesEverythingInOrder) {
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

TEST_F(Serial_Write_Read, QuestionMarkStartsOneFaultQueryWhateverTheEcho) {
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

TEST_F(Serial_Write_Read, FaultQueryNeverNestsOnOneThread) {
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

TEST_F(Serial_Write_Read, RateChangeRightAfterAWriteKeepsTheWrite) {
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

}  // namespace
}  // namespace kdx::test
