// Ports directory entries that are not serial lines (a link to /dev/zero, a folder, a plain
// file): never opened as ports, and listed as unusable with the reason instead of as ports.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/ports/ports_dir.h"
#include "serial/serial_port.h"
#include "tests/test_registry_fixture.h"

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

TEST(Not_Serial, EntriesThatAreNoSerialLineAreNeitherOpenedNorListedAsPorts) {
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

}  // namespace
}  // namespace kdx
