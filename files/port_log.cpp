// Placeholder until the port log is built: logging stays off.
#include "files/port_log.h"

namespace kdx {

int32_t Port_Log_File = 0;

int32_t Port_Log_Open() {
    return 0;
}
int32_t Port_Log_Close() {
    return 0;
}
int32_t Port_Log_Write_Line(int32_t, const std::string&) {
    return 0;
}

}  // namespace kdx
