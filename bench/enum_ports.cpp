// Listing the machine's ports with 32 adapters present: once over a simulated sysfs (udev,
// the arbiter's file, the registry view) and once over a hive file describing the same
// machine. Nothing is opened, so the goal is under 20 ms a listing.
//
//   bench_enum_ports            (re-runs itself under umockdev's preload library)
#include <stdlib.h>
#include <unistd.h>
#if __has_include(<umockdev.h>)
#include <umockdev.h>
#define KDX_HAVE_UMOCKDEV 1
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/ports/udev_ports.h"
#include "serial/serial_enum.h"

namespace {

constexpr int Adapters = 32;
constexpr int Runs = 50;

struct Figures {
    double median_ms, max_ms;
};

template <class F>
Figures Time(F&& listing) {
    std::vector<double> ms;
    listing();  // the first run creates the arbiter's file
    for (int i = 0; i < Runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        listing();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

void Print(const char* what, const Figures& f, size_t ports) {
    std::printf("%-52s %3zu ports  median %7.3f ms  max %7.3f ms  (goal < 20 ms)\n", what, ports,
                f.median_ms, f.max_ms);
}

#ifdef KDX_HAVE_UMOCKDEV
void Add_Adapters(UMockdevTestbed* bed) {
    for (int i = 0; i < Adapters; ++i) {
        std::string port = "1-" + std::to_string(i + 1);
        std::string tty = "ttyUSB" + std::to_string(i);
        std::string serial = "SN" + std::to_string(1000 + i);
        gchar* usb = umockdev_testbed_add_device(bed, "usb", port.c_str(), nullptr, "idVendor",
                                                 "0403", "product", "FT232R USB UART",
                                                 "manufacturer", "FTDI", "serial", serial.c_str(),
                                                 nullptr, "DEVTYPE", "usb_device", nullptr);
        gchar* intf = umockdev_testbed_add_device(bed, "usb", (port + ":1.0").c_str(), usb,
                                                  "bInterfaceNumber", "00", nullptr, "DEVTYPE",
                                                  "usb_interface", nullptr);
        gchar* conv =
            umockdev_testbed_add_device(bed, "usb-serial", tty.c_str(), intf, nullptr, nullptr);
        umockdev_testbed_set_attribute_link(bed, conv, "driver",
                                            "../../../../bus/usb-serial/drivers/ftdi_sio");
        std::string node = "/dev/" + tty;
        gchar* dev = umockdev_testbed_add_device(bed, "tty", tty.c_str(), conv, nullptr, "DEVNAME",
                                                 node.c_str(), nullptr);
        g_free(usb);
        g_free(intf);
        g_free(conv);
        g_free(dev);
    }
    // A machine also has its consoles and pseudo-terminals, which the listing must pass by.
    for (int i = 0; i < 64; ++i) {
        std::string tty = "tty" + std::to_string(i);
        g_free(umockdev_testbed_add_device(bed, "tty", tty.c_str(), nullptr, nullptr, nullptr));
    }
}
#endif

}  // namespace

int main(int, char** argv) {
#ifdef KDX_HAVE_UMOCKDEV
    const char* preload = getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "umockdev-preload")) {
        // This machine as it is, first: real sysfs, whatever ports it has.
        char real[] = "/tmp/kdx-bench-XXXXXX";
        if (mkdtemp(real)) {
            setenv("XDG_CONFIG_HOME", real, 1);
            unsetenv("KDX_REGISTRY");
            Figures f = Time([] { kdx::Serial_Port_Enum(); });
            Print("Serial_Port_Enum, this machine's own sysfs", f, kdx::Serial_Port_Table.size());
            std::error_code ec;
            std::filesystem::remove_all(real, ec);
            unsetenv("XDG_CONFIG_HOME");
        }
        std::fflush(stdout);
        setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
        execv("/proc/self/exe", argv);
        std::perror("bench_enum_ports: cannot re-run under umockdev's preload library");
        return 1;
    }
#else
    (void)argv;
#endif
    char pattern[] = "/tmp/kdx-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string dir = pattern;
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    setenv("KDX_PORTS", (dir + "/ports").c_str(), 1);
    unsetenv("KDX_REGISTRY");

    std::vector<std::string> ports;
#ifdef KDX_HAVE_UMOCKDEV
    UMockdevTestbed* bed = umockdev_testbed_new();
    Add_Adapters(bed);
    Figures f = Time([] { kdx::Serial_Port_Enum(); });
    Print("Serial_Port_Enum, udev (32 FTDI adapters, 64 consoles)", f,
          kdx::Serial_Port_Table.size());
    f = Time([&] { kdx::Serial_Terminal_Port_Enum(ports); });
    Print("Serial_Terminal_Port_Enum, udev", f, ports.size());
    f = Time([] { kdx::platform::Udev_Port_List(); });
    Print("Udev_Port_List alone", f, kdx::platform::Udev_Port_List().size());
    std::printf(
        "  (umockdev's preload library redirects every file call into its testbed: these\n"
        "   figures carry that cost; a listing does some 20 sysfs calls per port)\n");
    g_object_unref(bed);
#else
    std::printf("umockdev is missing: only the hive file figure\n");
#endif

    std::string hive = dir + "/machine.reg";
    {
        std::ofstream out(hive);
        out << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
        for (int i = 0; i < Adapters; ++i)
            out << "\"\\\\Device\\\\VCP" << i << "\"=\"COM" << i + 3 << "\"\n";
        out << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\n";
        for (int i = 0; i < Adapters; ++i) out << "\"COM" << i + 3 << ":\"=\"9600,n,8,1\"\n";
    }
    setenv("KDX_REGISTRY", hive.c_str(), 1);
    Figures h = Time([] { kdx::Serial_Port_Enum(); });
    Print("Serial_Port_Enum, hive file (32 adapters with settings)", h,
          kdx::Serial_Port_Table.size());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
