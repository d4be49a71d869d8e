/* Sending files to the controller, the scrambled form of program files, the open port's
 * part of the diagnostic report, and the progress and stop requests of long operations. */
#pragma once
#include <stdint.h>

#include "kdx/export.h"

/* Called between two commands of a long operation, on its thread: what it does, the command
 * going out next ("" at the end), commands done and in all. */
typedef void (*KDX_Progress_Callback)(const char* operation, const char* item, int64_t done,
                                      int64_t total, void* user);

/* Sends a file on the open port as the "Send to Device" command does: a ".KDX" file (any case)
 * as a program, field by field; any other file raw, every byte in one write. Returns 1 when
 * it went out whole, 0 when a stop request ended it, -1 when the file cannot be read (nothing
 * is sent; KDX_Send_Failure says why; last error 2, 5, ...), -2 when the port hung up (1167)
 * or stopped taking bytes (1460) part-way (KDX_Send_Failure says at which command and how
 * many bytes went out). With no port open nothing goes out, and it returns 1. */
KDX_API int32_t KDX_Send_File(const char* path);
/* Why the last send or program-file conversion on this thread failed ("" when it did not). */
KDX_API const char* KDX_Send_Failure(void);
/* Write out as the scrambled (encode) or plain (decode) form of in; 1 done, 0 failed (an
 * existing out is then left as it was; KDX_Send_Failure says why). */
KDX_API int32_t KDX_Program_File_Encode(const char* in, const char* out);
KDX_API int32_t KDX_Program_File_Decode(const char* in, const char* out);
/* Installs the progress callback for the whole process (NULL removes it); returns 1. */
KDX_API int32_t KDX_Set_Progress_Callback(KDX_Progress_Callback callback, void* user);
/* Ends the running long operation after its current command; safe in a signal handler.
 * Returns 1. */
KDX_API int32_t KDX_Request_Stop(void);
/* Writes the keys of the port of Serial_Port_State ("Port Type:", "PortNum:", "Device:" after
 * a status query, "Num of Axis:") into its block of the diagnostic report name (in the current
 * directory); returns the keys written, 0 to 4 (0 with no port open). */
KDX_API int32_t KDX_Report_Port_Keys(const char* name);
