// Installs the controller's fault query as the serial layer's answer to a "?" in received
// text. Compiled into every program and library that links the protocol layer (the build
// adds it to each), so a read asks about faults wherever the protocol is present, while the
// serial layer below knows nothing of the query's commands.
#include "protocol/kdx_fault.h"
#include "serial/serial_port.h"

namespace {

struct Fault_Query_Hook {
    Fault_Query_Hook() {
        kdx::Serial_Port_Set_Fault_Query([](int32_t& handle) { kdx::KDX_Error_Check(handle); });
    }
};

const Fault_Query_Hook Fault_Query_Hook;

}  // namespace
