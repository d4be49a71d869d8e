// Port discovery through udev against a simulated sysfs (umockdev's testbed; the binary runs
// under umockdev-wrapper so libudev sees the testbed instead of the machine).
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/ports/device_change.h"
#include "platform/ports/port_map.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/pty.h"
#include "platform/ports/registry.h"
#include "platform/ports/serial.h"
#include "platform/ports/udev_ports.h"
#include "tests/temp_dir.h"

using namespace kdx::platform;

namespace {

// A testbed with its own config and ports folders, so the arbiter's numbers start afresh.
class Udev_Machine : public ::testing::Test {
  protected:
    void SetUp() override {
        bed_ = umockdev_testbed_new();
        ASSERT_TRUE(umockdev_in_mock_environment()) << "run under umockdev-wrapper";
        setenv("XDG_CONFIG_HOME", (dir_.path() + "/config").c_str(), 1);
        setenv("KDX_PORTS", (dir_.path() + "/ports").c_str(), 1);
        unsetenv("KDX_REGISTRY");
    }
    void TearDown() override { g_object_unref(bed_); }

    std::string Add(const char* subsystem, const char* name, const std::string& parent,
                    std::vector<std::string> attributes, std::vector<std::string> properties) {
        std::vector<gchar*> a, p;
        for (auto& s : attributes) a.push_back(s.data());
        for (auto& s : properties) p.push_back(s.data());
        a.push_back(nullptr);
        p.push_back(nullptr);
        gchar* path = umockdev_testbed_add_devicev(
            bed_, subsystem, name, parent.empty() ? nullptr : parent.c_str(), a.data(), p.data());
        std::string out = path ? path : "";
        g_free(path);
        return out;
    }
    void Driver(const std::string& syspath, const std::string& driver) {
        umockdev_testbed_set_attribute_link(bed_, syspath.c_str(), "driver",
                                            ("../../../../bus/usb/drivers/" + driver).c_str());
    }

    // A USB serial adapter: device, interface, the driver's port and its tty. Returns their
    // paths, deepest first, as the kernel removes them when the adapter is pulled out.
    std::vector<std::string> Usb_Adapter(const std::string& bus_port, const std::string& tty,
                                         const std::string& driver, const std::string& product,
                                         const std::string& serial, bool acm = false,
                                         unsigned major = 188, unsigned minor = 0) {
        std::vector<std::string> attrs = {"idVendor",     "0403",  "idProduct", "6001",
                                          "manufacturer", "Maker", "product",   product};
        if (!serial.empty()) attrs.insert(attrs.end(), {"serial", serial});
        std::string usb = Add("usb", bus_port.c_str(), "", attrs, {"DEVTYPE", "usb_device"});
        std::string intf = Add("usb", (bus_port + ":1.0").c_str(), usb, {"bInterfaceNumber", "00"},
                               {"DEVTYPE", "usb_interface"});
        std::vector<std::string> paths = {intf, usb};
        std::string parent = intf;
        if (acm) {
            Driver(intf, driver);
        } else {
            parent = Add("usb-serial", tty.c_str(), intf, {}, {});
            Driver(parent, driver);
            paths.insert(paths.begin(), parent);
        }
        const std::string maj = std::to_string(major), min = std::to_string(minor);
        paths.insert(paths.begin(), Add("tty", tty.c_str(), parent, {"dev", maj + ":" + min},
                                        {"DEVNAME", "/dev/" + tty, "MAJOR", maj, "MINOR", min}));
        return paths;
    }
    void Unplug(const std::vector<std::string>& paths) {
        for (const auto& p : paths) {
            umockdev_testbed_uevent(bed_, p.c_str(), "remove");
            umockdev_testbed_remove_device(bed_, p.c_str());
        }
    }
    // An on-board UART as newer kernels show it: the pnp device with the 8250 driver, then
    // serial_core's controller and port devices, then the tty.
    std::string Onboard_Uart(const std::string& tty, const std::string& type) {
        std::string name = "00:0" + tty.substr(4);
        std::string pnp = Add("pnp", name.c_str(), "", {}, {});
        Driver(pnp, "serial");
        std::string ctrl = Add("serial-base", (name + ":0").c_str(), pnp, {}, {});
        Driver(ctrl, "ctrl");
        std::string port = Add("serial-base", (name + ":0.0").c_str(), ctrl, {}, {});
        Driver(port, "port");
        return Add("tty", tty.c_str(), port, {"type", type}, {"DEVNAME", "/dev/" + tty});
    }
    std::string Bluetooth(const std::string& tty) {
        return Add("tty", tty.c_str(), "", {"address", "00:11:22:33:44:55", "channel", "1"},
                   {"DEVNAME", "/dev/" + tty});
    }
    // Consoles and pseudo-terminals are ttys too, and never serial ports.
    void Console() { Add("tty", "tty0", "", {}, {"DEVNAME", "/dev/tty0"}); }

