#include "serial/serial_port.h"

namespace kdx {

Serial_Port_State_Record Serial_Port_State;

int32_t Serial_Port_Open(int32_t&, int32_t&) {
    return 0;
}
int32_t Serial_Port_DCB(int32_t&, int32_t&) {
    return 0;
}
std::string Serial_Port_Clear(int32_t&) {
    return std::string();
}
int32_t Serial_Port_Close(int32_t&) {
    return 0;
}
int32_t Serial_Port_Guess_Exist(int32_t&) {
    return 0;
}
std::string Serial_Port_Write(int32_t&, const std::string&, const int32_t*) {
    return std::string();
}
std::string Serial_Port_Read(int32_t&, const int32_t*) {
    return std::string();
}
bool Serial_Port_Wait_Input(int32_t, uint32_t) {
    return false;
}
int32_t Serial_Port_Poller_Start(int32_t) {
    return 0;
}
void Serial_Port_Poller_Pause(int32_t) {}
void Serial_Port_Poller_Resume(int32_t) {}
Poller_Pause::Poller_Pause(int32_t poller) : poller_(poller) {
    Serial_Port_Poller_Pause(poller_);
}
Poller_Pause::~Poller_Pause() {
    Serial_Port_Poller_Resume(poller_);
}

}  // namespace kdx
