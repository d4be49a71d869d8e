// Hostile input to the protocol's parsers, the hive-file reader and the simulated
// controller: random and extreme bytes must give a clear result, never a crash or undefined
// behaviour (the sanitizer build runs these too).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/ports/device_change.h"
#include "platform/ports/registry.h"
#include "platform/ports/udev_ports.h"
#include "protocol/kdx.h"
#include "sim/model.h"
#include "tests/test_registry_fixture.h"

namespace {

// Bytes weighted towards the characters the parsers look for.
std::string Random_Text(std::mt19937& rng, size_t max_size) {
    static const char special[] = {',', '\r',   '\n', '@', '&', '-', '=', '"', '\\', '[',
                                   ']', '\x04', '?',  ' ', ':', '(', ')', ';', 'M',  '\0'};
    std::uniform_int_distribution<size_t> size(0, max_size);
    std::uniform_int_distribution<int> byte(0, 255), pick(0, 2);
    std::uniform_int_distribution<size_t> which(0, sizeof special - 1);
    std::string text(size(rng), '\0');
    for (char& c : text) c = pick(rng) == 0 ? special[which(rng)] : char(byte(rng));
    return text;
}

TEST(Protocol_Hostile_Replies, ParsersTakeAnyBytes) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 3000; ++round) {
        std::string reply = Random_Text(rng, round % 10 == 0 ? 2000 : 40);
        for (auto part :
             {kdx::Device_Part::Whole, kdx::Device_Part::Before_At, kdx::Device_Part::After_At}) {
            std::string cleaned = kdx::KDX_Clean_Device_Reply(reply, "getD4", part);
            ASSERT_FALSE(cleaned.empty());
            EXPECT_EQ(cleaned.back(), '\r');
            EXPECT_LE(cleaned.size(), reply.size() + 1);
        }
        std::string axis = kdx::KDX_Clean_Axis_Reply(reply, "getMT", round % 6 - 1);
        EXPECT_EQ(axis.find('\r'), std::string::npos);
        EXPECT_LE(axis.size(), reply.size());

        std::string text = reply;
        std::string motor = kdx::KDX_Parse_Motor_ID(text);
        EXPECT_EQ(text.find('\r'), std::string::npos);
        EXPECT_LE(motor.size(), text.size());
        text = reply;
        std::string limit = kdx::KDX_Parse_Limit_ID(text);
        EXPECT_LE(limit.size(), text.size());
        EXPECT_FALSE(kdx::KDX_Limit_Description(limit).empty());

        std::string sent = kdx::KDX_Test_Program(1 + round % 4);
        std::string listing = reply;
        kdx::Listing_Comparison c = kdx::KDX_Compare_Listing(sent, listing);
        EXPECT_EQ(c.passed, c.unmatched.empty() && c.missing.empty());
        std::string s = sent, l = reply;
        kdx::KDX_Tester_Commo_Fill_Memory_Compare_Strings(s, l);
        EXPECT_EQ(s.find('\r'), std::string::npos);
        EXPECT_EQ(l.find('\r'), std::string::npos);
    }
}

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

// The simulated controller is fed whatever its line carries: moves whose time does not fit
// any clock keep it busy instead of wrapping round to "ready".
TEST(Model_Hostile_Moves, OutsizedMovesStayBusy) {
    for (const char* move : {
             "F,C,I1M1e300,R",
             "F,C,S1M1e-300,I1M1000,R",
             "F,C,I1M400,LA99999999999,R",
             "F,C,S1M0.000001,I1M1e15,LA2000000000,R",
         }) {
        kdx::sim::Controller_Model model;
        EXPECT_EQ(model.Receive(move, 1000), "") << move;
        EXPECT_EQ(model.Receive("V", 1000), "B") << move;
        // A second outsized move on top of the first does not overflow either.
        model.Receive(move, 2000);
        EXPECT_EQ(model.Receive("V", 2000), "B") << move;
        EXPECT_EQ(model.Receive("V", 800000000000), "B") << move;
        EXPECT_EQ(model.Receive("KV", 3000), "R") << move;
    }
}

}  // namespace

