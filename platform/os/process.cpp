#include "platform/os/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

bool Start_Program(const std::vector<std::string>& argv) {
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
    pid_t child = fork();
    if (child < 0) {
        Set_Last_Error_From_Errno(errno);
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (child == 0) {
        // The middle process starts the program and ends at once, so the program is
        // adopted by init (or the session's subreaper), which reaps it: never our zombie.
        close(report[0]);
        pid_t grandchild = fork();
        if (grandchild < 0) {
            int err = errno;
            (void)!write(report[1], &err, sizeof err);
            _exit(1);
        }
        if (grandchild > 0) _exit(0);
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
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes on a successful exec (close-on-exec) or carries the exec's errno.
    int err = 0;
    ssize_t n;
    while ((n = read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (n == ssize_t(sizeof err)) {
        Set_Last_Error_From_Errno(err);
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Open_Text_Editor(std::string* how) {
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
    return Start_Program(command);
}

}  // namespace kdx::platform
