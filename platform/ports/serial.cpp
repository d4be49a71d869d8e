#include "platform/ports/serial.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/pty.h"
#include "platform/ports/serial_os.h"
#include "platform/ports/udev_ports.h"

namespace kdx::platform {

namespace {

// The kernel's termios2, which carries any baud rate in c_ispeed/c_ospeed. Declared here
// because <asm/termbits.h> cannot live beside <termios.h>.
struct Termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
const unsigned long Tc_Gets2 = _IOR('T', 0x2A, Termios2);
const unsigned long Tc_Sets2 = _IOW('T', 0x2B, Termios2);
const unsigned long Tc_Setsw2 = _IOW('T', 0x2C, Termios2);
constexpr tcflag_t Bother = 0010000;
constexpr tcflag_t Cbaud = 0010017;
constexpr tcflag_t Cibaud = 002003600000;
constexpr int Ibshift = 16;

struct Baud_Code {
    uint32_t rate;
    tcflag_t code;
};
constexpr Baud_Code Baud_Codes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// What termios cannot hold is kept with the port so that it reads back as it was set.
struct Comm_Object final : Comm_Port {
    DCB kept{};
    serial_icounter_struct counts{};
    bool counts_known = false;
    // Set once the driver has refused the line-error counters (a pseudo-terminal, most USB
    // adapters): the status query then stops asking, as it runs ten times per read.
    std::atomic<bool> counts_unsupported{false};
    bool is_pty = false;
    uint64_t device = 0;  // the device number (st_rdev)
    // Set by a write, cleared once the driver's output queue has been seen empty: until the
    // next write the count stays 0 and the status query need not ask (it runs ten times a read).
    std::atomic<bool> output_queued{true};
    // A pseudo-terminal's output queue always reads empty: what its other end has not read is
    // what we wrote less what its reader (Pty_Set_Peer_Reader) says it has read since our
    // first write. The reader's count just before that write (-1 not asked yet, -2 no
    // reader).
    int64_t peer_base = -1;
    // Set once we have made the device exclusive. The kernel keeps that mark until the
    // device's last opener lets go, and the simulator holds its end open for good: without
    // clearing it on close, nobody but root could open the port again.
    bool exclusive = false;

    ~Comm_Object() override {
        if (stalled) tcflush(fd, TCOFLUSH);
        if (exclusive) ioctl(fd, TIOCNXCL);
    }
};

bool Get_Termios(int fd, Termios2& t) {
    if (ioctl(fd, Tc_Gets2, &t) != 0) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    return true;
}

void Mark_Hung_Up(Comm_Port& port) {
    port.hung_up = true;
    Set_Last_Error(ERROR_DEVICE_NOT_CONNECTED);
}

// True when the device reports a hang-up and has nothing left to read.
bool Poll_Hung_Up(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    if (!(p.revents & (POLLHUP | POLLERR | POLLNVAL))) return false;
    int waiting = 0;
    return ioctl(fd, FIONREAD, &waiting) != 0 || waiting == 0;
}

// A USB serial adapter holds received bytes until its latency timer runs out (16 ms on an
// FTDI chip), and every short exchange waits for it; the driver's low-latency mode (1 ms on
// ftdi_sio) needs no privilege. A device that refuses it (a pseudo-terminal, most on-board
// UARTs) keeps its timing: the refusal is normal and reported nowhere.
bool Request_Low_Latency(int fd) {
    int saved = errno;
    serial_struct serial{};
    bool on = false;
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        on = (serial.flags & ASYNC_LOW_LATENCY) != 0;
        if (!on) {
            serial.flags |= ASYNC_LOW_LATENCY;
            on = ioctl(fd, TIOCSSERIAL, &serial) == 0;
        }
    }
    errno = saved;
    return on;
}

void Set_Modem_Line(int fd, int line, bool on) {
    // Pseudo-terminals have no modem lines; their refusal changes nothing for the caller.
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

}  // namespace

std::string Comm_Device_Node(int32_t number) {
    std::string node = Ports_Dir_Device(number);
    if (node.empty()) node = Udev_Port_Device(number);
    Set_Last_Error(node.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS);
    return node;
}

std::string Serial_Node_Problem(const std::string& node) {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0)
        return errno == ELOOP ? "it is a link loop (too many levels of links)"
                              : "it does not exist";
    if (S_ISDIR(st.st_mode)) return "it is a folder";
    if (S_ISREG(st.st_mode)) return "it is a plain file";
    if (!S_ISCHR(st.st_mode)) return "it is not a character device";
    unsigned dev_major = major(st.st_rdev), dev_minor = minor(st.st_rdev);
    // Unix98 pseudo-terminal slaves (the simulator's ports) have no sysfs entry.
    if (dev_major >= 136 && dev_major <= 143) return std::string();
    char link[PATH_MAX];
    std::string sys = "/sys/dev/char/" + std::to_string(dev_major) + ":" +
                      std::to_string(dev_minor) + "/subsystem";
    ssize_t n = readlink(sys.c_str(), link, sizeof link - 1);
    if (n <= 0) return "it is not a serial line";
    std::string subsystem(link, size_t(n));
    subsystem = subsystem.substr(subsystem.find_last_of('/') + 1);
    if (subsystem != "tty") return "it is not a serial line (a " + subsystem + " device)";
    return std::string();
}

