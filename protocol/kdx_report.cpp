#include "protocol/kdx_report.h"

#include <vector>

#include "platform/os/profile.h"
#include "protocol/kdx.h"
#include "protocol/kdx_link.h"
#include "protocol/report.h"
#include "serial/serial_enum.h"
#include "serial/serial_port.h"
#include "trace/trace.h"

namespace kdx {

namespace {

// The number after the last "COM" of a port name ("BTH_COM7" is 7); 0 for none.
int32_t Com_Number(const std::string& name) {
    size_t at = name.rfind("COM");
    if (at == std::string::npos || at + 3 >= name.size()) return 0;
    int64_t n = 0;
    for (size_t i = at + 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 99999) return 0;
        n = n * 10 + (name[i] - '0');
    }
    return int32_t(n);
}

// The port's entry as the report's port list gives it, so the keys land in its block.
std::string Listed_Name(int32_t number) {
    std::vector<std::string> ports;
    int32_t count = Serial_Terminal_Port_Enum(ports);
    for (int32_t i = 0; i < count && size_t(i) < ports.size(); ++i) {
        std::string entry = ports[size_t(i)].substr(0, ports[size_t(i)].find('\0'));
        if (Com_Number(entry) == number) return entry;
    }
    return "COM" + std::to_string(number);
}

std::string Adapter_Type(int32_t number) {
    Serial_Port_Enum();
    for (const auto& info : Serial_Port_Table)
        if (!info.Friendly_Name.empty() && Com_Number(info.Friendly_Name) == number)
            return info.Type_Description;
    return Serial_Port_Unknown_Type;
}

// The status query, with its letter still taken when it comes after the query's own short
// wait: a report is made once, on request, and a unit behind a slow adapter (Bluetooth, a
// loaded machine) that answers a little late is there, not "No Response". One query: the
// late letter is its answer, so nothing is left on the line for the next exchange.
bool Status_Answered(int32_t& handle) {
    Poller_Pause pause(Serial_Port_State.Poller);
    if (!KDX_Verify_Status(handle).empty()) return true;
    return Serial_Port_Wait_Input(handle, KDX_Report_Late_Status_Ms) &&
           !Serial_Port_Read(handle).empty();
}

// The axes the controller reports found: the non-zero axis numbers of its reply.
int32_t Axis_Count(const std::string& found) {
    int32_t count = 0;
    for (char c : found)
        if (c >= '1' && c <= '9') ++count;
    return count;
}

}  // namespace

int32_t KDX_Report_Port_Keys(const std::string& name) {
    KDX_FRAME("KDX_Report_Port_Keys", name);
    int32_t& handle = Serial_Port_State.Handle;
    if (!protocol::Usable(handle) || Serial_Port_State.Number <= 0) {
        kdx_frame.comment("no port open: no port keys");
        return kdx_frame.result(int32_t(0));
    }
    const int32_t number = Serial_Port_State.Number;
    const std::string section = Listed_Name(number);
    const std::string type = Adapter_Type(number);
    const bool answered = Status_Answered(handle);
    const std::string axes = answered ? std::to_string(Axis_Count(KDX_Axis_Found(handle))) : "";

    const std::string path = Report_Key_Path(name);
    const std::string prefix = Report_Key_Prefix;
    struct Key {
        std::string section, label, value;
    };
    const Key keys[] = {
        {section, "Port Type:", type},
        {section, "PortNum:", std::to_string(number)},
        {section, "Device:", answered ? "KDX" : "No Response"},
        {section + " - Device", "Num of Axis:", axes},
    };
    int32_t written = 0;
    for (const auto& key : keys) {
        if (platform::Write_Private_Profile_String(key.section, prefix + key.label, key.value,
                                                   path))
            ++written;
        else
            kdx_frame.check();
    }
    return kdx_frame.result(written);
}

}  // namespace kdx
