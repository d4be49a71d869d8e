#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "tests/support/posix.h"
#include "tests/support/temp_dir.h"

using namespace kdx::platform;

TEST(File, AppendHandleWritesAtEndEvenAfterOtherWriters) {
    kdx::test::Temp_Dir dir;
    std::string path = dir.path() + "/log.txt";
    // Each shares writing with the other, as Windows asks of two writers.
    const uint32_t share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    int32_t a = Create_File(path, GENERIC_WRITE | FILE_APPEND_DATA, share, OPEN_ALWAYS);
    ASSERT_TRUE(Handle_Usable(a));
    EXPECT_EQ(Get_Last_Error(), 0u);
    int32_t b = Create_File(path, GENERIC_WRITE, share, OPEN_EXISTING);
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

TEST(File, MissingFolderGivesPathError) {
    EXPECT_EQ(Create_File("/nonexistent-dir/x", GENERIC_WRITE, 0, CREATE_ALWAYS),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(Get_Last_Error(), kdx::test::Missing_Folder_Error);
}

TEST(File, WholeFileReadRefusesWhatIsNotARegularFile) {
    kdx::test::Temp_Dir dir;
    std::string big = dir.path() + "/big";
    std::ofstream(big).close();
    std::filesystem::resize_file(big, Whole_File_Limit + 1);  // sparse: takes no room
    struct Case {
        std::string path;
        uint32_t code;
        std::string words;  // what a message says
    };
    std::vector<Case> cases = {
        {dir.path(), ERROR_ACCESS_DENIED, "is a folder"},
        {big, ERROR_INVALID_DATA, "too large (64 MiB limit)"},
        {dir.path() + "/missing", ERROR_FILE_NOT_FOUND,
         "The system cannot find the file specified."},
    };
    std::vector<std::string> kept = {dir.path()};
#ifndef _WIN32  // Windows has no named pipes among the files
    std::string fifo = dir.path() + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    cases.push_back({fifo, ERROR_INVALID_DATA, "not a regular file"});  // would block for ever
    kept.push_back(fifo);
#endif
    for (const auto& c : cases) {
        std::string text = "stale";
        EXPECT_FALSE(Read_Whole_File(c.path, text)) << c.path;
        EXPECT_EQ(Get_Last_Error(), c.code) << c.path;
        EXPECT_EQ(File_Failure_Text(Get_Last_Error()), c.words) << c.path;
        EXPECT_EQ(text, "") << c.path;
    }
    // Nor is a pipe or folder replaced by a whole-file write: it is someone's on purpose.
    for (const std::string& path : kept) {
        EXPECT_FALSE(Write_Whole_File(path, "data")) << path;
        EXPECT_EQ(Get_Last_Error(), ERROR_ACCESS_DENIED) << path;
    }
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    // A pipe with no reader refuses a writer's open with "No such device or address", which
    // says nothing of the cause: the words say what it is.
    EXPECT_EQ(Create_File(fifo, FILE_APPEND_DATA, FILE_SHARE_READ, OPEN_ALWAYS),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(Get_Last_Error(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(File_Refusal(), "a pipe with no reader");
    EXPECT_EQ(File_Failure_Text(Get_Last_Error()), "a pipe with no reader: not a regular file");
#endif
    // A full disk is said as such.
    EXPECT_EQ(File_Failure_Text(ERROR_DISK_FULL), "disk full");
}

TEST(File_Write_Descriptor, WritesEverythingOrSaysWhy) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // More than a pipe holds, so the write must go on while the reader takes it.
    const std::string text(300000, 'k');
    std::string got;
    std::thread reader([&] {
        char buf[8192];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    });
    uint32_t written = 0;
    EXPECT_TRUE(Write_Descriptor(fds[1], text, &written));
    EXPECT_EQ(written, text.size());
    EXPECT_EQ(Get_Last_Error(), ERROR_SUCCESS);
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(got, text);

    written = 7;
    EXPECT_FALSE(Write_Descriptor(fds[1], "lost", &written));  // closed above
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Get_Last_Error(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(Write_Descriptor(-1, ""));  // nothing to write, nothing to fail
}
