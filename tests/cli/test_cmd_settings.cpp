// kdx-cli settings: the page created, updated and printed, and what is never written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/fresh_page.h"
#include "tests/support/ini_run.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using kdx::test::Fresh_Page;
using kdx::test::Read_File_Text;
using kdx::test::Run_Program;

namespace {

// kdx-cli settings, run as a copy in a folder of its own (it still finds libkdx by its
// build path).
TEST(Cli_Settings, SettingsCommandCreatesUpdatesAndPrintsThePage) {
    kdx::test::Temp_Dir dir;
    std::string cli = dir.path() + "/kdx-cli";
    fs::copy_file(KDX_CLI_PATH, cli);
    std::string page = kdx::test::Native(dir.path() + "/kdx-cli.html");
    auto run = Run_Program(cli, {"settings"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, page + "\n");
    EXPECT_EQ(Read_File_Text(page), Fresh_Page);

    run = Run_Program(cli, {"settings", "--set", "COM6", "Stop:", "1<br/>", "--port", "COM3",
                            "--get", "com6", "baud:", "--get", "COM9", "x", "none"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "9600V<br/>\nnone\n" + page + "\n");
    std::string text = Read_File_Text(page);
    EXPECT_NE(text.find("Baud:=9600V<br/>\rStop:=1<br/>\r          </details>"), std::string::npos);
    EXPECT_NE(text.find("[<summary>Port Info</summary>]\rPort:=COM3<br/>\r"), std::string::npos);

    // An existing page is kept unless a new one is asked for.
    run = Run_Program(cli, {"settings"});
    EXPECT_EQ(Read_File_Text(page), text);
    run = Run_Program(cli, {"settings", "--new"});
    EXPECT_EQ(Read_File_Text(page), Fresh_Page);

    // Something other than a page at the page's name: nothing is created or written.
    fs::remove(page);
    fs::create_directory(page);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"settings"}, {"settings", "--new"}}) {
        SCOPED_TRACE(args.back());
        run = Run_Program(cli, args);
        EXPECT_EQ(run.exit_code, 1) << run.out;
        EXPECT_EQ(run.out, "");
    }
    fs::remove(page);

    EXPECT_EQ(Run_Program(cli, {"settings", "--set", "only-section"}).exit_code, 2);
    EXPECT_EQ(Run_Program(cli, {"settings", "--bogus"}).exit_code, 2);
    EXPECT_EQ(Run_Program(cli, {"settings", "--set", "A", "bad=key", "v"}).exit_code, 1);
}

}  // namespace
