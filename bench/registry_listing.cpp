// Listing the ports of a described machine ($KDX_REGISTRY) with 2,500, 5,000 and 10,000
// SERIALCOMM values, each with its line settings and arbiter value: the listing looks a key up
// once per port, so a view that read the file again for every lookup grew with the square of
// the count. The goal is well under a second for 10,000 and a time per port that stays flat.
//
//   bench_registry_listing [COUNT...]
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/serial_enum.h"

namespace {

// A machine of count adapters: the device map, the port settings and the arbiter.
std::string Hive_Text(int count) {
    std::string serial = "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
    std::string ports =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\n";
    std::string arbiter =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter\\Devices]\n";
    for (int i = 1; i <= count; ++i) {
        std::string com = "COM" + std::to_string(i);
        serial += "\"\\\\Device\\\\VCP" + std::to_string(i) + "\"=\"" + com + "\"\n";
        ports += "\"" + com + ":\"=\"57600,n,8,1\"\n";
        arbiter += "\"" + com + "\"=\"usb-FTDI_FT232R_SN" + std::to_string(i) + "-if00\"\n";
    }
    return "REGEDIT4\n\n" + serial + "\n" + ports + "\n" + arbiter;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {2500, 5000, 10000};
    std::string dir = (std::filesystem::temp_directory_path() /
                       ("kdx-bench-registry-" + std::to_string(::getpid())))
                          .string();
    std::filesystem::create_directories(dir);
    std::printf("Serial_Port_Enum over a hive file ($KDX_REGISTRY), as kdx-cli ports lists it\n");
    for (int count : counts) {
        std::string hive = dir + "/machine-" + std::to_string(count) + ".reg";
        std::ofstream(hive, std::ios::binary) << Hive_Text(count);
        setenv("KDX_REGISTRY", hive.c_str(), 1);
        // The first listing reads and parses the file; a second one (the window's next
        // refresh) finds it unchanged.
        for (const char* run : {"first", "again"}) {
            auto start = std::chrono::steady_clock::now();
            std::string text = kdx::Serial_Port_Enum();
            double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            std::printf(
                "values=%-6d %-6s listing_ms=%9.1f  us_per_value=%6.2f  ports=%zu  "
                "(goal: well under 1000 ms for 10000)\n",
                count, run, ms, ms * 1000.0 / count, kdx::Serial_Port_Table.size());
            if (text.empty()) {
                std::fprintf(stderr, "the listing failed: %s\n",
                             kdx::Serial_Port_Enum_Failure().c_str());
                return 1;
            }
        }
    }
    unsetenv("KDX_REGISTRY");
    std::filesystem::remove_all(dir);
    return 0;
}
