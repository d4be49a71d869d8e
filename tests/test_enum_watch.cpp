// Device changes from the ports directory: the simulator and hand-made entries coming and
// going reach the registered callbacks as arrivals and removals.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ports/device_change.h"
#include "platform/ports/ports_dir.h"
#include "sim/sim.h"
#include "tests/test_registry_fixture.h"

using namespace kdx::platform;

namespace {

struct Change_Log {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Device_Change> events;

    void Add(const Device_Change& change) {
        std::lock_guard<std::mutex> l(lock);
        events.push_back(change);
        changed.notify_all();
    }
    bool Wait_For(size_t count) {
        std::unique_lock<std::mutex> l(lock);
        return changed.wait_for(l, std::chrono::seconds(10),
                                [&] { return events.size() >= count; });
    }
};

TEST(DeviceChange, PortsDirectoryEntriesArriveAndGoAsPorts) {
    kdx::test::Registry_Machine machine;
    setenv("KDX_PORTS", (machine.path() + "/ports").c_str(), 1);
    Change_Log log;
    int32_t id = Device_Change_Register([&](const Device_Change& c) { log.Add(c); });
    ASSERT_NE(id, 0);

    ASSERT_TRUE(Ports_Dir_Register(7, "/dev/null"));
    ASSERT_TRUE(log.Wait_For(2));
    {
        kdx::sim::Sim_Config config;
        config.number = 5;
        kdx::sim::Simulator sim(config);
        ASSERT_TRUE(sim.Start());
        ASSERT_TRUE(log.Wait_For(4));
    }  // the simulator stops and takes its entry with it
    ASSERT_TRUE(log.Wait_For(6));
    ASSERT_TRUE(Ports_Dir_Unregister(7));
    ASSERT_TRUE(log.Wait_For(8));
    EXPECT_TRUE(Device_Change_Unregister(id));
    EXPECT_FALSE(Device_Change_Unregister(id));
    unsetenv("KDX_PORTS");

    std::lock_guard<std::mutex> l(log.lock);
    const std::pair<uint32_t, const char*> expected[] = {
        {DBT_DEVICEARRIVAL, "COM7"},        {DBT_DEVNODES_CHANGED, ""},
        {DBT_DEVICEARRIVAL, "COM5"},        {DBT_DEVNODES_CHANGED, ""},
        {DBT_DEVICEREMOVECOMPLETE, "COM5"}, {DBT_DEVNODES_CHANGED, ""},
        {DBT_DEVICEREMOVECOMPLETE, "COM7"}, {DBT_DEVNODES_CHANGED, ""},
    };
    ASSERT_EQ(log.events.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log.events[i].Event, expected[i].first);
        EXPECT_EQ(log.events[i].Port_Name, expected[i].second);
    }
    EXPECT_EQ(log.events[0].Node, "/dev/null");
    EXPECT_EQ(log.events[6].Node, "/dev/null");
}

TEST(DeviceChange, ACallbackMayUnregisterItselfAndTheMonitorStartsAgain) {
    kdx::test::Registry_Machine machine;
    setenv("KDX_PORTS", (machine.path() + "/ports").c_str(), 1);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Change_Log log;
        int32_t id = 0;
        std::mutex id_lock;
        {
            std::lock_guard<std::mutex> l(id_lock);
            // Unregister first: once the log wakes the test, this round's locals go away.
            id = Device_Change_Register([&](const Device_Change& c) {
                {
                    std::lock_guard<std::mutex> g(id_lock);
                    Device_Change_Unregister(id);
                }
                log.Add(c);
            });
        }
        ASSERT_NE(id, 0);
        ASSERT_TRUE(Ports_Dir_Register(8, "/dev/null"));
        ASSERT_TRUE(log.Wait_For(1));
        ASSERT_TRUE(Ports_Dir_Unregister(8));
    }
    EXPECT_EQ(Device_Change_Register(nullptr), 0);
    unsetenv("KDX_PORTS");
}

}  // namespace
