// The HTML writers: every fragment's bytes, writes at the end of the file with key lines in
// between, and the exported record through the C interface.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "files/html_template.h"
#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "tests/support/ini_run.h"
#include "tests/support/temp_dir.h"

using namespace kdx;
using kdx::test::Read_File_Text;

namespace {

// A fresh file with a writer record on it.
struct Page {
    kdx::test::Temp_Dir dir;
    HTML_Template_Record rec;
    Page() {
        rec.Path = dir.path() + "/page.html";
        HTML_Template_File_Create(rec);
    }
    ~Page() {
        if (rec.Handle) HTML_Template_File_Close(rec);
    }
    std::string Text() const { return Read_File_Text(rec.Path); }
};

TEST(Html_Template, SettingsPageWritersAppendTheirFragment) {
    const std::pair<int32_t (*)(Ini_Template_Record&), std::string> cases[] = {
        {Ini_Template_Doc_Type, "<!DOCTYPE html>\r"},
        {Ini_Template_Html_Start, "<html>\r"},
        {Ini_Template_Html_End, "</html>\r"},
        {Ini_Template_Header,
         "     <head>\r"
         "          <link rel=\"stylesheet\" href=\"../dravon.css\" type=\"text/css\">\r"
         "     </head>\r"},
        {Ini_Template_Body_Start, "     <body>\r"},
        {Ini_Template_Body_End, "     </body>\r"},
        {Ini_Template_Details_Summary,
         "          <details>\r               <summary>\rPort 7 Info\r               </summary>\r"
         "[COM7]\r          </details>\r"
         "          <details>\r               <summary>\rPort 6 Info\r               </summary>\r"
         "[COM6]<br>\r          </details>\r"
         "          <details>\r               <summary>\rPort 1 Info\r               </summary>\r"
         "[COM1]\r          </details>\r"},
    };
    for (const auto& [writer, fragment] : cases) {
        SCOPED_TRACE(fragment);
        Page page;
        page.rec.Text = "old text";
        ASSERT_TRUE(platform::Write_File(page.rec.Handle, "X"));  // the next write goes after it
        EXPECT_NE(writer(page.rec), 0);
        EXPECT_EQ(page.rec.Text, fragment);
        EXPECT_EQ(page.rec.Written, fragment.size());
        EXPECT_EQ(page.Text(), "X" + fragment);
        EXPECT_EQ(fragment.find('\n'), std::string::npos);
        EXPECT_EQ(page.rec.Position.Offset, platform::Write_At_End);
        EXPECT_EQ(page.rec.Position.Offset_High, platform::Write_At_End);
    }
}

TEST(Html_Template, DocumentWritersComposeWithoutWriting) {
    const std::pair<std::function<std::string(HTML_Template_Record&)>, std::string> cases[] = {
        {HTML_Template_DocType, "<!DOCTYPE html>\r"},
        {HTML_Template_Html_Start, "<html>\r"},
        {HTML_Template_Html_End, "</html>\r"},
        {HTML_Template_Head_Start, "\t<head>\r"},
        {HTML_Template_Head_End, "\t</head>\r"},
        {HTML_Template_Body_Start, "\t<body>\r"},
        {HTML_Template_Content, "\t<body>\r"},
        {HTML_Template_Body_End, "\t</body>\r"},
        {HTML_Template_Details_Start, "\t\t<details>\r"},
        {HTML_Template_Details_End, "<br/><br/>\r\t\t</details>\r"},
        {HTML_Template_Summary_Start, "\t\t\t<summary>\r"},
        {HTML_Template_Summary_End, "\t\t\t</summary>\r"},
        {[](HTML_Template_Record& r) { return HTML_Template_Summary_Title(r, "COM3 - Device"); },
         "[COM3 - Device]\r"},
        {[](HTML_Template_Record& r) { return HTML_Template_Summary_Title(r, ""); }, "[]\r"},
    };
    for (const auto& [writer, fragment] : cases) {
        SCOPED_TRACE(fragment);
        Page page;
        page.rec.Text = "old text";
        EXPECT_EQ(writer(page.rec), fragment);
        EXPECT_EQ(page.rec.Text, fragment);
        EXPECT_EQ(page.Text(), "");
    }
}

TEST(Html_Template, HeadRefsPointAtTheCurrentDirectory) {
    Page page;
    std::string folder = page.dir.path() + "/Logs/Run 1";
    std::filesystem::create_directories(folder);
    std::string before = platform::Current_Directory();
    ASSERT_TRUE(platform::Set_Current_Directory(folder));
    std::string text = HTML_Template_Head_Refs(page.rec);
    platform::Set_Current_Directory(before);
    EXPECT_EQ(text,
              "\t\t<base href=\"" + File_Address_Of(folder) +
                  "\">\r"
                  "\t\t<link rel=\"stylesheet\" href=\"css/dravon.css\" type=\"text/css\">\r");

    const std::pair<const char*, const char*> addresses[] = {
        {"C:\\Logs\\Run 1", "file:///C:/Logs/Run 1/"},
        {"/home/tech/Run 1", "file:///home/tech/Run 1/"},
        {"/", "file:///"},
        {"C:\\", "file:///C:/"},
    };
    for (const auto& [dir, address] : addresses) EXPECT_EQ(File_Address_Of(dir), address) << dir;
}

// Key lines written between two fragments stay between them: the report's blocks.
TEST(Html_Template, KeyWritesLandInsideTheOpenBlock) {
    Page page;
    auto put = [&](const std::string&) { HTML_Template_Write(page.rec); };
    put(HTML_Template_Body_Start(page.rec));
    put(HTML_Template_Details_Start(page.rec));
    put(HTML_Template_Summary_Start(page.rec));
    put(HTML_Template_Summary_Title(page.rec, "COM1"));
    put(HTML_Template_Summary_End(page.rec));
    const std::string prefix = "<br/>&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;";
    EXPECT_NE(
        platform::Write_Private_Profile_String("COM1", prefix + "Actual Name:", "", page.rec.Path),
        0);
    EXPECT_NE(
        platform::Write_Private_Profile_String("COM1", prefix + "Port Type:", "", page.rec.Path),
        0);
    put(HTML_Template_Details_End(page.rec));
    EXPECT_NE(platform::Write_Private_Profile_String("COM1", prefix + "<hr/>", "", page.rec.Path),
              0);
    EXPECT_EQ(HTML_Template_Write(page.rec), page.rec.Handle);
    put(HTML_Template_Body_End(page.rec));
    // With no key line yet, the first key goes right after the section line: the labels sit
    // between the title and the summary's end tag, all before the block's end tags.
    EXPECT_EQ(page.Text(), "\t<body>\r\t\t<details>\r\t\t\t<summary>\r[COM1]\r" + prefix +
                               "Actual Name:=\r" + prefix + "Port Type:=\r" + prefix +
                               "<hr/>=\r\t\t\t</summary>\r<br/><br/>\r\t\t</details>\r"
                               "<br/><br/>\r\t\t</details>\r\t</body>\r");
}

TEST(Html_Template, DetailsSummaryWritesItsBlockAndLeavesItOpen) {
    Page page;
    EXPECT_EQ(HTML_Template_Details_Summary(page.rec, "Title", "Body"), "Body\r");
    EXPECT_EQ(page.Text(), "\t\t<details>\r\t\t\t<summary>\rTitle\r\t\t\t</summary>\rBody\r");
}

TEST(Html_Template, LongTextIsCutAndBadHandlesFailQuietly) {
    Page page;
    page.rec.Text = std::string(3000, 'x');
    EXPECT_NE(Ini_Template_Write(page.rec), 0);
    EXPECT_EQ(page.rec.Written, Max_Fragment);
    EXPECT_EQ(page.Text().size(), Max_Fragment);
    EXPECT_EQ(HTML_Template_Summary_Title(page.rec, std::string(3000, 't')).size(), Max_Fragment);

    HTML_Template_Record closed;
    closed.Handle = 0;
    closed.Text = "lost";
    EXPECT_EQ(Ini_Template_Write(closed), 0);
    EXPECT_EQ(platform::Get_Last_Error(), platform::ERROR_INVALID_HANDLE);
    EXPECT_EQ(HTML_Template_Write(closed), 0);
    EXPECT_EQ(Ini_Template_Doc_Type(closed), 0);

    HTML_Template_Record nowhere;
    nowhere.Path = page.dir.path() + "/missing/page.html";
    EXPECT_EQ(HTML_Template_File_Create(nowhere), platform::INVALID_HANDLE_VALUE);
    EXPECT_EQ(Ini_Template_Html_Start(nowhere), 0);
}

}  // namespace
