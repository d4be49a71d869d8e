// Private-profile files: where keys land, what is read back, and that no untouched byte of a
// file ever changes, whatever the file holds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/handles.h"
#include "platform/os/profile.h"
#include "tests/support/ini_run.h"
#include "tests/support/temp_dir.h"

using namespace kdx::platform;
using kdx::test::Read_File_Text;
using kdx::test::Write_File_Text;

namespace {

bool Same_Name(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower((unsigned char)x) == std::tolower((unsigned char)y);
           });
}

struct Placement {
    const char* name;
    const char* before;  // nullptr: no file
    const char* section;
    const char* key;
    const char* value;
    const char* after;
};

TEST(Profile, KeysLandWhereTheyBelong) {
    const Placement cases[] = {
        {"new file", nullptr, "S", "K", "V", "[S]\r\nK=V\r\n"},
        {"replace in place, neighbours kept", "[a]\nk=1\nj=2\n", "a", "k", "9", "[a]\nk=9\nj=2\n"},
        {"names ignore case", "[Sec]\rKey=1\r", "SEC", "KEY", "2", "[Sec]\rKEY=2\r"},
        {"after last key line, before the block's end tags",
         "[COM7]\rA=1\r  </details>\r  <details>\r[COM6]\r", "COM7", "B", "2",
         "[COM7]\rA=1\rB=2\r  </details>\r  <details>\r[COM6]\r"},
        {"right after a section line without keys", "[COM7]\r  </details>\r", "COM7", "B", "2",
         "[COM7]\rB=2\r  </details>\r"},
        {"text after the closing bracket", "[COM6]<br>\r</details>\r", "COM6", "K", "V",
         "[COM6]<br>\rK=V\r</details>\r"},
        {"new section after a last line without line end", "x=1", "S", "K", "V",
         "x=1\r\n[S]\r\nK=V\r\n"},
        {"key after a last line without line end", "[a]\nk=1", "a", "j", "2", "[a]\nk=1\nj=2\n"},
        {"new lines end like the first line", "[a]\r\nk=1\rm=2\n", "a", "n", "3",
         "[a]\r\nk=1\rm=2\nn=3\r\n"},
        {"white space around names in the file", "  [ COM1 ]  \n  Number: = 5\n", "com1",
         "number:", "6", "  [ COM1 ]  \nnumber:=6\n"},
        {"white space around the names given", "[COM6]\r", " COM6 ", "\rNumber:", "6<br/>",
         "[COM6]\rNumber:=6<br/>\r"},
        {"first of duplicate sections", "[a]\nk=1\n[b]\n[a]\nk=2\n", "a", "k", "3",
         "[a]\nk=3\n[b]\n[a]\nk=2\n"},
        {"new key into the first duplicate", "[a]\nk=1\n[b]\n[a]\nk=2\n", "a", "j", "3",
         "[a]\nk=1\nj=3\n[b]\n[a]\nk=2\n"},
        {"first of duplicate keys", "[a]\nk=1\nk=2\n", "a", "K", "3", "[a]\nK=3\nk=2\n"},
        {"a longer name is another section", "[COM10]\nk=1\n", "COM1", "k", "2",
         "[COM10]\nk=1\n[COM1]\nk=2\n"},
        {"lines with = before any section are no keys", "<link rel=\"x\">\n[a]\n", "a", "<link rel",
         "v", "<link rel=\"x\">\n[a]\n<link rel=v\n"},
        {"same value: nothing changes", "[a]\n  k = 1 \n", "a", "k", "1", "[a]\n  k = 1 \n"},
        {"empty value", "[a]\nk=1\n", "a", "k", "", "[a]\nk=\n"},
        {"shorter value shrinks the file", "[a]\nk=123456\nz=0\n", "a", "k", "1",
         "[a]\nk=1\nz=0\n"},
        {"HTML in section and key", "", "<summary>Port Info</summary>", "Port:", "COM3<br/>",
         "[<summary>Port Info</summary>]\r\nPort:=COM3<br/>\r\n"},
        {"CR CR LF is two line ends", "[a]\r\r\nk=1\r\r\n", "a", "j", "2",
         "[a]\r\r\nk=1\rj=2\r\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kdx::test::Temp_Dir dir;
        std::string path = dir.path() + "/p.html";
        if (c.before) Write_File_Text(path, c.before);
        EXPECT_NE(Write_Private_Profile_String(c.section, c.key, c.value, path), 0);
        EXPECT_EQ(Get_Last_Error(), 0u);
        EXPECT_EQ(Read_File_Text(path), c.after);
    }
}

const char Binary[] = "\x01\xff\0\n[a]\0\nk=\x80\x81\n";

struct Reading {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    uint32_t capacity;
    const char* expected;
};

TEST(Profile, ReadingGivesTheValueOrTheDefault) {
    const Reading cases[] = {
        {"value without surrounding space", "[a]\nk =  v w \t\n", "A", "K", 260, "v w"},
        {"value holding =", "[a]\nk=b=c\n", "a", "k", 260, "b=c"},
        {"missing key", "[a]\nk=1\n", "a", "j", 260, "dflt"},
        {"missing section", "[a]\nk=1\n", "b", "k", 260, "dflt"},
        {"key of a later section is not ours", "[a]\n[b]\nk=1\n", "a", "k", 260, "dflt"},
        {"cut to the buffer", "[a]\nk=123456789\n", "a", "k", 5, "1234"},
        {"default cut too", "", "a", "k", 3, "df"},
        {"empty section name", "[]\nk=1\n", "", "k", 260, "dflt"},
        {"empty key name", "[a]\n=1\n", "a", "", 260, "dflt"},
        {"CR-only page", "<p>\r[COM6]<br>\rNumber:=6<br/>\r</details>\r", "com6", "number:", 260,
         "6<br/>"},
        {"binary bytes around", std::string(Binary, sizeof Binary - 1), "a", "k", 260, "\x80\x81"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kdx::test::Temp_Dir dir;
        std::string path = dir.path() + "/p.ini";
        Write_File_Text(path, c.text);
        std::string out = "junk";
        uint32_t n = Get_Private_Profile_String(c.section, c.key, "dflt", out, c.capacity, path);
        EXPECT_EQ(out, c.expected);
        EXPECT_EQ(n, out.size());
        EXPECT_EQ(Get_Last_Error(), 0u);
    }
}

TEST(Profile, MissingFileGivesDefaultAndFileNotFound) {
    kdx::test::Temp_Dir dir;
    std::string out;
    EXPECT_EQ(Get_Private_Profile_String("a", "k", "d", out, 260, dir.path() + "/none.ini"), 1u);
    EXPECT_EQ(out, "d");
    EXPECT_EQ(Get_Last_Error(), ERROR_FILE_NOT_FOUND);
}

struct Refusal {
    const char* name;
    std::string section, key, value;
    uint32_t error;
};

TEST(Profile, UnusableNamesAndPathsChangeNothing) {
    kdx::test::Temp_Dir dir;
    const std::string original = "[a]\rk=1\r";
    const Refusal cases[] = {
        {"empty key", "a", "", "v", ERROR_INVALID_PARAMETER},
        {"blank key", "a", " \t", "v", ERROR_INVALID_PARAMETER},
        {"empty section", "", "k", "v", ERROR_INVALID_PARAMETER},
        {"line end inside a key", "a", "x\ry", "v", ERROR_INVALID_PARAMETER},
        {"line end inside a section", "a\nb", "k", "v", ERROR_INVALID_PARAMETER},
        {"line end inside a value", "a", "k", "1\r[b]", ERROR_INVALID_PARAMETER},
        {"= inside a key", "a", "k=x", "v", ERROR_INVALID_PARAMETER},
        {"key looking like a section", "a", "[b]", "v", ERROR_INVALID_PARAMETER},
    };
    std::string path = dir.path() + "/p.ini";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Write_File_Text(path, original);
        EXPECT_EQ(Write_Private_Profile_String(c.section, c.key, c.value, path), 0);
        EXPECT_EQ(Get_Last_Error(), c.error);
        EXPECT_EQ(Read_File_Text(path), original);
    }
    // Empty section and key together: the flush call, which writes nothing, not even a file.
    std::string none = dir.path() + "/none.ini";
    EXPECT_NE(Write_Private_Profile_String("", "", "", none), 0);
    EXPECT_EQ(Get_Last_Error(), 0u);
    EXPECT_FALSE(File_Exists(none));
}

TEST(Profile, UnwritablePlacesAreReportedAndCreateNothing) {
    kdx::test::Temp_Dir dir;
    std::string file = dir.path() + "/plain";
    Write_File_Text(file, "x");
    std::string long_path = dir.path() + "/" + std::string(Max_Profile_Path, 'n');
    std::vector<std::pair<std::string, uint32_t>> cases = {
        {file + "/under-a-file.ini", ERROR_PATH_NOT_FOUND},
        {dir.path() + "/missing/p.ini", kdx::test::Missing_Folder_Error},
        {"/proc/kdx-profile.ini", 0},  // any failure code will do
        {long_path, ERROR_FILENAME_EXCED_RANGE},
        {dir.path(), 0},  // a folder, not a file
    };
#ifndef _WIN32  // Windows has no named pipes among the files
    cases.push_back({dir.path() + "/fifo", ERROR_ACCESS_DENIED});  // would block a reader
    ASSERT_EQ(mkfifo((dir.path() + "/fifo").c_str(), 0644), 0);
#endif
    for (const auto& [path, error] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Write_Private_Profile_String("a", "k", "v", path), 0);
        if (error)
            EXPECT_EQ(Get_Last_Error(), error);
        else
            EXPECT_NE(Get_Last_Error(), 0u);
        std::string out;
        Get_Private_Profile_String("a", "k", "d", out, 260, path);
        EXPECT_EQ(out, "d");
    }
    EXPECT_FALSE(File_Exists(long_path));
}

