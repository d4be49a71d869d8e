// kdx-cli's debug-log command and its --trace option.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/os/path.h"
#include "tests/support/run_in_folder.h"
#include "tests/support/temp_dir.h"

namespace kdx {
namespace {

using namespace test::run_in_folder;

TEST(Cli_Debug_Log, DebugLogReportsAndShowsTheLog) {
    test::Temp_Dir dir;
    auto r = Run_Program(KDX_CLI_PATH, {"debug-log", "--comment", "bench 4", "--show"}, dir.path(),
                         {"KDX_CONSOLE=capture"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string path = platform::Path_In_Folder(dir.path(), "kdx-cli_Debug.txt");
    EXPECT_NE(r.out.find("Debug log: " + path + " ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("%debug-logbench 4ERRCHECK_DEBUG_LOG_NAME(\"\")\r\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(Read_File_Text(path).size() > 0, true);
}

TEST(Cli_Debug_Log, TraceOptionShowsALiveTraceOnTheTerminal) {
    test::Temp_Dir dir;
    auto r = Run_Program(KDX_CLI_PATH, {"--trace", "debug-log", "--for", "/opt/kdx/Tool.rev2"},
                         dir.path(), {"KDX_CONSOLE=terminal"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/opt/kdx/Tool.rev2: Tool.rev2_Debug.txt\n");
    EXPECT_NE(r.err.find("ERRCHECK_DEBUG_LOG_NAME(\"/opt/kdx/Tool.rev2\")\r\n"), std::string::npos)
        << r.err;
    EXPECT_NE(
        r.err.find("End ERRCHECK_DEBUG_LOG_NAME = Tool.rev2_Debug.txt     ;/opt/kdx/Tool.rev2"),
        std::string::npos)
        << r.err;
}

// A log that cannot be created is not reported as created, whatever stands at its name.
TEST(Cli_Debug_Log, DebugLogThatCannotBeCreatedIsReportedAsMissing) {
    test::Temp_Dir dir;
    std::string path = dir.path() + "/kdx-cli_Debug.txt";
    ASSERT_TRUE(std::filesystem::create_directory(path));  // a folder where the log should go
    auto r = Run_Program(KDX_CLI_PATH, {"debug-log", "--comment", "x"}, dir.path(),
                         {"KDX_CONSOLE=capture"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out.find("Debug log:"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("could not be created"), std::string::npos) << r.err;
}

TEST(Cli_Debug_Log, DebugLogRejectsUnknownArguments) {
    test::Temp_Dir dir;
    EXPECT_EQ(Run_Program(KDX_CLI_PATH, {"debug-log", "--bogus"}, dir.path()).status, 2);
    EXPECT_EQ(Run_Program(KDX_CLI_PATH, {"debug-log", "--comment"}, dir.path()).status, 2);
}

}  // namespace
}  // namespace kdx
