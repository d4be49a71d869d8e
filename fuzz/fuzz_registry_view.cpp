// The registry view over whole hive files as the port listing reads them ($KDX_REGISTRY):
// any file, or a machine of up to 20,000 ports whose value names and data come from the
// input, is listed without a crash, every value it lists is one the view enumerates, and the
// listing stays linear in the file (a view that read the file again for every lookup made a
// file of 10,000 ports take a minute, which the fuzzer's time-out reports).
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/serial_enum.h"

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c != '\n' && c != '\r') out += c;
    }
    return out + "\"";
}

std::string Hive_Path() {
    static const std::string path = "/tmp/kdx-fuzz-registry-" + std::to_string(getpid()) + ".reg";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::string hive;
    if (in.ConsumeBool()) {
        hive = in.ConsumeRemainingBytesAsString();
    } else {
        // A machine of many ports built from a few fuzzed names: size without a large input.
        int count = in.ConsumeIntegralInRange<int>(0, 20000);
        std::string name = in.ConsumeRandomLengthString(300);
        std::string port = in.ConsumeRandomLengthString(300);
        std::string settings = in.ConsumeRandomLengthString(64);
        std::string serial = "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
        std::string ports =
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\n";
        for (int i = 0; i < count; ++i) {
            std::string n = std::to_string(i);
            serial += Quoted(name + n) + "=" + Quoted(port + n) + "\n";
            ports += Quoted(port + n + ":") + "=" + Quoted(settings) + "\n";
        }
        hive = "REGEDIT4\n" + serial + ports;
    }
    std::ofstream(Hive_Path(), std::ios::binary | std::ios::trunc) << hive;
    // As a machine's file is: written a while ago, so the view keeps what it parsed (a file
    // written in the last moments is read again for every lookup, which would hide the cost
    // of the lookups themselves). Each run's time differs, so each run's file is read anew.
    static int64_t run = 0;
    std::filesystem::last_write_time(Hive_Path(), std::filesystem::file_time_type::clock::now() -
                                                      std::chrono::seconds(10) +
                                                      std::chrono::microseconds(++run % 1000000));
    setenv("KDX_REGISTRY", Hive_Path().c_str(), 1);
    int32_t root = int32_t(0x80000002u);  // HKEY_LOCAL_MACHINE
    std::vector<std::string> names, values;
    std::vector<int32_t> types;
    int32_t count = 0;
    int32_t status =
        kdx::Registry_Enum_Values(root, kdx::Registry_Serial_Comm_Key, names, types, values, count);
    if (status == 0 && (size_t(count) != names.size() || names.size() != values.size()))
        std::abort();
    std::string listing = kdx::Serial_Port_Enum();
    // A whole listing has one table row per value enumerated.
    if (kdx::Serial_Port_Enum_Failure().empty() && status == 0 &&
        kdx::Serial_Port_Table.size() != names.size())
        std::abort();
    return 0;
}
