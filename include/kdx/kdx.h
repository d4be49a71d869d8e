/* The exported procedures of libkdx, each under its own name with C linkage.
 *
 * Conventions: 32-bit numbers and handles are int32_t, by-reference ones int32_t*; texts are
 * const char*, a text the procedure changes is char* with the buffer's capacity; a text
 * result is owned by the library and valid until the next call of the same procedure on the
 * same thread. An optional by-reference echo flag is passed as NULL when omitted. */
#pragma once
#include <stdint.h>

#include "kdx/export.h"
#include "kdx/kdx_enum.h"
#include "kdx/kdx_files.h"
#include "kdx/kdx_protocol.h"
#include "kdx/kdx_send.h"
#include "kdx/kdx_serial.h"
#include "kdx/kdx_trace.h"
