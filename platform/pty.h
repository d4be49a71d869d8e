// Pseudo-terminals for the controller simulator: the master side the simulator drives and
// the slave device a program opens as its serial port.
#pragma once
#include <cstdint>
#include <string>

namespace kdx::platform {

struct Pty_Pair {
    int master = -1;     // non-blocking, close-on-exec
    int slave = -1;      // kept open by the simulator so the line survives its clients
    std::string device;  // the slave's path, /dev/pts/<k>
};

// Opens a pair with the slave in raw mode. False with the last error on failure.
bool Pty_Open(Pty_Pair& pair);
void Pty_Close(Pty_Pair& pair);

// The baud rate the slave's user has set (any rate, standard or not); 0 when unknown.
uint32_t Pty_Baud(int master);

}  // namespace kdx::platform