TEST(Profile, RewritesInPlaceSoAnAppendingWriterStaysAtTheEnd) {
    kdx::test::Temp_Dir dir;
    std::string path = dir.path() + "/page.html";
    // Append access alone: with GENERIC_WRITE, Windows writes at the handle's own position.
    int32_t h = Create_File(path, GENERIC_READ | FILE_APPEND_DATA, 7, CREATE_ALWAYS);
    ASSERT_TRUE(Handle_Usable(h));
    ASSERT_TRUE(Write_File(h, "<p>\r[COM1]\r</details>\r"));
    struct stat before {};
    stat(path.c_str(), &before);
    EXPECT_NE(Write_Private_Profile_String("COM1", "Number:", "1<br/>", path), 0);
    EXPECT_NE(Write_Private_Profile_String("COM1", "Number:", "12<br/>", path), 0);
    ASSERT_TRUE(Write_File(h, "</html>\r"));
    Close_Handle(h);
    struct stat after {};
    stat(path.c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(Read_File_Text(path), "<p>\r[COM1]\rNumber:=12<br/>\r</details>\r</html>\r");
}

TEST(Profile, ForeignContentKeepsEveryByte) {
    kdx::test::Temp_Dir dir;
    std::string path = dir.path() + "/foreign.ini";
    std::mt19937 rng(7);
    std::string blob(300000, '\0');
    for (char& c : blob) c = char(rng() % 256);
    std::string long_line(2'000'000, 'x');  // one line of 2 MB, no line end
    const std::pair<const char*, std::string> cases[] = {
        {"binary bytes", blob},
        {"a very long last line", "[a]\n" + long_line},
        {"NUL bytes in a section", std::string("[a]\n\0\0=\0\n", 9)},
    };
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        Write_File_Text(path, text);
        ASSERT_NE(Write_Private_Profile_String("kdx-new", "Port:", "COM3<br/>", path), 0);
        std::string after = Read_File_Text(path);
        ASSERT_GE(after.size(), text.size());
        EXPECT_EQ(after.compare(0, text.size(), text), 0);
        std::string out;
        Get_Private_Profile_String("KDX-NEW", "port:", "", out, 260, path);
        EXPECT_EQ(out, "COM3<br/>");
    }
}