    void Four_Ports() {
        Onboard_Uart("ttyS0", "4");
        Onboard_Uart("ttyS1", "0");
        Usb_Adapter("1-1", "ttyUSB0", "ftdi_sio", "FT232R USB UART", "A1B2C3");
        Usb_Adapter("1-2", "ttyUSB1", "pl2303", "USB-Serial Controller", "");
        Bluetooth("rfcomm0");
        Console();
    }

    UMockdevTestbed* bed_ = nullptr;
    kdx::test::Temp_Dir dir_;
};

struct Expected_Port {
    int32_t number;
    const char* node;
    const char* device_name;
    const char* driver;
};

TEST_F(Udev_Machine, ListsEachKindOfSerialPortWithItsComNumberAndNothingElse) {
    Four_Ports();
    auto map = Port_Map_List();
    // ttyS0 is COM1; the adapters and the Bluetooth link get 3, 4, 5 in the order udev
    // lists them; ttyS1 (no UART behind it) and the console are not ports.
    const Expected_Port expected[] = {
        {1, "/dev/ttyS0", "Serial0", "serial"},
        {3, "/dev/ttyUSB0", "VCP0", "ftdi_sio"},
        {4, "/dev/ttyUSB1", "ProlificSerial1", "pl2303"},
        {5, "/dev/rfcomm0", "BthModem0", "rfcomm"},
    };
    ASSERT_EQ(map.size(), std::size(expected));
    for (size_t i = 0; i < map.size(); ++i) {
        SCOPED_TRACE(map[i].Node);
        EXPECT_EQ(map[i].Number, expected[i].number);
        EXPECT_EQ(map[i].Node, expected[i].node);
        EXPECT_EQ(map[i].Device_Name, expected[i].device_name);
        EXPECT_EQ(map[i].Driver, expected[i].driver);
        EXPECT_FALSE(map[i].Identity.empty());
    }
    EXPECT_EQ(map[1].Description, "FT232R USB UART");
    EXPECT_EQ(Udev_Port_Device(3), "/dev/ttyUSB0");
    EXPECT_EQ(Udev_Port_Device(2), "");
    EXPECT_EQ(Get_Last_Error(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Udev_Machine, AdapterKeepsItsNumberAcrossUnplugReplugAndANewAdapterDoesNotTakeIt) {
    auto ftdi = Usb_Adapter("1-1", "ttyUSB0", "ftdi_sio", "FT232R", "A1B2C3");
    Usb_Adapter("1-2", "ttyUSB1", "pl2303", "PL2303", "");
    ASSERT_EQ(Udev_Port_Device(3), "/dev/ttyUSB0");
    ASSERT_EQ(Udev_Port_Device(4), "/dev/ttyUSB1");

    Unplug(ftdi);
    EXPECT_EQ(Udev_Port_Device(3), "");
    // Unplugged, it leaves the serial device map but keeps its arbiter entry.
    int32_t key = 0;
    ASSERT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, key),
              0);
    uint32_t size = 0;
    EXPECT_EQ(Reg_Query_Value(key, "\\Device\\VCP0", nullptr, nullptr, &size),
              int32_t(ERROR_FILE_NOT_FOUND));
    Reg_Close_Key(key);
    ASSERT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE,
                           "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter\\Devices", 0,
                           KEY_READ, key),
              0);
    char data[260];
    size = sizeof data;
    EXPECT_EQ(Reg_Query_Value(key, "COM3", nullptr, data, &size), 0);
    EXPECT_EQ(std::string(data), "usb-Maker_FT232R_A1B2C3-if00");
    Reg_Close_Key(key);
    // A different adapter plugged in meanwhile gets the next free number, not COM3.
    Usb_Adapter("1-3", "ttyACM0", "cdc_acm", "KDX Controller", "K0001", true);
    EXPECT_EQ(Udev_Port_Device(5), "/dev/ttyACM0");

    // The FTDI adapter comes back in another socket under another kernel name: same COM3.
    Usb_Adapter("1-4", "ttyUSB2", "ftdi_sio", "FT232R", "A1B2C3");
    EXPECT_EQ(Udev_Port_Device(3), "/dev/ttyUSB2");
    EXPECT_EQ(Udev_Port_Device(4), "/dev/ttyUSB1");

    // What the arbiter stored survives the process: a fresh listing reads it back.
    auto stored = Com_Name_Store_List();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].first, 3);
    EXPECT_EQ(stored[0].second, "usb-Maker_FT232R_A1B2C3-if00");
}

