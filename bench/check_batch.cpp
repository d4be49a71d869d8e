// kdx-cli check --all over 8 simulated units at once against one unit alone, each at 57600
// baud with wire time: a batch that checks its units side by side costs about one unit's
// time, not eight. Prints units=8 wall_ratio=<batch / one unit> (median of the runs).
#include <algorithm>
#include <fstream>
#include <memory>
#include <vector>

#include "bench/protocol_bench.h"
#include "tests/support/serial_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

// The seconds of one kdx-cli check over units simulators (COM5 up); < 0 when it failed.
double Check_Seconds(int units) {
    using namespace kdx;
    test::Temp_Dir ports, machine, out;
    setenv("KDX_PORTS", ports.path().c_str(), 1);
    // The machine lists exactly the simulated ports: its own would add their silence.
    std::string hive = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
    for (int n = 0; n < units; ++n)
        hive +=
            "\"\\\\Device\\\\VCP" + std::to_string(n) + "\"=\"COM" + std::to_string(5 + n) + "\"\n";
    std::ofstream(machine.path() + "/machine.reg") << hive;
    setenv("KDX_REGISTRY", (machine.path() + "/machine.reg").c_str(), 1);
    std::vector<std::unique_ptr<sim::Simulator>> sims;
    for (int n = 0; n < units; ++n) {
        sim::Sim_Config config;
        config.number = 5 + n;
        config.baud = bench::Bench_Baud;
        config.wire_time = true;
        sims.push_back(std::make_unique<sim::Simulator>(config));
        if (!sims.back()->Start()) return -1;
    }
    std::string args =
        units == 1 ? " check COM5" : " check --all --expect " + std::to_string(units);
    auto start = std::chrono::steady_clock::now();
    test::Shell_Result r =
        test::Shell(std::string(KDX_CLI_PATH) + args + " --out " + out.path() + " 2>&1 </dev/null");
    double seconds = bench::Seconds_Since(start);
    if (r.code != 0) {
        std::fprintf(stderr, "bench_check_batch: the check failed:\n%s", r.out.c_str());
        return -1;
    }
    return seconds;
}

}  // namespace

int main() {
    constexpr int Runs = 3, Units = 8;
    std::vector<double> ratios, ones, batches;
    for (int run = 0; run < Runs; ++run) {
        double one = Check_Seconds(1), batch = Check_Seconds(Units);
        if (one <= 0 || batch <= 0) return 1;
        ones.push_back(one);
        batches.push_back(batch);
        ratios.push_back(batch / one);
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(ones.begin(), ones.end());
    std::sort(batches.begin(), batches.end());
    std::printf("kdx-cli check --all over %d units against one unit, %d runs (medians)\n", Units,
                Runs);
    std::printf("  one unit   %.3f s\n", ones[Runs / 2]);
    std::printf("  batch      %.3f s\n", batches[Runs / 2]);
    std::printf("  goal       wall_ratio <= 1.30\n");
    std::printf("units=%d wall_ratio=%.3f\n", Units, ratios[Runs / 2]);
    return 0;
}
