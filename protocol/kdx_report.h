// The open port's part of the diagnostic report, written after the report itself.
#pragma once
#include <cstdint>
#include <string>

namespace kdx {

// Writes into the report `name` (in the current directory, as HTML_Template_Create returned
// it) the four keys of the port that is open, in that port's blocks: in the section of its
// name as the report lists it (e.g. "COM5", "BTH_COM7") "Port Type:" = its adapter type,
// "PortNum:" = its number and "Device:" = "KDX" when the controller answers a status query,
// even late ("No Response" otherwise); in the section name + " - Device" "Num of Axis:" =
// the count of axes the controller reports found ("" when it does not answer). Each label
// has the report's key prefix. With no port open nothing is written or sent. Returns the
// number of keys written.
int32_t KDX_Report_Port_Keys(const std::string& name);

// How long the report waits, after the status query's own wait, for a letter that comes late.
constexpr uint32_t KDX_Report_Late_Status_Ms = 450;

}  // namespace kdx
