// Writes at a given position of a file, in the manner of WriteFile with an OVERLAPPED record.
#pragma once
#include <cstdint>
#include <string_view>

namespace kdx::platform {

// The overlapped-write words. Offset and Offset_High both 0xFFFFFFFF mean "at the current end
// of the file". Our writes complete before they return: Internal receives the status (0 on
// success, else the last error) and Internal_High the bytes written; Event is not used.
struct Overlapped {
    uint32_t Internal = 0;
    uint32_t Internal_High = 0;
    uint32_t Offset = 0;
    uint32_t Offset_High = 0;
    int32_t Event = 0;
};

constexpr uint32_t Write_At_End = 0xFFFFFFFFu;

// Writes all of data at the position; written receives the count. False with the last error
// set on failure, which leaves the file's other bytes as they were.
bool Write_File_At(int32_t handle, std::string_view data, uint32_t* written, Overlapped& position);

}  // namespace kdx::platform
