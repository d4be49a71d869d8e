// The read-only registry view: the keys the port discovery reads, with Win32 status codes.
// On Linux three keys are built from the port map:
//   HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM (\Device\<name> = COM<n>),
//   ...\SYSTEM\CurrentControlSet\Control\COM Name Arbiter\Devices (COM<n> = identity),
//   ...\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports (empty: Linux keeps no defaults).
// A REGEDIT4 hive file overlays them: Config_Directory()/registry.reg when present; the file
// named by $KDX_REGISTRY, when set, replaces the live view entirely. Key and value names
// compare case-insensitively, as on Windows.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kdx::platform {

constexpr int32_t HKEY_CLASSES_ROOT = int32_t(0x80000000u);
constexpr int32_t HKEY_CURRENT_USER = int32_t(0x80000001u);
constexpr int32_t HKEY_LOCAL_MACHINE = int32_t(0x80000002u);
constexpr int32_t HKEY_USERS = int32_t(0x80000003u);
constexpr int32_t HKEY_CURRENT_CONFIG = int32_t(0x80000005u);

enum : uint32_t {
    KEY_READ = 0x20019,
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
};

// Opens root\path (root: a predefined key or a key opened here; a trailing "\" is allowed).
// 0 and key set on success; 2 when the key does not exist; 13 when a hive file is malformed
// (Registry_Hive_Error tells where); 5 for any access other than reading.
int32_t Reg_Open_Key(int32_t root, const std::string& path, uint32_t options, uint32_t access,
                     int32_t& key);

// RegQueryValueExA: with data null, size receives the size the data needs; with a buffer of
// *size bytes too small, 234 (ERROR_MORE_DATA) and size receives the size needed. Strings
// carry their terminating zero byte, as on Windows. 2 when there is no such value.
int32_t Reg_Query_Value(int32_t key, const std::string& name, uint32_t* type, char* data,
                        uint32_t* size);

// RegEnumValueA: value index of the key. *name_size is the name buffer's capacity in
// characters (with room for the zero byte) and receives the name's length without it;
// *data_size the data buffer's capacity, receiving the data's size. 259 past the last
// value. A name or data over its buffer gives 234 with the buffer holding as much as fits
// (a name cut to capacity - 1 characters and terminated), so the caller can show what it
// got.
int32_t Reg_Enum_Value(int32_t key, uint32_t index, char* name, uint32_t* name_size, uint32_t* type,
                       char* data, uint32_t* data_size);

int32_t Reg_Close_Key(int32_t key);

// What was wrong with the last hive file read on this thread ("" when nothing was):
// "<file> line <n>: <problem>".
std::string Registry_Hive_Error();

// The user overlay's path: Config_Directory() + "/registry.reg".
std::string Registry_Overlay_Path();

// One value of a key, as the view holds it.
struct Registry_Value {
    std::string Name;
    uint32_t Type = REG_NONE;
    std::string Data;  // raw bytes; strings with their zero byte
};

// Reads a REGEDIT4 text into keys (full paths such as HKEY_LOCAL_MACHINE\HARDWARE) with
// their values, in file order; deletions ("[-key]", "name"=-) are kept as such for overlays.
// False with error set ("line <n>: <problem>") when the text is malformed.
struct Registry_Hive_Key {
    std::string Path;
    bool Delete = false;
    std::vector<Registry_Value> Values;
    std::vector<std::string> Deleted_Values;
};
bool Registry_Parse_Hive(const std::string& text, std::vector<Registry_Hive_Key>& keys,
                         std::string& error);

}  // namespace kdx::platform
