// Status query, mode commands, the identification sweep and the start-up diagnostic.
#include <array>

#include "platform/os/system.h"
#include "protocol/kdx.h"
#include "protocol/kdx_link.h"
#include "serial/serial_port.h"
#include "trace/trace.h"

namespace kdx {

namespace protocol {

std::string Command(std::string text) {
    if (text.size() > KDX_Command_Capacity) text.resize(KDX_Command_Capacity);
    return text;
}

}  // namespace protocol

std::string KDX_Status_Meaning(const std::string& reply) {
    static const std::array<std::pair<const char*, const char*>, 6> Meanings{{
        {"R", "Ready"},
        {"B", "Online Busy"},
        {"b", "Offline Busy"},
        {"J", "Jog"},
        {"F", "Fault"},
        {"", "No Response"},
    }};
    for (const auto& [letter, meaning] : Meanings)
        if (reply == letter) return meaning;
    return reply;
}

bool KDX_Is_Status_Letter(const std::string& reply) {
    // The table's "" row ("No Response") is no letter.
    return !reply.empty() && KDX_Status_Meaning(reply) != reply;
}

std::string KDX_Verify_Status(int32_t& handle) {
    KDX_FRAME("KDX_Verify_Status", handle);
    if (!protocol::Usable(handle)) return kdx_frame.result(std::string());
    Poller_Pause pause(Serial_Port_State.Poller);
    Serial_Port_Write(handle, "V");
    // The letter needs its wire time plus the adapter's latency: wait for its first byte,
    // waking as soon as it comes, so a silent port costs at most the bound.
    Serial_Port_Wait_Input(handle, KDX_Status_Wait_Ms);
    std::string reply = Serial_Port_Read(handle);
    ErrCheck_Comment(KDX_Status_Meaning(reply));
    return kdx_frame.result(reply);
}

namespace {

std::string Mode_Command(int32_t& handle, const char* text, const char* comment,
                         trace::Frame& frame) {
    int32_t echo = 1;
    std::string sent = Serial_Port_Write(handle, text, &echo);
    frame.comment(comment);
    return frame.result(sent);
}

}  // namespace

std::string KDX_Online_Echo_Off(int32_t& handle) {
    KDX_FRAME("KDX_Online_Echo_Off", handle);
    return Mode_Command(handle, "F,", "KDX Online, Do Not Echo what is sent", kdx_frame);
}

std::string KDX_Online_Echo_On(int32_t& handle) {
    KDX_FRAME("KDX_Online_Echo_On", handle);
    return Mode_Command(handle, "E,", "KDX Online, Echo what is sent", kdx_frame);
}

std::string KDX_Offline(int32_t& handle) {
    KDX_FRAME("KDX_Offline", handle);
    return Mode_Command(handle, "Q,", "KDX Offline, (in Jog/Slew Mode)", kdx_frame);
}

std::string KDX_Identify() {
    KDX_FRAME("KDX_Identify");
    static constexpr std::array<int32_t, 4> Rates{57600, 9600, 38400, 19200};
    int32_t old_baud = Serial_Port_State.Baud;
    int32_t silent = 0;
    int32_t last = 0;
    // Sends text at every rate, so the controller hears it at whichever rate it listens.
    auto sweep = [&](const char* text) {
        for (int32_t rate : Rates) {
            int32_t baud = rate;
            Serial_Port_DCB(Serial_Port_State.Handle, baud);
            Serial_Port_Write(Serial_Port_State.Handle, text, &silent);
        }
        platform::Sleep_Ms(32);
    };
    for (int pass = 0; pass < 3; ++pass) {
        if (protocol::Usable(Serial_Port_State.Handle)) Serial_Port_Echo_Status("Online\r");
        sweep("F,");
        if (protocol::Usable(Serial_Port_State.Handle)) Serial_Port_Echo_Status("Offline\r");
        sweep("Q,");
    }
    last = Serial_Port_DCB(Serial_Port_State.Handle, old_baud);
    kdx_frame.result(last);
    return std::string();
}

std::string KDX_Diagnostic(int32_t& handle) {
    KDX_FRAME("KDX_Diagnostic", handle);
    return kdx_frame.result(std::string());
}

}  // namespace kdx