TEST_F(Udev_Machine, ANumberTakenByTheSimulatorIsSkippedForNewAdapters) {
    ASSERT_TRUE(Ports_Dir_Register(3, "/dev/null"));
    Usb_Adapter("1-1", "ttyUSB0", "ftdi_sio", "FT232R", "A1B2C3");
    auto map = Port_Map_List();
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[0].Number, 3);
    EXPECT_TRUE(map[0].From_Ports_Dir);
    EXPECT_EQ(map[0].Node, "/dev/null");
    EXPECT_EQ(map[1].Number, 4);
    EXPECT_EQ(map[1].Device_Name, "VCP0");
}

TEST_F(Udev_Machine, RegistryViewIsBuiltFromThePortMap) {
    Four_Ports();
    int32_t key = 0;
    ASSERT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, key),
              0);
    std::vector<std::pair<std::string, std::string>> values;
    for (uint32_t i = 0;; ++i) {
        char name[260];
        char data[260];
        uint32_t name_size = sizeof name, data_size = sizeof data, type = 0;
        int32_t status = Reg_Enum_Value(key, i, name, &name_size, &type, data, &data_size);
        if (status == int32_t(ERROR_NO_MORE_ITEMS)) break;
        ASSERT_EQ(status, 0);
        EXPECT_EQ(type, uint32_t(REG_SZ));
        values.emplace_back(std::string(name, name_size), data);
    }
    Reg_Close_Key(key);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"\\Device\\Serial0", "COM1"},
        {"\\Device\\VCP0", "COM3"},
        {"\\Device\\ProlificSerial1", "COM4"},
        {"\\Device\\BthModem0", "COM5"},
    };
    EXPECT_EQ(values, expected);

    ASSERT_EQ(Reg_Open_Key(HKEY_LOCAL_MACHINE,
                           "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter\\Devices", 0,
                           KEY_READ, key),
              0);
    char data[260];
    uint32_t size = sizeof data, type = 0;
    ASSERT_EQ(Reg_Query_Value(key, "COM3", &type, data, &size), 0);
    EXPECT_EQ(std::string(data), "usb-Maker_FT232R_USB_UART_A1B2C3-if00");
    size = sizeof data;
    EXPECT_EQ(Reg_Query_Value(key, "COM9", &type, data, &size), int32_t(ERROR_FILE_NOT_FOUND));
    Reg_Close_Key(key);
}

// Collects device changes from the monitor thread.
struct Change_Log {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Device_Change> events;

    bool Wait_For(size_t count) {
        std::unique_lock<std::mutex> l(lock);
        return changed.wait_for(l, std::chrono::seconds(10),
                                [&] { return events.size() >= count; });
    }
};

TEST_F(Udev_Machine, PlugAndUnplugArriveAsDeviceChangesNamingThePort) {
    Onboard_Uart("ttyS0", "4");
    Change_Log log;
    int32_t id = Device_Change_Register([&](const Device_Change& change) {
        std::lock_guard<std::mutex> l(log.lock);
        log.events.push_back(change);
        log.changed.notify_all();
    });
    ASSERT_NE(id, 0);
    // The monitor reads the machine once when it starts; give it that moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto usb = Usb_Adapter("1-1", "ttyUSB0", "ftdi_sio", "FT232R", "A1B2C3");
    ASSERT_TRUE(log.Wait_For(2));
    Unplug(usb);
    ASSERT_TRUE(log.Wait_For(4));
    Usb_Adapter("1-5", "ttyUSB3", "ftdi_sio", "FT232R", "A1B2C3");
    ASSERT_TRUE(log.Wait_For(6));
    Device_Change_Unregister(id);

    std::lock_guard<std::mutex> l(log.lock);
    const std::pair<uint32_t, const char*> expected[] = {
        {DBT_DEVICEARRIVAL, "COM3"},        {DBT_DEVNODES_CHANGED, ""},
        {DBT_DEVICEREMOVECOMPLETE, "COM3"}, {DBT_DEVNODES_CHANGED, ""},
        {DBT_DEVICEARRIVAL, "COM3"},        {DBT_DEVNODES_CHANGED, ""},
    };
    ASSERT_GE(log.events.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log.events[i].Event, expected[i].first);
        EXPECT_EQ(log.events[i].Port_Name, expected[i].second);
    }
    EXPECT_EQ(log.events[4].Node, "/dev/ttyUSB3");
}

}  // namespace

