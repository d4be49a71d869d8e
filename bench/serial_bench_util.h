// Shared set-up of the serial benchmarks: a simulated controller registered as COM5 in a
// temporary ports directory, and the port opened with its receive poller.
#pragma once
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "serial/serial_port.h"
#include "sim/sim.h"

namespace kdx::bench {

class Sim_Session {
  public:
    explicit Sim_Session(sim::Sim_Config config = {}) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kdx-bench-XXXXXX").string();
        dir_ = mkdtemp(pattern.data()) ? pattern : std::string("/tmp");
        setenv("KDX_PORTS", dir_.c_str(), 1);
        config.number = 5;
        sim = std::make_unique<sim::Simulator>(config);
        if (!sim->Start()) {
            std::fprintf(stderr, "cannot start the simulator\n");
            std::exit(1);
        }
    }
    // Opens COM5 at 57600 and starts its poller; false when the open failed.
    bool Open() {
        int32_t number = 5, baud = 57600;
        handle = Serial_Port_Open(number, baud);
        if (handle <= 0) return false;
        Serial_Port_State.Handle = handle;
        Serial_Port_State.Number = 5;
        Serial_Port_State.Baud = baud;
        Serial_Port_State.Poller = Serial_Port_Poller_Start(handle);
        return Serial_Port_State.Poller != 0;
    }
    ~Sim_Session() {
        if (handle > 0) Serial_Port_Close(handle);
        sim.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::unique_ptr<sim::Simulator> sim;
    int32_t handle = 0;

  private:
    std::string dir_;
};

// The received bytes back from the window's text: each CR shows as a line break and the LF
// after it as CHR$(10).
inline std::string Raw_From_Visible(const std::string& visible) {
    std::string raw;
    raw.reserve(visible.size());
    const std::string lf = "CHR$(10)";
    for (size_t i = 0; i < visible.size(); ++i) {
        if (visible[i] == '\n') {
            raw += '\r';
        } else if (visible.compare(i, lf.size(), lf) == 0) {
            raw += '\n';
            i += lf.size() - 1;
        } else {
            raw += visible[i];
        }
    }
    return raw;
}

}  // namespace kdx::bench
