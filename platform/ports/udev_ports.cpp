#include "platform/ports/udev_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <limits.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "platform/os/error.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "platform/ports/ports_dir.h"

namespace kdx::platform {

namespace {

struct Udev_Deleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};

std::string Text_Of(const char* text) {
    return text ? std::string(text) : std::string();
}

bool Starts_With(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The number at the end of a kernel name ("ttyUSB12" -> "12"); "" when there is none.
std::string Trailing_Digits(const std::string& name) {
    size_t i = name.size();
    while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9') --i;
    return name.substr(i);
}

// What a by-id name is built from: spaces and slashes would make it unreadable as one word.
std::string Id_Word(std::string text) {
    for (char& c : text)
        if (c == ' ' || c == '/' || c == '\\') c = '_';
    return text;
}

// The \Device\ object name a Windows driver would give the port, so that the adapter type
// table recognises the adapter.
std::string Object_Name(const std::string& driver, const std::string& kernel_name) {
    std::string k = Trailing_Digits(kernel_name);
    if (Starts_With(kernel_name, "ttyS")) return "Serial" + k;
    if (Starts_With(kernel_name, "rfcomm")) return "BthModem" + k;
    if (driver == "ftdi_sio") return "VCP" + k;
    if (driver == "pl2303") return "ProlificSerial" + k;
    if (driver == "io_edgeport" || driver == "io_ti") return "EdgeSer" + k;
    if (driver == "cdc_acm") return "USBSER" + k;
    return kernel_name;
}

// A link of DEVLINKS that starts with prefix, "" when none.
std::string Devlink(udev_device* device, std::string_view prefix) {
    std::string links = Text_Of(udev_device_get_property_value(device, "DEVLINKS"));
    size_t pos = 0;
    while (pos < links.size()) {
        size_t end = links.find(' ', pos);
        if (end == std::string::npos) end = links.size();
        std::string link = links.substr(pos, end - pos);
        if (Starts_With(link, prefix)) return link;
        pos = end + 1;
    }
    return std::string();
}

std::string Identity_Of(udev_device* device, const std::string& kernel_name) {
    if (Starts_With(kernel_name, "rfcomm")) {
        std::string address = Text_Of(udev_device_get_sysattr_value(device, "address"));
        std::string channel = Text_Of(udev_device_get_sysattr_value(device, "channel"));
        if (!address.empty()) return "bluetooth-" + address + "-" + channel;
    }
    // udev's own stable names first: by-id names the adapter (when it has a serial number,
    // otherwise two alike adapters share it), by-path names the socket it is plugged into.
    std::string by_id = Devlink(device, "/dev/serial/by-id/");
    std::string by_path = Devlink(device, "/dev/serial/by-path/");
    bool has_serial = udev_device_get_property_value(device, "ID_SERIAL_SHORT") != nullptr;
    if (!by_id.empty() && (has_serial || by_path.empty())) return by_id;
    if (!by_path.empty()) return by_path;
    // Without udev's rules (a container, a bare system) build the same kind of name from
    // the USB descriptors.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    if (usb) {
        udev_device* intf =
            udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
        std::string number =
            intf ? Text_Of(udev_device_get_sysattr_value(intf, "bInterfaceNumber")) : "";
        if (number.empty()) number = "00";
        std::string serial = Text_Of(udev_device_get_sysattr_value(usb, "serial"));
        if (!serial.empty()) {
            return "usb-" + Id_Word(Text_Of(udev_device_get_sysattr_value(usb, "manufacturer"))) +
                   "_" + Id_Word(Text_Of(udev_device_get_sysattr_value(usb, "product"))) + "_" +
                   Id_Word(serial) + "-if" + number;
        }
        return "usb-path-" + Text_Of(udev_device_get_sysname(usb)) + "-if" + number;
    }
    return Text_Of(udev_device_get_devpath(device));
}

std::string Store_Line(int32_t number, const std::string& identity) {
    return "COM" + std::to_string(number) + " " + identity + "\n";
}

// "COM12 identity" -> (12, identity); (0, "") for anything else.
std::pair<int32_t, std::string> Parse_Store_Line(const std::string& line) {
    if (!Starts_With(line, "COM")) return {0, {}};
    size_t i = 3;
    int64_t n = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9' && n < 100000)
        n = n * 10 + (line[i++] - '0');
    if (i == 3 || n <= 0 || n >= 100000 || i >= line.size() || line[i] != ' ') return {0, {}};
    std::string identity = line.substr(i + 1);
    if (identity.empty()) return {0, {}};
    return {int32_t(n), identity};
}

struct Store {
    // Lines in file order; a line that is not an assignment is kept as it was.
    struct Line {
        int32_t number = 0;
        std::string identity;
        std::string raw;
    };
    std::vector<Line> lines;

