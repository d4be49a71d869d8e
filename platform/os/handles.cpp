#include "platform/os/handles.h"

#include <unistd.h>

#include <mutex>
#include <unordered_map>

#include "platform/os/error.h"

namespace kdx::platform {

Handle_Object::~Handle_Object() {
    if (fd != -1) ::close(fd);
}

namespace {
std::mutex table_lock;
std::unordered_map<int32_t, std::shared_ptr<Handle_Object>>& Table() {
    static auto* table = new std::unordered_map<int32_t, std::shared_ptr<Handle_Object>>();
    return *table;
}
int32_t next_handle = 0x100;
}  // namespace

int32_t Handle_Insert(std::shared_ptr<Handle_Object> object) {
    std::lock_guard lock(table_lock);
    auto& table = Table();
    for (;;) {
        next_handle += 4;
        if (next_handle <= 0) next_handle = 0x100;
        if (!table.count(next_handle)) break;
    }
    table.emplace(next_handle, std::move(object));
    return next_handle;
}

std::shared_ptr<Handle_Object> Handle_Get(int32_t handle) {
    std::lock_guard lock(table_lock);
    auto& table = Table();
    auto it = table.find(handle);
    if (it == table.end()) {
        Set_Last_Error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

bool Close_Handle(int32_t handle) {
    std::shared_ptr<Handle_Object> object;
    {
        std::lock_guard lock(table_lock);
        auto& table = Table();
        auto it = table.find(handle);
        if (it == table.end()) {
            Set_Last_Error(ERROR_INVALID_HANDLE);
            return false;
        }
        object = std::move(it->second);
        table.erase(it);
    }
    object.reset();  // outside the lock: a destructor may join a thread
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

}  // namespace kdx::platform
