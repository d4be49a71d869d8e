#include "serial/serial_enum.h"

#include <algorithm>
#include <cstring>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/ports/registry.h"
#include "serial/serial_port.h"
#include "trace/trace.h"

namespace kdx {

using namespace kdx::platform;

std::vector<Serial_Port_Info> Serial_Port_Table;

const Serial_Port_Text_Row Serial_Port_Adapter_Types[10] = {
    {"Serial", "RS232"},
    {"VCP", "FTDI USB Adapter"},
    {"ProlificSerial", "Prolific/Hawking USB Adapter"},
    {"EdgeSer", "EdgePort USB Adapter"},
    {"Winachsf", "Targus USB Adapter or Conexant Modem"},
    {"NiSerP", "NI Virtual Com"},
    {"NTPNP_PCI", "NI Virtual Com"},
    {"NIPALK", "NI Virtual Com"},
    {"U2SPORT", "Belkin/Targus/IO-Gear"},
    {"19H2KP", "KeySpan"},
};

const Serial_Port_Text_Row Serial_Port_Parities[5] = {
    {"n", "None"}, {"o", "Odd"}, {"e", "Even"}, {"m", "Mark"}, {"s", "Space"},
};

const Serial_Port_Text_Row Serial_Port_Handshakes[3] = {
    {"", "None"},
    {"x", "Xon/Xoff"},
    {"p", "Hardware"},
};

namespace {

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return text;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

std::string Remove_All(std::string text, const std::string& piece) {
    for (size_t pos; (pos = text.find(piece)) != std::string::npos;) text.erase(pos, piece.size());
    return text;
}

// A fixed-capacity text field of the record: longer text is cut to capacity - 1.
std::string Cut(const std::string& text, size_t capacity) {
    return text.substr(0, capacity - 1);
}

std::string Dword_Text(const char* bytes, size_t size) {
    unsigned char b[4] = {0, 0, 0, 0};
    std::memcpy(b, bytes, std::min<size_t>(size, 4));
    int32_t value =
        int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
    return std::to_string(value);
}

std::string Translate(const std::string& field, const Serial_Port_Text_Row* rows, size_t count) {
    std::string key = Lower(field);
    for (size_t i = 0; i < count; ++i)
        if (key == rows[i].Pattern) return rows[i].Text;
    return key;
}

// "3" -> 3; 0 for anything that is not a whole decimal number.
int32_t Decimal(const std::string& text) {
    if (text.empty() || text.size() > 9) return 0;
    int32_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    size_t pos = 0;
    for (;;) {
        size_t end = text.find(separator, pos);
        fields.push_back(
            text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return fields;
}

const char* Device_Type(const std::string& reply) {
    static const char* const Qmt[] = {"R", "B", "J", "b"};
    static const char* const Zlr[] = {"S", "D", "P"};
    for (const char* r : Qmt)
        if (reply == r) return "QMT";
    for (const char* r : Zlr)
        if (reply == r) return "ZLR";
    return "Device not found";
}

}  // namespace

int32_t Registry_Get_Value(int32_t& root, const std::string& path, const std::string& name,
                           std::string& data, int32_t& type) {
    // No trace lines of its own: only the error check after the open, in the caller's trace.
    trace::Arg_Frame<> kdx_frame("Registry_Get_Value", trace::Frame::Kind::Silent);
    data.clear();
    type = 0;
    int32_t key = 0;
    int32_t status = Reg_Open_Key(root, path, 0, KEY_READ, key);
    // The registry reports through its status, not the last error: put it there so the check
    // shows this failure, and no older one after a successful open.
    Set_Last_Error(uint32_t(status));
    kdx_frame.check();
    if (status != 0) return status;
    uint32_t size = 0;
    status = Reg_Query_Value(key, name, nullptr, nullptr, &size);
    if (status != 0) {
        Reg_Close_Key(key);
        return status;
    }
    std::string buffer(size, '\0');
    uint32_t value_type = 0;
    status = Reg_Query_Value(key, name, &value_type, buffer.data(), &size);
    buffer.resize(std::min<size_t>(size, buffer.size()));
    type = int32_t(value_type);
    if (value_type == REG_SZ || value_type == REG_EXPAND_SZ || value_type == REG_MULTI_SZ) {
        while (!buffer.empty() && buffer.back() == '\0') buffer.pop_back();
        data = buffer;
    } else if (value_type == REG_DWORD) {
        data = Dword_Text(buffer.data(), buffer.size());
    } else {
        data = buffer;
    }
    Reg_Close_Key(key);
    Set_Last_Error(ERROR_SUCCESS);
    return status;
}

namespace {
thread_local std::string enum_failure;
thread_local std::vector<std::string> enum_warnings;
}  // namespace

int32_t Registry_Enum_Values(int32_t& root, const std::string& path,
                             std::vector<std::string>& names, std::vector<int32_t>& types,
                             std::vector<std::string>& data, int32_t& count) {
    int32_t key = 0;
    enum_warnings.clear();
    int32_t status = Reg_Open_Key(root, path, 0, KEY_READ, key);
    if (status != 0) return status;
    count = 0;
    names.clear();
    types.clear();
    data.clear();
    for (uint32_t index = 0;; ++index) {
        char name[Registry_Buffer_Size] = {};
        char buffer[Registry_Buffer_Size] = {};
        uint32_t name_size = Registry_Buffer_Size;
        uint32_t data_size = Registry_Buffer_Size;
        uint32_t type = 0;
        status = Reg_Enum_Value(key, index, name, &name_size, &type, buffer, &data_size);
        if (status == int32_t(ERROR_NO_MORE_ITEMS)) {
            status = 0;
            break;
        }
        std::string value_name(name, std::min<size_t>(name_size, Registry_Buffer_Size - 1));
        if (status == int32_t(ERROR_MORE_DATA)) {
            // One value too long for the listing's buffers (a hand-made hive file) is left
            // out with a warning; the ports around it are still listed.
            bool long_name = value_name.size() >= Registry_Buffer_Size - 1;
            enum_warnings.push_back("skipped the value \"" + value_name.substr(0, 40) +
                                    (value_name.size() > 40 ? "...\"" : "\"") + ": its " +
                                    (long_name ? "name" : "data") + " is longer than " +
                                    std::to_string(Registry_Buffer_Size - 1) + " characters");
            status = 0;
            continue;
        }
        if (status != 0) break;
        size_t got = std::min<size_t>(data_size, Registry_Buffer_Size);
        std::string text =
            type == REG_DWORD ? Dword_Text(buffer, got) : std::string(buffer, strnlen(buffer, got));
        if (Upper(value_name).find("BTH") != std::string::npos) text = "BTH_" + text;
        names.push_back(value_name);
        types.push_back(int32_t(type));
        data.push_back(text);
        ++count;
    }
    Reg_Close_Key(key);
    return status;
}

int32_t Serial_Terminal_Port_Enum(std::vector<std::string>& ports) {
    KDX_FRAME("Serial_Terminal_Port_Enum");
    int32_t root = HKEY_LOCAL_MACHINE;
    std::vector<std::string> names, list;
    std::vector<int32_t> types;
    int32_t count = 0;
    int32_t status =
        Registry_Enum_Values(root, Registry_Serial_Comm_Key, names, types, list, count);
    if (status != 0 && count == 0) {
        if (!Registry_Hive_Error().empty()) kdx_frame.comment(Registry_Hive_Error());
        return kdx_frame.result(int32_t(0));
    }
    ports = std::move(list);
    return kdx_frame.result(count);
}

std::string Serial_Terminal_COM_Name_Value(const std::string& port) {
    KDX_FRAME("Serial_Terminal_COM_Name_Value", port);
    int32_t root = HKEY_LOCAL_MACHINE;
    std::string data;
    int32_t type = 0;
    Registry_Get_Value(root, Registry_Arbiter_Key, port, data, type);
    return kdx_frame.result(data);
}

int32_t Serial_Terminal_COM_Name_Arbiter(const std::string& port, const std::string& other) {
    KDX_FRAME("Serial_Terminal_COM_Name_Arbiter", port, other);
    int32_t root = HKEY_LOCAL_MACHINE;
    std::string data;
    int32_t type = 0;
    Registry_Get_Value(root, Registry_Arbiter_Key, port, data, type);
    return kdx_frame.result(int32_t(0));
}

std::string Serial_Port_Type_Description(const std::string& type) {
    std::string upper = Upper(type);
    for (const auto& row : Serial_Port_Adapter_Types)
        if (upper.find(Upper(row.Pattern)) != std::string::npos) return row.Text;
    return Serial_Port_Unknown_Type;
}

std::string Serial_Port_Enum_Failure() {
    return enum_failure;
}

std::vector<std::string> Serial_Port_Enum_Warnings() {
    return enum_warnings;
}

std::string Serial_Port_Enum() {
    KDX_FRAME("Serial_Port_Enum");
    int32_t root = HKEY_LOCAL_MACHINE;
    std::vector<std::string> names, data;
    std::vector<int32_t> types;
    int32_t count = 0;
    int32_t status =
        Registry_Enum_Values(root, Registry_Serial_Comm_Key, names, types, data, count);
    // A machine without a serial device map has no ports; any other error means the list
    // would be short, which the caller must be able to tell from "no ports".
    enum_failure.clear();
    if (status != 0 && status != int32_t(ERROR_FILE_NOT_FOUND)) {
        enum_failure =
            "error " + std::to_string(status) + " (" + System_Message_Text(uint32_t(status)) + ")";
        if (!names.empty()) enum_failure += " at the value \"" + names.back() + "\"";
    }
    Set_Last_Error(uint32_t(status));
    kdx_frame.check();
    if (status != 0 || kdx_frame.check_code() != 0) {
        if (!Registry_Hive_Error().empty()) kdx_frame.comment(Registry_Hive_Error());
        return kdx_frame.result(std::string());
    }
    Serial_Port_Table.assign(names.size(), Serial_Port_Info{});
    std::string result;
    for (size_t i = 0; i < names.size(); ++i) {
        Serial_Port_Info& info = Serial_Port_Table[i];
        if (names[i].empty()) continue;
        info.Real_Name = Cut(names[i], Serial_Port_Info::Name_Capacity);
        info.Friendly_Name = Cut(data[i], Serial_Port_Info::Name_Capacity);
        info.Type = Cut(Remove_All(info.Real_Name, "\\Device\\"), Serial_Port_Info::Name_Capacity);
        info.Type_Description = Serial_Port_Type_Description(info.Type);

        std::string settings;
        int32_t type = 0;
        int32_t ports_root = HKEY_LOCAL_MACHINE;
        Registry_Get_Value(ports_root, std::string(Registry_Ports_Key) + "\\",
                           info.Friendly_Name + ":", settings, type);
        std::vector<std::string> fields = Split(settings, ',');
        fields.resize(std::max<size_t>(fields.size(), 5));
        info.Baud = Cut(fields[0], Serial_Port_Info::Baud_Capacity);
        info.Parity =
            Cut(Translate(fields[1], Serial_Port_Parities, std::size(Serial_Port_Parities)),
                Serial_Port_Info::Parity_Capacity);
        info.Data_Bits = Cut(fields[2], Serial_Port_Info::Bits_Capacity);
        info.Stop_Bits = Cut(fields[3], Serial_Port_Info::Bits_Capacity);
        info.Handshake =
            Cut(Translate(fields[4], Serial_Port_Handshakes, std::size(Serial_Port_Handshakes)),
                Serial_Port_Info::Handshake_Capacity);

        info.Port_Number = Decimal(Remove_All(info.Friendly_Name, "COM"));
        if (info.Port_Number == 0) continue;
        const std::string gap = "     ";
        std::string line = "Friendly Name: " + info.Friendly_Name + gap + "Baud: " + info.Baud +
                           gap + "Data Bits: " + info.Data_Bits + gap + "Parity: " + info.Parity +
                           gap + "Stop Bits: " + info.Stop_Bits + gap +
                           "Handshake: " + info.Handshake + gap + "Real Name: " + info.Real_Name +
                           gap + "Type: " + info.Type + gap +
                           "Type Description: " + info.Type_Description + gap;
        // Debug text, not a comment: indented one level below this procedure's own lines,
        // and ended by its own CR LF in the log too.
        std::string shown = std::string(size_t(5 * (kdx_frame.depth() + 1)), ' ') + line + "\r\n";
        ErrCheck_Debug_Print(shown, Attribute_Comment);
        result += line;
    }
    return kdx_frame.result(result);
}

std::string Serial_Port_Device(int32_t& handle, int32_t other) {
    KDX_FRAME("Serial_Port_Device", handle, other);
    if (handle == INVALID_HANDLE_VALUE) return kdx_frame.result(std::string());
    // The answer is the probe's own: keep the receive poller of this port out of it.
    int32_t poller = handle == Serial_Port_State.Handle ? Serial_Port_State.Poller : 0;
    Poller_Pause pause(poller);
    Serial_Port_Write(handle, "V,");
    // A real controller answers after the wire time plus the adapter's latency: wait for the
    // first byte, waking as soon as it comes, instead of reading at once.
    Serial_Port_Wait_Input(handle, Serial_Port_Device_Wait_Ms);
    std::string reply = Serial_Port_Read(handle).substr(0, 1023);
    return kdx_frame.result(std::string(Device_Type(reply)));
}

}  // namespace kdx
