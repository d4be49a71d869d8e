// The settings file: path rules (run as a real program under chosen names), the fresh page,
// the sample keys and the Terminal's port entry, and a link at the page's name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "files/ini.h"
#include "platform/os/error.h"
#include "tests/support/fresh_page.h"
#include "tests/support/ini_run.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using kdx::test::Copy_Helper;
using kdx::test::Helper_Value;
using kdx::test::Read_File_Text;
using kdx::test::Run_Program;
using kdx::test::Write_File_Text;

namespace {

using kdx::test::Fresh_Page;

struct Rule {
    const char* exe;
    const char* folder;
    const char* name;
    const char* page;
};

TEST(Ini_Rules, FolderNameAndPageOfAnExecutablePath) {
    const Rule cases[] = {
        {"C:\\Apps\\Tool.rev2.exe", "C:\\Apps\\", "Toolrev2", "Tool.rev2.html"},
        {"/opt/kdx/Tool.rev2.exe", "/opt/kdx/", "Toolrev2", "Tool.rev2.html"},
        {"/opt/kdx/Tool.rev2", "/opt/kdx/", "Tool", "Tool.html"},
        {"/opt/kdx/kdx-cli", "/opt/kdx/", "kdx-cli", "kdx-cli.html"},
        {"/home/u/.local/bin/kdx", "/home/u/.local/bin/", "kdx", "kdx.html"},
        {"C:Tool.exe", "C:", ":Tool", "Tool.html"},  // only "\\", "/" and "." are dropped
        {"Tool.exe", "", "Tool", "Tool.html"},
        {"/a/x.exe.exe", "/a/", "xexe", "x.html.html"},
        {"/a/b\\c.exe", "/a/b\\", "c", "c.html"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exe);
        EXPECT_EQ(kdx::ini_rules::Folder_Of(c.exe), c.folder);
        EXPECT_EQ(kdx::ini_rules::Settings_Name_Of(c.exe), c.name);
        EXPECT_EQ(kdx::ini_rules::Page_File_Of(c.exe), c.page);
    }
}

// The two name rules differ on inner dots: Tool.rev2.exe keeps them only in its page.
TEST(Ini_Paths, ToolRev2KeepsInnerDotsOnlyInThePage) {
    struct Case {
        const char* exe;
        const char* value_file;  // Ini_Set_Value / Ini_Get_Value
        const char* page_file;   // Ini_Get_Current_Path and the Terminal's entry
        const char* name;
    };
    const Case cases[] = {
        {"Tool.rev2.exe", "Toolrev2.html", "Tool.rev2.html", "Toolrev2"},
        {"Tool.rev2", "Tool.html", "Tool.html", "Tool"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exe);
        kdx::test::Temp_Dir dir;
        std::string exe = Copy_Helper(dir.path(), c.exe);
        auto run = Run_Program(
            exe, {"paths", "set", "COM3", "Baud:", "9600<br/>", "get", "COM3", "Baud:", "none"});
        ASSERT_EQ(run.exit_code, 0) << run.out;
        EXPECT_EQ(Helper_Value(run.out, "full"), exe);
        EXPECT_EQ(Helper_Value(run.out, "folder"), kdx::test::Native(dir.path() + "/"));
        EXPECT_EQ(Helper_Value(run.out, "name"), c.name);
        EXPECT_EQ(Helper_Value(run.out, "extension"), ".html");
        EXPECT_EQ(Helper_Value(run.out, "page"), kdx::test::Native(dir.path() + "/" + c.page_file));
        EXPECT_EQ(Helper_Value(run.out, "get"), "9600<br/>");
        EXPECT_EQ(Read_File_Text(dir.path() + "/" + c.value_file), "[COM3]\r\nBaud:=9600<br/>\r\n");

        run = Run_Program(exe, {"page", "port", "COM3"});
        ASSERT_EQ(run.exit_code, 0) << run.out;
        EXPECT_EQ(Helper_Value(run.out, "port"), "1");
        EXPECT_EQ(Read_File_Text(dir.path() + "/" + c.page_file),
                  Fresh_Page + "[<summary>Port Info</summary>]\rPort:=COM3<br/>\r");
    }
}

TEST(Ini_Paths, FreshPageIsWholeAndOverwritesTheOldOne) {
    kdx::test::Temp_Dir dir;
    std::string exe = Copy_Helper(dir.path(), "Tool.rev2.exe");
    std::string page = dir.path() + "/Tool.rev2.html";
    Write_File_Text(page, "[COM6]\r\nOld:=1\r\n");
    auto run = Run_Program(exe, {"page"});
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(Helper_Value(run.out, "page"), "");
    EXPECT_EQ(Read_File_Text(page), Fresh_Page);
    // Running it again gives the same bytes, not a second set of keys.
    Run_Program(exe, {"page"});
    EXPECT_EQ(Read_File_Text(page), Fresh_Page);
}

// Ini_Set_Value and Ini_Get_Value each fill their folder and name once, on first use.
TEST(Ini_Paths, FolderAndNameAreCachedPerOperation) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows keeps the name a program was started under after a rename";
#endif
    kdx::test::Temp_Dir dir;
    std::string exe = Copy_Helper(dir.path(), "Tool.exe");
    auto run = Run_Program(exe, {"set", "A", "k", "1", "rename", "Other.exe", "set", "A", "k", "2",
                                 "get", "A", "k", "missing", "port", "COM4"});
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(Helper_Value(run.out, "rename"), dir.path() + "/Other.exe");
    EXPECT_EQ(Read_File_Text(dir.path() + "/Tool.html"), "[A]\r\nk=2\r\n");
    // Ini_Get_Value's first use came after the rename; the page rule has no cache.
    EXPECT_EQ(Helper_Value(run.out, "get"), "missing");
    EXPECT_EQ(Read_File_Text(dir.path() + "/Other.html"),
              "[<summary>Port Info</summary>]\r\nPort:=COM4<br/>\r\n");
}

