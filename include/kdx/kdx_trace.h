/* Debug console, debug log and trace timers. */
#pragma once
#include <stdint.h>

#include "kdx/export.h"

KDX_API int32_t ErrCheck_Debug(int32_t mode);
