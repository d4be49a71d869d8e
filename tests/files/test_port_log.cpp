// The daily port log, written by a real program beside its executable.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "files/port_log.h"
#include "tests/support/ini_run.h"
#include "tests/support/port_log_name.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using kdx::test::Copy_Helper;
using kdx::test::Helper_Value;
using kdx::test::Read_File_Text;
using kdx::test::Run_Program;
using kdx::test::Write_File_Text;

namespace {

const std::string Header =
    "<!DOCTYPE html>\r\r\n"
    "<html> \r\r\n"
    "<head>\r\r\n"
    "<BASE href=\"https://kdx.example/\"target=\"_blank\">\r\r\n"
    "<link rel=\"stylesheet\" href=\"https://kdx.example/dravon.css\"TYPE=\"text/css\">\r\r\n"
    "</head>\r\r\n"
    "<body style=\"background-color:black;\">\r\r\n";
const std::string Footer = "</body> \r\r\n</html> \r\r\n";

std::vector<std::string> Log_Files(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) {
        std::string name = e.path().filename().string();
        if (name.rfind("KDX Port Log ", 0) == 0) names.push_back(name);
    }
    return names;
}

using kdx::test::Port_Log_Name_At;

TEST(Port_Log, TwoPeriodsOnOneDayShareOneFile) {
    kdx::test::Temp_Dir dir;
    std::string exe = Copy_Helper(dir.path(), "kdx");
    time_t start = time(nullptr);
    auto run =
        Run_Program(exe,
                    {"log-open", "log-line", "F,<br/>", "log-line", "R", "log-close", "log-line",
                     "after close", "log-open", "log-line", "second", "log-close", "log-close"},
                    {"TZ=UTC0"});
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_NE(Helper_Value(run.out, "log-open"), "0");
    auto files = Log_Files(dir.path());
    ASSERT_EQ(files.size(), 1u);
    std::set<std::string> expected = {Port_Log_Name_At(start, "UTC0"),
                                      Port_Log_Name_At(time(nullptr), "UTC0")};
    EXPECT_TRUE(expected.count(files[0])) << files[0];
    EXPECT_EQ(Read_File_Text(dir.path() + "/" + files[0]),
              Header + "F,<br/>\r\nR\r\n" + Footer + Header + "second\r\n" + Footer);
}

// The name is fixed when the log opens: a period that runs past midnight stays in its file.
// Switching the time zone 26 hours ahead moves the local date on, as midnight would.
TEST(Port_Log, APeriodPastMidnightKeepsItsFile) {
#ifdef _WIN32
    GTEST_SKIP() << "the C runtime of Windows reads no POSIX rule in TZ (EAST-14)";
#endif
    kdx::test::Temp_Dir dir;
    std::string exe = Copy_Helper(dir.path(), "kdx");
    time_t start = time(nullptr);
    auto run =
        Run_Program(exe, {"log-open", "tz", "EAST-14", "log-line", "after midnight", "log-close"},
                    {"TZ=WEST+12"});
    ASSERT_EQ(run.exit_code, 0) << run.out;
    auto files = Log_Files(dir.path());
    ASSERT_EQ(files.size(), 1u);
    std::set<std::string> opening = {Port_Log_Name_At(start, "WEST+12"),
                                     Port_Log_Name_At(time(nullptr), "WEST+12")};
    EXPECT_TRUE(opening.count(files[0])) << files[0];
    EXPECT_NE(files[0], Port_Log_Name_At(time(nullptr), "EAST-14"));
    EXPECT_EQ(Read_File_Text(dir.path() + "/" + files[0]), Header + "after midnight\r\n" + Footer);
}

