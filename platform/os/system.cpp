#include "platform/os/system.h"
#include "platform/os/path.h"

#include <limits.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/os/error.h"
#include "platform/os/system_os.h"

namespace kdx::platform {

int64_t Query_Performance_Counter() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t Query_Performance_Frequency() {
    return 1000000000;
}

int64_t Tick_Count_Ms() {
    return Query_Performance_Counter() / 1000000;
}

void Sleep_Ns(int64_t nanoseconds) {
    if (nanoseconds <= 0) {
        sched_yield();
        return;
    }
    timespec ts{time_t(nanoseconds / 1000000000), long(nanoseconds % 1000000000)};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

std::string Module_File_Name() {
    std::vector<char> buf(PATH_MAX);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) {
        Set_Last_Error_From_Errno(errno);
        return std::string();
    }
    return std::string(buf.data(), size_t(n));
}

bool Make_Directories(const std::string& path) {
    std::string part;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        part = path.substr(0, pos);
        if (part.empty()) continue;
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            Set_Last_Error_From_Errno(errno);
            return false;
        }
    }
    // Something else already standing at the name (a file, a pipe) is no folder.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        Set_Last_Error_From_Errno(ENOTDIR);
        return false;
    }
    return true;
}

namespace {
thread_local std::string data_folder_error;
}

std::string Module_Data_Folder_Error() {
    return data_folder_error;
}

std::string Module_Data_File_Name() {
    data_folder_error.clear();
    std::string exe = Module_File_Name();
    size_t slash = exe.find_last_of('/');
    if (slash == std::string::npos) return exe;
    std::string folder = exe.substr(0, slash + 1);
    struct stat st {};
    bool installed = stat((folder + "../share/kdx").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    // An installed program's folder belongs to the system (writable only to root, who
    // should not litter it either): its files go to the user's own folder, as Windows moves
    // a program's writes under Program Files into the user's VirtualStore.
    if (!installed && access(folder.c_str(), W_OK) == 0) return exe;
    std::string data = Environment("XDG_DATA_HOME");
    if (data.empty() || data[0] != '/') {
        std::string home = Environment("HOME");
        if (home.empty()) {
            data_folder_error = "no data folder: neither XDG_DATA_HOME nor HOME is set";
            Set_Last_Error(ERROR_PATH_NOT_FOUND);
            return std::string();
        }
        data = home + "/.local/share";
    }
    std::string dir = data + "/kdx";
    uint32_t kept = Get_Last_Error();
    if (!Make_Directories(dir)) {
        data_folder_error =
            "cannot create the data folder " + dir + ": " + System_Message_Text(Get_Last_Error());
        return std::string();
    }
    Set_Last_Error(kept);
    return dir + exe.substr(slash);
}

char Path_Separator() {
    return '/';
}

std::string Current_Directory() {
    std::vector<char> buf(PATH_MAX);
    if (!getcwd(buf.data(), buf.size())) {
        Set_Last_Error_From_Errno(errno);
        return std::string();
    }
    return std::string(buf.data());
}

bool Set_Current_Directory(const std::string& path) {
    if (chdir(path.c_str()) != 0) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    return true;
}

System_Time Get_Local_Time() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &local);
    return System_Time{uint16_t(local.tm_year + 1900), uint16_t(local.tm_mon + 1),
                       uint16_t(local.tm_wday),        uint16_t(local.tm_mday),
                       uint16_t(local.tm_hour),        uint16_t(local.tm_min),
                       uint16_t(local.tm_sec),         uint16_t(tv.tv_usec / 1000)};
}

std::string Environment(const char* name) {
    const char* value = getenv(name);
    return value ? std::string(value) : std::string();
}

void Exit_Process(uint32_t code) {
    std::fflush(nullptr);
    ::_exit(int(code));
}

void Fine_Thread_Timers() {
    // The smallest slack the kernel takes; 0 would mean "the process default" again.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

}  // namespace kdx::platform
