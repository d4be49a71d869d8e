// The diagnostic report, compared whole, for machines described by hive files.
#include <gtest/gtest.h>
#include <time.h>

#include <filesystem>
#include <string>
#include <vector>

#include "files/html_template.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "platform/window/window.h"
#include "protocol/report.h"
#include "tests/support/ini_run.h"
#include "tests/support/registry_fixture.h"

using namespace kdx;

namespace {

// Runs the test in the machine's folder: the report goes to the current directory.
class In_Folder {
  public:
    explicit In_Folder(const std::string& path) : saved_(platform::Current_Directory()) {
        platform::Set_Current_Directory(path);
    }
    ~In_Folder() { platform::Set_Current_Directory(saved_); }

  private:
    std::string saved_;
};

// Records the messages the report sends to windows.
class Recorder final : public win::Backend {
  public:
    struct Message {
        win::HWND window;
        uint32_t message;
        uint64_t wparam;
        int64_t lparam;
    };
    std::vector<Message> sent;
    bool Set_Dlg_Item_Text(win::HWND, int32_t, const std::string&) override { return true; }
    std::string Get_Dlg_Item_Text(win::HWND, int32_t) override { return {}; }
    int64_t Send_Message(win::HWND w, uint32_t m, uint64_t wp, int64_t lp) override {
        sent.push_back({w, m, wp, lp});
        return 0;
    }
    bool Post_Message(win::HWND, uint32_t, uint64_t, int64_t) override { return true; }
};

std::string Head(const std::string& folder) {
    std::string address = File_Address_Of(folder);  // its own table test holds the forms
    return "<!DOCTYPE html>\r<html>\r\t<head>\r\t\t<base href=\"" + address +
           "\">\r\t\t<link rel=\"stylesheet\" href=\"css/dravon.css\" type=\"text/css\">\r"
           "\t</head>\r\t<body>\r";
}

std::string Port_Block(const std::string& port) {
    const std::string p = Report_Key_Prefix;
    std::string text = "\t\t<details>\r\t\t\t<summary>\r[" + port + "]\r";
    for (const char* label : {"Actual Name:", "Symbolic Name:", "Port Type:", "Baud Rate:",
                              "Device:", "Connect Status:"})
        text += p + label + "=\r";
    text += "\t\t\t</summary>\r\t\t<details>\r\t\t\t<summary>\r[" + port + " - Device]\r";
    for (const char* label : {"Serial Num:", "Order Num:", "Version:", "Revision:", "Num of Axis:",
                              "Axis Set:", "Axis Detected:", "<hr/>"})
        text += p + label + "=\r";
    text += "\t\t\t</summary>\r<br/><br/>\r\t\t</details>\r<br/><br/>\r\t\t</details>\r";
    return text;
}

const std::string Tail = "\t</body>\r</html>\r";

std::string Read(const std::string& path) {
    std::string text;
    EXPECT_TRUE(platform::Read_Whole_File(path, text)) << path;
    return text;
}

TEST(Report, MachineWithCom1AndCom3GivesTwoPortBlocksEachWithItsDeviceBlock) {
    test::Registry_Machine machine;
    machine.Use_Hive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
        "\"\\\\Device\\\\Serial0\"=\"COM1\"\n\"\\\\Device\\\\VCP0\"=\"COM3\"\n");
    In_Folder folder(machine.path());
    std::string name = HTML_Template_Create();
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(Read(machine.path() + "/" + name),
              Head(machine.path()) + Port_Block("COM1") + Port_Block("COM3") + Tail);
}

TEST(Report, BluetoothPortKeepsItsMarkAndNoPortsGiveAnEmptyBody) {
    test::Registry_Machine machine;
    In_Folder folder(machine.path());
    machine.Use_Hive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
        "\"\\\\Device\\\\BthModem0\"=\"COM7\"\n");
    std::string name = HTML_Template_Create();
    EXPECT_EQ(Read(machine.path() + "/" + name),
              Head(machine.path()) + Port_Block("BTH_COM7") + Tail);

    // A failed enumeration (no serial device map at all) leaves the head and an empty body.
    machine.Use_Hive("REGEDIT4\n");
    name = HTML_Template_Create();
    EXPECT_EQ(Read(machine.path() + "/" + name), Head(machine.path()) + Tail);
}

