#include "platform/ports/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/os/thread.h"
#include "platform/ports/ports_dir.h"

namespace kdx::platform {

namespace {
struct Termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
const unsigned long Tc_Gets2 = _IOR('T', 0x2A, Termios2);

// Held across a call as well, so removing a reader waits for the call to end.
std::mutex peer_readers_lock;
std::map<uint64_t, std::function<int64_t()>> peer_readers;  // by the slave's device number

// A reader also answers other processes (a program run by a test or a script against a
// simulator): through a socket in the ports directory named after the slave's device number.
// A connection sends one byte; the answer, that byte and the reader's count (8 bytes, this
// machine's order), comes once the reader has returned.
struct Peer_Server {
    int fd = -1;
    std::string path;
    Thread thread;
};
std::map<uint64_t, std::unique_ptr<Peer_Server>> peer_servers;  // under peer_readers_lock

bool Peer_Address(uint64_t slave_device, sockaddr_un& address) {
    if (!Ports_Directory_Problem().empty()) return false;
    std::string path = Ports_Directory() + "/.pty-peer-" + std::to_string(slave_device);
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    path.copy(address.sun_path, path.size());
    return true;
}

void Serve_Peer(Peer_Server* server, uint64_t slave_device) {
    for (;;) {
        int client = accept4(server->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // shut down
        }
        char answer[1 + sizeof(int64_t)] = {};
        if (read(client, answer, 1) == 1) {
            int64_t taken = -1;
            Pty_Peer_Read(slave_device, &taken);
            std::memcpy(answer + 1, &taken, sizeof taken);
            if (write(client, answer, sizeof answer) != ssize_t(sizeof answer)) {
                // The asker has gone: nothing to tell.
            }
        }
        close(client);
    }
}

std::unique_ptr<Peer_Server> Start_Peer_Server(uint64_t slave_device) {
    sockaddr_un address{};
    if (!Peer_Address(slave_device, address)) return nullptr;
    uint32_t kept = Get_Last_Error();
    Make_Directories(Ports_Directory());
    Set_Last_Error(kept);
    auto server = std::make_unique<Peer_Server>();
    server->path = address.sun_path;
    server->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(address.sun_path);  // left by a simulator that was killed
    if (server->fd < 0 ||
        bind(server->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(server->fd, 16) != 0) {
        if (server->fd >= 0) close(server->fd);
        return nullptr;
    }
    Peer_Server* raw = server.get();
    if (!server->thread.Start([raw, slave_device] { Serve_Peer(raw, slave_device); }, 64 * 1024)) {
        close(server->fd);
        unlink(server->path.c_str());
        return nullptr;
    }
    return server;
}

void Stop_Peer_Server(std::unique_ptr<Peer_Server> server) {
    if (!server) return;
    shutdown(server->fd, SHUT_RDWR);  // ends the accept
    server->thread.Join();
    close(server->fd);
    unlink(server->path.c_str());
}

// Asks a reader in another process; false when none answers.
bool Ask_Peer_Server(uint64_t slave_device, int64_t* taken) {
    sockaddr_un address{};
    if (!Peer_Address(slave_device, address)) return false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    char byte = 1;
    char answer[1 + sizeof(int64_t)] = {};
    size_t got = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        write(fd, &byte, 1) == 1) {
        // Bounded: a simulator that stopped answering must not hold the program for ever.
        const int64_t end = Tick_Count_Ms() + 5000;
        while (got < sizeof answer) {
            pollfd p{fd, POLLIN, 0};
            int64_t left = end - Tick_Count_Ms();
            if (left <= 0 || poll(&p, 1, int(left)) != 1) break;
            ssize_t n = read(fd, answer + got, sizeof answer - got);
            if (n <= 0) break;
            got += size_t(n);
        }
    }
    close(fd);
    if (got == 0) return false;
    if (taken) {
        int64_t count = -1;
        if (got == sizeof answer) std::memcpy(&count, answer + 1, sizeof count);
        *taken = count;
    }
    return true;
}
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

bool Pty_Publish(const Pty_Pair& pair, const std::string& link) {
    // A session leader already has its session (one started by setsid); others make one.
    if (getsid(0) != getpid() && setsid() < 0) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    if (ioctl(pair.slave, TIOCSCTTY, 0) != 0) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    // Built beside the link and renamed over it, so a reader never sees a half-made one.
    std::string temp = link + ".new." + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(pair.device.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link.c_str())) {
        Set_Last_Error_From_Errno(errno);
        unlink(temp.c_str());
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

void Pty_Unpublish(const Pty_Pair& pair, const std::string& link) {
    char target[4096];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, size_t(n)) == pair.device) unlink(link.c_str());
}

void Pty_Set_Peer_Reader(const Pty_Pair& pair, std::function<int64_t()> reader) {
    struct stat st {};
    if (pair.slave < 0 || fstat(pair.slave, &st) != 0) return;
    uint64_t device = uint64_t(st.st_rdev);
    std::unique_ptr<Peer_Server> ended;
    {
        std::lock_guard<std::mutex> guard(peer_readers_lock);
        if (reader) {
            peer_readers[device] = std::move(reader);
            if (!peer_servers.count(device)) peer_servers[device] = Start_Peer_Server(device);
        } else {
            peer_readers.erase(device);
            auto it = peer_servers.find(device);
            if (it != peer_servers.end()) {
                ended = std::move(it->second);
                peer_servers.erase(it);
            }
        }
    }
    // Outside the lock: the server's thread may be waiting for it to call the reader.
    Stop_Peer_Server(std::move(ended));
}

bool Pty_Peer_Read(uint64_t slave_device, int64_t* taken) {
    {
        std::lock_guard<std::mutex> guard(peer_readers_lock);
        auto it = peer_readers.find(slave_device);
        if (it != peer_readers.end()) {
            int64_t count = it->second();
            if (taken) *taken = count;
            return true;
        }
    }
    return Ask_Peer_Server(slave_device, taken);
}

uint32_t Pty_Baud(int master) {
    // On the master, the termios requests act on the slave: this is the client's rate.
    Termios2 t{};
    if (ioctl(master, Tc_Gets2, &t) != 0) return 0;
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
