// What the program says to a KDX controller and how it takes the replies: status and modes,
// the identification sweep, device information and axis identification, and the two test
// routines. Every exchange goes through Serial_Port_Write / Serial_Port_Read on the port
// given (or, for the getters, on Serial_Port_State.Handle).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kdx {

// Command texts are built in 260-byte buffers: longer texts are cut to this length.
constexpr size_t KDX_Command_Capacity = 259;

// --- Status, modes, identification -------------------------------------------------------

// The raw reply to "V" ("" when the handle is unusable or nothing arrives in time).
std::string KDX_Verify_Status(int32_t& handle);
// "F," / "E," / "Q,", as sent.
std::string KDX_Online_Echo_Off(int32_t& handle);
std::string KDX_Online_Echo_On(int32_t& handle);
std::string KDX_Offline(int32_t& handle);
// Three passes of on line then off line at every baud rate, then back to the old rate.
std::string KDX_Identify();
// The port scan through the Terminal dialog's controls (port list, baud list, "Enable Port",
// "Change Port"): each entry is opened, set to 57600 baud and asked for its status; the first
// that answers stays open and its reply is the result ("" when none answered or there is no
// entry). A stop request ends the scan before the next port.
std::string KDX_Detect_57600();
std::string KDX_Detect();
// Start-up diagnostic: exchanges nothing.
std::string KDX_Diagnostic(int32_t& handle);

// The meaning of a status reply ("Ready", "No Response", ... or the reply itself).
std::string KDX_Status_Meaning(const std::string& reply);
// True when the whole reply is one letter of the status table ("R", "B", "b", "J", "F").
bool KDX_Is_Status_Letter(const std::string& reply);

// How long the status query waits for the first byte of its reply.
constexpr uint32_t KDX_Status_Wait_Ms = 50;

// --- Device information and axis identification ------------------------------------------

std::string KDX_Serial_Number_Get(int32_t& handle);
std::string KDX_Order_Number_Get(int32_t& handle);
std::string KDX_Firmware_Version_Get(int32_t& handle);
std::string KDX_Firmware_Revision_Get(int32_t& handle);
std::string KDX_Axis_Set(int32_t& handle);
std::string KDX_Axis_Found(int32_t& handle);
std::string KDX_Axis_Motor_Get(int32_t& handle, int32_t& axis);
std::string KDX_Axis_Limit_Get(int32_t& handle, int32_t& axis);
std::string KDX_Axis_Home_Switch_Get(int32_t& handle, int32_t& axis);
std::string KDX_ID_Axis_1(int32_t& handle);
std::string KDX_ID_Axis_2(int32_t& handle);
std::string KDX_ID_Axis_3(int32_t& handle);
std::string KDX_ID_Axis_4(int32_t& handle);
std::string KDX_Serial_Number_Set(int32_t& handle, std::string& serial, std::string& order);
// Both change the caller's text (every CR removed).
std::string KDX_Parse_Motor_ID(std::string& text);
std::string KDX_Parse_Limit_ID(std::string& text);

// Whether a device field or a per-axis reply reads as an answer: less one CR at its end, not
// empty and free of control characters and "?" (a NUL byte, a flood run into the reply, a
// fault), and with digits_only nothing but digits (the axes set and found).
bool KDX_Answer_Clean(const std::string& field, bool digits_only = false);

// The reply exactly as the last information query on this thread read it (before cleaning),
// for a caller that judges it with KDX_Reply_Doubt.
const std::string& KDX_Last_Query_Reply();
// Why a raw reply to the query whose answer starts with tag does not have the form that
// query expects ("" when it has): "missing", "not understood" ("?"), "another query's
// answer" (a late or slow reply of an earlier query in front of it, or another tag in it),
// "the query's echo in it", "cut short" (no CR at its end: the rest is still on the line),
// "garbled" (control characters, bytes before the tag).
std::string KDX_Reply_Doubt(const std::string& reply, const std::string& tag);

// The description of a limit-switch code ("TBD" for codes not in the table).
std::string KDX_Limit_Description(const std::string& code);

// Which part of a serial/order reply a device getter keeps.
enum class Device_Part { Whole, Before_At, After_At };
// The cleaning of a device reply: tag and "," removed, the part kept, CR at the end.
std::string KDX_Clean_Device_Reply(std::string reply, const std::string& tag, Device_Part part);
// The cleaning of a per-axis reply: tag + axis + "M=", "," and CR removed.
std::string KDX_Clean_Axis_Reply(std::string reply, const std::string& tag, int32_t axis);

// --- Test routines -----------------------------------------------------------------------

// Queries "V" 1000 times; the outcome is shown through the status echo.
std::string KDX_Tester_USB_Commo(int32_t& handle);
// How the last communication test on this thread went: queries sent, answered with a status
// letter, answered otherwise, and whether it aborted at a query nothing answered.
struct KDX_Commo_Count {
    int32_t Sent = 0;
    int32_t Answered = 0;
    int32_t Wrong = 0;
    bool Aborted = false;
};
const KDX_Commo_Count& KDX_Tester_Last_Commo();
// Writes a 64-step program into axis 1..4, lists it and compares; returns the outcome.
std::string KDX_Tester_Commo_Fill_Memory(int32_t& handle, int32_t& axis);
// Both texts have their CRs turned into ",". The listing's first field + "," when the listing
// holds the sent steps one for one and in order, else what did not match.
std::string KDX_Tester_Commo_Fill_Memory_Compare_Strings(std::string& sent, std::string& listing);
int32_t KDX_Config_Create(int32_t& argument);
// 1 when the last test run on this thread passed, 0 when it failed or none ran.
int32_t KDX_Tester_Passed();

// The steps of the memory test's program for an axis, as one text ("I1M8387101," ...).
std::string KDX_Test_Program(int32_t axis);

// The comparison behind KDX_Tester_Commo_Fill_Memory_Compare_Strings, on texts whose CRs
// are already ",".
struct Listing_Comparison {
    bool passed = false;
    std::string header;                  // the listing's first field
    std::vector<std::string> unmatched;  // listing fields that matched no sent step
    std::vector<std::string> missing;    // sent steps the listing does not hold
    // The first step (1-based, 0 when none) where the listing differs from what was sent,
    // with the step sent and the step listed there ("" where one side has none).
    size_t first_step = 0;
    std::string first_sent, first_listed;
    std::string text;  // the outcome text
};
Listing_Comparison KDX_Compare_Listing(const std::string& sent, const std::string& listing);
// The comparison of the latest memory test on this thread (empty when it compared nothing).
const Listing_Comparison& KDX_Tester_Last_Comparison();

// A silent controller ends the listing's collection after this long without a new byte.
constexpr uint32_t KDX_Listing_Quiet_Ms = 3000;
// ... and after this many bytes without EOT (a listing of 64 steps is about 1 KB).
constexpr size_t KDX_Listing_Capacity = 256 * 1024;
// The memory test's outcome is cut to the Terminal's 1024-byte text buffers.
constexpr size_t KDX_Outcome_Capacity = 1023;
// How long the communication test waits for each reply.
constexpr uint32_t KDX_Commo_Wait_Ms = 100;
constexpr int32_t KDX_Commo_Queries = 1000;

}  // namespace kdx
