// The registry view over hive files: REGEDIT4 parsing, overlays, and the Win32 semantics of
// the open, query and enumeration calls.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/os/error.h"
#include "platform/ports/registry.h"
#include "tests/support/random_text.h"
#include "tests/support/registry_fixture.h"

using namespace kdx::platform;

namespace {

const char* const Serial_Comm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct Value_Read {
    int32_t status;
    uint32_t type;
    std::string data;
};

Value_Read Query(const std::string& path, const std::string& name) {
    int32_t key = 0;
    int32_t status = Reg_Open_Key(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key);
    if (status != 0) return {status, 0, {}};
    uint32_t size = 0, type = 0;
    status = Reg_Query_Value(key, name, &type, nullptr, &size);
    std::string data(size, '\0');
    if (status == 0) status = Reg_Query_Value(key, name, &type, data.data(), &size);
    Reg_Close_Key(key);
    return {status, type, data};
}

TEST(Registry_Hive, ValueKindsParseToTheirTypesAndBytes) {
    kdx::test::Registry_Machine machine;
    machine.Use_Hive(
        "REGEDIT4\r\n\r\n"
        "; a comment line\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
        "\"Text\"=\"a \\\"quoted\\\" \\\\ text\"\r\n"
        "\"Count\"=dword:0000002a\r\n"
        "\"Negative\"=dword:ffffffff\r\n"
        "\"Expand\"=hex(2):25,50,41,54,48,25,00\r\n"
        "\"Multi\"=hex(7):61,00,62,63,00,00\r\n"
        "\"Long\"=hex:01,02,\\\r\n"
        "  03,04\r\n"
        "\"Empty\"=hex:\r\n"
        "@=\"default\"\r\n");
    struct Case {
        const char* name;
        int32_t status;
        uint32_t type;
        std::string data;
    };
    const Case cases[] = {
        {"Text", 0, REG_SZ, std::string("a \"quoted\" \\ text\0", 18)},
        {"count", 0, REG_DWORD, std::string("\x2a\0\0\0", 4)},
        {"Negative", 0, REG_DWORD, std::string("\xff\xff\xff\xff", 4)},
        {"Expand", 0, REG_EXPAND_SZ, std::string("%PATH%\0", 7)},
        {"Multi", 0, REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
        {"Long", 0, REG_BINARY, std::string("\x01\x02\x03\x04", 4)},
        {"Empty", 0, REG_BINARY, std::string()},
        {"", 0, REG_SZ, std::string("default\0", 8)},
        {"Missing", int32_t(ERROR_FILE_NOT_FOUND), 0, std::string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Value_Read r = Query("SOFTWARE\\Test", c.name);
        EXPECT_EQ(r.status, c.status);
        if (c.status == 0) {
            EXPECT_EQ(r.type, c.type);
            EXPECT_EQ(r.data, c.data);
        }
    }
}

TEST(Registry_Hive, MalformedFilesGiveInvalidDataAndSayWhere) {
    struct Case {
        const char* text;
        const char* where;
    };
    const Case cases[] = {
        {"", "line 1: expected REGEDIT4"},
        {"[HKEY_LOCAL_MACHINE\\X]\n", "line 1: expected REGEDIT4"},
        {"REGEDIT4\n\"A\"=\"1\"\n", "line 2: value before any [key]"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\n", "line 2: key line without closing ]"},
        {"REGEDIT4\n[HKEY_NOWHERE\\X]\n", "line 2: unknown root key"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=\"open\n", "line 3: quoted text has no"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:123456789\n", "line 3: a dword needs"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:xyz\n", "line 3: a dword needs"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex:1,zz\n", "line 3: bad byte \"zz\""},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex(q):00\n", "line 3: bad type"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=wat\n", "line 3: unrecognised value data"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\nA=\"1\"\n", "line 3: expected a quoted value"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\" \"1\"\n", "line 3: expected ="},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=\"1\" junk\n", "line 3: text after"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\\q\"=\"1\"\n", "line 3: unknown escape"},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\X]\n\"A\"=\"1\"\n", "line 3: value under a deleted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        kdx::test::Registry_Machine machine;
        std::string file = machine.Use_Hive(c.text);
        int32_t key = 0;
        EXPECT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, "X", 0, KEY_READ, key),
                  int32_t(ERROR_INVALID_DATA));
        EXPECT_EQ(key, 0);
        EXPECT_EQ(Registry_Hive_Error().rfind(file + " " + c.where, 0), 0u)
            << Registry_Hive_Error();
    }
}