TEST(Port_Log, OpeningTwiceClosingTwiceAndStaleNumbers) {
    kdx::test::Temp_Dir dir;
    std::string exe = Copy_Helper(dir.path(), "kdx");
    // Without an open log, traffic makes no file.
    auto run = Run_Program(exe, {"log-line", "lost", "log-close"});
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(Helper_Value(run.out, "log-line"), "0");
    EXPECT_TRUE(Log_Files(dir.path()).empty());
    // A second opening while open neither adds a header nor loses the open file; a line sent
    // to a closed log's number goes nowhere.
    run = Run_Program(exe, {"log-open", "log-open", "log-line", "x", "log-close", "log-stale",
                            "late", "log-close"});
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(Helper_Value(run.out, "log-stale"), "0");
    auto files = Log_Files(dir.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(Read_File_Text(dir.path() + "/" + files[0]), Header + "x\r\n" + Footer);
}

// The user-interface thread and the receive poller write at once: every line arrives whole
// and each thread's lines keep their order.
TEST(Port_Log, LinesFromTwoThreadsNeverInterleave) {
    kdx::test::Temp_Dir dir;
    std::string exe = Copy_Helper(dir.path(), "kdx");
    const int n = 2000;
    auto run = Run_Program(exe, {"log-open", "log-threads", std::to_string(n), "log-close"});
    ASSERT_EQ(run.exit_code, 0) << run.out;
    auto files = Log_Files(dir.path());
    ASSERT_EQ(files.size(), 1u);
    std::string text = Read_File_Text(dir.path() + "/" + files[0]);
    ASSERT_EQ(text.rfind(Header, 0), 0u);
    ASSERT_GE(text.size(), Header.size() + Footer.size());
    ASSERT_EQ(text.substr(text.size() - Footer.size()), Footer);
    std::string body = text.substr(Header.size(), text.size() - Header.size() - Footer.size());
    int next[2] = {0, 0};
    size_t at = 0;
    while (at < body.size()) {
        size_t end = body.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        std::string line = body.substr(at, end - at);
        ASSERT_EQ(line.size(), 47u) << line;
        char id = line[0];
        ASSERT_TRUE(id == 'A' || id == 'B') << line;
        char expected[64];
        std::snprintf(expected, sizeof expected, "%c %04d %s", id, next[id - 'A']++,
                      std::string(40, id).c_str());
        ASSERT_EQ(line, expected);
        at = end + 2;
    }
    EXPECT_EQ(next[0], n);
    EXPECT_EQ(next[1], n);
}

TEST(Port_Log, UnwritableFolderLeavesTheLogClosed) {
#ifdef _WIN32
    GTEST_SKIP() << "folder permissions and a user to drop to are Unix's, not Windows'";
#endif
    kdx::test::Temp_Dir locked;
    std::string ro = locked.path() + "/ro";
    fs::create_directories(ro);
    std::string exe = Copy_Helper(ro, "kdx");
    chmod(locked.path().c_str(), 0755);
    chmod(ro.c_str(), 0555);
    auto run = Run_Program(exe, {"as-nobody", "log-open", "log-line", "x", "log-close"});
    chmod(ro.c_str(), 0755);
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(Helper_Value(run.out, "log-open"), "0");
    EXPECT_EQ(Helper_Value(run.out, "log-line"), "0");
    EXPECT_TRUE(Log_Files(ro).empty());
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The End key of an error pause ends the program; the open log still gets its footer, also
// when the pause comes from inside an opening (which holds the log's opening lock).
TEST(Port_Log, EndKeyClosesTheLogWithItsFooter) {
    const struct {
        const char* name;
        std::vector<std::string> commands;
        bool one_period;  // the log holds exactly the first period
    } cases[] = {
        {"pause in traffic", {"log-open", "log-line", "before end", "end-arm", "end-key"}, true},
        {"pause while opening", {"log-open", "log-close", "end-arm", "log-open", "end-key"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kdx::test::Temp_Dir dir;
        std::string exe = Copy_Helper(dir.path(), "kdx");
        auto run = Run_Program(exe, c.commands, {"TZ=UTC0"});
        EXPECT_EQ(run.exit_code, 3) << run.out;
        EXPECT_EQ(run.out.find("not ended"), std::string::npos) << run.out;
        auto files = Log_Files(dir.path());
        ASSERT_EQ(files.size(), 1u);
        std::string log = Read_File_Text(dir.path() + "/" + files[0]);
        if (c.one_period) {
            EXPECT_EQ(log, Header + "before end\r\n" + Footer);
        }
        EXPECT_GE(Count(log, Header), 1u);
        EXPECT_EQ(Count(log, Header), Count(log, Footer)) << log;
        EXPECT_EQ(log.compare(log.size() - Footer.size(), Footer.size(), Footer), 0) << log;
    }
}

TEST(Port_Log, NameShape) {
    EXPECT_EQ(kdx::Port_Log_Name("/opt/kdx/", 2026, 6, 30),
              "/opt/kdx/KDX Port Log 06-30-2026.html");
    EXPECT_EQ(kdx::Maker_Base_Address, "https://kdx.example/");
}

}  // namespace

// The port log and the debug log are written only into regular files: a link at their name
// is not followed (its target keeps its content), a pipe or folder there is refused, and the
// refusal is said, never shown as a log that is on.
namespace {

TEST(Port_Log_Files, ALinkPipeOrFolderAtTheLogsNameIsRefusedAndSaid) {
    struct Thing {
        const char* kind;  // as the refusal names it
        std::function<void(const std::string& path, const std::string& target)> make;
    };
    std::vector<Thing> things = {
        {"a folder", [](const std::string& p, const std::string&) { fs::create_directory(p); }},
    };
    // Windows has no named pipes among the files, and the C++ library makes no links there.
#ifndef _WIN32
    things.push_back({"a symbolic link", [](const std::string& p, const std::string& t) {
                          fs::create_symlink(t, p);
                      }});
    things.push_back(
        {"a pipe", [](const std::string& p, const std::string&) { mkfifo(p.c_str(), 0644); }});
#endif
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
TEST(Port_Log_Files, AnUncreatableDataFolderIsNamedAsTheReason) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows takes the data folder from LOCALAPPDATA, not XDG_DATA_HOME";
#endif
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
