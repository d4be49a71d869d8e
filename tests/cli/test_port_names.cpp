// kdx-cli's port arguments: a device path, directly or through a link, names its COM port.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "tests/support/cli_run.h"
#include "tests/support/serial_fixture.h"

namespace {

using Run_Result = kdx::test::Shell_Result;
using kdx::test::Cli;
using Cli_Port_Names = kdx::test::Sim_Port_Test;

// A port given by its device, directly or through a link (as /dev/serial/by-id names are),
// is the COM port the map gives it; a path that is no port of this machine, or leads nowhere,
// is a port that cannot be opened, as a COM name that is not there is.
TEST_F(Cli_Port_Names, DevicePathsNameTheirComPort) {
    Start_Sim();
    std::string link = dir.path() + "/by-id-link";
    ASSERT_EQ(symlink(sim->Device().c_str(), link.c_str()), 0);
    const std::pair<std::string, std::string> cases[] = {
        {sim->Device(), "Status: R (Ready)"},
        {link, "Status: R (Ready)"},
        {"/dev/null", "cannot open /dev/null: no port of this machine"},
        {dir.path() + "/nothing", "cannot open " + dir.path() + "/nothing: no such port"}};
    for (const auto& [port, want] : cases) {
        Run_Result r = Cli("status " + port + " --quiet");
        EXPECT_NE(r.out.find(want), std::string::npos) << port << "\n" << r.out;
        EXPECT_EQ(r.code, want.rfind("Status", 0) == 0 ? 0 : 1) << port << "\n" << r.out;
    }
}

}  // namespace
