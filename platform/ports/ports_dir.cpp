#include "platform/ports/ports_dir.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/os/error.h"
#include "platform/os/system.h"

namespace kdx::platform {

namespace {

// "COM12" -> 12; 0 for anything else (COM0, COM05, COM5x).
int32_t Com_Number(const char* name) {
    if (name[0] != 'C' || name[1] != 'O' || name[2] != 'M') return 0;
    const char* p = name + 3;
    if (*p < '1' || *p > '9') return 0;
    int64_t n = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + (*p - '0');
        if (n > 0x7fffffff) return 0;
    }
    return int32_t(n);
}

std::string Entry_Path(int32_t number) {
    return Ports_Directory() + "/COM" + std::to_string(number);
}

// The folder is not to be trusted: last error 5, nothing read or written there.
bool Refused() {
    if (Ports_Directory_Problem().empty()) return false;
    Set_Last_Error(ERROR_ACCESS_DENIED);
    return true;
}

}  // namespace

std::string Private_Folder_Problem(const std::string& dir) {
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) return errno == ENOENT ? "" : "cannot be checked";
    if (S_ISLNK(st.st_mode)) return "is a symbolic link";
    if (!S_ISDIR(st.st_mode)) return "is not a folder";
    if (st.st_uid != getuid())
        return "belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    // Earlier versions made the folder with the usual 0755: nobody else could put anything
    // into it, so it is made private and used. One others may write to is not.
    if ((st.st_mode & 07777) != 0700 && !(st.st_mode & 07022) && chmod(dir.c_str(), 0700) == 0)
        return "";
    if ((st.st_mode & 07777) != 0700) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return std::string("has mode ") + mode + ", not 0700";
    }
    return "";
}

std::string Ports_Directory_Problem() {
    // Only the shared fallback under /tmp can have been made by someone else.
    if (!Environment("KDX_PORTS").empty() || !Environment("XDG_RUNTIME_DIR").empty()) return "";
    std::string dir = Ports_Directory();
    std::string parent = dir.substr(0, dir.rfind('/'));
    for (const std::string& folder : {parent, dir}) {
        std::string why = Private_Folder_Problem(folder);
        if (!why.empty()) return "the ports folder " + dir + " is not used: " + folder + " " + why;
    }
    return "";
}

std::string Ports_Directory() {
    std::string dir = Environment("KDX_PORTS");
    if (dir.empty()) {
        std::string runtime = Environment("XDG_RUNTIME_DIR");
        if (!runtime.empty())
            dir = runtime + "/kdx/ports";
        else
            dir = "/tmp/kdx-" + std::to_string(getuid()) + "/ports";
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

std::string Ports_Dir_Device(int32_t number) {
    if (Refused()) return std::string();
    if (number <= 0) {
        Set_Last_Error(ERROR_FILE_NOT_FOUND);
        return std::string();
    }
    std::string entry = Entry_Path(number);
    char buf[PATH_MAX];
    ssize_t n = readlink(entry.c_str(), buf, sizeof buf - 1);
    if (n < 0) {
        if (errno != EINVAL) {
            Set_Last_Error_From_Errno(errno);
            return std::string();
        }
        // A plain file or device node placed here by hand: the entry itself is the device.
        struct stat st {};
        if (stat(entry.c_str(), &st) != 0) {
            Set_Last_Error_From_Errno(errno);
            return std::string();
        }
        Set_Last_Error(ERROR_SUCCESS);
        return entry;
    }
    std::string target(buf, size_t(n));
    if (!target.empty() && target[0] != '/') target = Ports_Directory() + "/" + target;
    Set_Last_Error(ERROR_SUCCESS);
    return target;
}

std::vector<std::pair<int32_t, std::string>> Ports_Dir_List() {
    std::vector<std::pair<int32_t, std::string>> list;
    if (Refused()) return list;
    DIR* dir = opendir(Ports_Directory().c_str());
    if (!dir) {
        Set_Last_Error_From_Errno(errno);
        return list;
    }
    while (dirent* entry = readdir(dir)) {
        int32_t number = Com_Number(entry->d_name);
        if (number == 0) continue;
        std::string device = Ports_Dir_Device(number);
        if (!device.empty()) list.emplace_back(number, device);
    }
    closedir(dir);
    std::sort(list.begin(), list.end());
    Set_Last_Error(list.empty() ? ERROR_NO_MORE_ITEMS : ERROR_SUCCESS);
    return list;
}

bool Ports_Dir_Register(int32_t number, const std::string& device) {
    if (number <= 0 || device.empty()) {
        Set_Last_Error(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (Refused() || !Make_Directories(Ports_Directory())) return false;
    // Made just now by someone else, between the check and the making?
    if (Refused()) return false;
    std::string entry = Entry_Path(number);
    // Build the link beside the entry and rename it over, so a reader never sees no entry.
    std::string temp = entry + ".new." + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(device.c_str(), temp.c_str()) != 0) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    if (rename(temp.c_str(), entry.c_str()) != 0) {
        Set_Last_Error_From_Errno(errno);
        unlink(temp.c_str());
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Ports_Dir_Unregister(int32_t number) {
    if (number <= 0) {
        Set_Last_Error(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (Refused()) return false;
    if (unlink(Entry_Path(number).c_str()) != 0 && errno != ENOENT) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Ports_Dir_Unregister_Device(int32_t number, const std::string& device) {
    std::string now = Ports_Dir_Device(number);
    if (now.empty() || now != device) {
        Set_Last_Error(ERROR_SUCCESS);
        return true;
    }
    return Ports_Dir_Unregister(number);
}

}  // namespace kdx::platform
