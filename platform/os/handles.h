// The handle table: 32-bit handles for the objects the platform layer opens. A handle is
// never 0 (none) or -1 (INVALID_HANDLE_VALUE), so closing "handle 0" can never close a
// descriptor such as standard input.
#pragma once
#include <cstdint>
#include <memory>

namespace kdx::platform {

constexpr int32_t INVALID_HANDLE_VALUE = -1;

inline bool Handle_Usable(int32_t handle) {
    return handle != 0 && handle != INVALID_HANDLE_VALUE;
}

// An object behind a handle. The destructor releases what it holds (the default one closes
// fd when it is not -1).
struct Handle_Object {
    virtual ~Handle_Object();
    int fd = -1;
};

// Adds an object and returns its new handle.
int32_t Handle_Insert(std::shared_ptr<Handle_Object> object);

// The object of a handle, or null (last error 6) when the handle is not in the table.
std::shared_ptr<Handle_Object> Handle_Get(int32_t handle);

template <class T>
std::shared_ptr<T> Handle_Get_As(int32_t handle) {
    return std::dynamic_pointer_cast<T>(Handle_Get(handle));
}

// Removes the handle; the object is released when its last user lets go. False (last
// error 6) when the handle is unknown. Last error 0 on success.
bool Close_Handle(int32_t handle);

}  // namespace kdx::platform
