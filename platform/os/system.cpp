#include "platform/os/system.h"

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
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os/error.h"

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

namespace {

struct Sleep_Hook {
    std::thread::id thread;
    std::function<void(uint32_t)> pump;
};

std::mutex sleep_hook_lock;
std::shared_ptr<const Sleep_Hook> sleep_hook;
// Set while this thread runs its hook: a sleep made by the pumped work sleeps plainly, so
// pumps never nest.
thread_local bool in_sleep_hook = false;

void Plain_Sleep_Ms(uint32_t milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec ts{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

}  // namespace

void Set_Sleep_Hook(std::function<void(uint32_t milliseconds)> hook) {
    std::shared_ptr<const Sleep_Hook> next;
    if (hook)
        next = std::make_shared<const Sleep_Hook>(
            Sleep_Hook{std::this_thread::get_id(), std::move(hook)});
    std::lock_guard<std::mutex> guard(sleep_hook_lock);
    sleep_hook = std::move(next);
}

namespace {

std::shared_ptr<const Sleep_Hook> Hook_Here() {
    if (in_sleep_hook) return nullptr;
    std::lock_guard<std::mutex> guard(sleep_hook_lock);
    if (sleep_hook && sleep_hook->thread == std::this_thread::get_id()) return sleep_hook;
    return nullptr;
}

}  // namespace

bool Sleep_Hook_Here() {
    return Hook_Here() != nullptr;
}

void Sleep_Ms(uint32_t milliseconds) {
    std::shared_ptr<const Sleep_Hook> hook = Hook_Here();
    if (!hook) return Plain_Sleep_Ms(milliseconds);
    int64_t start = Query_Performance_Counter();
    in_sleep_hook = true;
    try {
        hook->pump(milliseconds);
    } catch (...) {
        // A hook that fails still leaves the caller's wait to the plain sleep below.
    }
    in_sleep_hook = false;
    // The caller's timing holds whatever the hook did: the rest of the time is slept here.
    int64_t elapsed_ns = Query_Performance_Counter() - start;
    int64_t wanted_ns = int64_t(milliseconds) * 1000000;
    if (elapsed_ns < wanted_ns) {
        int64_t left = wanted_ns - elapsed_ns;
        timespec ts{time_t(left / 1000000000), long(left % 1000000000)};
        while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
        }
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
