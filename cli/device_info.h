// The controller's device information as `info` and `check` read and judge it: the six
// fields, then the id of every axis the controller found.
#pragma once
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cli/protocol_port.h"

namespace kdx::cli {

struct Device_Info {
    std::vector<std::pair<std::string, std::string>> fields;  // "Serial Num", ... in order
    std::vector<std::pair<int, std::string>> axes;            // axis found, its joined id

    const std::string& Field_Value(const std::string& name) const {
        static const std::string None;
        for (const auto& [n, v] : fields)
            if (n == name) return v;
        return None;
    }
};

// The field of the joined axis id that follows tag ("getL1M=," -> "-1A").
inline std::string After_Tag(const std::string& id, const std::string& tag) {
    size_t at = id.find(tag);
    if (at == std::string::npos) return "";
    at += tag.size();
    return id.substr(at, id.find(',', at) - at);
}

// The digits 1 to 4 named in a found-axes reply, in order.
inline std::vector<int> Axes_Named(const std::string& found) {
    std::vector<int> axes;
    for (int n = 1; n <= 4; ++n)
        if (found.find(char('0' + n)) != std::string::npos) axes.push_back(n);
    return axes;
}

// Reads the fields, then the ids of the axes found. With go_on, asks it after every query
// and reads no more once it says no (a unit that hung up): the fields not read stay "".
inline Device_Info Read_Device_Info(int32_t* h, const std::function<bool()>& go_on = {}) {
    using Get = const char* (*)(int32_t*);
    const std::pair<const char*, Get> getters[] = {
        {"Serial Num", KDX_Serial_Number_Get}, {"Order Num", KDX_Order_Number_Get},
        {"Version", KDX_Firmware_Version_Get}, {"Revision", KDX_Firmware_Revision_Get},
        {"Axis Mode", KDX_Axis_Set},           {"Detected", KDX_Axis_Found}};
    Device_Info info;
    bool going = true;
    for (const auto& [name, get] : getters) {
        info.fields.push_back({name, going ? Field(get(h)) : ""});
        going = going && (!go_on || go_on());
    }
    const Get ids[] = {KDX_ID_Axis_1, KDX_ID_Axis_2, KDX_ID_Axis_3, KDX_ID_Axis_4};
    for (int n : Axes_Named(info.fields.back().second)) {
        if (!going) break;
        info.axes.push_back({n, ids[n - 1](h)});
        going = !go_on || go_on();
    }
    return info;
}

// The names of the fields that did not read as their answer, in order: blank or garbled
// (a controller that stopped answering or hung up half-way, a flood run into a reply).
inline std::vector<std::string> Bad_Fields(const Device_Info& info) {
    std::vector<std::string> bad;
    for (const auto& [name, value] : info.fields) {
        bool digits = name == "Axis Mode" || name == "Detected";
        if (!Clean_Field(value, digits)) bad.push_back(name);
    }
    for (const auto& [n, id] : info.axes) {
        std::string d = std::to_string(n);
        if (!Clean_Field(id) || id.find("getMT" + d + "M=,") != 0 ||
            id.find(",getL" + d + "M=,") == std::string::npos ||
            id.find(",getHS" + d + "M=,") == std::string::npos)
            bad.push_back("Axis " + d + " ID");
    }
    return bad;
}

}  // namespace kdx::cli
