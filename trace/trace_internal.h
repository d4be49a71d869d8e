// Shared between the trace's files (console, log, frame): the state behind the console and the
// log, the thread's record, the line writer and the small text helpers.
//
// Threads: the call stack, the error state (Code, Text, the object code) and the runtime
// code of each procedure belong to the thread that runs it. The console device, the log
// handle and the trace attribute are shared: every write takes one lock and puts its whole
// line on the console and into the log before another thread can write, so lines of the two
// threads interleave but never mix. Pauses take their own lock, one at a time.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console/console.h"
#include "platform/os/error.h"
#include "trace/trace.h"

namespace kdx::trace {

// Reaches the frames' private parts from the procedures of this file.
struct Frame_Access {
    static Frame* Outer(const Frame* f) { return f->outer_; }
    static int32_t& Runtime(Frame* f) { return f->runtime_code_; }
    static std::string Call_Text(const Frame* f);
    static void Check(Frame* f) noexcept;
    [[gnu::noinline]] static int32_t Show_Check(Frame* f, int32_t os, int32_t runtime,
                                                int32_t object, int32_t code,
                                                uint8_t kind) noexcept;
};

constexpr size_t Line_Limit = 2079;  // the trace line buffer and the log write buffer

// ---- shared console state ----

struct Console_State {
    std::mutex lock;  // the device, the log, the attribute; held for each whole write
    std::shared_ptr<platform::Console_Device> device;
    int32_t console_handle = 0;
    int32_t log = 0;
    std::string log_path;
    std::string log_error;
    int32_t attribute = 7;
};

Console_State& Shared();

extern std::atomic<int32_t> show_callbacks;
extern std::atomic<int64_t> opened_counter;  // when the console last opened
int64_t Counter();

// ---- per-thread state ----

// One record, so that a procedure reaches all of it through one thread-local lookup (each
// lookup is a call into the dynamic linker from a shared library, and every port call checks).
struct Thread_State {
    Frame* innermost = nullptr;
    int32_t object_code = 0;
    int32_t runtime_code_outside = 0;  // set with no procedure active
    int32_t error_code = 0;            // Trace_Error.Code of this thread
    int32_t error_os = 0, error_runtime = 0, error_object = 0;
    bool error_text_set = false;  // spares the closed console touching the text
    // Whether a code's message is empty, remembered for the checks made with the console
    // closed.
    int32_t empty_known_code = 0;
    uint8_t empty_known_kind = 0;
    bool empty_known_result = false;
};
// Constant-initialised, so the other files reach it without a guard.
extern constinit thread_local Thread_State this_thread;

// The last error as the traced code left it: trace output never changes it.
class Keep_Last_Error {
  public:
    Keep_Last_Error() : code_(platform::Get_Last_Error()) {}
    ~Keep_Last_Error() { platform::Set_Last_Error(code_); }

  private:
    uint32_t code_;
};

int32_t Depth();
std::string Spaces(int64_t count);
std::string Upper(std::string_view text);
std::string Cut(std::string text, size_t limit = Line_Limit);
std::string Without_Crlf(std::string text);
int64_t Milliseconds(int64_t counter, int64_t frequency);

struct Piece {
    std::string text;
    int32_t attribute;
};

enum class Log { None, Once, Twice };
// Writes pieces to the console and their text into the log, whole, under the lock.
void Output(const std::vector<Piece>& pieces, Log log = Log::Once,
            const std::string* log_text = nullptr);
// Creates the debug log anew (the one before is closed); one that cannot be created is said so
// on the console, at depth.
void Open_Log(int32_t depth);

}  // namespace kdx::trace
