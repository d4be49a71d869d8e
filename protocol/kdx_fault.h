// The controller's fault queries. A "?" anywhere in received text starts KDX_Error_Check
// through the read; a fault query never starts another on the same thread, so a fault
// report that itself holds "?" cannot nest without end.
#pragma once
#include <cstdint>
#include <string>

namespace kdx {

// "K" then "F,getFAc" (neither shown), 32 ms, one read (shown). Returns "F,getFAc".
std::string KDX_Error_Check(int32_t& handle);
// "K" then "F,getFc" (neither shown), 32 ms, one read (shown). Returns the reply.
std::string KDX_Current_Error_Check(int32_t& handle);
// True while a fault query runs on the calling thread.
bool KDX_Fault_Query_Running();

}  // namespace kdx