// Random files, random writes: every key that was readable before a write reads the same
// afterwards (except the one written), the written one reads back, and the bytes that changed
// are one line's worth at a single place.
TEST(Profile, RandomFilesAndWritesLoseNothing) {
    const std::vector<std::string> sections = {
        "COM1", "com1", "COM6", "<summary>Port Info</summary>", "a b", "x]y"};
    const std::vector<std::string> keys = {"Port:", "port:", "Number:", "Baud:", "k", "a b"};
    const std::vector<std::string> ends = {"\r", "\n", "\r\n"};
    std::mt19937 rng(2026);
    auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
    auto random_text = [&](size_t max, bool any_byte) {
        std::string s(rng() % (max + 1), ' ');
        for (char& c : s) c = any_byte ? char(rng() % 256) : char(33 + rng() % 94);
        return s;
    };
    auto pad = [&]() { return std::string(rng() % 3, rng() % 2 ? ' ' : '\t'); };
    auto random_file = [&](bool big) {
        std::string text;
        // Big files start with lines of no section, past what a first read takes, so lookups
        // continue across reads and a CR LF may be split between two.
        size_t filler = big ? 60000 + rng() % 120000 : 0;
        while (text.size() < filler) {
            std::string line = random_text(60, false);
            std::replace(line.begin(), line.end(), '[', '(');
            text += line + pick(ends);
        }
        int lines = int(rng() % 25);
        for (int i = 0; i < lines; ++i) {
            switch (rng() % 6) {
                case 0:
                    text +=
                        pad() + "[" + pad() + pick(sections) + pad() + "]" + random_text(4, false);
                    break;
                case 1:
                case 2:
                    text += pad() + pick(keys) + pad() + "=" + pad() + random_text(8, false);
                    break;
                case 3:
                    text += "          </details>";
                    break;
                case 4:
                    text += random_text(12, true);  // anything, line ends included
                    break;
                default:
                    break;  // a blank line
            }
            if (i + 1 < lines || rng() % 2) text += pick(ends);
        }
        return text;
    };
    auto read_all = [&](const std::string& path) {
        std::vector<std::string> values;
        for (const auto& s : sections)
            for (const auto& k : keys) {
                std::string out;
                Get_Private_Profile_String(s, k, "\x01missing", out, 4096, path);
                values.push_back(out);
            }
        return values;
    };
    kdx::test::Temp_Dir dir;
    std::string path = dir.path() + "/random.html";
    for (int round = 0; round < 300; ++round) {
        Write_File_Text(path, random_file(round % 10 == 0));
        for (int w = 0; w < 8; ++w) {
            std::string before = Read_File_Text(path);
            std::vector<std::string> values_before = read_all(path);
            size_t si = rng() % sections.size(), ki = rng() % keys.size();
            std::string value = random_text(10, false);
            SCOPED_TRACE(::testing::Message() << "round " << round << " write " << w << " ["
                                              << sections[si] << "] " << keys[ki] << "=" << value);
            ASSERT_NE(Write_Private_Profile_String(sections[si], keys[ki], value, path), 0);
            std::string after = Read_File_Text(path);
            std::vector<std::string> values_after = read_all(path);
            for (size_t s = 0; s < sections.size(); ++s)
                for (size_t k = 0; k < keys.size(); ++k) {
                    size_t i = s * keys.size() + k;
                    bool written =
                        Same_Name(sections[s], sections[si]) && Same_Name(keys[k], keys[ki]);
                    if (written)
                        ASSERT_EQ(values_after[i], value);
                    else
                        ASSERT_EQ(values_after[i], values_before[i])
                            << sections[s] << " " << keys[k];
                }
            // The change is in one place and removes no line end: every other line is intact.
            size_t p = 0;
            while (p < before.size() && p < after.size() && before[p] == after[p]) ++p;
            size_t s = 0;
            while (s < before.size() - p && s < after.size() - p &&
                   before[before.size() - 1 - s] == after[after.size() - 1 - s])
                ++s;
            std::string removed = before.substr(p, before.size() - s - p);
            std::string inserted = after.substr(p, after.size() - s - p);
            ASSERT_EQ(removed.find_first_of("\r\n"), std::string::npos) << removed;
            size_t new_ends = 0;
            for (char c : inserted) new_ends += c == '\r' || c == '\n';
            ASSERT_LE(new_ends, 6u) << inserted;
        }
    }
}

