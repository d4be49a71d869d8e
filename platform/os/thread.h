// Threads with a stack of a chosen size: std::thread always takes the system's default (8 MB
// of address space on Linux), too much for a small long-lived worker.
#pragma once
#include <cstddef>
#include <functional>

namespace kdx::platform {

class Thread {
  public:
    Thread() = default;
    // A thread still joinable here is detached (std::thread would end the program).
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Runs body on a new thread with a stack of stack_bytes. False with the last error (the
    // object stays empty); true when it was already started.
    bool Start(std::function<void()> body, size_t stack_bytes);
    bool Joinable() const { return joinable_; }
    // True on the thread itself. Reads only what Start wrote, so any thread may ask while
    // another joins or detaches.
    bool Is_Current() const;
    void Join();
    void Detach();

  private:
    // Written before the thread runs, so the thread itself may read them.
    unsigned long handle_ = 0;  // the pthread_t (Windows: the thread's id)
    void* native_ = nullptr;    // Windows: the thread's handle
    bool started_ = false;
    bool joinable_ = false;
};

}  // namespace kdx::platform
