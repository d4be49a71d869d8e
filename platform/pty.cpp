#include "platform/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>

#include "platform/error.h"
#include "platform/handles.h"
#include "platform/system.h"

namespace kdx::platform {

namespace {
struct Termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
const unsigned long kTcGets2 = _IOR('T', 0x2A, Termios2);

// Held across a call as well, so removing a reader waits for the call to end.
std::mutex peer_readers_lock;
std::map<uint64_t, std::function<void()>> peer_readers;  // by the slave's device number
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
    // The master first: it drops what the slave's user wrote and nobody read (a stalled line),
    // which the last close of the slave would otherwise wait to drain, for seconds.
    if (pair.master >= 0) close(pair.master);
    if (pair.slave >= 0) close(pair.slave);
    pair.slave = pair.master = -1;
}

void Pty_Set_Peer_Reader(const Pty_Pair& pair, std::function<void()> reader) {
    struct stat st {};
    if (pair.slave < 0 || fstat(pair.slave, &st) != 0) return;
    std::lock_guard<std::mutex> guard(peer_readers_lock);
    if (reader)
        peer_readers[uint64_t(st.st_rdev)] = std::move(reader);
    else
        peer_readers.erase(uint64_t(st.st_rdev));
}

bool Pty_Peer_Read(uint64_t slave_device) {
    std::lock_guard<std::mutex> guard(peer_readers_lock);
    auto it = peer_readers.find(slave_device);
    if (it == peer_readers.end()) return false;
    it->second();
    return true;
}

uint32_t Pty_Baud(int master) {
    // On the master, the termios requests act on the slave: this is the client's rate.
    Termios2 t{};
    if (ioctl(master, kTcGets2, &t) != 0) return 0;
    return t.c_ospeed;
}

bool Pty_Wait(int master, int32_t wake_event, bool want_output, int64_t deadline_ns,
              Pty_Events& events, bool want_input) {
    events = Pty_Events{};
    int wake_fd = -1;
    if (wake_event != 0) {
        auto object = Handle_Get(wake_event);
        if (!object) {
            Set_Last_Error(ERROR_INVALID_HANDLE);
            return false;
        }
        wake_fd = object->fd;
    }
    timespec wait{};
    timespec* timeout = nullptr;
    if (deadline_ns >= 0) {
        int64_t left = std::max<int64_t>(0, deadline_ns - Query_Performance_Counter());
        wait.tv_sec = time_t(left / 1000000000);
        wait.tv_nsec = long(left % 1000000000);
        timeout = &wait;
    }
    pollfd fds[2] = {{master, short((want_input ? POLLIN : 0) | (want_output ? POLLOUT : 0)), 0},
                     {wake_fd, POLLIN, 0}};
    int r = ppoll(fds, wake_fd >= 0 ? 2 : 1, timeout, nullptr);
    if (r < 0) {
        if (errno == EINTR) {
            Set_Last_Error(ERROR_SUCCESS);
            return true;
        }
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    events.input = want_input && (fds[0].revents & POLLIN);
    events.writable = want_output && (fds[0].revents & POLLOUT);
    events.woken = wake_fd >= 0 && (fds[1].revents & POLLIN);
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

size_t Pty_Read(int master, char* buffer, size_t capacity) {
    for (;;) {
        ssize_t n = read(master, buffer, capacity);
        if (n > 0) {
            Set_Last_Error(ERROR_SUCCESS);
            return size_t(n);
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN)
            Set_Last_Error_From_Errno(errno);
        else
            Set_Last_Error(ERROR_SUCCESS);
        return 0;
    }
}

int64_t Pty_Write(int master, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && done == 0) {
            Set_Last_Error_From_Errno(errno);
            return -1;
        }
        break;  // the queue is full for now
    }
    Set_Last_Error(ERROR_SUCCESS);
    return int64_t(done);
}

}  // namespace kdx::platform