namespace {

// Runs kdx-cli in the testbed (the child inherits the preload library and the testbed's
// folder) and returns what it printed.
std::string Cli(const std::string& args) {
    std::string out;
    FILE* pipe = popen((std::string("'") + KDX_CLI_PATH + "' " + args + " 2>&1").c_str(), "r");
    if (!pipe) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, pipe)) out += buf;
    pclose(pipe);
    return out;
}

TEST_F(Udev_Machine, CliListsTheDescribedPortsWithTheirAdapters) {
    Four_Ports();
    std::string out = Cli("ports");
    for (const char* want :
         {"COM1       RS232 [Serial0]", "/dev/ttyS0 (serial)", "COM3       FTDI USB Adapter [VCP0]",
          "/dev/ttyUSB0 (ftdi_sio, FT232R USB UART)", "COM4       RS232 [ProlificSerial1]",
          "BTH_COM5   UnKnown Port Type [BthModem0]"})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
    EXPECT_EQ(out.find("ttyS1"), std::string::npos) << out;
}

// Watched in words for a person, as JSON lines for a script: the adapter that came, what
// it is and where, and the same when it goes.
TEST_F(Udev_Machine, CliWatchPrintsChangesAsTheyHappen) {
    Onboard_Uart("ttyS0", "4");
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"watch --count 2",
         {"Present: COM1\n", " COM3 arrived: FTDI FT232R USB UART, /dev/ttyUSB0\n",
          " COM3 went away: FTDI FT232R USB UART, /dev/ttyUSB0\n"}},
        {"watch --count 2 --json",
         {"{\"event\":\"present\",\"time\":\"",
          "\"port\":\"COM3\",\"node\":\"/dev/ttyUSB0\",\"driver\":\"ftdi_sio\",\"product\":"
          "\"FT232R USB UART\",\"description\":\"FTDI FT232R USB UART\"}\n",
          "{\"event\":\"removed\""}}};
    for (const auto& [args, wants] : cases) {
        FILE* pipe = popen((std::string("'") + KDX_CLI_PATH + "' " + args).c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char line[512];
        std::string out;
        // The watch is running once it has listed the ports present.
        ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
        out += line;
        if (std::string(args).find("--json") == std::string::npos) {
            ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);  // "Watching ..."
        }
        auto adapter = Usb_Adapter("1-1", "ttyUSB0", "ftdi_sio", "FT232R USB UART", "A1B2C3");
        ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
        out += line;
        Unplug(adapter);
        while (fgets(line, sizeof line, pipe)) out += line;
        EXPECT_EQ(pclose(pipe), 0);
        for (const auto& want : wants)
            EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
    }
}

