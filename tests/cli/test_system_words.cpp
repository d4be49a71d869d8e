// kdx-cli's help and open failures speak of the system it runs on: no slot left unfilled, on
// Windows no word of Linux's (udev, /dev, the XDG folders, the dialout group), and each
// system's own source of ports named.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "platform/os/path.h"
#include "platform/os/system.h"
#include "tests/support/run_in_folder.h"

namespace {

using kdx::test::run_in_folder::Run_Program;

bool On_Windows() {
    return kdx::platform::Path_Separator() == '\\';
}

TEST(Cli_System_Words, HelpAndOpenFailuresNameThisSystemsThings) {
    const std::string here = kdx::platform::Current_Directory();
    const std::regex slot("\\{[a-z-]+\\}");
    for (const char* command : {"check", "commo-test", "debug-log", "identify", "info",
                                "memory-test", "online", "offline", "ports", "program", "report",
                                "send", "set-serial", "settings", "status", "terminal", "watch"}) {
        auto run = Run_Program(KDX_CLI_PATH, {command, "--help"}, here);
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_FALSE(std::regex_search(run.out, slot)) << command << ":\n" << run.out;
        if (!On_Windows()) continue;
        for (const char* word : {"udev", "/dev/", "XDG_", "/tmp", "dialout", "~/", "$HOME"})
            EXPECT_EQ(run.out.find(word), std::string::npos) << command << ": " << word;
    }
    auto ports = Run_Program(KDX_CLI_PATH, {"ports", "--help"}, here);
    EXPECT_NE(ports.out.find(On_Windows() ? "DEVICEMAP\\SERIALCOMM" : "udev"), std::string::npos)
        << ports.out;
    // A port that is not there: the hint says where this system lists and makes ports.
    auto missing = Run_Program(KDX_CLI_PATH, {"status", "COM998"}, here);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open COM998: no such port"), std::string::npos)
        << missing.err;
    EXPECT_NE(missing.err.find(On_Windows() ? "the Device Manager" : "ports directory /"),
              std::string::npos)
        << missing.err;
}

}  // namespace
