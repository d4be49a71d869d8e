// Sending files, program-file conversion, report port keys and the long operations' progress.
#include "api/api_util.h"
#include "protocol/kdx_progress.h"
#include "protocol/kdx_report.h"
#include "protocol/kdx_send.h"

using kdx::api::Guard;
using kdx::api::Text;

namespace {

thread_local std::string send_failure;

int32_t Converted(const kdx::KDX_File_Outcome& outcome) {
    send_failure = outcome.Message;
    return outcome.Ok ? 1 : 0;
}

}  // namespace

KDX_API int32_t KDX_Send_File(const char* path) {
    return Guard<int32_t>(-1, [&] {
        kdx::KDX_Send_Outcome outcome = kdx::KDX_Send_File(Text(path));
        send_failure = outcome.Message;
        switch (outcome.Status) {
            case kdx::KDX_Send_Status::Sent:
                return 1;
            case kdx::KDX_Send_Status::Stopped:
                return 0;
            case kdx::KDX_Send_Status::Failed:
                return -2;
            default:
                return -1;
        }
    });
}

KDX_API const char* KDX_Send_Failure(void) {
    return send_failure.c_str();
}

KDX_API int32_t KDX_Program_File_Encode(const char* in, const char* out) {
    return Guard<int32_t>(
        0, [&] { return Converted(kdx::KDX_Program_File_Encode(Text(in), Text(out))); });
}

KDX_API int32_t KDX_Program_File_Decode(const char* in, const char* out) {
    return Guard<int32_t>(
        0, [&] { return Converted(kdx::KDX_Program_File_Decode(Text(in), Text(out))); });
}

KDX_API int32_t KDX_Set_Progress_Callback(KDX_Progress_Callback callback, void* user) {
    return Guard<int32_t>(0, [&] {
        if (!callback) {
            kdx::KDX_Set_Progress_Hook(nullptr);
        } else {
            kdx::KDX_Set_Progress_Hook([callback, user](const kdx::KDX_Progress& p) {
                callback(p.Operation.c_str(), p.Item.c_str(), p.Done, p.Total, user);
            });
        }
        return 1;
    });
}

KDX_API int32_t KDX_Request_Stop(void) {
    kdx::KDX_Request_Stop();
    return 1;
}

KDX_API int32_t KDX_Report_Port_Keys(const char* name) {
    return Guard<int32_t>(0, [&] { return kdx::KDX_Report_Port_Keys(Text(name)); });
}