int32_t Comm_Open(const std::string& name) {
    Note_Open_Denied_By_Permission(false);
    int32_t number = Comm_Name_Number(name);
    std::string node;
    if (number < 0) return INVALID_HANDLE_VALUE;
    if (number > 0) {
        node = Comm_Device_Node(number);
        if (node.empty()) return INVALID_HANDLE_VALUE;
    } else if (!name.empty() && name[0] == '/') {
        node = name;
    } else {
        Set_Last_Error(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    // Opening a device can itself act (a watchdog arms, a tape rewinds): only what can be a
    // serial line is opened at all, and nothing is done to it before it proves a tty.
    struct stat before {};
    if (::stat(node.c_str(), &before) != 0) {
        Set_Last_Error_From_Errno(errno);
        return INVALID_HANDLE_VALUE;
    }
    if (!Serial_Node_Problem(node).empty()) {
        Set_Last_Error(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Note_Open_Denied_By_Permission(errno == EACCES || errno == EPERM);
        Set_Last_Error_From_Errno(errno);
        return INVALID_HANDLE_VALUE;
    }
    auto port = std::make_shared<Comm_Object>();
    port->fd = fd;  // closed by the object from here on
    struct stat opened {};
    bool same =
        fstat(fd, &opened) == 0 && S_ISCHR(opened.st_mode) && opened.st_rdev == before.st_rdev;
    if (!same || !isatty(fd)) {
        Set_Last_Error(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    // flock is what holds the port against every other opener, root included; TIOCEXCL
    // also keeps out programs that do not take the lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        Set_Last_Error(errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : Error_From_Errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (ioctl(fd, TIOCEXCL) == 0) port->exclusive = true;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
        port->is_pty = major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
        port->device = uint64_t(st.st_rdev);
    }
    // Raw before anything else: no byte translated, echoed or taken as a signal.
    Termios2 t{};
    if (!Get_Termios(fd, t)) return INVALID_HANDLE_VALUE;
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (ioctl(fd, Tc_Sets2, &t) != 0) {
        Set_Last_Error_From_Errno(errno);
        return INVALID_HANDLE_VALUE;
    }
    port->low_latency = Request_Low_Latency(fd);
    port->kept.XonChar = char(t.c_cc[VSTART]);
    port->kept.XoffChar = char(t.c_cc[VSTOP]);
    int32_t handle = Handle_Insert(port);
    Set_Last_Error(ERROR_SUCCESS);
    return handle;
}

bool Get_Comm_State(int32_t handle, DCB& dcb) {
    auto port = Comm_Port_Of<Comm_Object>(handle);
    if (!port) return false;
    Termios2 t{};
    if (!Get_Termios(port->fd, t)) return false;
    std::lock_guard<std::mutex> guard(port->lock);
    DCB out = port->kept;
    out.DCBlength = sizeof(DCB);
    out.fBinary = 1;
    tcflag_t code = t.c_cflag & Cbaud;
    out.BaudRate = t.c_ospeed;
    if (code != Bother)
        for (const auto& b : Baud_Codes)
            if (b.code == code) out.BaudRate = b.rate;
    switch (t.c_cflag & CSIZE) {
        case CS5:
            out.ByteSize = 5;
            break;
        case CS6:
            out.ByteSize = 6;
            break;
        case CS7:
            out.ByteSize = 7;
            break;
        default:
            out.ByteSize = 8;
            break;
    }
    if (!(t.c_cflag & PARENB))
        out.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        out.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        out.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    // termios has one two-stop-bit flag; one and a half reads back as it was set.
    if (!(t.c_cflag & CSTOPB))
        out.StopBits = ONESTOPBIT;
    else if (out.StopBits != ONE5STOPBITS)
        out.StopBits = TWOSTOPBITS;
    out.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    out.fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    if (t.c_cflag & CRTSCTS)
        out.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (out.fRtsControl == RTS_CONTROL_HANDSHAKE)
        out.fRtsControl = RTS_CONTROL_ENABLE;
    out.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    out.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    out.XonChar = char(t.c_cc[VSTART]);
    out.XoffChar = char(t.c_cc[VSTOP]);
    dcb = out;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Set_Comm_State(int32_t handle, const DCB& dcb) {
    auto port = Comm_Port_Of<Comm_Object>(handle);
    if (!port) return false;
    if (!Comm_State_Usable(dcb)) return false;
    Termios2 t{};
    if (!Get_Termios(port->fd, t)) return false;
    // A pseudo-terminal has no wire, so "drained" cannot be waited for: its other end, when
    // held in this process, takes the bytes at once (Pty_Peer_Read).
    if (port->is_pty && t.c_ospeed != dcb.BaudRate && !Pty_Peer_Read(port->device))
        Let_Last_Write_Settle(*port);
    tcflag_t code = Bother;
    for (const auto& b : Baud_Codes)
        if (b.rate == dcb.BaudRate) code = b.code;
    t.c_cflag &= ~(Cbaud | Cibaud | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= code | (code << Ibshift);
    t.c_ispeed = t.c_ospeed = dcb.BaudRate;
    static constexpr tcflag_t Sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= Sizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
        case ODDPARITY:
            t.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            t.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            t.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case SPACEPARITY:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~tcflag_t(INPCK | IXON | IXOFF);
    if (dcb.fParity) t.c_iflag |= INPCK;
    if (dcb.fOutX) t.c_iflag |= IXON;
    if (dcb.fInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = cc_t(dcb.XonChar);
    t.c_cc[VSTOP] = cc_t(dcb.XoffChar);
    // TCSETSW2: the new rate applies after what is already written has gone out, so a rate
    // change never garbles the command before it.
    if (ioctl(port->fd, Tc_Setsw2, &t) != 0) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    std::lock_guard<std::mutex> guard(port->lock);
    if (dcb.fDtrControl != port->kept.fDtrControl)
        Set_Modem_Line(port->fd, TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    if (dcb.fRtsControl != port->kept.fRtsControl && dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
        Set_Modem_Line(port->fd, TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE);
    port->kept = dcb;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

namespace serial_os {

bool Clear_Error(Comm_Port* base, uint32_t* errors, COMSTAT* status, bool output_count) {
    auto* port = static_cast<Comm_Object*>(base);
    if (!port) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    if (errors) *errors = 0;
    if (status) *status = COMSTAT{};
    // One call gives the count and tells a hang-up (EIO once the tty has been hung up): a
    // read queries ten times and every write's pre-read ten more, so each call counts.
    int waiting = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) != 0) {
        if (errno == EIO)
            Mark_Hung_Up(*port);
        else if (errno == EBADF)
            Set_Last_Error(ERROR_INVALID_HANDLE);
        else
            Set_Last_Error_From_Errno(errno);
        return false;
    }
    if (status) {
        status->cbInQue = uint32_t(waiting > 0 ? waiting : 0);
        // The output count only for a caller that asks for it; a read's queries do not.
        int queued = 0;
        if (output_count && port->output_queued && ioctl(port->fd, TIOCOUTQ, &queued) == 0) {
            status->cbOutQue = uint32_t(queued);
            if (queued == 0) port->output_queued = false;
        }
    }
    if (errors) {
        // Line errors since the last query, where the driver counts them (real UARTs).
        serial_icounter_struct now{};
        bool counted = !port->counts_unsupported && ioctl(port->fd, TIOCGICOUNT, &now) == 0;
        if (!counted && (errno == ENOTTY || errno == EINVAL)) port->counts_unsupported = true;
        if (counted) {
            std::lock_guard<std::mutex> guard(port->lock);
            if (port->counts_known) {
                const auto& was = port->counts;
                if (now.buf_overrun != was.buf_overrun) *errors |= CE_RXOVER;
                if (now.overrun != was.overrun) *errors |= CE_OVERRUN;
                if (now.parity != was.parity) *errors |= CE_RXPARITY;
                if (now.frame != was.frame) *errors |= CE_FRAME;
                if (now.brk != was.brk) *errors |= CE_BREAK;
            }
            port->counts = now;
            port->counts_known = true;
        }
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Read(Comm_Port* port, std::string& out, uint32_t capacity) {
    out.clear();
    if (!port) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    if (capacity == 0) {
        Set_Last_Error(ERROR_SUCCESS);
        return true;
    }
    out.resize(capacity);
    ssize_t n;
    do {
        n = read(port->fd, out.data(), capacity);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        out.clear();
        if (errno == EAGAIN) {
            Set_Last_Error(ERROR_SUCCESS);
            return true;
        }
        if (errno == EIO)
            Mark_Hung_Up(*port);
        else
            Set_Last_Error_From_Errno(errno);
        return false;
    }
    out.resize(size_t(n));
    if (n == 0 && Poll_Hung_Up(port->fd)) {
        Mark_Hung_Up(*port);
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Catch_Up_Peer(Comm_Port& base) {
    auto* port = static_cast<Comm_Object*>(&base);
    if (!port->is_pty || !Pty_Peer_Read(port->device)) return false;
    // What the other end wrote reaches the line's input on the kernel's own time; a look
    // with poll() waits for that hand-over (a byte count would not).
    pollfd look{port->fd, POLLIN, 0};
    poll(&look, 1, 0);
    return true;
}

bool Send_Break(Comm_Port& base) {
    auto* port = static_cast<Comm_Object*>(&base);
    // The kernel takes a break on a pseudo-terminal and does nothing with it: say so.
    if (port->is_pty) {
        Set_Last_Error(ERROR_NOT_SUPPORTED);
        return false;
    }
    if (tcsendbreak(port->fd, 0) != 0) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Output_Left(Comm_Port& base, int64_t& left);

bool Write(Comm_Port* base, const std::string& data, uint32_t* written, uint32_t timeout_ms,
           uint32_t stall_ms) {
    if (written) *written = 0;
    auto* port = static_cast<Comm_Object*>(base);
    if (!port) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return false;
    }
    if (port->is_pty && port->peer_base == -1 && !data.empty()) {
        int64_t taken = -1;
        port->peer_base = Pty_Peer_Read(port->device, &taken) && taken >= 0 ? taken : -2;
    }
    const int64_t end = Tick_Count_Ms() + timeout_ms;
    int64_t deadline = std::min<int64_t>(end, Tick_Count_Ms() + stall_ms);
    size_t done = 0;
    bool waited = false;
    while (done < data.size()) {
        port->output_queued = true;
        ssize_t n = write(port->fd, data.data() + done, data.size() - done);
        if (n > 0) {
            port->written += n;
            port->last_write_ms = Tick_Count_Ms();
            if (!waited) port->free_write_ms = port->last_write_ms.load();
            deadline = std::min<int64_t>(end, port->last_write_ms + stall_ms);
            done += size_t(n);
            if (written) *written = uint32_t(done);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            if (errno == EIO)
                Mark_Hung_Up(*port);
            else
                Set_Last_Error_From_Errno(errno);
            return false;
        }
        // The driver's queue is full: wait until it takes more, within the bound.
        int64_t left = deadline - Tick_Count_Ms();
        if (left <= 0) {
            port->stalled = true;
            Set_Last_Error(ERROR_TIMEOUT);
            return false;
        }
        waited = true;
        // On a window's thread (a whole file going out) the window works between slices; a
        // line that can tell what its other end took is looked at between them too, so a
        // drain after the write knows since when it has taken nothing.
        const bool pump = Sleep_Hook_Here();
        const bool watch = !port->is_pty || port->peer_base >= 0;
        int64_t slice = left;
        if (pump) slice = std::min<int64_t>(slice, 20);
        if (watch) {
            int64_t queued = 0;
            if (Output_Left(*port, queued)) Note_Output_Left(*port, queued);
            slice = std::min<int64_t>(slice, 100);
        }
        pollfd p{port->fd, POLLOUT, 0};
        int r = poll(&p, 1, int(slice));
        if (r > 0 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLOUT)) {
            Mark_Hung_Up(*port);
            return false;
        }
        if (r == 0 && pump) Sleep_Ms(0);
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Output_Left(Comm_Port& base, int64_t& left) {
    auto* port = static_cast<Comm_Object*>(&base);
    left = 0;
    if (port->hung_up || Poll_Hung_Up(port->fd)) {
        Mark_Hung_Up(*port);
        return false;
    }
    if (port->is_pty) {
        int64_t taken = -1;
        if (port->peer_base < 0 || !Pty_Peer_Read(port->device, &taken) || taken < 0) {
            // Nobody of ours reads the other end: there is no telling, and nothing to wait for.
            Set_Last_Error(ERROR_SUCCESS);
            return true;
        }
        left = std::max<int64_t>(0, port->written - (taken - port->peer_base));
        Set_Last_Error(ERROR_SUCCESS);
        return true;
    }
    int queued = 0;
    if (ioctl(port->fd, TIOCOUTQ, &queued) != 0) {
        if (errno == EIO)
            Mark_Hung_Up(*port);
        else
            Set_Last_Error_From_Errno(errno);
        return false;
    }
    left = queued;
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

Comm_Wait Wait(Comm_Port& base, const Wake_Event* wake, uint32_t timeout_ms) {
    auto* port = static_cast<Comm_Object*>(&base);
    int64_t deadline = timeout_ms == MAXDWORD ? -1 : Tick_Count_Ms() + timeout_ms;
    int empty_wakes = 0;
    bool peer_asked = false;
    for (;;) {
        pollfd fds[2] = {{port->fd, POLLIN, 0}, {wake ? wake->fd : -1, POLLIN, 0}};
        int wait = -1;
        if (deadline >= 0) wait = int(std::max<int64_t>(0, deadline - Tick_Count_Ms()));
        int r = poll(fds, wake ? 2 : 1, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            Set_Last_Error_From_Errno(errno);
            return Comm_Wait::Failed;
        }
        if (r == 0) {
            // A pseudo-terminal has no wire: its other end (a simulator of this process or
            // another) may just not have run yet on a busy machine. Once it has taken what
            // was written and put out its answers, the line is looked at once more.
            if (port->is_pty && !peer_asked && timeout_ms > 0) {
                peer_asked = true;
                if (Pty_Peer_Read(port->device)) continue;
            }
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Timeout;
        }
        if (wake && (fds[1].revents & POLLIN)) {
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Woken;
        }
        short got = fds[0].revents;
        // Readable and not hung up: the line holds at least one byte (raw mode, VMIN 0).
        if ((got & POLLIN) && !(got & (POLLHUP | POLLERR | POLLNVAL))) {
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Input;
        }
        int waiting = 0;
        bool counted = ioctl(port->fd, FIONREAD, &waiting) == 0;
        if (counted && waiting > 0) {
            Set_Last_Error(ERROR_SUCCESS);
            return Comm_Wait::Input;
        }
        if ((got & (POLLHUP | POLLERR | POLLNVAL)) || (!counted && errno == EIO)) {
            Mark_Hung_Up(*port);
            return Comm_Wait::Hung_Up;
        }
        // Readable yet nothing counted: another reader took the bytes first; wait again.
        // Should a driver keep reporting readable with nothing to read, back off rather
        // than spin.
        if (++empty_wakes > 100) Sleep_Ms(1);
    }
}

}  // namespace serial_os

int32_t Create_Wake_Event() {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        Set_Last_Error_From_Errno(errno);
        return INVALID_HANDLE_VALUE;
    }
    auto event = std::make_shared<Wake_Event>();
    event->fd = fd;
    Set_Last_Error(ERROR_SUCCESS);
    return Handle_Insert(event);
}

bool Set_Wake_Event(int32_t event) {
    auto object = Wake_Event_Of<Wake_Event>(event);
    if (!object) return false;
    uint64_t one = 1;
    if (write(object->fd, &one, sizeof one) != sizeof one && errno != EAGAIN) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Reset_Wake_Event(int32_t event) {
    auto object = Wake_Event_Of<Wake_Event>(event);
    if (!object) return false;
    uint64_t count = 0;
    if (read(object->fd, &count, sizeof count) < 0 && errno != EAGAIN) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

}  // namespace kdx::platform
