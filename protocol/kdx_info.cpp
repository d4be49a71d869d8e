// Device information, per-axis identification, storing the serial and order number, and the
// two parsers of axis replies.
#include <array>
#include <string_view>

#include "platform/os/system.h"
#include "platform/window/window.h"
#include "protocol/kdx.h"
#include "protocol/kdx_link.h"
#include "protocol/terminal_controls.h"
#include "serial/serial_port.h"
#include "trace/trace.h"

namespace kdx {

namespace {

constexpr char CR = '\r';
// The controller needs this long to answer an information query.
constexpr uint32_t Query_Sleep_Ms = 100;

thread_local std::string last_reply;

// One exchange on the open port: pause the poller, write, sleep, read, resume.
std::string Query(int32_t& handle, const std::string& command, const int32_t* read_echo) {
    Poller_Pause pause(Serial_Port_State.Poller);
    int32_t shown = 1;
    Serial_Port_Write(handle, protocol::Command(command), &shown);
    platform::Sleep_Ms(Query_Sleep_Ms);
    last_reply = Serial_Port_Read(handle, read_echo);
    return last_reply;
}

size_t Count(std::string_view text, std::string_view part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string Device_Query(const char* command, const char* tag, Device_Part part) {
    int32_t shown = 1;
    std::string reply = Query(Serial_Port_State.Handle, command, &shown);
    return KDX_Clean_Device_Reply(reply, tag, part);
}

std::string Axis_Query(const char* prefix, const char* tag, int32_t axis) {
    int32_t shown = 1;
    std::string reply =
        Query(Serial_Port_State.Handle, prefix + std::to_string(axis) + "M=" + CR, &shown);
    return KDX_Clean_Axis_Reply(reply, tag, axis);
}

}  // namespace

std::string KDX_Clean_Device_Reply(std::string reply, const std::string& tag, Device_Part part) {
    protocol::Remove_All(reply, tag);
    protocol::Remove_All(reply, ',');
    if (part != Device_Part::Whole) {
        size_t at = reply.find('@');
        if (part == Device_Part::Before_At) {
            if (at != std::string::npos)
                reply.resize(at);
            else if (!reply.empty())
                reply.pop_back();
        } else if (at != std::string::npos) {
            reply.erase(0, at + 1);
        }
        protocol::Remove_All(reply, ' ');
    }
    if (reply.empty() || reply.back() != CR) reply += CR;
    return reply;
}

std::string KDX_Clean_Axis_Reply(std::string reply, const std::string& tag, int32_t axis) {
    protocol::Remove_All(reply, tag + std::to_string(axis) + "M=");
    protocol::Remove_All(reply, ',');
    protocol::Remove_All(reply, CR);
    return reply;
}

bool KDX_Answer_Clean(const std::string& field, bool digits_only) {
    std::string_view text = field;
    if (!text.empty() && text.back() == CR) text.remove_suffix(1);
    if (text.empty()) return false;
    for (unsigned char c : text) {
        if (c < 32 || c == 127 || c == '?') return false;
        if (digits_only && (c < '0' || c > '9')) return false;
    }
    return true;
}

const std::string& KDX_Last_Query_Reply() {
    return last_reply;
}

std::string KDX_Reply_Doubt(const std::string& reply, const std::string& tag) {
    std::string_view text = reply;
    // Line ends left over from the reply before are no part of this one.
    while (!text.empty() && (text.front() == CR || text.front() == '\n')) text.remove_prefix(1);
    if (text.empty()) return "missing";
    if (text.find('?') != std::string_view::npos) return "not understood";
    // Every query of ours is a "get" and every answer starts with the query's own tag: one
    // that starts otherwise, or names a query twice, has another answer or an echo in it.
    size_t tags = Count(text, tag), gets = Count(text, "get");
    if (text.substr(0, 2) == "F," && text.substr(2, tag.size()) == tag)
        return "the query's echo in it";
    if (text.substr(0, tag.size()) != tag)
        return gets > tags || text.find("get") != std::string_view::npos ? "another query's answer"
                                                                         : "garbled";
    if (gets > tags) return "another query's answer";
    if (tags > 1) return "the query's echo in it";
    if (text.back() != CR) return "cut short";
    text.remove_suffix(1);
    for (unsigned char c : text)
        if (c < 32 || c == 127) return "garbled";
    return std::string();
}

std::string KDX_Serial_Number_Get(int32_t& handle) {
    KDX_FRAME("KDX_Serial_Number_Get", handle);
    return kdx_frame.result(Device_Query("F,getD4,", "getD4", Device_Part::Before_At));
}

std::string KDX_Order_Number_Get(int32_t& handle) {
    KDX_FRAME("KDX_Order_Number_Get", handle);
    return kdx_frame.result(Device_Query("F,getD4,", "getD4", Device_Part::After_At));
}

std::string KDX_Firmware_Version_Get(int32_t& handle) {
    KDX_FRAME("KDX_Firmware_Version_Get", handle);
    return kdx_frame.result(Device_Query("F,getD0,", "getD0", Device_Part::Whole));
}

std::string KDX_Firmware_Revision_Get(int32_t& handle) {
    KDX_FRAME("KDX_Firmware_Revision_Get", handle);
    return kdx_frame.result(Device_Query("F,getD1,", "getD1", Device_Part::Whole));
}

std::string KDX_Axis_Set(int32_t& handle) {
    KDX_FRAME("KDX_Axis_Set", handle);
    return kdx_frame.result(Device_Query("F,getAS,", "getAS", Device_Part::Whole));
}

std::string KDX_Axis_Found(int32_t& handle) {
    KDX_FRAME("KDX_Axis_Found", handle);
    return kdx_frame.result(Device_Query("F,getAF,", "getAF", Device_Part::Whole));
}

std::string KDX_Axis_Motor_Get(int32_t& handle, int32_t& axis) {
    KDX_FRAME("KDX_Axis_Motor_Get", handle, axis);
    return kdx_frame.result(Axis_Query("F,getMT", "getMT", axis));
}

std::string KDX_Axis_Limit_Get(int32_t& handle, int32_t& axis) {
    KDX_FRAME("KDX_Axis_Limit_Get", handle, axis);
    return kdx_frame.result(Axis_Query("F,getL", "getL", axis));
}

std::string KDX_Axis_Home_Switch_Get(int32_t& handle, int32_t& axis) {
    KDX_FRAME("KDX_Axis_Home_Switch_Get", handle, axis);
    return kdx_frame.result(Axis_Query("F,getHS", "getHS", axis));
}

namespace {

// Motor type, limit switches and home switch of one axis, replies joined as they came.
std::string ID_Axis(int32_t& handle, int32_t axis) {
    if (!protocol::Usable(handle)) return std::string();
    std::string n = std::to_string(axis);
    std::string joined;
    {
        Poller_Pause pause(Serial_Port_State.Poller);
        const char* const prefixes[] = {"F,getMT", "F,getL", "F,getHS"};
        for (const char* prefix : prefixes) {
            int32_t shown = 1;
            Serial_Port_Write(handle, prefix + n + "M=" + CR, &shown);
            platform::Sleep_Ms(Query_Sleep_Ms);
            if (prefix != prefixes[0]) joined += ",";
            joined += Serial_Port_Read(handle);
        }
    }
    protocol::Remove_All(joined, CR);
    win::Set_Dlg_Item_Text(win::Terminal_Dialog, Axis_Id_Box + axis, joined);
    return joined;
}

}  // namespace

std::string KDX_ID_Axis_1(int32_t& handle) {
    KDX_FRAME("KDX_ID_Axis_1", handle);
    return kdx_frame.result(ID_Axis(handle, 1));
}

std::string KDX_ID_Axis_2(int32_t& handle) {
    KDX_FRAME("KDX_ID_Axis_2", handle);
    return kdx_frame.result(ID_Axis(handle, 2));
}

std::string KDX_ID_Axis_3(int32_t& handle) {
    KDX_FRAME("KDX_ID_Axis_3", handle);
    return kdx_frame.result(ID_Axis(handle, 3));
}

std::string KDX_ID_Axis_4(int32_t& handle) {
    KDX_FRAME("KDX_ID_Axis_4", handle);
    return kdx_frame.result(ID_Axis(handle, 4));
}

std::string KDX_Serial_Number_Set(int32_t& handle, std::string& serial, std::string& order) {
    KDX_FRAME("KDX_Serial_Number_Set", handle, serial, order);
    if (!protocol::Usable(handle)) return kdx_frame.result(std::string());
    int32_t hidden = 0;
    return kdx_frame.result(Serial_Port_Write(
        handle, protocol::Command("setser#&=" + serial + "     @" + order), &hidden));
}

std::string KDX_Parse_Motor_ID(std::string& text) {
    KDX_FRAME("KDX_Parse_Motor_ID", text);
    protocol::Remove_All(text, CR);
    std::string id = text;
    size_t comma = id.find(',');
    if (comma != std::string::npos)
        id.resize(comma);
    else if (!id.empty())
        id.pop_back();
    if (size_t amp = id.find('&'); amp != std::string::npos) id.resize(amp);
    if (size_t dash = id.find('-'); dash != std::string::npos) id.erase(0, dash + 1);
    return kdx_frame.result(id);
}

std::string KDX_Limit_Description(const std::string& code) {
    static const std::array<std::pair<const char*, const char*>, 8> Table{{
        {"-2", "Home Switch (Normally Closed)"},
        {"-1A", "Negative (Normally Open), Positive (Normally Closed)"},
        {"-1", "Both (Normally Open)"},
        {"-0", "Auto-Detect (Not connected)"},
        {"0", "Auto-Detect (Determine if N.C. or N.O.)"},
        {"1", "Both (Normally Closed)"},
        {"1A", "Negative (Normally Closed), Positive (Normally Open)"},
        {"2", "Home Switch (Normally Open)"},
    }};
    for (const auto& [c, description] : Table)
        if (code == c) return description;
    return "TBD";
}

std::string KDX_Parse_Limit_ID(std::string& text) {
    KDX_FRAME("KDX_Parse_Limit_ID", text);
    protocol::Remove_All(text, CR);
    std::string code = text;
    if (size_t comma = code.find(','); comma != std::string::npos) code.erase(0, comma + 1);
    if (size_t comma = code.find(','); comma != std::string::npos)
        code.resize(comma);
    else if (!code.empty())
        code.pop_back();
    kdx_frame.comment(KDX_Limit_Description(code));
    return kdx_frame.result(code);
}

}  // namespace kdx
