/* The exported procedures of libkdx, each under its own name with C linkage.
 *
 * Conventions: 32-bit numbers and handles are int32_t, by-reference ones int32_t*; texts are
 * const char*, a text the procedure changes is char* with the buffer's capacity; a text
 * result is owned by the library and valid until the next call of the same procedure on the
 * same thread. An optional by-reference echo flag is passed as NULL when omitted.
 *
 * Buffers: a char* with a capacity is read only up to its first zero byte or capacity bytes,
 * whichever comes first, and written back cut to capacity - 1 bytes and always terminated; a
 * NULL buffer or a capacity of 0 or less is an empty text and gets nothing back.
 *
 * Last error: every procedure leaves the calling thread's Win32-style last error as its last
 * system call left it (most set 0 on success): 2 file not found, 3 path not found, 5 access
 * denied, 6 invalid handle, 87 invalid parameter, 206 name too long, 259 no more items, ...
 * ErrCheck_Last_Error reads it, and the debug console shows it on an "Error:" line; the codes
 * each procedure sets of its own are named at its declaration.
 *
 * No procedure lets an exception out: one that fails inside the library returns its usual
 * failure value ("", 0 or -1 as stated), leaves the last error 8 (out of memory) or 1359
 * (internal error) and writes "Error: <code> - <procedure>: <what>" on the debug console. */
#pragma once
#include <stdint.h>

#include "kdx/export.h"
#include "kdx/kdx_enum.h"
#include "kdx/kdx_files.h"
#include "kdx/kdx_protocol.h"
#include "kdx/kdx_send.h"
#include "kdx/kdx_serial.h"
#include "kdx/kdx_trace.h"
