// The COM-name store outside a simulated sysfs: numbers given to adapters met at the same
// moment, a failed write, a stored number another device now uses, and a store that is no
// plain file.
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
#include "tests/support/registry_fixture.h"

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
