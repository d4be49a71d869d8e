#include "cli/system.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace kdx::cli::sys {

std::tm Local_Time(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

std::string Real_Path(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : std::string();
}

void Set_Environment_Default(const char* name, const char* value) {
    setenv(name, value, 0);
}

char Path_Separator() {
    return '/';
}

std::string Self_Path() {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "kdx-cli";
    return std::string(path, size_t(n));
}

namespace {
sigset_t Stop_Set() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    return stop;
}
}  // namespace

void Hold_Stop_Requests() {
    sigset_t stop = Stop_Set();
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

bool Wait_Stop_Request(int ms) {
    sigset_t stop = Stop_Set();
    timespec wait{ms / 1000, long(ms % 1000) * 1000 * 1000};
    return sigtimedwait(&stop, nullptr, &wait) > 0;
}

int Open_Append(const std::string& path, std::string& problem) {
    int fd = ::open(path.c_str(),
                    O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    int err = errno;
    struct stat st {};
    // A pipe with no reader refuses a non-blocking open (ENXIO, "No such device or address"),
    // one with a reader opens: either way it is no file to keep records in.
    bool fifo = fd < 0 && err == ENXIO && ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
    problem = fifo                  ? "a pipe with no reader: not a regular file"
              : fd < 0              ? (err == ELOOP ? "a link is at that name" : std::strerror(err))
              : fstat(fd, &st) != 0 ? std::strerror(errno)
              : S_ISFIFO(st.st_mode) ? "a pipe: not a regular file"
              : !S_ISREG(st.st_mode) ? "not a regular file"
                                     : "";
    if (!problem.empty() && fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    errno = err;
    return fd;
}

int Create_New(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

int Lock_Exclusive(int fd) {
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

int64_t Size_Of(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? int64_t(st.st_size) : -1;
}

int Write_All(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += size_t(n);
    }
    return 0;
}

int Truncate_To(int fd, int64_t size) {
    while (::ftruncate(fd, off_t(size)) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

bool Same_File(int fd, const std::string& path) {
    struct stat open {
    }, named{};
    return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

int Make_Folders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

bool Spawn(const std::vector<std::string>& args, Child_Process& child) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    pid_t pid = 0;
    int e = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (e != 0) {
        ::close(fds[0]);
        return false;
    }
    child.fd = fds[0];
    child.id = pid;
    return true;
}

int Wait_Readable(const std::vector<int>& fds, int timeout_ms) {
    std::vector<pollfd> polled;
    std::vector<int> index;
    for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i] >= 0) {
            polled.push_back({fds[i], POLLIN, 0});
            index.push_back(int(i));
        }
    if (polled.empty()) return -1;
    for (;;) {
        int n = ::poll(polled.data(), polled.size(), timeout_ms);
        if (n == 0) return -2;
        if (n < 0) continue;
        for (size_t i = 0; i < polled.size(); ++i)
            if (polled[i].revents) return index[i];
    }
}

int Exit_Code(Child_Process& child) {
    int status = 0;
    while (::waitpid(pid_t(child.id), &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

namespace {
termios saved_tty;
bool tty_raw = false;

void Restore_And_Exit(int) {
    Restore_Keys();
    _exit(130);
}
}  // namespace

void Raw_Keys() {
    tcgetattr(STDIN_FILENO, &saved_tty);
    termios raw = saved_tty;
    cfmakeraw(&raw);
    raw.c_oflag |= OPOST | ONLCR;  // our own output keeps its line breaks
    // Every signal that would end us gives the user's tty back first: a kill, and an output
    // whose reader went away (the echo's next write).
    for (int stop : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGPIPE})
        std::signal(stop, Restore_And_Exit);
    tty_raw = true;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

void Restore_Keys() {
    if (tty_raw) tcsetattr(STDIN_FILENO, TCSANOW, &saved_tty);
    tty_raw = false;
}

bool Make_Watch_Pipe(int& read_end, int& write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    read_end = fds[0];
    write_end = fds[1];
    return true;
}

int Wait_Input(int watch, int in, int ms) {
    pollfd p[2] = {{watch, POLLIN, 0}, {in, POLLIN, 0}};
    int r = poll(p, in >= 0 ? 2 : 1, ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (p[0].revents) {
        char drained[64];
        while (read(watch, drained, sizeof drained) > 0) {
        }
    }
    return in >= 0 && p[1].revents ? 1 : 0;
}

int Read_Input(char* buffer, int size) {
    return int(::read(STDIN_FILENO, buffer, size_t(size)));
}

}  // namespace kdx::cli::sys