TEST(Registry_Hive, MissingReplacementFileIsAnErrorNotAnEmptyMachine) {
    kdx::test::Registry_Machine machine;
    struct Case {
        std::string path;
        int32_t status;
        std::string why;  // after the file's name
    };
    std::vector<Case> cases = {
        {machine.path() + "/absent.reg", int32_t(ERROR_FILE_NOT_FOUND),
         ": The system cannot find the file specified."},
        {machine.path(), int32_t(ERROR_ACCESS_DENIED), ": is a folder"},
    };
#ifndef _WIN32  // Windows has no named pipes among the files
    std::string fifo = machine.path() + "/pipe.reg";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    cases.push_back({fifo, int32_t(ERROR_INVALID_DATA), ": not a regular file"});  // not waited on
#endif
    for (const auto& c : cases) {
        setenv("KDX_REGISTRY", c.path.c_str(), 1);
        int32_t key = 0;
        EXPECT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, Serial_Comm, 0, KEY_READ, key), c.status);
        EXPECT_EQ(Registry_Hive_Error(), c.path + c.why);
    }
}

TEST(Registry_View, KeysOpenCaseInsensitivelyWithParentsTrailingBackslashAndSubkeys) {
    kdx::test::Registry_Machine machine;
    machine.Use_Hive(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\n"
        "\"COM1:\"=\"9600,n,8,1\"\n");
    int32_t key = 0;
    const char* opened[] = {
        "SOFTWARE\\MicroSoft\\Windows NT\\CurrentVersion\\Ports\\",
        "software\\microsoft\\windows nt\\currentversion\\ports",
        "SOFTWARE\\Microsoft",
        "",
    };
    for (const char* path : opened) {
        SCOPED_TRACE(path);
        ASSERT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key), 0);
        EXPECT_EQ(Reg_Close_Key(key), 0);
    }
    EXPECT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nothing", 0, KEY_READ, key),
              int32_t(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Reg_Open_Key(HKEY_CURRENT_USER, "SOFTWARE\\Microsoft", 0, KEY_READ, key),
              int32_t(ERROR_FILE_NOT_FOUND));
    // A view that is read-only refuses writers.
    EXPECT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, 0xF003F, key),
              int32_t(ERROR_ACCESS_DENIED));
    // An opened key is a root for its subkeys.
    int32_t parent = 0;
    ASSERT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft", 0, KEY_READ, parent), 0);
    ASSERT_EQ(Reg_Open_Key(parent, "Windows NT\\CurrentVersion\\Ports", 0, KEY_READ, key), 0);
    uint32_t size = 0;
    EXPECT_EQ(Reg_Query_Value(key, "com1:", nullptr, nullptr, &size), 0);
    EXPECT_EQ(size, 11u);
    Reg_Close_Key(key);
    Reg_Close_Key(parent);
    EXPECT_EQ(Reg_Close_Key(parent), int32_t(ERROR_INVALID_HANDLE));
    EXPECT_EQ(Reg_Query_Value(parent, "x", nullptr, nullptr, &size), int32_t(ERROR_INVALID_HANDLE));
}

TEST(Registry_View, OverBufferNamesAndDataGiveMoreDataWithWhatFits) {
    kdx::test::Registry_Machine machine;
    std::string long_name = "\\\\Device\\\\" + std::string(300, 'N');
    machine.Use_Hive("REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + std::string(Serial_Comm) + "]\n\"" +
                     long_name + "\"=\"COM9\"\n\"Short\"=\"" + std::string(40, 'D') + "\"\n");
    int32_t key = 0;
    ASSERT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, Serial_Comm, 0, KEY_READ, key), 0);
    char name[260];
    char data[16];
    uint32_t name_size = sizeof name, data_size = sizeof data, type = 0;
    EXPECT_EQ(Reg_Enum_Value(key, 0, name, &name_size, &type, data, &data_size),
              int32_t(ERROR_MORE_DATA));
    EXPECT_EQ(name_size, 259u);
    EXPECT_EQ(std::strlen(name), 259u);
    EXPECT_EQ(std::string(name, 8), "\\Device\\");
    EXPECT_EQ(std::string(data, 5), std::string("COM9\0", 5));

    name_size = sizeof name;
    data_size = sizeof data;
    EXPECT_EQ(Reg_Enum_Value(key, 1, name, &name_size, &type, data, &data_size),
              int32_t(ERROR_MORE_DATA));
    EXPECT_EQ(std::string(name), "Short");
    EXPECT_EQ(data_size, 41u);  // the size it needs
    EXPECT_EQ(std::string(data, 16), std::string(16, 'D'));

    name_size = sizeof name;
    data_size = sizeof data;
    EXPECT_EQ(Reg_Enum_Value(key, 2, name, &name_size, &type, data, &data_size),
              int32_t(ERROR_NO_MORE_ITEMS));
    char small[4];
    uint32_t small_size = sizeof small;
    EXPECT_EQ(Reg_Query_Value(key, "Short", &type, small, &small_size), int32_t(ERROR_MORE_DATA));
    EXPECT_EQ(small_size, 41u);
    Reg_Close_Key(key);
}

