/* The KDX controller protocol: status, modes, identification, device information, axis
 * identification and the test routines. Handles are passed by reference (int32_t*; NULL
 * counts as no port). A text the procedure changes is char* with its buffer's capacity.
 *
 * An exchange pauses the port's receive poller while it reads its reply. It leaves the last
 * error of its last port call: 0, 1167 the port hung up, 1460 the line stopped taking bytes.
 * Replies are texts as they came, possibly empty: no reply is "", not an error. */
#pragma once
#include <stdint.h>

#include "kdx/export.h"

/* The status query: sends "V" on *handle, waits up to 50 ms for the reply's first byte and
 * returns the reply ("R", "B", "b", "J", "F"; "" when none came or no port is open). */
KDX_API const char* KDX_Verify_Status(int32_t* handle);
/* The mode commands: on line without echo "F,", on line with echo "E,", off line "Q,"
 * (jog/slew mode). Each returns the text that went out ("" with no port open). */
KDX_API const char* KDX_Online_Echo_Off(int32_t* handle);
KDX_API const char* KDX_Online_Echo_On(int32_t* handle);
KDX_API const char* KDX_Offline(int32_t* handle);
/* The identification sweep on the port of Serial_Port_State: "F," then "Q," at 57600, 9600,
 * 38400 and 19200 baud, three times, so the controller hears them at whichever rate it
 * listens; then back at the port's own rate. Returns "". */
KDX_API const char* KDX_Identify(void);
/* The port scan: drives the Terminal dialog (when there is one) through every entry of its
 * port list at 57600 baud; the status reply of the first port that answers ("" when none
 * did), which then stays open. */
KDX_API const char* KDX_Detect_57600(void);
/* The same scan as KDX_Detect_57600. */
KDX_API const char* KDX_Detect(void);
/* The start-up diagnostic: does nothing and returns "". */
KDX_API const char* KDX_Diagnostic(int32_t* handle);
/* The meaning of a status reply: "Ready", ..., "No Response", or the reply itself. */
KDX_API const char* KDX_Status_Meaning(const char* reply);

/* The device information queries. They ask the port of Serial_Port_State (handle is not
 * used), wait 100 ms and read once. Serial and order number come from "F,getD4," (the parts
 * before and after "@", without spaces), version from "F,getD0,", revision "F,getD1,", the
 * axes set "F,getAS," and found "F,getAF,": the reply without its tag and commas, ending in
 * one CR (a lone CR when nothing came). */
KDX_API const char* KDX_Serial_Number_Get(int32_t* handle);
KDX_API const char* KDX_Order_Number_Get(int32_t* handle);
KDX_API const char* KDX_Firmware_Version_Get(int32_t* handle);
KDX_API const char* KDX_Firmware_Revision_Get(int32_t* handle);
KDX_API const char* KDX_Axis_Set(int32_t* handle);
KDX_API const char* KDX_Axis_Found(int32_t* handle);
/* Motor type ("F,getMT<n>M=" CR), limit switches ("F,getL<n>M=") and home switch
 * ("F,getHS<n>M=") of axis *axis, asked as above: the reply without its tag, commas and CRs. */
KDX_API const char* KDX_Axis_Motor_Get(int32_t* handle, int32_t* axis);
KDX_API const char* KDX_Axis_Limit_Get(int32_t* handle, int32_t* axis);
KDX_API const char* KDX_Axis_Home_Switch_Get(int32_t* handle, int32_t* axis);
/* The three queries of one axis on *handle, replies joined by "," without CRs; the text also
 * goes into the Terminal's id box of the axis when there is one. "" with no port open. */
KDX_API const char* KDX_ID_Axis_1(int32_t* handle);
KDX_API const char* KDX_ID_Axis_2(int32_t* handle);
KDX_API const char* KDX_ID_Axis_3(int32_t* handle);
KDX_API const char* KDX_ID_Axis_4(int32_t* handle);
/* Stores a serial and order number: sends "setser#&=" serial, five spaces, "@" order (cut to
 * 259 bytes), not echoed; returns what went out ("" with no port open). */
KDX_API const char* KDX_Serial_Number_Set(int32_t* handle, const char* serial, const char* order);
/* Both remove every CR from text (a buffer of the given capacity, written back) and return
 * the id in it: the motor id is the text before the first "," (without its last character
 * when there is none), cut at "&" and taken after the first "-"; the limit id is the field
 * after the first "," up to the next (without its last character when there is none). */
KDX_API const char* KDX_Parse_Motor_ID(char* text, int32_t capacity);
KDX_API const char* KDX_Parse_Limit_ID(char* text, int32_t capacity);
/* The description of a limit-switch code ("TBD" for codes not in the table). */
KDX_API const char* KDX_Limit_Description(const char* code);
/* 1 when a device field or per-axis reply reads as an answer: less one CR at its end, not
 * empty, no control character or "?", and with digits_only nothing but digits; else 0. */
KDX_API int32_t KDX_Answer_Clean(const char* field, int32_t digits_only);

/* The communication test: 1000 status queries "V" on *handle, each waiting up to 100 ms; it
 * ends at the first silence or a stop request and passes (KDX_Tester_Passed) when every query
 * got a status letter. Progress and outcome go to the echo. Returns "". */
KDX_API const char* KDX_Tester_USB_Commo(int32_t* handle);
/* The memory test of axis *axis (1 to 4) on *handle: stores a 64-step program, lists it and
 * compares. Returns the header and "," when the listing matched, else the steps that differ
 * and "Missing ..." those it lacks, "Listing incomplete ...", "Test Stopped" or the
 * controller's "?" reply, cut to 1023 bytes; "" for no port open or an axis out of range. */
KDX_API const char* KDX_Tester_Commo_Fill_Memory(int32_t* handle, int32_t* axis);
/* Turns every CR of both buffers into "," (written back) and returns their comparison as the
 * memory test gives it. */
KDX_API const char* KDX_Tester_Commo_Fill_Memory_Compare_Strings(char* sent, int32_t sent_capacity,
                                                                 char* listing,
                                                                 int32_t listing_capacity);
/* Reserved: does nothing and returns 0. */
KDX_API int32_t KDX_Config_Create(int32_t* argument);
/* 1 when the last test run on this thread passed, 0 when it failed or none ran. */
KDX_API int32_t KDX_Tester_Passed(void);
/* Where the latest memory test on this thread found the listing differing from what was
 * sent: returns the first differing step's number (0 when none, or no listing was compared)
 * and fills the step sent and the step listed there ("" where one side has none) and the
 * steps the listing lacks, joined by ",". Each buffer may be NULL; texts are cut to fit. */
KDX_API int32_t KDX_Tester_Memory_Difference(char* sent, int32_t sent_capacity, char* listed,
                                             int32_t listed_capacity, char* missing,
                                             int32_t missing_capacity);
