// The device probe against the simulated controller, and against a bare pseudo-terminal
// that answers exactly what a test needs (a reply the simulator would never give).
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/handles.h"
#include "platform/ports_dir.h"
#include "platform/pty.h"
#include "serial/serial_enum.h"
#include "tests/test_serial_fixture.h"

using namespace kdx;

namespace {

using Probe = test::Sim_Port_Test;

TEST_F(Probe, SimulatedControllerIsAQmtInEachOfItsModes) {
    Start_Sim();
    ASSERT_TRUE(platform::Handle_Usable(Open()));
    struct Step {
        const char* command;  // sent first to set the mode ("" none)
        const char* reply;
    };
    const Step steps[] = {{"", "QMT"}, {"Q,", "QMT"}, {"F,", "QMT"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.command);
        if (*step.command) {
            Serial_Port_Write(handle, step.command);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            Serial_Port_Read(handle);
        }
        EXPECT_EQ(Serial_Port_Device(handle, 0), step.reply);
    }
    EXPECT_NE(sim->Received().find("V,"), std::string::npos);
}

TEST_F(Probe, AnswerAfterWireTimeAndLatencyIsStillTaken) {
    // Reading at once would find nothing yet and call the controller missing.
    sim::Sim_Config config;
    config.late_ms = 5;
    config.wire_time = true;
    Start_Sim(config);
    Open();
    EXPECT_EQ(Serial_Port_Device(handle, 0), "QMT");
}

TEST_F(Probe, ReceivePollerDoesNotTakeTheAnswer) {
    Start_Sim();
    Open();
    Serial_Port_State.Poller = Serial_Port_Poller_Start(handle);
    ASSERT_NE(Serial_Port_State.Poller, 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Serial_Port_Device(handle, i), "QMT") << i;
}

TEST_F(Probe, SilentDeviceIsNotFoundAndUnusableHandlesSendNothing) {
    sim::Sim_Config config;
    config.model.answer_limit = 0;
    Start_Sim(config);
    Open();
    EXPECT_EQ(Serial_Port_Device(handle, 0), "Device not found");
    std::string before = sim->Received();
    int32_t none = 0;
    EXPECT_EQ(Serial_Port_Device(none, 0), "Device not found");
    int32_t invalid = -1;
    EXPECT_EQ(Serial_Port_Device(invalid, 0), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sim->Received(), before);
}

// A device that answers every "V," with a fixed text, in one write.
class Scripted_Device {
  public:
    explicit Scripted_Device(std::string answer) : answer_(std::move(answer)) {
        ok_ = platform::Pty_Open(pair_);
        if (ok_) thread_ = std::thread([this] { Run(); });
    }
    ~Scripted_Device() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        platform::Pty_Close(pair_);
    }
    bool ok() const { return ok_; }
    const std::string& device() const { return pair_.device; }

  private:
    void Run() {
        std::string got;
        while (!stop_) {
            pollfd fd{pair_.master, POLLIN, 0};
            if (poll(&fd, 1, 10) <= 0) continue;
            char buf[256];
            ssize_t n = read(pair_.master, buf, sizeof buf);
            if (n <= 0) continue;
            got.append(buf, size_t(n));
            while (got.find("V,") != std::string::npos) {
                got.erase(0, got.find("V,") + 2);
                if (!answer_.empty() && write(pair_.master, answer_.data(), answer_.size()) < 0)
                    return;
            }
        }
    }
    std::string answer_;
    platform::Pty_Pair pair_;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(Probe, WholeReplyIsLookedUpCaseSensitively) {
    const std::pair<const char*, const char*> cases[] = {
        {"R", "QMT"},
        {"B", "QMT"},
        {"J", "QMT"},
        {"b", "QMT"},
        {"S", "ZLR"},
        {"D", "ZLR"},
        {"P", "ZLR"},
        {"RB", "Device not found"},  // two replies run together
        {"r", "Device not found"},
        {"F", "Device not found"},
        {"R\r", "Device not found"},
        {"", "Device not found"},
    };
    for (const auto& [answer, type] : cases) {
        SCOPED_TRACE(answer);
        Scripted_Device device(answer);
        ASSERT_TRUE(device.ok());
        ASSERT_TRUE(platform::Ports_Dir_Register(6, device.device()));
        int32_t number = 6, baud = 9600;
        int32_t port = Serial_Port_Open(number, baud);
        ASSERT_TRUE(platform::Handle_Usable(port));
        EXPECT_EQ(Serial_Port_Device(port, 0), type);
        Serial_Port_Close(port);
    }
}

}  // namespace
