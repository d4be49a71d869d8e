#include "platform/os/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/os/error.h"
#include "platform/os/system.h"
#include "platform/ports/ports_dir.h"

namespace kdx::platform {

const std::vector<std::string> Desktop_Editors = {
    "gnome-text-editor", "gedit",   "kate",  "kwrite", "mousepad", "pluma", "xed",
    "featherpad",        "leafpad", "geany",
};

namespace {

bool Executable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The folder for documents made only to be opened: $XDG_RUNTIME_DIR/kdx, else /tmp/kdx-<uid>.
std::string Scratch_Folder() {
    std::string runtime = Environment("XDG_RUNTIME_DIR");
    std::string dir = runtime.empty() ? "/tmp/kdx-" + std::to_string(getuid()) : runtime + "/kdx";
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        Set_Last_Error_From_Errno(errno);
        return std::string();
    }
    // Under /tmp another user may have made the folder first: theirs is not used.
    if (!Private_Folder_Problem(dir).empty()) {
        Set_Last_Error(ERROR_ACCESS_DENIED);
        return std::string();
    }
    return dir;
}

// A new empty text file ("" with the last error set when none can be made).
std::string New_Empty_Text_File() {
    std::string dir = Scratch_Folder();
    if (dir.empty()) return std::string();
    std::string path = dir + "/Untitled-XXXXXX.txt";
    int fd = mkstemps(path.data(), 4);
    if (fd < 0) {
        Set_Last_Error_From_Errno(errno);
        return std::string();
    }
    close(fd);
    return path;
}

}  // namespace

std::string Find_Program(const std::string& name) {
    if (name.empty()) return std::string();
    if (name.find('/') != std::string::npos) return Executable(name) ? name : std::string();
    std::string path = Environment("PATH");
    if (path.empty()) path = "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t colon = path.find(':', start);
        if (colon == std::string::npos) colon = path.size();
        std::string dir = path.substr(start, colon - start);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + name;
        if (Executable(candidate)) return candidate;
        start = colon + 1;
    }
    return std::string();
}