// A key near the start of a huge page is found and set without reading the rest: the port's
// entry written at every port open must not read a 1 GiB page on the window's thread.
TEST(Profile, AKeyNearTheStartIsSetWithoutReadingTheRest) {
#ifdef _WIN32
    GTEST_SKIP() << "the bytes read are counted from Linux's /proc, which Windows does not have";
#else
    auto bytes_read = [] {
        std::string io = Read_File_Text("/proc/thread-self/io");
        size_t at = io.find("rchar: ");
        return at == std::string::npos ? -1 : std::stoll(io.substr(at + 7));
    };
    const std::string head = "<p>\r\n[<summary>Port Info</summary>]\r\nPort:=COM5<br/>\r\nx=1\r\n";
    const off_t size = off_t(256) << 20;
    struct Case {
        const char* name;
        const char* value;
        const char* line;  // the key's line afterwards
    };
    const Case cases[] = {
        {"same value", "COM5<br/>", "Port:=COM5<br/>\r\n"},
        {"same length", "COM7<br/>", "Port:=COM7<br/>\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kdx::test::Temp_Dir dir;
        std::string path = dir.path() + "/big.html";
        Write_File_Text(path, head);
        ASSERT_EQ(truncate(path.c_str(), size), 0);  // the rest: a hole that reads as zeros
        long long before = bytes_read();
        ASSERT_GE(before, 0);
        EXPECT_NE(
            Write_Private_Profile_String("<summary>Port Info</summary>", "Port:", c.value, path),
            0);
        EXPECT_LT(bytes_read() - before, 1 << 20);
        std::string start(head.size(), '\0');
        FILE* f = fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(fread(start.data(), 1, start.size(), f), start.size());
        fclose(f);
        EXPECT_NE(start.find(c.line), std::string::npos) << start;
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, size);
    }
#endif
}

}  // namespace

