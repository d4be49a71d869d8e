// Opening a serial device: a refusal for want of permission is told apart from a port held
// by another opener; ports directory entries that are not serial lines (a link to /dev/zero,
// a folder, a plain file) are never opened as ports, and are listed as unusable with the
// reason instead of as ports.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/pty.h"
#include "platform/ports/serial.h"
#include "serial/serial_port.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/serial_fixture.h"

namespace kdx {
namespace {

std::string Cli_Ports() {
    std::string out;
    FILE* pipe = popen((std::string("'") + KDX_CLI_PATH + "' ports 2>&1").c_str(), "r");
    if (!pipe) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, pipe)) out += buf;
    pclose(pipe);
    return out;
}

TEST(Serial_Not_Serial_Line, EntriesThatAreNoSerialLineAreNeitherOpenedNorListedAsPorts) {
    test::Registry_Machine machine;  // no hive: the live view of this machine
    std::string ports = machine.path() + "/ports";
    setenv("KDX_PORTS", ports.c_str(), 1);
    std::string folder = machine.path() + "/folder";
    std::string file = machine.path() + "/plain.txt";
    std::filesystem::create_directory(folder);
    std::ofstream(file) << "notes";
    const struct {
        std::string target;
        std::string reason;
    } cases[] = {
        {"/dev/zero", "it is not a serial line (a mem device)"},
        {folder, "it is a folder"},
        {file, "it is a plain file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        ASSERT_TRUE(platform::Ports_Dir_Register(9, c.target));
        // The open is refused before the target is opened at all.
        int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(watch, c.target.c_str(), IN_OPEN);
        int32_t number = 9, baud = 57600;
        EXPECT_EQ(Serial_Port_Open(number, baud), platform::INVALID_HANDLE_VALUE);
        EXPECT_EQ(platform::Get_Last_Error(), platform::ERROR_NOT_SUPPORTED);
        char events[4096];
        EXPECT_LE(read(watch, events, sizeof events), 0) << "the target was opened";
        close(watch);

        std::string out = Cli_Ports();
        EXPECT_NE(out.find("COM9       not usable: " + ports + "/COM9 -> " + c.target + ": " +
                           c.reason + "\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("COM9       RS232"), std::string::npos) << out;
        EXPECT_EQ(out.find("COM9       UnKnown"), std::string::npos) << out;
    }
    unsetenv("KDX_PORTS");
}

TEST(Serial_Open_Permission, DeniedOpenIsToldApartFromAHeldPort) {
    platform::Pty_Pair pty;
    ASSERT_TRUE(platform::Pty_Open(pty));
    chmod(pty.device.c_str(), 0600);
    // A user without rights to the device (root is never refused, so the check runs in a
    // child that gives them up).
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        int32_t h = platform::Comm_Open(pty.device);
        bool ok = h == platform::INVALID_HANDLE_VALUE &&
                  platform::Get_Last_Error() == platform::ERROR_ACCESS_DENIED &&
                  platform::Comm_Open_Denied_By_Permission();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // A port held by another opener is refused with the same code, but not for permission.
    int32_t first = platform::Comm_Open(pty.device);
    ASSERT_TRUE(platform::Handle_Usable(first));
    EXPECT_EQ(platform::Comm_Open(pty.device), platform::INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::Get_Last_Error(), platform::ERROR_ACCESS_DENIED);
    EXPECT_FALSE(platform::Comm_Open_Denied_By_Permission());
    platform::Close_Handle(first);
    platform::Pty_Close(pty);
}

using Serial_Open = test::Sim_Port_Test;

TEST_F(Serial_Open, AnOrdinaryUserCanOpenThePortAgainAfterClosingIt) {
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

}  // namespace
}  // namespace kdx
