#include "api/api_util.h"
#include "trace/trace.h"

KDX_API int32_t ErrCheck_Debug(int32_t mode) {
    KDX_GUARD(0, return kdx::ErrCheck_Debug(mode);)
}