namespace {

// Two parts of the program starting and stopping their watches at the same moment: the
// monitor thread is started and joined by one of them at a time, every registration gets an
// id, and every unregistration of a registered id succeeds.
TEST(Device_Change_Threads, RegisterAndUnregisterRaceFreely) {
    kdx::test::Registry_Machine machine;
    setenv("KDX_PORTS", (machine.path() + "/ports").c_str(), 1);
    std::atomic<int> failures{0};
    auto churn = [&] {
        for (int i = 0; i < 150; ++i) {
            int32_t id = kdx::platform::Device_Change_Register([](const auto&) {});
            if (id == 0) {
                ++failures;
                continue;
            }
            if (!kdx::platform::Device_Change_Unregister(id)) ++failures;
        }
    };
    std::thread a(churn), b(churn), c(churn);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures.load(), 0);
    unsetenv("KDX_PORTS");
}

}  // namespace

namespace {

// Programs meeting new adapters at the same moment each give theirs a number of its own,
// and the arbiter's file ends up holding every one; lines it does not understand stay.
TEST(Com_Name_Store_Threads, SimultaneousNewAdaptersGetDistinctNumbers) {
    kdx::test::Registry_Machine machine;
    std::filesystem::create_directories(kdx::platform::Config_Directory());
    {
        std::ofstream store(kdx::platform::Com_Name_Store_Path(), std::ios::binary);
        store << "COM3 old-adapter\r\n"
              << "COM0 zero\nCOM99999999 huge\nCOM7x bad\nCOM8 \n"
              << std::string("\0\xff garbage", 10) << "\n";
    }
    constexpr int Threads = 6;
    std::vector<int32_t> numbers(Threads);
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&numbers, t] {
            std::vector<kdx::platform::Udev_Port> ports(1);
            ports[0].Identity = "adapter-" + std::to_string(t);
            kdx::platform::Com_Name_Assign(ports, {1, 2}, {});
            numbers[size_t(t)] = ports[0].Number;
        });
    }
    for (auto& t : threads) t.join();
    std::set<int32_t> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), size_t(Threads));
    EXPECT_EQ(distinct.count(3), 0u);
    EXPECT_EQ(*distinct.begin(), 4);
    auto stored = kdx::platform::Com_Name_Store_List();
    ASSERT_EQ(stored.size(), size_t(Threads + 1));
    EXPECT_EQ(stored[0], std::make_pair(int32_t(3), std::string("old-adapter")));
    std::ifstream in(kdx::platform::Com_Name_Store_Path(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("COM7x bad\n"), std::string::npos);
    EXPECT_NE(text.find(std::string("\0\xff garbage", 10)), std::string::npos);
}

}  // namespace

