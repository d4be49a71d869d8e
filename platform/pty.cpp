#include "platform/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"

namespace kdx::platform {

namespace {
struct Termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
const unsigned long kTcGets2 = _IOR('T', 0x2A, Termios2);
}  // namespace

bool Pty_Open(Pty_Pair& pair) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name)) {
        Set_Last_Error_From_Errno(errno);
        close(master);
        return false;
    }
    int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        Set_Last_Error_From_Errno(errno);
        close(master);
        return false;
    }
    // Raw from the start, so bytes sent before a client opens the port wait unchanged and
    // are not echoed back to us.
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(slave, TCSANOW, &t);
    pair.master = master;
    pair.slave = slave;
    pair.device = name;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

void Pty_Close(Pty_Pair& pair) {
    if (pair.slave >= 0) close(pair.slave);
    if (pair.master >= 0) close(pair.master);
    pair.slave = pair.master = -1;
}

uint32_t Pty_Baud(int master) {
    // On the master, the termios requests act on the slave: this is the client's rate.
    Termios2 t{};
    if (ioctl(master, kTcGets2, &t) != 0) return 0;
    return t.c_ospeed;
}

}  // namespace kdx::platform
