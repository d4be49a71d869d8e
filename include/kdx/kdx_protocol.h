/* The KDX controller protocol: status, modes, identification, device information, axis
 * identification and the test routines. Handles are passed by reference (int32_t*; NULL
 * counts as no port). A text the procedure changes is char* with its buffer's capacity. */
#pragma once
#include <stdint.h>

#include "kdx/export.h"

KDX_API const char* KDX_Verify_Status(int32_t* handle);
KDX_API const char* KDX_Online_Echo_Off(int32_t* handle);
KDX_API const char* KDX_Online_Echo_On(int32_t* handle);
KDX_API const char* KDX_Offline(int32_t* handle);
KDX_API const char* KDX_Identify(void);
/* The port scan: drives the Terminal dialog (when there is one) through every entry of its
 * port list at 57600 baud; the status reply of the first port that answers ("" when none
 * did), which then stays open. */
KDX_API const char* KDX_Detect_57600(void);
KDX_API const char* KDX_Detect(void);
KDX_API const char* KDX_Diagnostic(int32_t* handle);
/* The meaning of a status reply: "Ready", ..., "No Response", or the reply itself. */
KDX_API const char* KDX_Status_Meaning(const char* reply);

KDX_API const char* KDX_Serial_Number_Get(int32_t* handle);
KDX_API const char* KDX_Order_Number_Get(int32_t* handle);
KDX_API const char* KDX_Firmware_Version_Get(int32_t* handle);
KDX_API const char* KDX_Firmware_Revision_Get(int32_t* handle);
KDX_API const char* KDX_Axis_Set(int32_t* handle);
KDX_API const char* KDX_Axis_Found(int32_t* handle);
KDX_API const char* KDX_Axis_Motor_Get(int32_t* handle, int32_t* axis);
KDX_API const char* KDX_Axis_Limit_Get(int32_t* handle, int32_t* axis);
KDX_API const char* KDX_Axis_Home_Switch_Get(int32_t* handle, int32_t* axis);
KDX_API const char* KDX_ID_Axis_1(int32_t* handle);
KDX_API const char* KDX_ID_Axis_2(int32_t* handle);
KDX_API const char* KDX_ID_Axis_3(int32_t* handle);
KDX_API const char* KDX_ID_Axis_4(int32_t* handle);
KDX_API const char* KDX_Serial_Number_Set(int32_t* handle, const char* serial, const char* order);
/* Both remove every CR from text (a buffer of the given capacity). */
KDX_API const char* KDX_Parse_Motor_ID(char* text, int32_t capacity);
KDX_API const char* KDX_Parse_Limit_ID(char* text, int32_t capacity);
/* The description of a limit-switch code ("TBD" for codes not in the table). */
KDX_API const char* KDX_Limit_Description(const char* code);
/* 1 when a device field or per-axis reply reads as an answer: less one CR at its end, not
 * empty, no control character or "?", and with digits_only nothing but digits; else 0. */
KDX_API int32_t KDX_Answer_Clean(const char* field, int32_t digits_only);

KDX_API const char* KDX_Tester_USB_Commo(int32_t* handle);
KDX_API const char* KDX_Tester_Commo_Fill_Memory(int32_t* handle, int32_t* axis);
/* Turns every CR of both buffers into ",". */
KDX_API const char* KDX_Tester_Commo_Fill_Memory_Compare_Strings(char* sent, int32_t sent_capacity,
                                                                 char* listing,
                                                                 int32_t listing_capacity);
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
