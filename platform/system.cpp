#include "platform/system.h"

#include <limits.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/error.h"

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

void Sleep_Ms(uint32_t milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec ts{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000};
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