TEST(Ini_Paths, UnusablePlacesWriteNothingAndDoNotCrash) {
#ifdef _WIN32
    GTEST_SKIP() << "folder permissions and a user to drop to are Unix's; on Windows the "
                    "C++ library walks no folders past 260 characters";
#endif
    // A folder path long enough to push every settings path over the limit.
    kdx::test::Temp_Dir dir;
    std::string deep = dir.path();
    while (deep.size() < kdx::Max_Settings_Path) deep += "/" + std::string(40, 'd');
    fs::create_directories(deep);
    std::string exe = Copy_Helper(deep, "Tool.exe");
    auto run = Run_Program(
        exe, {"paths", "set", "A", "k", "1", "page", "port", "COM3", "get", "A", "k", "dflt"});
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(Helper_Value(run.out, "full"), "");
    EXPECT_EQ(Helper_Value(run.out, "page"), "");
    EXPECT_EQ(Helper_Value(run.out, "port"), "0");
    EXPECT_EQ(Helper_Value(run.out, "get"), "dflt");
    EXPECT_EQ(std::distance(fs::directory_iterator(deep), fs::directory_iterator()), 1);

    // An executable path that fits while its page's name would not.
    std::string edge = dir.path() + "/";
    edge += std::string(kdx::Max_Settings_Path - edge.size() - 5, 'e');
    fs::create_directories(edge);
    exe = Copy_Helper(edge, "T.x");  // the page would be T.html: two characters too long
    run = Run_Program(exe, {"page", "port", "COM3"});
    EXPECT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(Helper_Value(run.out, "port"), "0");
    EXPECT_EQ(std::distance(fs::directory_iterator(edge), fs::directory_iterator()), 1);

    // A folder the program may not write in.
    kdx::test::Temp_Dir locked;
    std::string ro = locked.path() + "/ro";
    fs::create_directories(ro);
    exe = Copy_Helper(ro, "Tool.exe");
    chmod(locked.path().c_str(), 0755);
    chmod(ro.c_str(), 0555);
    run = Run_Program(exe, {"as-nobody", "page", "set", "A", "k", "1", "port", "COM3"});
    chmod(ro.c_str(), 0755);
    ASSERT_EQ(run.exit_code, 0) << run.out;
    ASSERT_EQ(Helper_Value(run.out, "as-nobody"), "1");
    EXPECT_EQ(Helper_Value(run.out, "port"), "0");
    EXPECT_EQ(std::distance(fs::directory_iterator(ro), fs::directory_iterator()), 1);
}

TEST(Ini_Keys, SampleKeysIntoAPlainFileAndWriteKeyResults) {
    kdx::test::Temp_Dir dir;
    std::string folder = dir.path() + "/";
    EXPECT_NE(kdx::Ini_Write_Sample_Key(folder, "plain.ini"), 0);
    EXPECT_EQ(Read_File_Text(folder + "plain.ini"),
              "[COM6]\r\nNumber:=6<br/>\r\nBaud:=9600V<br/>\r\n"
              "[COM7]\r\nQuill Test:=Yadda<br/>\r\n"
              "[COM1]\r\nNumber:=1<br/>\r\n");
    EXPECT_NE(kdx::Ini_Write_Key(folder, "plain.ini", "com7", "quill test:", "Done<br/>"), 0);
    EXPECT_NE(Read_File_Text(folder + "plain.ini").find("quill test:=Done<br/>\r\n[COM1]"),
              std::string::npos);
    EXPECT_EQ(kdx::Ini_Write_Key(folder + "missing/", "x.ini", "A", "k", "v"), 0);
    EXPECT_EQ(kdx::platform::Get_Last_Error(), kdx::test::Missing_Folder_Error);
    EXPECT_EQ(kdx::Ini_Write_Sample_Key(folder + "missing/", "x.ini"), 0);
}

}  // namespace

namespace {

// A link at the page's name is not followed by any writer of the page: its target keeps its
// content, and the writer says it wrote nothing.
TEST(Ini_Page_Link, ALinkAtThePagesNameIsNeverWrittenThrough) {
#ifdef _WIN32
    GTEST_SKIP() << "the C++ library makes no symbolic links on Windows";
#endif
    kdx::test::Temp_Dir dir;
    std::string cli = dir.path() + "/kdx-cli";
    fs::copy_file(KDX_CLI_PATH, cli);
    std::string helper = Copy_Helper(dir.path(), "kdx");
    std::string target = dir.path() + "/precious.txt";
    Write_File_Text(target, "keep me");
    fs::create_symlink(target, dir.path() + "/kdx-cli.html");
    fs::create_symlink(target, dir.path() + "/kdx.html");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"settings"},
                                                 {"settings", "--new"},
                                                 {"settings", "--set", "COM6", "Baud:", "9600"},
                                                 {"settings", "--port", "COM40"}}) {
        SCOPED_TRACE(args.back());
        auto run = Run_Program(cli, args);
        EXPECT_EQ(run.exit_code, 1) << run.out;
    }
    // The Terminal's record of the port, as the window writes it at every open.
    auto run = Run_Program(helper, {"port", "COM40"});
    EXPECT_EQ(Helper_Value(run.out, "port"), "0");
    EXPECT_EQ(Read_File_Text(target), "keep me");
    EXPECT_TRUE(fs::is_symlink(dir.path() + "/kdx.html"));
}

}  // namespace
