// The daily HTML port log: header on opening, one line per echoed text, footer on closing.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace kdx {

// The controller maker's web site: the base address of the log's links and style sheet.
inline constexpr std::string_view Maker_Base_Address = "https://kdx.example/";

// File number of the open port log; 0 while none is open. Atomic: the receive poller reads
// it to decide whether to build a log line while the user-interface thread switches logging.
extern std::atomic<int32_t> Port_Log_File;

// Opens (or creates) the day's log beside the executable, "KDX Port Log MM-DD-YYYY.html",
// appends the header and returns the new file number (0 when the log could not be opened).
// The name is fixed here: a period that runs past midnight stays in the file it began in.
// While a log is open, opening again changes nothing and returns the open file's number.
int32_t Port_Log_Open();
// Appends the footer, closes the log and sets Port_Log_File to 0.
int32_t Port_Log_Close();
// Appends text + CR LF at the end of the log, whole and never interleaved with another
// writer's line; lines land in the order the calls finish. Does nothing when file is 0 or not
// the open log. Non-zero when the line was written.
int32_t Port_Log_Write_Line(int32_t file, const std::string& text);

// The open log's full path; "" while no log is open.
std::string Port_Log_Current_Path();

// What went wrong with the port log since it was last opened: it could not be opened, its
// header could not be written, or a line could not be written (the log then closed itself,
// Port_Log_File is 0). "" while all is well. For the terminal's message and the window's
// status line.
std::string Port_Log_Failure();

// The log's name for a date: folder + "KDX Port Log MM-DD-YYYY.html".
std::string Port_Log_Name(const std::string& folder, int year, int month, int day);

}  // namespace kdx
