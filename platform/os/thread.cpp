#include "platform/os/thread.h"

#include <pthread.h>

#include <memory>
#include <type_traits>

#include "platform/os/error.h"

namespace kdx::platform {

namespace {

static_assert(std::is_same_v<pthread_t, unsigned long>);

void* Run_Body(void* argument) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return nullptr;
}

}  // namespace

Thread::~Thread() {
    if (joinable_) Detach();
}

bool Thread::Start(std::function<void()> body, size_t stack_bytes) {
    if (started_) return true;
    pthread_attr_t attributes;
    int code = pthread_attr_init(&attributes);
    if (code != 0) {
        Set_Last_Error_From_Errno(code);
        return false;
    }
    code = pthread_attr_setstacksize(&attributes, stack_bytes);
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    // pthread_create stores the handle before the thread runs; the flags go first likewise.
    started_ = joinable_ = true;
    if (code == 0) code = pthread_create(&handle_, &attributes, Run_Body, owned.get());
    pthread_attr_destroy(&attributes);
    if (code != 0) {
        started_ = joinable_ = false;
        Set_Last_Error_From_Errno(code);
        return false;
    }
    owned.release();  // the thread owns the body now
    Set_Last_Error(ERROR_SUCCESS);
    return true;
}

bool Thread::Is_Current() const {
    return started_ && pthread_equal(handle_, pthread_self());
}

void Thread::Join() {
    if (!joinable_) return;
    joinable_ = false;
    pthread_join(handle_, nullptr);
}

void Thread::Detach() {
    if (!joinable_) return;
    joinable_ = false;
    pthread_detach(handle_);
}

}  // namespace kdx::platform
