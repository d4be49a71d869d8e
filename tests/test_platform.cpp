#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "tests/temp_dir.h"

using namespace kdx::platform;

TEST(Handles, NeverZeroOrInvalidAndCloseUnknownFails) {
    auto h = Handle_Insert(std::make_shared<Handle_Object>());
    EXPECT_TRUE(Handle_Usable(h));
    EXPECT_TRUE(Close_Handle(h));
    EXPECT_EQ(Get_Last_Error(), 0u);
    EXPECT_FALSE(Close_Handle(h));
    EXPECT_EQ(Get_Last_Error(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(Close_Handle(0));
    EXPECT_FALSE(Close_Handle(INVALID_HANDLE_VALUE));
}

TEST(LastError, IsPerThreadAndMapsErrno) {
    Set_Last_Error(5);
    std::thread([] { EXPECT_EQ(Get_Last_Error(), 0u); }).join();
    EXPECT_EQ(Get_Last_Error(), 5u);
    EXPECT_EQ(Error_From_Errno(ENOENT), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Error_From_Errno(EACCES), ERROR_ACCESS_DENIED);
    EXPECT_EQ(System_Message(5), "Access is denied.\r\n");
    EXPECT_EQ(System_Message(424242), "");
}

TEST(Files, AppendHandleWritesAtEndEvenAfterOtherWriters) {
    kdx::test::Temp_Dir dir;
    std::string path = dir.path() + "/log.txt";
    int32_t a = Create_File(path, GENERIC_WRITE | FILE_APPEND_DATA, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_TRUE(Handle_Usable(a));
    EXPECT_EQ(Get_Last_Error(), 0u);
    int32_t b = Create_File(path, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_TRUE(Handle_Usable(b));
    ASSERT_TRUE(Write_File(a, "one "));
    ASSERT_TRUE(Write_File(b, "XXXX"));  // overwrites "one " at offset 0
    ASSERT_TRUE(Write_File(a, "two"));
    Close_Handle(a);
    Close_Handle(b);
    std::string text;
    ASSERT_TRUE(Read_Whole_File(path, text));
    EXPECT_EQ(text, "XXXXtwo");
}

TEST(Files, MissingFolderGivesPathError) {
    EXPECT_EQ(Create_File("/nonexistent-dir/x", GENERIC_WRITE, 0, CREATE_ALWAYS),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(Get_Last_Error(), ERROR_FILE_NOT_FOUND);
}

TEST(System, ExecutablePathAndClock) {
    EXPECT_NE(Module_File_Name().find("kdx_tests"), std::string::npos);
    int64_t t0 = Query_Performance_Counter();
    Sleep_Ms(2);
    EXPECT_GE(Query_Performance_Counter() - t0, 2 * Query_Performance_Frequency() / 1000);
}

TEST(Files, WholeFileReadRefusesWhatIsNotARegularFile) {
    kdx::test::Temp_Dir dir;
    std::string fifo = dir.path() + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string big = dir.path() + "/big";
    std::ofstream(big).close();
    std::filesystem::resize_file(big, Whole_File_Limit + 1);  // sparse: takes no room
    struct Case {
        std::string path;
        uint32_t code;
        std::string words;  // what a message says
    } cases[] = {
        {fifo, ERROR_INVALID_DATA, "not a regular file"},  // a pipe would block for ever
        {dir.path(), ERROR_ACCESS_DENIED, "is a folder"},
        {big, ERROR_INVALID_DATA, "too large (64 MiB limit)"},
        {dir.path() + "/missing", ERROR_FILE_NOT_FOUND,
         "The system cannot find the file specified."},
    };
    for (const auto& c : cases) {
        std::string text = "stale";
        EXPECT_FALSE(Read_Whole_File(c.path, text)) << c.path;
        EXPECT_EQ(Get_Last_Error(), c.code) << c.path;
        EXPECT_EQ(File_Failure_Text(Get_Last_Error()), c.words) << c.path;
        EXPECT_EQ(text, "") << c.path;
    }
    // Nor is a pipe or folder replaced by a whole-file write: it is someone's on purpose.
    for (const std::string& path : {fifo, dir.path()}) {
        EXPECT_FALSE(Write_Whole_File(path, "data")) << path;
        EXPECT_EQ(Get_Last_Error(), ERROR_ACCESS_DENIED) << path;
    }
    struct stat st {};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    // A full disk is said as such.
    EXPECT_EQ(File_Failure_Text(ERROR_DISK_FULL), "disk full");
}
