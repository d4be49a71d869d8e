// The daily HTML port log: header on opening, one line per echoed text, footer on closing.
#pragma once
#include <cstdint>
#include <string>

namespace kdx {

// File number of the open port log; 0 while none is open.
extern int32_t Port_Log_File;

int32_t Port_Log_Open();
int32_t Port_Log_Close();
// Appends text + CR LF at the end of the log, whole and never interleaved with another
// writer's line. Does nothing when file is 0.
int32_t Port_Log_Write_Line(int32_t file, const std::string& text);

}  // namespace kdx