    void parse(const std::string& text) {
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            std::string raw = text.substr(pos, end - pos);
            if (!raw.empty() && raw.back() == '\r') raw.pop_back();
            auto [n, id] = Parse_Store_Line(raw);
            if (!raw.empty()) lines.push_back(Line{n, id, raw});
            pos = end + 1;
        }
    }
    std::string text() const {
        std::string out;
        for (const auto& l : lines)
            out += l.number ? Store_Line(l.number, l.identity) : l.raw + "\n";
        return out;
    }
    Line* find(const std::string& identity) {
        for (auto& l : lines)
            if (l.number && l.identity == identity) return &l;
        return nullptr;
    }
};

std::string Read_Fd(int fd) {
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof buf, off_t(text.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, size_t(n));
    }
    return text;
}

bool Write_Fd(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = pwrite(fd, text.data() + done, text.size() - done, off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return fsync(fd) == 0;
}

// The store opened and locked for a change. The file is replaced whole by a rename, so a
// program that waited for the lock may hold the old file: it opens the new one again.
int Open_Store_Locked(const std::string& path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Only a file: a pipe or device put at the name would hold every listing in its open
        // or its reads (and a window before it appears).
        int fd = Open_Regular_File(path, O_RDWR | O_CREAT, 0600);
        if (fd < 0) return -1;
        flock(fd, LOCK_EX);
        struct stat held {
        }, named{};
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            return fd;
        close(fd);
    }
    return -1;
}

// Writes the new text beside the store and puts it in place in one step: a write that
// fails half-way (a full disk) or a crash leaves the old numbers, never a cut-off file.
void Replace_Store(const std::string& path, const std::string& text) {
    std::string next = path + ".new";
    int fd = Open_Regular_File(next, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    bool written = Write_Fd(fd, text);
    close(fd);
    if (!written || rename(next.c_str(), path.c_str()) != 0) unlink(next.c_str());
}

}  // namespace

