/* Serial ports: the open port's record, its lifecycle, write and read with their echoes, the
 * receive poller, the traffic echo, and the controller's fault queries.
 *
 * A read's result may hold zero bytes; Serial_Port_Read_Length gives its full length.
 * Port calls on a handle that is not open leave the last error 6; a line that went away
 * leaves 1167. */
#pragma once
#include <stdint.h>

#include "kdx/export.h"

/* The port's time-outs in milliseconds, as Serial_Port_Timeouts sets them. */
typedef struct KDX_Comm_Timeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
} KDX_Comm_Timeouts;

/* The open port's record: handle, COM number, name ("COM5", at most 5 characters), rate and
 * the receive poller's handle. */
typedef struct KDX_Serial_Port_State {
    int32_t Handle;
    int32_t Number;
    char Name[6];
    int32_t Baud;
    int32_t Poller;
} KDX_Serial_Port_State;

/* Opens COM *number (1 to 999: its ports-directory entry or udev's node) as an exclusive raw
 * line at *baud 8N1 with non-blocking reads, drains what waits and echoes "COM<n> Open".
 * Returns the handle; 0 for port 0 (nothing tried); -1 on failure with the last error 2 no such
 * port, 5 held or no permission, 50 no serial line, 123 a number out of range. */
KDX_API int32_t Serial_Port_Open(int32_t* number, int32_t* baud);
/* Why the thread's latest Serial_Port_Open failed (KDX_OPEN_OK after a success); *error,
 * when given, gets the Win32-style code behind it. */
enum {
    KDX_OPEN_OK = 0,
    KDX_OPEN_NO_SUCH_PORT = 1,
    KDX_OPEN_HELD = 2, /* another program (or an earlier open) holds the port */
    KDX_OPEN_NO_PERMISSION = 3,
    KDX_OPEN_NOT_SERIAL = 4, /* the name leads to something that is no serial line */
    KDX_OPEN_FAILED = 5      /* any other failure: see *error */
};
KDX_API int32_t Serial_Port_Open_Failure(int32_t* error);
/* Sets the port to *baud 8N1; 1 done, 0 not (last error 6, or 87 for a rate of 0). */
KDX_API int32_t Serial_Port_DCB(int32_t* handle, int32_t* baud);
/* Sets non-blocking reads (ReadIntervalTimeout 0xFFFFFFFF, the others 0) on the port and into
 * *record (may be NULL); 1 done, 0 not (handle -1: nothing tried; last error 6). */
KDX_API int32_t Serial_Port_Timeouts(int32_t* handle, KDX_Comm_Timeouts* record);
/* Drains the input: gives a late byte 10 ms, then returns what waited (echoed as received;
 * "" for handle 0 or -1). */
KDX_API const char* Serial_Port_Clear(int32_t* handle);
/* Stops the port's poller, closes the port (a closed one is no error), echoes "Port Closed" and
 * sets *handle to 0. Returns 0; the last error is 0. */
KDX_API int32_t Serial_Port_Close(int32_t* handle);
/* Tries to open COM *number without setting it up: returns the handle, which the caller
 * closes, or -1 with the last error as for Serial_Port_Open. */
KDX_API int32_t Serial_Port_Guess_Exist(int32_t* number);
/* Reads and echoes what waits, then writes text up to its first zero byte within 5 s; echoes
 * what the driver took unless *echo is given and not 1. Returns what went out: less than text
 * when the line hung up (1167) or stopped taking bytes (1460); "" for handle 0 or -1. */
KDX_API const char* Serial_Port_Write(int32_t* handle, const char* text, const int32_t* echo);
/* Reads what waits (up to 64 KB, zero bytes kept), echoed unless *echo is given and not 1; a
 * "?" in it starts the fault query KDX_Error_Check. "" when nothing waits or no port is open. */
KDX_API const char* Serial_Port_Read(int32_t* handle, const int32_t* echo);
/* The length of the thread's last Serial_Port_Read result, zero bytes included. */
KDX_API int32_t Serial_Port_Read_Length(void);
/* Waits up to timeout_ms for a byte without reading it, waking as soon as one comes: 1 when
 * bytes wait, 0 on time-out, for a port not open (6) or one that hung up (1167). */
KDX_API int32_t Serial_Port_Wait_Input(int32_t handle, uint32_t timeout_ms);
/* Starts the receive poller, which reads and echoes whatever arrives on the port; returns its
 * handle, 0 for a port not open or a thread that did not start. A second start on a port
 * replaces the first. */
KDX_API int32_t Serial_Port_Poller_Start(int32_t handle);
/* Pause returns once the poller is outside any read; pauses nest, each ended by one Resume.
 * Poller 0, an unknown one or a call on the poller's own thread does nothing. Both return 0. */
KDX_API int32_t Serial_Port_Poller_Pause(int32_t poller);
KDX_API int32_t Serial_Port_Poller_Resume(int32_t poller);
/* 1 while the poller's thread runs; 0 once a hang-up has ended it, and for an unknown poller. */
KDX_API int32_t Serial_Port_Poller_Running(int32_t poller);
/* Sends a break on *handle's line (the line held in the break state for about 250 ms): 1 sent;
 * 0 where the line has none to send (a pseudo-terminal, an unusable handle), with
 * Serial_Port_Break_Failure saying why in a few words. */
