/* Debug console, debug log and trace timers. Nothing is written while the console is closed;
 * what is written goes to the console and the debug log alike. */
#pragma once
#include <stdint.h>

#include "kdx/export.h"

/* The timing record of a traced procedure: counter frequency, start and stop in
 * milliseconds, and their difference. */
typedef struct KDX_Trace_Timer {
    int64_t Frequency;
    int64_t Start;
    int64_t Stop;
    int64_t Elapsed;
} KDX_Trace_Timer;

/* 1 opens the console and a new debug log, 0 closes them; returns the console's handle
 * (0 when closed). Any other mode changes nothing and tells whether the console is open. */
KDX_API int32_t ErrCheck_Debug(int32_t mode);
/* Writes text in a console attribute; with *names == 1 first names its control characters
 * and writes the named text back into text (capacity bytes; only while the console is open).
 * Returns "". */
KDX_API const char* ErrCheck_Print(char* text, int32_t capacity, int32_t attribute,
                                   const int32_t* names);
/* Writes a comment line (attribute 2), indented below the caller. Returns "". */
KDX_API const char* ErrCheck_Comment(const char* text);
/* Writes text unchanged in attribute, then overwrites the caller's text (capacity bytes) with
 * as many spaces; with the console closed it does neither. Returns "". */
KDX_API const char* ErrCheck_Debug_Print(char* text, int32_t capacity, int32_t attribute);
/* Non-zero flag shows the entry and exit lines of callback procedures too (0, the start:
 * hidden). */
KDX_API void ErrCheck_Show_Callbacks(int32_t flag);
/* Keeps the debug level for the process; no trace line depends on it yet. */
KDX_API void ErrCheck_Debug_Level(int32_t level);
/* Makes the console's screen buffer as large as the screen allows (nothing on a console that
 * scrolls freely). Keeps the last error. */
KDX_API void ErrCheck_Console_Size(void);
/* Replaces control characters and spaces by their names ("<$CR>", "<$SPC>", "$NUL" ...) in
 * text (capacity bytes) and returns the named text. */
KDX_API const char* ErrCheck_Control_Names(char* text, int32_t capacity);
/* The timers read the system counter in timer->Frequency ticks a second, which the caller
 * sets (1000000000 here; 0 reads every time as 0). Start and Stop put the counter's time in
 * milliseconds into Start or Stop and return it; Elapsed sets Elapsed = Stop - Start and
 * returns it as text. A NULL timer gives 0 or "". */
KDX_API int64_t ErrCheck_Timer_Start(KDX_Trace_Timer* timer);
KDX_API int64_t ErrCheck_Timer_Stop(KDX_Trace_Timer* timer);
KDX_API const char* ErrCheck_Timer_Elapsed(KDX_Trace_Timer* timer);
/* The pause: waits for a key while the console is open (F9 auto-debug, End ends the
 * program with exit code 3). */
KDX_API void ErrCheck_WaitKey(void);
/* The debug log's file name for an executable path (NULL or "" for the running program). */
KDX_API const char* ErrCheck_Debug_Log_Name(const char* executable_path);
/* Full path of the debug log the latest opening created ("" before the first, and when
 * that opening could not create it). */
KDX_API const char* ErrCheck_Debug_Log_Path(void);
/* Why the latest opening could not create the debug log: its path and what stands there
 * (a symbolic link, a pipe, ...) or the system's message; "" when it was created. */
KDX_API const char* ErrCheck_Debug_Log_Error(void);
/* The calling thread's last error: the Win32-style code the thread's latest procedure left.
 * Reading it changes nothing. */
KDX_API int32_t ErrCheck_Last_Error(void);
