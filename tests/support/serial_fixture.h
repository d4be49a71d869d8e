// A simulated controller on a real pseudo-terminal, registered as COM5 in a temporary ports
// directory, with the traffic echo captured.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "serial/echo.h"
#include "serial/serial_port.h"
#include "sim/sim.h"
#include "tests/support/echo_capture.h"
#include "tests/support/posix.h"
#include "tests/support/temp_dir.h"

namespace kdx::test {

// Polls a condition until it holds, at most timeout_ms (only to avoid hanging).
inline bool Eventually(const std::function<bool()>& condition, int timeout_ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct Shell_Result {
    int code = -1;
    std::string out;
};

// Runs a shell command and collects its output and exit status.
inline Shell_Result Shell(const std::string& command) {
    Shell_Result r;
#ifdef _WIN32
    // cmd.exe quotes with double quotes and names the null device NUL; /c takes the outer
    // pair of quotes off the line.
    std::string line = "\"";
    for (size_t i = 0; i < command.size(); ++i) {
        if (command.compare(i, 9, "/dev/null") == 0) {
            line += "NUL";
            i += 8;
        } else {
            line += command[i] == '\'' ? '"' : command[i];
        }
    }
    Windows_Run run = Run_Windows_Command_Line("cmd.exe /s /c " + line + "\"");
    r.code = run.status;
    r.out = run.out;
    return r;
#else
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
    int status = pclose(pipe);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
#endif
}

class Sim_Port_Test : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("KDX_PORTS", dir.path().c_str(), 1);
        Echo_Set_Sink(&capture);
        Serial_Port_State = Serial_Port_State_Record{};
    }
    void TearDown() override {
        if (handle != 0) Serial_Port_Close(handle);
        Serial_Port_State = Serial_Port_State_Record{};
        Echo_Set_Sink(nullptr);
        sim.reset();
        unsetenv("KDX_PORTS");
    }
    void Start_Sim(sim::Sim_Config config = {}) {
        config.number = 5;
        sim = std::make_unique<sim::Simulator>(config);
        ASSERT_TRUE(sim->Start());
    }
    int32_t Open(int32_t baud = 57600) {
        int32_t number = 5;
        handle = Serial_Port_Open(number, baud);
        Serial_Port_State.Handle = handle;
        Serial_Port_State.Number = 5;
        Serial_Port_State.Baud = baud;
        return handle;
    }
    // Reads until text holding want has arrived (the reply may come in pieces).
    std::string Read_Until(const std::string& want, const int32_t* echo = nullptr) {
        std::string got;
        Eventually([&] {
            if (Serial_Port_Wait_Input(handle, 20)) got += Serial_Port_Read(handle, echo);
            return got.find(want) != std::string::npos;
        });
        return got;
    }
    std::string Received_Visible() const { return capture.Visible(Echo_Kind::Received); }

    Temp_Dir dir;
    Echo_Capture_Sink capture;
    std::unique_ptr<sim::Simulator> sim;
    int32_t handle = 0;
};

}  // namespace kdx::test