namespace {

struct Watch {
    pid_t middle;
    int fd;  // the middle process writes the program's exit status here
};
std::mutex watches_lock;
std::map<int64_t, Watch> watches;
int64_t next_watch = 1;

int64_t Monotonic_Ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Starts the program; with watch_ms the middle process stays for that long, waiting for the
// program, and writes its status into a pipe whose reading end *watch_fd receives.
bool Start(const std::vector<std::string>& argv, uint32_t watch_ms, pid_t* middle, int* watch_fd) {
    if (argv.empty()) {
        Set_Last_Error(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string program = Find_Program(argv[0]);
    if (program.empty()) {
        Set_Last_Error(argv[0].find('/') != std::string::npos && access(argv[0].c_str(), F_OK) == 0
                           ? ERROR_ACCESS_DENIED
                           : ERROR_FILE_NOT_FOUND);
        return false;
    }
    // Everything the child needs is made before the fork: after it only async-signal-safe
    // calls may run (other threads may hold the allocator's locks).
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    int status_pipe[2] = {-1, -1};
    if (watch_ms > 0 && pipe2(status_pipe, O_CLOEXEC) != 0) {
        Set_Last_Error_From_Errno(errno);
        close(report[0]);
        close(report[1]);
        return false;
    }
    const int64_t watch_end = Monotonic_Ms() + watch_ms;
    pid_t child = fork();
    if (child < 0) {
        Set_Last_Error_From_Errno(errno);
        for (int fd : {report[0], report[1], status_pipe[0], status_pipe[1]})
            if (fd >= 0) close(fd);
        return false;
    }
    if (child == 0) {
        // The middle process starts the program and ends (at once, or after the watch), so
        // the program is adopted by init (or the session's subreaper), which reaps it: never
        // our zombie.
        close(report[0]);
        if (status_pipe[0] >= 0) close(status_pipe[0]);
        pid_t grandchild = fork();
        if (grandchild < 0) {
            int err = errno;
            (void)!write(report[1], &err, sizeof err);
            _exit(1);
        }
        if (grandchild > 0) {
            if (watch_ms == 0) _exit(0);
            close(report[1]);  // the program's copy alone tells of its exec
            while (Monotonic_Ms() < watch_end) {
                int status = 0;
                pid_t done = waitpid(grandchild, &status, WNOHANG);
                if (done == grandchild) {
                    int code = WIFEXITED(status)     ? WEXITSTATUS(status)
                               : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                                     : 0;
                    (void)!write(status_pipe[1], &code, sizeof code);
                    _exit(0);
                }
                if (done < 0 && errno != EINTR) _exit(0);
                timespec pause{0, 20 * 1000 * 1000};
                nanosleep(&pause, nullptr);
            }
            _exit(0);
        }
        if (status_pipe[1] >= 0) close(status_pipe[1]);
        setsid();
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            if (null != STDIN_FILENO) close(null);
        }
        execv(program.c_str(), args.data());
        int err = errno;
        (void)!write(report[1], &err, sizeof err);
        _exit(127);
    }
    close(report[1]);
    if (status_pipe[1] >= 0) close(status_pipe[1]);
    int status = 0;
    if (watch_ms == 0)
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    // The pipe closes on a successful exec (close-on-exec) or carries the exec's errno.
    int err = 0;
    ssize_t n;
    while ((n = read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (n == ssize_t(sizeof err)) {
        if (watch_ms > 0) {
            close(status_pipe[0]);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }
        Set_Last_Error_From_Errno(err);
        return false;
    }
    if (middle) *middle = child;
    if (watch_fd) *watch_fd = status_pipe[0];
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

}  // namespace

bool Start_Program(const std::vector<std::string>& argv) {
    return Start(argv, 0, nullptr, nullptr);
}

int64_t Start_Program_Watched(const std::vector<std::string>& argv, uint32_t watch_ms) {
    pid_t middle = 0;
    int fd = -1;
    if (!Start(argv, watch_ms == 0 ? 1 : watch_ms, &middle, &fd)) return 0;
    std::lock_guard<std::mutex> guard(watches_lock);
    int64_t id = next_watch++;
    watches[id] = Watch{middle, fd};
    return id;
}

Watch_State Program_Watch_Poll(int64_t watch, int32_t& code) {
    code = 0;
    std::lock_guard<std::mutex> guard(watches_lock);
    auto it = watches.find(watch);
    if (it == watches.end()) return Watch_State::Running;
    pollfd p{it->second.fd, POLLIN, 0};
    int ready;
    while ((ready = poll(&p, 1, 0)) < 0 && errno == EINTR) {
    }
    if (ready == 0) return Watch_State::Watching;
    int status = 0;
    ssize_t n;
    while ((n = read(it->second.fd, &status, sizeof status)) < 0 && errno == EINTR) {
    }
    // The middle process has written the status or ended: either way it is reaped now.
    close(it->second.fd);
    int ignored = 0;
    while (waitpid(it->second.middle, &ignored, 0) < 0 && errno == EINTR) {
    }
    watches.erase(it);
    if (n != ssize_t(sizeof status)) return Watch_State::Running;
    code = status;
    return Watch_State::Exited;
}

bool Open_Text_Editor(std::string* how, int64_t* watch) {
    std::vector<std::string> command;
    for (const char* variable : {"KDX_EDITOR", "VISUAL"}) {
        std::string value = Environment(variable);
        if (value.find_first_not_of(" \t") == std::string::npos) continue;
        // A path with blanks in it names the program whole; otherwise blanks part arguments.
        command = Executable(value) ? std::vector<std::string>{value} : Words(value);
        break;
    }
    if (command.empty()) {
        for (const auto& editor : Desktop_Editors) {
            if (!Find_Program(editor).empty()) {
                // Started without a file, the editor opens an untitled document of its own,
                // which it saves wherever the user chooses.
                command = {editor};
                break;
            }
        }
    }
    if (command.empty()) {
        // xdg-open needs a file: a new empty one, opened by the desktop's editor for text.
        std::string document = New_Empty_Text_File();
        if (document.empty()) {
            if (how) *how = "xdg-open";
            return false;
        }
        command = {"xdg-open", document};
    }
    if (how) {
        how->clear();
        for (const auto& word : command) *how += (how->empty() ? "" : " ") + word;
    }
    if (!watch) return Start_Program(command);
    *watch = Start_Program_Watched(command, Editor_Watch_Ms);
    return *watch != 0;
}

}  // namespace kdx::platform
