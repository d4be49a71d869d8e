// The port log and the debug log are written only into regular files: a link at their name
// is not followed (its target keeps its content), a pipe or folder there is refused, and the
// refusal is said, never shown as a log that is on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/ini_run.h"
#include "tests/support/port_log_name.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using kdx::test::Copy_Helper;
using kdx::test::Helper_Value;
using kdx::test::Port_Log_Name_At;
using kdx::test::Read_File_Text;
using kdx::test::Run_Program;
using kdx::test::Write_File_Text;

namespace {

TEST(Log_Files, ALinkPipeOrFolderAtTheLogsNameIsRefusedAndSaid) {
    struct Thing {
        const char* kind;  // as the refusal names it
        std::function<void(const std::string& path, const std::string& target)> make;
    };
    const Thing things[] = {
        {"a symbolic link",
         [](const std::string& p, const std::string& t) { fs::create_symlink(t, p); }},
        {"a pipe", [](const std::string& p, const std::string&) { mkfifo(p.c_str(), 0644); }},
        {"a folder", [](const std::string& p, const std::string&) { fs::create_directory(p); }},
    };
    for (const Thing& thing : things) {
        for (bool port_log : {true, false}) {
            SCOPED_TRACE(std::string(thing.kind) + (port_log ? " as port log" : " as debug log"));
            kdx::test::Temp_Dir dir;
            std::string exe = Copy_Helper(dir.path(), "kdx");
            std::string target = dir.path() + "/precious.txt";
            Write_File_Text(target, "keep me");
            std::string name = port_log ? Port_Log_Name_At(time(nullptr), "UTC0") : "kdx_Debug.txt";
            thing.make(dir.path() + "/" + name, target);
            auto run =
                port_log ? Run_Program(exe, {"log-open", "log-line", "x", "log-error", "log-close"},
                                       {"TZ=UTC0"})
                         : Run_Program(exe, {"debug-open"});
            ASSERT_EQ(run.exit_code, 0) << run.out;
            std::string error = Helper_Value(run.out, port_log ? "log-error" : "debug-error");
            EXPECT_NE(error.find(name + " is " + thing.kind + ", not a file"), std::string::npos)
                << run.out;
            if (port_log) {
                EXPECT_EQ(Helper_Value(run.out, "log-open"), "0");
                EXPECT_EQ(Helper_Value(run.out, "log-line"), "0");
            } else {
                EXPECT_EQ(Helper_Value(run.out, "debug-path"), "");
            }
            EXPECT_EQ(Read_File_Text(target), "keep me");
        }
    }
}

}  // namespace

namespace {

// An installed program keeps its port log in the user's data folder: one that cannot be made
// is named as the reason, not an unknown program folder.
TEST(Log_Files, AnUncreatableDataFolderIsNamedAsTheReason) {
    kdx::test::Temp_Dir dir;
    fs::create_directories(dir.path() + "/bin");
    fs::create_directories(dir.path() + "/share/kdx");
    std::string exe = Copy_Helper(dir.path() + "/bin", "kdx");
    Write_File_Text(dir.path() + "/a-file", "");
    std::string data = dir.path() + "/a-file/data";
    auto run = Run_Program(exe, {"log-open", "log-error"}, {"XDG_DATA_HOME=" + data});
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(Helper_Value(run.out, "log-open"), "0");
    EXPECT_EQ(Helper_Value(run.out, "log-error")
                  .rfind("the port log could not be opened: cannot create the data folder " + data +
                             "/kdx: ",
                         0),
              0u)
        << run.out;
    // The settings page of an installed kdx-cli says the same.
    std::string cli = dir.path() + "/bin/kdx-cli";
    fs::copy_file(KDX_CLI_PATH, cli);
    run = Run_Program("/bin/sh", {"-c", "\"$0\" settings 2>&1", cli}, {"XDG_DATA_HOME=" + data});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(
        run.out.rfind("kdx-cli settings: cannot create the data folder " + data + "/kdx: ", 0), 0u)
        << run.out;
}

}  // namespace
