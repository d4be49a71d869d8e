// The floor the echo side-by-side measures against: the least a serial terminal can do, one
// poll() loop and no other work.
//
//   bench_poll_client DEVICE BAUD            copies keys to the line and the line to standard
//                                            output (piped input: LF goes out as CR)
//   bench_poll_client DEVICE BAUD --commo N  the communication test's exchanges: N times "V",
//                                            wait up to 100 ms for the reply, read it, show it
//   bench_poll_client DEVICE BAUD --threads  as the first, with the line read on a second
//                                            thread: the floor for a terminal whose replies
//                                            are taken by a receive thread, as kdx-cli's are
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

speed_t Speed(long baud) {
    switch (baud) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B57600;
    }
}

void Put(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0) return;
        data += n;
        size -= size_t(n);
    }
}

int Commo(int port, int queries) {
    char line[64];
    char reply[256];
    Put(STDOUT_FILENO, "start\n", 6);
    int answered = 0;
    for (int i = 1; i <= queries; ++i) {
        Put(port, "V", 1);
        pollfd p{port, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) break;
        ssize_t n = read(port, reply, sizeof reply);
        if (n <= 0) break;
        int len = std::snprintf(line, sizeof line, "%8d V %c\n", i, reply[0]);
        Put(STDOUT_FILENO, line, size_t(len));
        ++answered;
    }
    int len = std::snprintf(line, sizeof line, "done %d\n", answered);
    Put(STDOUT_FILENO, line, size_t(len));
    return answered == queries ? 0 : 1;
}

// One read of keys, sent to the line (piped input: LF as CR); false at the end or Ctrl-].
bool Keys_To_Line(int port, bool tty) {
    static char keys[4096];
    ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
    if (n <= 0) return false;
    if (tty && std::memchr(keys, 0x1d, size_t(n))) return false;  // Ctrl-]
    if (!tty)
        for (ssize_t i = 0; i < n; ++i)
            if (keys[i] == '\n') keys[i] = '\r';
    Put(port, keys, size_t(n));
    return true;
}

// One read of the line, shown on standard output; false when the line has ended.
bool Line_To_Output(int port) {
    static char buffer[65536];
    ssize_t n = read(port, buffer, sizeof buffer);
    if (n <= 0) return false;
    Put(STDOUT_FILENO, buffer, size_t(n));
    return true;
}

int Terminal(int port, bool threads) {
    bool tty = isatty(STDIN_FILENO);
    termios saved{};
    if (tty) {
        tcgetattr(STDIN_FILENO, &saved);
        termios raw = saved;
        cfmakeraw(&raw);
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    if (threads) {
        // The line read on a thread of its own, the keys on this one.
        std::thread receive([port] {
            for (;;) {
                pollfd p{port, POLLIN, 0};
                if (poll(&p, 1, -1) < 0 || (p.revents & (POLLHUP | POLLERR))) break;
                if (!Line_To_Output(port)) break;
            }
        });
        receive.detach();  // ends with the process
        for (;;) {
            pollfd p{STDIN_FILENO, POLLIN, 0};
            if (poll(&p, 1, -1) < 0 || !Keys_To_Line(port, tty)) break;
        }
    } else {
        for (;;) {
            pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {port, POLLIN, 0}};
            if (poll(p, 2, -1) < 0) break;
            if (p[1].revents & POLLIN) {
                if (!Line_To_Output(port)) break;
            } else if (p[1].revents & (POLLHUP | POLLERR)) {
                break;
            }
            if ((p[0].revents & (POLLIN | POLLHUP)) && !Keys_To_Line(port, tty)) break;
        }
    }
    if (tty) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_poll_client DEVICE BAUD [--commo N | --threads]\n");
        return 2;
    }
    int port = open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port < 0) {
        std::perror(argv[1]);
        return 1;
    }
    termios line{};
    tcgetattr(port, &line);
    cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&line, Speed(std::atol(argv[2])));
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    tcsetattr(port, TCSANOW, &line);
    tcflush(port, TCIFLUSH);
    bool threads = argc >= 4 && std::strcmp(argv[3], "--threads") == 0;
    int status = argc >= 5 && std::strcmp(argv[3], "--commo") == 0 ? Commo(port, std::atoi(argv[4]))
                                                                   : Terminal(port, threads);
    close(port);
    return status;
}
