#include <process.h>

#include <memory>

#include "platform/os/error.h"
#include "platform/os/thread.h"

#include "platform/os/win32.h"

namespace kdx::platform {

namespace {
unsigned __stdcall Run_Body(void* argument) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return 0;
}
}  // namespace

Thread::~Thread() {
    if (joinable_) Detach();
}

bool Thread::Start(std::function<void()> body, size_t stack_bytes) {
    if (started_) return true;
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    // Created suspended, so the id and handle are stored before the body can ask for them.
    unsigned id = 0;
    uintptr_t h = _beginthreadex(nullptr, unsigned(stack_bytes), Run_Body, owned.get(),
                                 CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (h == 0) {
        Set_Last_Error_From_Errno(errno);
        return false;
    }
    handle_ = id;
    native_ = reinterpret_cast<void*>(h);
    started_ = joinable_ = true;
    owned.release();  // the thread owns the body now
    ::ResumeThread(static_cast<HANDLE>(native_));
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Thread::Is_Current() const {
    return started_ && handle_ == ::GetCurrentThreadId();
}

void Thread::Join() {
    if (!joinable_) return;
    joinable_ = false;
    ::WaitForSingleObject(static_cast<HANDLE>(native_), INFINITE);
    ::CloseHandle(static_cast<HANDLE>(native_));
}

void Thread::Detach() {
    if (!joinable_) return;
    joinable_ = false;
    ::CloseHandle(static_cast<HANDLE>(native_));
}

}  // namespace kdx::platform
