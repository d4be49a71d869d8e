// The port log's file name for a moment, as the program would name it in a time zone.
#pragma once
#include <stdlib.h>
#include <time.h>

#include <string>

#include "files/port_log.h"

namespace kdx::test {

// tz: a TZ value such as "UTC0" (null: this process's own zone).
inline std::string Port_Log_Name_At(time_t now, const char* tz = nullptr) {
    const char* was = getenv("TZ");
    const std::string old = was ? was : "";
    if (tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    tm local{};
    localtime_r(&now, &local);
    if (tz) {
        if (was)
            setenv("TZ", old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    return Port_Log_Name("", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

}  // namespace kdx::test
