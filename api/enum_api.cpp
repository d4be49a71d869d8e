// Port discovery, the device-change watch and the diagnostic report under their own names
// with C linkage.
#include <cstring>
#include <vector>

#include "api/api_util.h"
#include "platform/os/error.h"
#include "platform/ports/device_change.h"
#include "platform/ports/port_map.h"
#include "platform/ports/registry.h"
#include "protocol/report.h"
#include "serial/serial_enum.h"

using kdx::api::Copy_Out;
using kdx::api::Guard;
using kdx::api::Keep;
using kdx::api::Ref;
using kdx::api::Text;

namespace {

template <size_t N>
void Copy_Field(char (&field)[N], const std::string& text) {
    Copy_Out(field, int32_t(N), text);
}

}  // namespace

KDX_API int32_t Registry_Get_Value(int32_t* root, const char* path, const char* name, char* data,
                                   int32_t capacity, int32_t* type) {
    return Guard<int32_t>(int32_t(kdx::platform::ERROR_GEN_FAILURE), [&] {
        Ref r(root);
        Ref t(type);
        std::string value;
        int32_t status = kdx::Registry_Get_Value(r.value, Text(path), Text(name), value, t.value);
        Copy_Out(data, capacity, value);
        return status;
    });
}

KDX_API int32_t Registry_Enum_Values(int32_t* root, const char* path, const char** names,
                                     int32_t* types, const char** data, int32_t capacity,
                                     int32_t* count) {
    static thread_local std::vector<std::string> kept_names, kept_data;
    return Guard<int32_t>(int32_t(kdx::platform::ERROR_GEN_FAILURE), [&] {
        Ref r(root);
        Ref c(count);
        std::vector<std::string> n, d;
        std::vector<int32_t> t;
        int32_t status = kdx::Registry_Enum_Values(r.value, Text(path), n, t, d, c.value);
        if (status == 0 || c.value > 0) {
            kept_names = std::move(n);
            kept_data = std::move(d);
            for (int32_t i = 0; i < capacity && size_t(i) < kept_names.size(); ++i) {
                if (names) names[i] = kept_names[size_t(i)].c_str();
                if (data) data[i] = kept_data[size_t(i)].c_str();
                if (types) types[i] = t[size_t(i)];
            }
        }
        return status;
    });
}

KDX_API int32_t Serial_Terminal_Port_Enum(const char** ports, int32_t capacity) {
    static thread_local std::vector<std::string> kept;
    return Guard<int32_t>(0, [&] {
        std::vector<std::string> list;
        int32_t count = kdx::Serial_Terminal_Port_Enum(list);
        if (count > 0) {
            kept = std::move(list);
            for (int32_t i = 0; ports && i < capacity && size_t(i) < kept.size(); ++i)
                ports[i] = kept[size_t(i)].c_str();
        }
        return count;
    });
}

KDX_API const char* Serial_Terminal_COM_Name_Value(const char* port) {
    static thread_local std::string slot;
    return Guard<const char*>(
        "", [&] { return Keep(slot, kdx::Serial_Terminal_COM_Name_Value(Text(port))); });
}

KDX_API int32_t Serial_Terminal_COM_Name_Arbiter(const char* port, const char* other) {
    return Guard<int32_t>(
        0, [&] { return kdx::Serial_Terminal_COM_Name_Arbiter(Text(port), Text(other)); });
}

KDX_API const char* Serial_Port_Enum(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::Serial_Port_Enum()); });
}

KDX_API const char* Serial_Port_Enum_Error(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::Serial_Port_Enum_Failure()); });
}

KDX_API const char* Serial_Port_Enum_Warnings(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        std::string text;
        for (const auto& warning : kdx::Serial_Port_Enum_Warnings()) text += warning + "\n";
        return Keep(slot, text);
    });
}

KDX_API int32_t Serial_Port_Table_Count(void) {
    return Guard<int32_t>(0, [] { return int32_t(kdx::Serial_Port_Table.size()); });
}

KDX_API int32_t Serial_Port_Table_Get(int32_t index, Serial_Port_Info* info) {
    return Guard<int32_t>(0, [&] {
        if (!info || index < 0 || size_t(index) >= kdx::Serial_Port_Table.size()) return 0;
        const kdx::Serial_Port_Info& p = kdx::Serial_Port_Table[size_t(index)];
        std::memset(info, 0, sizeof *info);
        Copy_Field(info->Real_Name, p.Real_Name);
        Copy_Field(info->Friendly_Name, p.Friendly_Name);
        Copy_Field(info->Type, p.Type);
        Copy_Field(info->Type_Description, p.Type_Description);
        info->Port_Number = p.Port_Number;
        Copy_Field(info->Baud, p.Baud);
        Copy_Field(info->Data_Bits, p.Data_Bits);
        Copy_Field(info->Parity, p.Parity);
        Copy_Field(info->Stop_Bits, p.Stop_Bits);
        Copy_Field(info->Handshake, p.Handshake);
        return 1;
    });
}

KDX_API const char* Serial_Port_Device(int32_t* handle, int32_t other) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        Ref h(handle);
        return Keep(slot, kdx::Serial_Port_Device(h.value, other));
    });
}

KDX_API const char* Serial_Port_Map_Text(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] {
        std::string text;
        for (const auto& e : kdx::platform::Port_Map_List()) {
            text += "COM" + std::to_string(e.Number) + "\t" + e.Node + "\t\\Device\\" +
                    e.Device_Name + "\t" + e.Driver + "\t" + e.Description + "\t" +
                    (e.From_Ports_Dir ? "ports directory" : "udev") + "\t" + e.Unusable + "\t" +
                    e.Latency + "\n";
        }
        return Keep(slot, text);
    });
}

KDX_API const char* Serial_Port_Registry_Error(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::platform::Registry_Hive_Error()); });
}

KDX_API int32_t Serial_Port_Watch_Start(Serial_Port_Change_Callback callback, void* user) {
    return Guard<int32_t>(0, [&] {
        if (!callback) return 0;
        return kdx::platform::Device_Change_Register(
            [callback, user](const kdx::platform::Device_Change& change) {
                callback(int32_t(change.Event), change.Port_Name.c_str(), change.Node.c_str(),
                         user);
            });
    });
}

KDX_API int32_t Serial_Port_Watch_Stop(int32_t id) {
    return Guard<int32_t>(0, [&] { return kdx::platform::Device_Change_Unregister(id) ? 1 : 0; });
}

KDX_API const char* HTML_Template_Create(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::HTML_Template_Create()); });
}

KDX_API const char* HTML_Template_Create_Error(void) {
    static thread_local std::string slot;
    return Guard<const char*>("", [&] { return Keep(slot, kdx::HTML_Template_Create_Error()); });
}