namespace {

// A store that cannot be written in full (a full disk, here a file-size limit in a child
// process) keeps every number it held.
TEST(Com_Name_Store_Write, AFailedWriteKeepsTheStoredNumbers) {
    kdx::test::Registry_Machine machine;
    std::filesystem::create_directories(kdx::platform::Config_Directory());
    std::string old_text;
    for (int n = 3; n < 60; ++n)
        old_text +=
            "COM" + std::to_string(n) + " usb-adapter-with-a-long-name-" + std::to_string(n) + "\n";
    std::ofstream(kdx::platform::Com_Name_Store_Path(), std::ios::binary) << old_text;

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{512, 512};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<kdx::platform::Udev_Port> ports(1);
        ports[0].Identity = "a-new-adapter";
        kdx::platform::Com_Name_Assign(ports, {}, {});
        _exit(ports[0].Number == 60 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    auto stored = kdx::platform::Com_Name_Store_List();
    ASSERT_EQ(stored.size(), 57u);
    EXPECT_EQ(stored.back(),
              std::make_pair(int32_t(59), std::string("usb-adapter-with-a-long-name-59")));
    std::ifstream in(kdx::platform::Com_Name_Store_Path(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, old_text);

    // With room to write, the new adapter's number is stored beside the old ones.
    std::vector<kdx::platform::Udev_Port> ports(1);
    ports[0].Identity = "a-new-adapter";
    kdx::platform::Com_Name_Assign(ports, {}, {});
    EXPECT_EQ(ports[0].Number, 60);
    EXPECT_EQ(kdx::platform::Com_Name_Store_List().size(), 58u);
}

}  // namespace

namespace {

// A stored number that a ports directory entry now uses for another device (a simulator) is
// given anew: the port list shows the entry under it and would hide the adapter. An entry
// made by hand for the adapter itself takes nothing from it.
TEST(Com_Name_Store_Numbers, AStoredNumberAnEntryUsesForAnotherDeviceIsGivenAnew) {
    const struct {
        const char* name;
        std::vector<kdx::platform::Com_Number_Use> avoid;
        int32_t number;
    } cases[] = {
        {"no entry", {}, 3},
        {"the simulator on COM3", {{3, "/dev/pts/9"}}, 5},
        {"an entry for the adapter itself", {{3, "/dev/ttyUSB0"}}, 3},
        {"an entry on another number", {{4, "/dev/pts/9"}}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kdx::test::Registry_Machine machine;
        std::filesystem::create_directories(kdx::platform::Config_Directory());
        std::ofstream(kdx::platform::Com_Name_Store_Path(), std::ios::binary)
            << "COM3 adapter-a\nCOM4 adapter-b\n";
        std::vector<kdx::platform::Udev_Port> ports(1);
        ports[0].Identity = "adapter-a";
        ports[0].Node = "/dev/ttyUSB0";
        kdx::platform::Com_Name_Assign(ports, {}, c.avoid);
        EXPECT_EQ(ports[0].Number, c.number);
        // The number given is the one kept: the next listing gives the same.
        ports[0].Number = 0;
        kdx::platform::Com_Name_Assign(ports, {}, c.avoid);
        EXPECT_EQ(ports[0].Number, c.number);
    }
}

// Runs work in a child process and tells whether it ended well within a minute: a file
// open or read that waits on a pipe would never end. The child's end of a pipe closes when
// it exits, which is the event waited for.
bool Ends(const std::function<void()>& work) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        work();
        _exit(0);
    }
    close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    bool ended = poll(&p, 1, 60000) == 1;
    close(fds[0]);
    if (!ended) kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A pipe, device or folder at the arbiter's file is not the store: nothing waits on it, it
// is left as it was, and new adapters still get numbers (which are not kept).
TEST(Com_Name_Store_Not_File, APipeOrFolderAtTheStoreIsLeftAloneAndNothingWaitsOnIt) {
    for (bool pipe : {true, false}) {
        SCOPED_TRACE(pipe ? "a pipe" : "a folder");
        kdx::test::Registry_Machine machine;
        std::filesystem::create_directories(kdx::platform::Config_Directory());
        std::string store = kdx::platform::Com_Name_Store_Path();
        if (pipe)
            ASSERT_EQ(mkfifo(store.c_str(), 0600), 0);
        else
            std::filesystem::create_directory(store);
        EXPECT_TRUE(Ends([] {
            if (!kdx::platform::Com_Name_Store_List().empty()) _exit(1);
            std::vector<kdx::platform::Udev_Port> ports(1);
            ports[0].Identity = "adapter-a";
            kdx::platform::Com_Name_Assign(ports, {}, {});
            if (ports[0].Number != 3) _exit(1);
        }));
        struct stat st {};
        ASSERT_EQ(lstat(store.c_str(), &st), 0);
        EXPECT_EQ(pipe ? S_ISFIFO(st.st_mode) : S_ISDIR(st.st_mode), true);
    }
}

}  // namespace
