#include "protocol/kdx_fault.h"

#include "platform/os/system.h"
#include "serial/serial_port.h"
#include "trace/trace.h"

namespace kdx {

namespace {

thread_local bool fault_query_running = false;

// The exchange both queries make: the poller paused from the first write to the read. On
// the poller's own thread, where the read's "?" rule may start us, there is nothing to pause,
// and the port's record is not read: the user-interface thread owns it and may be writing.
std::string Fault_Exchange(int32_t& handle, const char* query) {
    Poller_Pause pause(Serial_Port_On_Poller_Thread() ? 0 : Serial_Port_State.Poller);
    const int32_t hidden = 0;
    std::string k = "K";
    Serial_Port_Write(handle, k, &hidden);
    Serial_Port_Write(handle, query, &hidden);
    platform::Sleep_Ms(32);
    return Serial_Port_Read(handle);
}

struct Running {
    Running() { fault_query_running = true; }
    ~Running() { fault_query_running = false; }
};

}  // namespace

bool KDX_Fault_Query_Running() {
    return fault_query_running;
}

std::string KDX_Error_Check(int32_t& handle) {
    KDX_FRAME("KDX_Error_Check", handle);
    std::string command = "F,getFAc";
    if (fault_query_running) {
        kdx_frame.comment("fault query already running on this thread: not started again");
        return kdx_frame.result(command);
    }
    Running running;
    Fault_Exchange(handle, command.c_str());
    return kdx_frame.result(command);
}

std::string KDX_Current_Error_Check(int32_t& handle) {
    KDX_FRAME("KDX_Current_Error_Check", handle);
    if (fault_query_running) {
        kdx_frame.comment("fault query already running on this thread: not started again");
        return kdx_frame.result(std::string());
    }
    Running running;
    std::string reply = Fault_Exchange(handle, "F,getFc");
    return kdx_frame.result(reply);
}

}  // namespace kdx