namespace {

// A file that may not grow (as on a full disk) keeps every byte when a key write needs room;
// writes that need none still work.
TEST(Profile, NoRoomToGrowLeavesTheFileAsItWas) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no file size limit of the process to stand for a full disk";
#else
    kdx::test::Temp_Dir dir;
    std::string path = dir.path() + "/full.html";
    const std::string page = "<p>\r[COM6]<br>\rBaud:=9600<br/>\r</details>\r[COM1]\r</details>\r";
    Write_File_Text(path, page);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_limit;
    limit.rlim_cur = page.size() + 2;
    setrlimit(RLIMIT_FSIZE, &limit);
    int32_t grow = Write_Private_Profile_String("COM6", "Number:", "6<br/>", path);
    uint32_t grow_error = Get_Last_Error();
    int32_t same = Write_Private_Profile_String("COM6", "Baud:", "1200<br/>", path);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(grow, 0);
    EXPECT_NE(grow_error, 0u);
    EXPECT_NE(same, 0);
    std::string expected = page;
    expected.replace(expected.find("9600"), 4, "1200");
    EXPECT_EQ(Read_File_Text(path), expected);
#endif
}

// Writers that rewrite one file at the same time, from two threads or two programs, lose
// none of each other's keys.
TEST(Profile, ConcurrentWritersLoseNoKey) {
    constexpr int N = 60;
    kdx::test::Temp_Dir dir;
    const std::string sections[] = {"COM6", "COM1"};
    auto key = [](char who, int k) { return std::string(1, who) + std::to_string(k) + ":"; };
    {
        SCOPED_TRACE("two threads");
        std::string path = dir.path() + "/threads.html";
        Write_File_Text(path, "<p>\r[COM6]<br>\r</details>\r[COM1]\r</details>\r");
        auto writer = [&](char who) {
            for (int k = 0; k < N; ++k)
                Write_Private_Profile_String(sections[k % 2], key(who, k), std::to_string(k), path);
        };
        std::thread a(writer, 'A'), b(writer, 'B');
        a.join();
        b.join();
        for (char who : {'A', 'B'})
            for (int k = 0; k < N; ++k) {
                std::string out;
                Get_Private_Profile_String(sections[k % 2], key(who, k), "missing", out, 260, path);
                EXPECT_EQ(out, std::to_string(k)) << key(who, k);
            }
        std::string text = Read_File_Text(path);
        EXPECT_EQ(text.rfind("<p>\r[COM6]<br>\r", 0), 0u);
        EXPECT_EQ(text.substr(text.size() - 11), "</details>\r");
    }
    {
        SCOPED_TRACE("two programs");
        std::string exe = kdx::test::Copy_Helper(dir.path(), "kdx");
        std::string path = dir.path() + "/kdx.html";
        auto commands = [&](char who) {
            std::vector<std::string> args;
            for (int k = 0; k < N; ++k)
                args.insert(args.end(), {"set", sections[k % 2], key(who, k), std::to_string(k)});
            return args;
        };
        kdx::test::Run_Result runs[2];
        std::thread a([&] { runs[0] = kdx::test::Run_Program(exe, commands('A')); });
        std::thread b([&] { runs[1] = kdx::test::Run_Program(exe, commands('B')); });
        a.join();
        b.join();
        EXPECT_EQ(runs[0].exit_code, 0) << runs[0].out;
        EXPECT_EQ(runs[1].exit_code, 0) << runs[1].out;
        for (char who : {'A', 'B'})
            for (int k = 0; k < N; ++k) {
                std::string out;
                Get_Private_Profile_String(sections[k % 2], key(who, k), "missing", out, 260, path);
                EXPECT_EQ(out, std::to_string(k)) << key(who, k);
            }
    }
}

}  // namespace