TEST_F(Udev_Machine, ListingTellsWhichPortsRunInLowLatencyMode) {
    // What the drivers show in sysfs: the FTDI latency timer, serial_core's port flags
    // (ASYNC_LOW_LATENCY is 0x2000); Prolific shows nothing.
    auto ftdi_fast = Usb_Adapter("1-1", "ttyUSB0", "ftdi_sio", "FT232R", "A1");
    auto ftdi_slow = Usb_Adapter("1-2", "ttyUSB1", "ftdi_sio", "FT232R", "A2");
    Usb_Adapter("1-3", "ttyUSB2", "pl2303", "PL2303", "A3");
    umockdev_testbed_set_attribute(bed_, ftdi_fast[1].c_str(), "latency_timer", "1");
    umockdev_testbed_set_attribute(bed_, ftdi_slow[1].c_str(), "latency_timer", "16");
    umockdev_testbed_set_attribute(bed_, Onboard_Uart("ttyS0", "4").c_str(), "flags", "0x10002040");
    umockdev_testbed_set_attribute(bed_, Onboard_Uart("ttyS1", "4").c_str(), "flags", "0x10000040");
    const std::pair<const char*, const char*> expected[] = {{"/dev/ttyS0", "low latency"},
                                                            {"/dev/ttyS1", ""},
                                                            {"/dev/ttyUSB0", "low latency"},
                                                            {"/dev/ttyUSB1", "latency timer 16 ms"},
                                                            {"/dev/ttyUSB2", ""}};
    auto map = Port_Map_List();
    for (const auto& [node, latency] : expected) {
        auto it =
            std::find_if(map.begin(), map.end(), [&](const auto& e) { return e.Node == node; });
        ASSERT_NE(it, map.end()) << node;
        EXPECT_EQ(it->Latency, latency) << node;
    }
    std::string out = Cli("ports");
    for (const char* want :
         {"/dev/ttyS0 (serial, low latency)\n", "/dev/ttyUSB0 (ftdi_sio, FT232R, low latency)\n",
          "/dev/ttyUSB1 (ftdi_sio, FT232R, latency timer 16 ms)\n",
          "/dev/ttyUSB2 (pl2303, PL2303)\n"})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
}

// An FTDI adapter's driver for the port-flags calls; every other call goes to the
// pseudo-terminal behind the node (a real tty, so raw mode and the lock work as on a
// device). Records the flags it was given.
struct Serial_Driver {
    int flags = 0;
    int flags_set = -1;
};

gboolean Handle_Serial_Ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* driver = static_cast<Serial_Driver*>(data);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request != TIOCGSERIAL && request != TIOCSSERIAL) {
        int error = 0;
        int result = umockdev_ioctl_client_execute(client, &error, nullptr);
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(serial_struct), nullptr);
    if (!d) return FALSE;
    auto* s = reinterpret_cast<serial_struct*>(d->data);
    if (request == TIOCGSERIAL) {
        *s = serial_struct{};
        s->type = PORT_16550A;
        s->flags = driver->flags;
    } else {
        driver->flags = driver->flags_set = s->flags;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

TEST_F(Udev_Machine, OpeningAnFtdiAdapterAsksItsDriverForLowLatency) {
    // The node is ours to make: a link to a pseudo-terminal, recorded under the
    // pseudo-terminal's own device number, since an open checks that the device it opened is
    // the one it looked at.
    Pty_Pair pty;
    ASSERT_TRUE(Pty_Open(pty));
    struct stat pty_stat {};
    ASSERT_EQ(stat(pty.device.c_str(), &pty_stat), 0);
    Usb_Adapter("1-1", "ttyUSB0", "ftdi_sio", "FT232R", "A1", false, major(pty_stat.st_rdev),
                minor(pty_stat.st_rdev));
    Serial_Driver driver;
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    ASSERT_EQ(symlink(pty.device.c_str(), (std::string(root) + "/dev/ttyUSB0").c_str()), 0);
    g_free(root);
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(Handle_Serial_Ioctl), &driver);
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_attach_ioctl(bed_, "/dev/ttyUSB0", handler, &error))
        << (error ? error->message : "");
    // The handler answers on the testbed's side; the open runs beside it.
    struct Opened {
        int32_t handle;
        uint32_t error;
        bool low_latency;
    };
    auto opening = std::async(std::launch::async, [] {
        int32_t handle = Comm_Open("/dev/ttyUSB0");
        Opened o{handle, Get_Last_Error(), handle > 0 && Comm_Low_Latency(handle)};
        if (handle > 0) Close_Handle(handle);
        return o;
    });
    while (opening.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        g_main_context_iteration(nullptr, FALSE);
    Opened opened = opening.get();
    EXPECT_GT(opened.handle, 0) << "error " << opened.error;
    EXPECT_EQ(opened.error, 0u);
    EXPECT_TRUE(opened.low_latency);
    EXPECT_NE(driver.flags_set, -1) << "no TIOCSSERIAL";
    EXPECT_TRUE(driver.flags_set & ASYNC_LOW_LATENCY);
    umockdev_testbed_detach_ioctl(bed_, "/dev/ttyUSB0", nullptr);
    g_object_unref(handler);
    Pty_Close(pty);
}

}  // namespace