TEST(Registry_View, UserOverlayAddsReplacesAndDeletesOverTheLiveView) {
    kdx::test::Registry_Machine machine;
    unsetenv("KDX_REGISTRY");
    std::string config = machine.path() + "/config/kdx";
    std::filesystem::create_directories(config);
    std::ofstream(config + "/registry.reg")
        << "REGEDIT4\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\n"
           "\"COM3:\"=\"9600,n,8,1\"\n"
           "\"COM4:\"=\"4800,n,8,1\"\n"
           "\"COM4:\"=\"19200,e,7,2\"\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\n"
           "\"COM3:\"=-\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Extra\\Gone]\n"
           "\"x\"=\"1\"\n"
           "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Extra]\n";
    const char* ports = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
    EXPECT_EQ(Query(ports, "COM4:").data, std::string("19200,e,7,2\0", 12));
    EXPECT_EQ(Query(ports, "COM3:").status, int32_t(ERROR_FILE_NOT_FOUND));
    int32_t key = 0;
    EXPECT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Extra\\Gone", 0, KEY_READ, key),
              int32_t(ERROR_FILE_NOT_FOUND));
    // The live keys are still there beside the overlay's.
    EXPECT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, Serial_Comm, 0, KEY_READ, key), 0);
    Reg_Close_Key(key);

    // A broken overlay is reported, not silently skipped.
    std::ofstream(config + "/registry.reg") << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\nbroken\n";
    EXPECT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, Serial_Comm, 0, KEY_READ, key),
              int32_t(ERROR_INVALID_DATA));
    EXPECT_NE(Registry_Hive_Error().find("registry.reg line 3"), std::string::npos);
}

}  // namespace

namespace {

// Whatever bytes a hive file holds, reading it ends in a result or a clear error.
TEST(Registry_Hive, ArbitraryBytesNeverCrashTheReader) {
    const std::string pieces[] = {"REGEDIT4\n", "[HKEY_LOCAL_MACHINE\\A]\n",
                                  "\"",         "\\",
                                  "=",          "hex(7):",
                                  "00,",        "ff",
                                  "dword:",     "@",
                                  "-",          "\n",
                                  "\r",         std::string(1, '\0'),
                                  "[",          "]",
                                  ";",          "\\\n",
                                  "x",          std::string(300, 'n')};
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
    for (int round = 0; round < 2000; ++round) {
        std::string text = round % 2 ? "REGEDIT4\n" : "";
        int count = int(next() % 30);
        for (int i = 0; i < count; ++i) text += pieces[next() % std::size(pieces)];
        std::vector<Registry_Hive_Key> keys;
        std::string error;
        bool ok = Registry_Parse_Hive(text, keys, error);
        EXPECT_EQ(ok, error.empty()) << text;
        if (!ok) {
            EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
        }
    }
}

}  // namespace

namespace {

using kdx::test::Random_Text;

TEST(Registry_Hostile_Hive, RandomAndMutatedTextsParseOrFailWithALine) {
    const std::string valid =
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"
        "\"\\\\Device\\\\VCP0\"=\"COM5\"\r\n"
        "@=dword:0000002a\r\n"
        "\"Bin\"=hex:01,02,\\\r\n  03\r\n"
        "\"Multi\"=hex(7):41,00,00\r\n"
        "\"Gone\"=-\r\n"
        "[-HKEY_CURRENT_USER\\Software\\X]\r\n";
    std::vector<kdx::platform::Registry_Hive_Key> keys;
    std::string error;
    ASSERT_TRUE(kdx::platform::Registry_Parse_Hive(valid, keys, error)) << error;

    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        if (round % 4 == 0) {
            text = "REGEDIT4\n" + Random_Text(rng, 300);
        } else if (round % 4 == 1) {
            text = Random_Text(rng, 300);
        } else {
            // A few bytes of the valid text replaced, dropped or cut off.
            text = valid;
            std::uniform_int_distribution<size_t> at(0, text.size() - 1);
            for (int k = 0; k < 1 + round % 5; ++k) {
                size_t p = at(rng) % text.size();
                switch (k % 3) {
                    case 0:
                        text[p] = char(byte(rng));
                        break;
                    case 1:
                        text.erase(p, 1);
                        break;
                    default:
                        text.resize(p);
                        break;
                }
                if (text.empty()) break;
            }
        }
        keys.clear();
        error.clear();
        bool ok = kdx::platform::Registry_Parse_Hive(text, keys, error);
        if (ok) {
            EXPECT_TRUE(error.empty());
            for (const auto& key : keys) {
                for (const auto& value : key.Values) {
                    if (value.Type == kdx::platform::REG_DWORD) {
                        EXPECT_EQ(value.Data.size(), 4u);
                    }
                }
            }
        } else {
            EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
        }
    }
}

}  // namespace
