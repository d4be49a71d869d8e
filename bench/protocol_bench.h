// A simulated controller holding each byte for its wire time at 57600 baud, on a real
// pseudo-terminal, with the port opened as the program opens it.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "serial/echo.h"
#include "serial/serial_port.h"
#include "sim/sim.h"

namespace kdx::bench {

constexpr int32_t Bench_Baud = 57600;

// Seconds the line needs for this many bytes at 10 bits each.
inline double Wire_Seconds(double bytes) {
    return bytes * 10.0 / Bench_Baud;
}

class Bench_Line {
  public:
    Bench_Line() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kdx-bench-XXXXXX").string();
        dir_ = mkdtemp(pattern.data()) ? pattern : std::string();
        setenv("KDX_PORTS", dir_.c_str(), 1);
        sim::Sim_Config config;
        config.number = 5;
        config.baud = Bench_Baud;
        config.wire_time = true;
        sim_ = std::make_unique<sim::Simulator>(config);
        if (!sim_->Start()) return;
        int32_t number = 5, baud = Bench_Baud;
        handle_ = Serial_Port_Open(number, baud);
        Serial_Port_State.Handle = handle_;
        Serial_Port_State.Number = number;
        Serial_Port_State.Baud = baud;
    }
    ~Bench_Line() {
        Serial_Port_Close(handle_);
        Serial_Port_State = Serial_Port_State_Record{};
        sim_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    bool Ready() const { return handle_ > 0; }
    int32_t& Handle() { return handle_; }
    sim::Simulator& Sim() { return *sim_; }

  private:
    std::string dir_;
    std::unique_ptr<sim::Simulator> sim_;
    int32_t handle_ = 0;
};

inline double Seconds_Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace kdx::bench
