// Port discovery and identification: the machine's COM ports as the registry's serial device
// map lists them, their adapter types and default line settings, and the probe that asks a
// device which controller model it is.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kdx {

// Registry locations, all under HKEY_LOCAL_MACHINE.
inline constexpr const char* Registry_Serial_Comm_Key = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
inline constexpr const char* Registry_Arbiter_Key =
    "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter\\Devices";
inline constexpr const char* Registry_Ports_Key =
    "SOFTWARE\\MicroSoft\\Windows NT\\CurrentVersion\\Ports";

// The registry readers' buffers: value names and data are taken 260 bytes at a time.
inline constexpr uint32_t Registry_Buffer_Size = 260;

// Reads one value. data receives the text (trailing zero bytes removed; a REG_DWORD as its
// decimal text), type its registry type. Returns 0 or the Win32 status of the failing call.
int32_t Registry_Get_Value(int32_t& root, const std::string& path, const std::string& name,
                           std::string& data, int32_t& type);

// Reads every value of a key in the registry's order. A value whose name contains "BTH" (any
// case) gets "BTH_" in front of its data. Returns 0 when the enumeration ran to its end,
// otherwise the status that stopped it (the entry of that pass is stored, cut).
int32_t Registry_Enum_Values(int32_t& root, const std::string& path,
                             std::vector<std::string>& names, std::vector<int32_t>& types,
                             std::vector<std::string>& data, int32_t& count);

// The Terminal's port list: the data of every serial device map value. Returns the count;
// on a failed open 0, leaving ports as it was.
int32_t Serial_Terminal_Port_Enum(std::vector<std::string>& ports);

// The COM name arbiter's value for a port ("" when there is none).
std::string Serial_Terminal_COM_Name_Value(const std::string& port);

// The same look-up for the trace only; always 0.
int32_t Serial_Terminal_COM_Name_Arbiter(const std::string& port, const std::string& other);

// One port of the machine. Text fields hold at most capacity - 1 characters.
struct Serial_Port_Info {
    static constexpr size_t Name_Capacity = 50;
    static constexpr size_t Baud_Capacity = 10;
    static constexpr size_t Bits_Capacity = 5;
    static constexpr size_t Parity_Capacity = 10;
    static constexpr size_t Handshake_Capacity = 10;

    std::string Real_Name;         // \Device\VCP0
    std::string Friendly_Name;     // COM3 (BTH_COM7 for a Bluetooth port)
    std::string Type;              // VCP0
    std::string Type_Description;  // FTDI USB Adapter
    int32_t Port_Number = 0;       // 3
    std::string Baud;
    std::string Data_Bits;
    std::string Parity;
    std::string Stop_Bits;
    std::string Handshake;
};

// Rebuilt by each Serial_Port_Enum, indexed like the port list; kept until the next one.
extern std::vector<Serial_Port_Info> Serial_Port_Table;

struct Serial_Port_Text_Row {
    const char* Pattern;
    const char* Text;
};
// The adapter type table: the first row whose pattern occurs in Type (upper case) wins.
extern const Serial_Port_Text_Row Serial_Port_Adapter_Types[10];
inline constexpr const char* Serial_Port_Unknown_Type = "UnKnown Port Type";
// Parity and handshake letters of the settings text (lower case).
extern const Serial_Port_Text_Row Serial_Port_Parities[5];
extern const Serial_Port_Text_Row Serial_Port_Handshakes[3];

// The adapter description for a Type text.
std::string Serial_Port_Type_Description(const std::string& type);

// Fills Serial_Port_Table from the serial device map and the ports' default settings and
// returns one line per numbered port, the lines run together, each ending in five spaces.
std::string Serial_Port_Enum();
// Why the last Serial_Port_Enum on this thread could not list every port: the error that
// ended the registry enumeration, its message and the value it stopped at ("" when the
// listing was whole, or when the machine has no serial device map at all).
std::string Serial_Port_Enum_Failure();
// The values the last Serial_Port_Enum (or port list) on this thread left out, one warning
// each: a name or data too long for the listing's buffers.
std::vector<std::string> Serial_Port_Enum_Warnings();

// How long the probe waits for the first byte of the device's answer.
inline constexpr uint32_t Serial_Port_Device_Wait_Ms = 50;

// Asks the device on an open port which controller model it is: "QMT", "ZLR" or "Device not
// found" ("" for INVALID_HANDLE_VALUE, when nothing is sent). other is only traced.
std::string Serial_Port_Device(int32_t& handle, int32_t other);

}  // namespace kdx