TEST(Report, NameCarriesDateAndTimeAndTheTerminalIsToldToRefresh) {
    const std::pair<platform::System_Time, const char*> names[] = {
        {{2026, 3, 0, 7, 9, 5, 1, 0}, "KDX Diagnostic 03-07-2026 090501.html"},
        {{1999, 12, 0, 31, 23, 59, 59, 999}, "KDX Diagnostic 12-31-1999 235959.html"},
    };
    for (const auto& [time, expected] : names) EXPECT_EQ(Report_Name(time), expected);

    test::Registry_Machine machine;
    machine.Use_Hive("REGEDIT4\n");
    In_Folder folder(machine.path());
    Recorder recorder;
    win::Set_Backend(&recorder);
    win::Terminal_Dialog = 0;
    HTML_Template_Create();
    EXPECT_TRUE(recorder.sent.empty());  // no Terminal yet: nothing to tell
    win::Terminal_Dialog = 42;
    HTML_Template_Create();
    win::Terminal_Dialog = 0;
    win::Set_Backend(nullptr);
    ASSERT_EQ(recorder.sent.size(), 1u);
    EXPECT_EQ(recorder.sent[0].window, 42);
    EXPECT_EQ(recorder.sent[0].message, 0x219u);
    EXPECT_EQ(recorder.sent[0].wparam, 7u);
    EXPECT_EQ(recorder.sent[0].lparam, 0);
}

}  // namespace

namespace {

// A folder deeper than the profile function's path limit: the labels still land in the
// report, never in a file named by a cut path.
TEST(Report, DeepFolderStillGetsItsLabelsInTheReport) {
    test::Registry_Machine machine;
    machine.Use_Hive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
        "\"\\\\Device\\\\Serial0\"=\"COM1\"\n");
    std::string deep = machine.path();
    while (deep.size() < 280) deep += "/" + std::string(40, 'd');
    std::filesystem::create_directories(deep);
    In_Folder folder(deep);
    std::string name = HTML_Template_Create();
    EXPECT_EQ(Read(deep + "/" + name), Head(deep) + Port_Block("COM1") + Tail);
#ifndef _WIN32  // the C++ library walks no folders past 260 characters on Windows
    size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(machine.path()))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 2u);  // the hive and the report, nothing else
#endif
}

}  // namespace

namespace {

// The report's name is predictable: a link planted there for the coming seconds is not
// followed (its target keeps its content), the report fails and says why. A report of the
// user's own from the same second is replaced.
TEST(Report, ALinkAtTheReportsNameIsNotFollowed) {
#ifdef _WIN32
    GTEST_SKIP() << "the C++ library makes no symbolic links on Windows";
#endif
    test::Registry_Machine machine;
    machine.Use_Hive("REGEDIT4\n");
    In_Folder folder(machine.path());
    std::string target = machine.path() + "/precious.txt";
    test::Write_File_Text(target, "keep me");
    std::vector<std::string> names;
    time_t now = time(nullptr);
    for (time_t t = now - 1; t < now + 60; ++t) {
        tm local{};
        localtime_r(&t, &local);
        platform::System_Time st{uint16_t(local.tm_year + 1900),
                                 uint16_t(local.tm_mon + 1),
                                 0,
                                 uint16_t(local.tm_mday),
                                 uint16_t(local.tm_hour),
                                 uint16_t(local.tm_min),
                                 uint16_t(local.tm_sec),
                                 0};
        names.push_back(Report_Name(st));
        std::filesystem::create_symlink(target, names.back());
    }
    EXPECT_EQ(HTML_Template_Create(), "");
    EXPECT_NE(HTML_Template_Create_Error().find(".html: is a symbolic link"), std::string::npos)
        << HTML_Template_Create_Error();
    EXPECT_EQ(Read(target), "keep me");
    for (const auto& name : names) EXPECT_TRUE(std::filesystem::is_symlink(name)) << name;

    for (const auto& name : names) {
        std::filesystem::remove(name);
        test::Write_File_Text(name, "an older report of the same second, and more text");
    }
    std::string name = HTML_Template_Create();
    ASSERT_NE(name, "");
    EXPECT_EQ(HTML_Template_Create_Error(), "");
    EXPECT_EQ(Read(machine.path() + "/" + name), Head(machine.path()) + Tail);
}

}  // namespace