std::string Config_Directory() {
    std::string base = Environment("XDG_CONFIG_HOME");
    if (base.empty()) {
        std::string home = Environment("HOME");
        base = (home.empty() ? std::string("/tmp") : home) + "/.config";
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/kdx";
}

std::string Com_Name_Store_Path() {
    return Config_Directory() + "/com-names";
}

std::vector<std::pair<int32_t, std::string>> Com_Name_Store_List() {
    std::vector<std::pair<int32_t, std::string>> list;
    int fd = Open_Regular_File(Com_Name_Store_Path(), O_RDONLY);
    if (fd < 0) return list;
    flock(fd, LOCK_SH);
    Store store;
    store.parse(Read_Fd(fd));
    close(fd);
    for (const auto& l : store.lines)
        if (l.number) list.emplace_back(l.number, l.identity);
    std::sort(list.begin(), list.end());
    return list;
}

void Com_Name_Assign(std::vector<Udev_Port>& ports, const std::vector<int32_t>& fixed,
                     const std::vector<Com_Number_Use>& avoid) {
    bool any = std::any_of(ports.begin(), ports.end(), [](auto& p) { return p.Number == 0; });
    if (!any) return;
    std::string path = Com_Name_Store_Path();
    uint32_t kept = Get_Last_Error();
    Make_Directories(Config_Directory());
    Set_Last_Error(kept);
    // One lock around read, choice and write: two programs seeing a new adapter at once
    // must not give it two numbers, nor one number to two adapters.
    int fd = Open_Store_Locked(path);
    Store store;
    if (fd >= 0) store.parse(Read_Fd(fd));

    std::set<int32_t> fixed_set(fixed.begin(), fixed.end());
    std::set<int32_t> used;  // numbers given in this pass
    for (const auto& p : ports)
        if (p.Number) used.insert(p.Number);
    std::set<std::string> claimed;
    bool changed = false;
    // A number a ports directory entry uses for another device: the port list shows the
    // entry under it, so an adapter given it would not be listed at all.
    auto taken_elsewhere = [&](int32_t n, const Udev_Port& port) {
        return std::any_of(avoid.begin(), avoid.end(), [&](const Com_Number_Use& use) {
            return use.Number == n && use.Device != port.Node;
        });
    };
    for (auto& port : ports) {
        if (port.Number) continue;
        // The store holds one line per device: a line end inside an identity would split it,
        // and an empty one would not read back.
        std::string identity = port.Identity.empty() ? std::string("-") : port.Identity;
        std::replace(identity.begin(), identity.end(), '\n', '_');
        std::replace(identity.begin(), identity.end(), '\r', '_');
        // Two present devices with one identity (alike adapters without serial numbers
        // and without udev's by-path names) each need a number of their own.
        std::string key = identity;
        for (int k = 2; claimed.count(key); ++k) key = identity + "#" + std::to_string(k);
        claimed.insert(key);
        Store::Line* line = store.find(key);
        if (line && !fixed_set.count(line->number) && !used.count(line->number) &&
            !taken_elsewhere(line->number, port)) {
            port.Number = line->number;
            used.insert(port.Number);
            continue;
        }
        std::set<int32_t> stored;
        for (const auto& l : store.lines)
            if (l.number) stored.insert(l.number);
        int32_t n = 3;
        while (stored.count(n) || fixed_set.count(n) || used.count(n) ||
               std::any_of(avoid.begin(), avoid.end(),
                           [n](const Com_Number_Use& use) { return use.Number == n; }))
            ++n;
        port.Number = n;
        used.insert(n);
        if (line)
            line->number = n;
        else
            store.lines.push_back(Store::Line{n, key, {}});
        changed = true;
    }
    if (fd >= 0) {
        if (changed) Replace_Store(path, store.text());
        close(fd);
    }
}

// The FTDI driver shows its latency timer on the port device (1 ms in low-latency mode),
// serial_core UARTs their port flags; other drivers do not say.
std::string Latency_Of(udev_device* device) {
    if (udev_device* parent = udev_device_get_parent(device)) {
        if (const char* timer = udev_device_get_sysattr_value(parent, "latency_timer")) {
            long ms = std::strtol(timer, nullptr, 10);
            return ms <= 1 ? "low latency" : "latency timer " + std::to_string(ms) + " ms";
        }
    }
    const char* flags = udev_device_get_sysattr_value(device, "flags");
    if (flags && (std::strtoul(flags, nullptr, 16) & ASYNC_LOW_LATENCY)) return "low latency";
    return "";
}

bool Udev_Describe(udev_device* device, Udev_Port& port) {
    if (!device) return false;
    port = Udev_Port{};
    port.Kernel_Name = Text_Of(udev_device_get_sysname(device));
    std::string devpath = Text_Of(udev_device_get_devpath(device));
    bool bluetooth = Starts_With(port.Kernel_Name, "rfcomm");
    // Bluetooth serial links are virtual devices on some kernels; every other tty without
    // hardware behind it (consoles, pseudo-terminals) is no serial port.
    if (!bluetooth) {
        if (devpath.find("/devices/virtual/") != std::string::npos) return false;
        if (!udev_device_get_parent(device)) return false;
        // serial_core reports type 0 for a UART slot with no chip behind it.
        const char* type = udev_device_get_sysattr_value(device, "type");
        if (type && std::strtol(type, nullptr, 10) == 0) return false;
    }
    // Newer kernels put serial_core's own "ctrl" and "port" devices between a UART's tty
    // and its hardware: the driver that names the adapter is above them.
    for (udev_device* p = udev_device_get_parent(device); p && port.Driver.empty();
         p = udev_device_get_parent(p)) {
        const char* subsystem = udev_device_get_subsystem(p);
        if (subsystem && std::strcmp(subsystem, "serial-base") == 0) continue;
        port.Driver = Text_Of(udev_device_get_driver(p));
    }
    if (bluetooth && port.Driver.empty()) port.Driver = "rfcomm";
    port.Node = Text_Of(udev_device_get_devnode(device));
    if (port.Node.empty()) port.Node = "/dev/" + port.Kernel_Name;
    port.Device_Name = Object_Name(port.Driver, port.Kernel_Name);
    port.Identity = Identity_Of(device, port.Kernel_Name);
    port.Latency = Latency_Of(device);
    if (udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device"))
        port.Description = Text_Of(udev_device_get_sysattr_value(usb, "product"));
    if (Starts_With(port.Kernel_Name, "ttyS")) {
        std::string k = Trailing_Digits(port.Kernel_Name);
        if (!k.empty() && k.size() < 6) port.Number = std::stoi(k) + 1;
    }
    return true;
}

std::vector<Udev_Port> Udev_Port_List() {
    std::vector<Udev_Port> ports;
    std::unique_ptr<udev, Udev_Deleter> context(udev_new());
    if (!context) {
        Set_Last_Error(ERROR_NOT_SUPPORTED);
        return ports;
    }
    // The class folder names every tty with a link to its device. Most are consoles and
    // pseudo-terminals under devices/virtual: telling them apart by the link alone, without
    // reading anything about them, keeps a listing fast (udev's own enumeration reads every
    // device's database entry).
    const std::string klass = "/sys/class/tty/";
    DIR* dir = opendir(klass.c_str());
    if (!dir) {
        Set_Last_Error_From_Errno(errno);
        return ports;
    }
    std::vector<std::string> names;
    std::map<std::string, std::string> syspaths;  // kernel name -> its device's folder
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;
        char target[PATH_MAX];
        ssize_t n = readlink((klass + name).c_str(), target, sizeof target - 1);
        std::string link = n > 0 ? std::string(target, size_t(n)) : std::string();
        if (link.find("/devices/virtual/") != std::string::npos && !Starts_With(name, "rfcomm"))
            continue;
        // "../../devices/..." relative to /sys/class/tty is /sys/devices/...
        if (link.compare(0, 6, "../../") == 0) syspaths[name] = "/sys/" + link.substr(6);
        names.push_back(std::move(name));
    }
    closedir(dir);
    // New numbers go out in a fixed order: wired ports before Bluetooth links, kernel names
    // in natural order (ttyUSB2 before ttyUSB10).
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        bool ba = Starts_With(a, "rfcomm"), bb = Starts_With(b, "rfcomm");
        if (ba != bb) return bb;
        std::string da = Trailing_Digits(a), db = Trailing_Digits(b);
        std::string pa = a.substr(0, a.size() - da.size()), pb = b.substr(0, b.size() - db.size());
        if (pa != pb) return pa < pb;
        if (da.size() != db.size()) return da.size() < db.size();
        return da < db;
    });
    for (const auto& name : names) {
        auto known = syspaths.find(name);
        std::unique_ptr<udev_device, Udev_Deleter> device(
            known != syspaths.end()
                ? udev_device_new_from_syspath(context.get(), known->second.c_str())
                : udev_device_new_from_subsystem_sysname(context.get(), "tty", name.c_str()));
        Udev_Port port;
        if (device && Udev_Describe(device.get(), port)) ports.push_back(std::move(port));
    }
    std::vector<int32_t> fixed;
    for (const auto& p : ports)
        if (p.Number) fixed.push_back(p.Number);
    std::vector<Com_Number_Use> avoid;
    for (const auto& [n, device] : Ports_Dir_List()) {
        char real[PATH_MAX];
        if (realpath(device.c_str(), real)) avoid.push_back(Com_Number_Use{n, real});
    }
    Com_Name_Assign(ports, fixed, avoid);
    std::stable_sort(ports.begin(), ports.end(),
                     [](const Udev_Port& a, const Udev_Port& b) { return a.Number < b.Number; });
    Set_Last_Error(ERROR_SUCCESS);
    return ports;
}

std::string Udev_Port_Device(int32_t number) {
    if (number > 0) {
        for (const auto& p : Udev_Port_List())
            if (p.Number == number) {
                Set_Last_Error(ERROR_SUCCESS);
                return p.Node;
            }
    }
    Set_Last_Error(ERROR_FILE_NOT_FOUND);
    return std::string();
}

}  // namespace kdx::platform
