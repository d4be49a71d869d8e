// The device probe against the simulated controller, and against a bare pseudo-terminal
// that answers exactly what a test needs (a reply the simulator would never give).
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/os/handles.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/pty.h"
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

// A device that answers every "V," with a fixed text, in one write. It answers from the
// write's echo, on the writer's thread once the bytes are out: an answer from a thread of its
// own could come after the probe's bounded wait on a busy machine. A read of the master takes
// what the slave has just written, and the probe's wait sees the answer at once.
class Scripted_Device final : public Echo_Sink {
  public:
    // Takes the echo while it lives.
    explicit Scripted_Device(std::string answer) : answer_(std::move(answer)) {
        ok_ = platform::Pty_Open(pair_);
        Echo_Set_Sink(this);
    }
    ~Scripted_Device() override {
        Echo_Set_Sink(nullptr);
        platform::Pty_Close(pair_);
    }
    bool ok() const { return ok_; }
    const std::string& device() const { return pair_.device; }

    void Echo_Apply(const Echo_Document& document) override {
        if (document.Kind != Echo_Kind::Sent) return;
        char buf[256];
        while (size_t n = platform::Pty_Read(pair_.master, buf, sizeof buf)) got_.append(buf, n);
        while (got_.find("V,") != std::string::npos) {
            got_.erase(0, got_.find("V,") + 2);
            if (!answer_.empty()) platform::Pty_Write(pair_.master, answer_);
        }
    }
    bool Echo_Plain() const override { return true; }

  private:
    std::string answer_;
    std::string got_;
    platform::Pty_Pair pair_;
    bool ok_ = false;
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