KDX_API int32_t Serial_Port_Break(int32_t* handle);
KDX_API const char* Serial_Port_Break_Failure(void);
/* Names a descriptor (a non-blocking pipe's write end; -1 none) that gets one byte whenever a
 * poller ends or the port log stops on a line it could not write: a terminal sleeps in poll()
 * on it and its input until something happens. */
/* Returns 1. */
KDX_API int32_t Serial_Port_Watch(int32_t fd);
/* Copies the process's Serial_Port_State record out or in (Name cut to 5 characters); 1 done,
 * 0 for a NULL state. */
KDX_API int32_t Serial_Port_State_Get(KDX_Serial_Port_State* state);
KDX_API int32_t Serial_Port_State_Set(const KDX_Serial_Port_State* state);
/* The traffic echo: text as sent (Immediate Send window), as a status line, or as received
 * (Response window), in their colours, to the window, the terminal echo and the open port
 * log. Each returns 0. */
KDX_API int32_t Serial_Port_Echo_Sent(const char* text);
KDX_API int32_t Serial_Port_Echo_Status(const char* text);
KDX_API int32_t Serial_Port_Echo_Received(const char* text);
/* Shows the echo on a file descriptor in ANSI colour (colour 0, or NO_COLOR set: plain text;
 * crlf 1: line breaks as CR LF for a terminal in raw mode); fd -1 stops it. Returns 1. */
KDX_API int32_t Serial_Echo_Terminal(int32_t fd, int32_t colour, int32_t crlf);
/* Lets the terminal echo hold sent text back up to ms milliseconds, so that a reply that follows
 * at once goes out with it in one write (0: nothing held, as a new terminal echo starts). A
 * caller that holds calls Serial_Echo_Terminal_Flush at the time it returns, and with all 1
 * before writing on the descriptor itself. Returns 0 with no terminal echo. */
KDX_API int32_t Serial_Echo_Terminal_Hold(int32_t ms);
/* Shows held sent text whose time has come (all of it with all 1); returns the milliseconds
 * until what is still held is due, -1 when nothing is held. */
KDX_API int32_t Serial_Echo_Terminal_Flush(int32_t all);
/* Options of the terminal echo (after Serial_Echo_Terminal): received lines start with the
 * local time to the millisecond (KDX_ECHO_TIMESTAMPS) or the gap since the last received line
 * (KDX_ECHO_TIMESTAMPS_DELTA); KDX_ECHO_HEX shows sent and received bytes as hex, 16 a line,
 * with their printable text beside; KDX_ECHO_OWN_LINES starts every status line on a line of
 * its own and names control bytes (<EOT>, <ESC>) instead of CHR$(n); KDX_ECHO_MARK_SENT puts sent
 * text on lines of its own starting "> " (for output without colour); KDX_ECHO_HIDE_SENT does
 * not show sent text (the transcript keeps it). With timestamps or marked sent text, received
 * text never shares a line with sent text. copy_fd, when
 * not -1, gets a plain-text transcript: a line per line of traffic, "YYYY-MM-DD hh:mm:ss.mmm",
 * then ">" sent, "<" received or "#" status, then the text. Returns 0 with no terminal echo. */
enum {
    KDX_ECHO_TIMESTAMPS = 1,
    KDX_ECHO_TIMESTAMPS_DELTA = 2,
    KDX_ECHO_HEX = 4,
    KDX_ECHO_OWN_LINES = 8,
    KDX_ECHO_MARK_SENT = 16,
    KDX_ECHO_HIDE_SENT = 32
};
KDX_API int32_t Serial_Echo_Terminal_Options(int32_t flags, int32_t copy_fd);
/* Why the terminal echo's transcript (copy_fd) stopped: a line it could not write whole (a
 * full disk), cut back off so the file ends on its last whole line; nothing more is written to
 * it, and the watch descriptor (Serial_Port_Watch) gets a byte. "" while it is written. */
KDX_API const char* Serial_Echo_Terminal_Copy_Error(void);
/* Shows the program's own line (green) on the terminal echo, on a line of its own, after any
 * held text; also in the transcript. An empty text only ends the line shown when it is not
 * ended. Returns 0 with no terminal echo. */
KDX_API int32_t Serial_Echo_Terminal_Note(const char* text);
/* Opens (on 1) or closes (on 0) the daily port log; returns its file number, 0 when closed. */
KDX_API int32_t Serial_Port_Log_Switch(int32_t on);
/* The ports directory where COM<n> entries are looked up first. */
KDX_API const char* Serial_Ports_Directory(void);
/* Why the ports directory is not used ("" when it is): the shared fallback under /tmp is used
 * only when it and its parent are folders of this user with mode 0700. */
KDX_API const char* Serial_Ports_Directory_Problem(void);
/* The fault queries on *handle: send "K" and "F,getFAc" (or "F,getFc"), not echoed, wait 32 ms
 * and read the reply (echoed). KDX_Error_Check returns its command "F,getFAc", the current
 * one the reply. On a thread already in a fault query they send nothing ("" for the current). */
KDX_API const char* KDX_Error_Check(int32_t* handle);
KDX_API const char* KDX_Current_Error_Check(int32_t* handle);
