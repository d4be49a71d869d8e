// kdx-cli report over a machine described by a hive file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/os/path.h"
#include "tests/support/cli_run.h"
#include "tests/support/registry_fixture.h"

namespace {

using Run_Result = kdx::test::Shell_Result;
using kdx::test::Cli;

TEST(Cli_Report, WritesIntoTheFolderAndPrintsThePath) {
    kdx::test::Registry_Machine machine;
    machine.Use_Hive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
        "\"\\\\Device\\\\Serial0\"=\"COM1\"\n");
    Run_Result r = Cli("report --dir '" + machine.path() + "'");
    ASSERT_EQ(r.code, 0) << r.out;
    ASSERT_FALSE(r.out.empty());
    std::string path = r.out.substr(0, r.out.size() - 1);
    EXPECT_EQ(path.rfind(kdx::platform::Path_In_Folder(machine.path(), "KDX Diagnostic "), 0), 0u)
        << path;
    EXPECT_TRUE(std::filesystem::exists(path)) << path;

    Run_Result missing = Cli("report --dir '" + machine.path() + "/absent'");
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.out.find("cannot use folder"), std::string::npos);
}

}  // namespace
