// The debug console: its opening and closing, the prints, the pause on an error and the End
// key's way out of the program.
#include <string>

#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "trace/trace_internal.h"

namespace kdx::trace {

namespace detail {
std::atomic<bool> Console_Is_Open{false};
}

std::atomic<int32_t> show_callbacks{0};
std::atomic<int64_t> opened_counter{0};

namespace {

constexpr const char* Prompt = "Press any Key to continue, (F9 to auto-debug, End-key to end)";
constexpr const char* Pause_Name = "ErrCheck_WaitKey";
std::mutex debug_lock;  // opening and closing, one at a time
std::mutex pause_lock;  // one pause at a time: both threads read the same keyboard
std::atomic<int32_t> debug_level{0};
std::atomic<uint8_t> auto_debug{0};
std::atomic<int32_t> end_requested{0};

std::mutex end_handlers_lock;
std::vector<void (*)()>& End_Handlers() {
    static auto* handlers = new std::vector<void (*)()>();
    return *handlers;
}

std::shared_ptr<platform::Console_Device> Device() {
    auto& s = Shared();
    std::lock_guard<std::mutex> g(s.lock);
    return s.device;
}

[[noreturn]] void End_Program() {
    std::vector<void (*)()> handlers;
    {
        std::lock_guard<std::mutex> g(end_handlers_lock);
        handlers = End_Handlers();
    }
    for (auto handler : handlers) handler();
    {
        auto& s = Shared();
        std::lock_guard<std::mutex> g(s.lock);
        if (platform::Handle_Usable(s.log)) platform::Close_Handle(s.log);
        s.log = 0;
    }
    platform::Exit_Process(uint32_t(End_Exit_Code));
}

// What a boundary caught (the platform's report): an error line on the console and in the log,
// at the depth of the procedure that was running. No pause: the boundary carries on at once.
void Show_Caught(std::string_view boundary, std::string_view caught) {
    if (!Console_Open()) return;
    Output({{Cut(Spaces(5 * Depth()) + "Error: " + std::string(boundary) + " caught " +
                 std::string(caught) + "\r\n"),
             Attribute_Error}});
}

// The stand-in call-stack entry of the pause, so closing can skip it by name.
class Pause_Entry final : public Frame {
  public:
    Pause_Entry() : Frame(Pause_Name, &No_Args, nullptr, Kind::Silent) { enter(); }
    ~Pause_Entry() { leave(); }

  private:
    static void No_Args(const void*, std::string&) {}
};

}  // namespace

void On_Program_End(void (*handler)()) {
    if (!handler) return;
    std::lock_guard<std::mutex> g(end_handlers_lock);
    End_Handlers().push_back(handler);
}

}  // namespace kdx::trace

namespace kdx {

using trace::Cut;
using trace::Frame_Access;
using trace::Output;
using trace::Piece;
using trace::Shared;
using trace::Spaces;

namespace {
struct Console_Handle_Object : platform::Handle_Object {};  // fd -1: closing closes nothing
}  // namespace

int32_t ErrCheck_Debug(int32_t mode) {
    if (mode != 0 && mode != 1) {
        std::lock_guard<std::mutex> g(Shared().lock);
        return Shared().console_handle;
    }
    trace::Keep_Last_Error keep;
    std::lock_guard<std::mutex> d(trace::debug_lock);
    auto& s = Shared();
    int32_t depth = trace::Depth() + 1;
    if (mode == 1) {
        // A second opening keeps the console it has (a second one cannot be made).
        if (!trace::Console_Open()) {
            std::shared_ptr<platform::Console_Device> device = platform::Create_Console();
            if (device) {
                int32_t handle = platform::Handle_Insert(std::make_shared<Console_Handle_Object>());
                std::lock_guard<std::mutex> g(s.lock);
                s.device = std::move(device);
                s.console_handle = handle;
                trace::opened_counter.store(trace::Counter());
                trace::detail::Console_Is_Open.store(true);
            }
        }
        platform::Set_Caught_Error_Reporter(&trace::Show_Caught);
        {
            std::lock_guard<std::mutex> g(s.lock);
            if (s.device) {
                s.device->Set_Title("Debug Console");
                s.device->Disable_Close();
            }
        }
        ErrCheck_Console_Size();
        trace::Open_Log(depth);
        // The call stack down to the caller, on the console only.
        std::vector<const trace::Frame*> stack;
        for (const trace::Frame* f = trace::this_thread.innermost; f; f = Frame_Access::Outer(f))
            stack.push_back(f);
        std::vector<Piece> listing;
        std::string indent = Spaces(5 * (depth - 2));
        for (auto f = stack.rbegin(); f != stack.rend(); ++f)
            listing.push_back({Cut(indent + Frame_Access::Call_Text(*f) + "\r\n"), Attribute_Line});
        if (!listing.empty()) Output(listing, trace::Log::None);
        std::lock_guard<std::mutex> g(s.lock);
        return s.console_handle;
    }
    if (!trace::Console_Open()) return 0;
    // An "End" line for each procedure still active, innermost first; the log receives
    // each twice unless the End key is closing the console.
    std::string indent = Spaces(5 * (depth - 3));
    bool once = trace::end_requested.load() != 0;
    for (const trace::Frame* f = trace::this_thread.innermost; f; f = Frame_Access::Outer(f)) {
        std::string name = trace::Upper(f->name());
        if (name.find("ERRCHECK_WAITKEY") != std::string::npos) continue;
        std::string line =
            Cut((Frame_Access::Outer(f) ? indent : std::string()) + "End " + name + "\r\n");
        Output({{line, Attribute_Line}}, once ? trace::Log::Once : trace::Log::Twice);
    }
    std::shared_ptr<platform::Console_Device> released;
    {
        std::lock_guard<std::mutex> g(s.lock);
        trace::detail::Console_Is_Open.store(false);
        released = std::move(s.device);
        if (s.console_handle) platform::Close_Handle(s.console_handle);
        s.console_handle = 0;
        // Nothing is written to the log any more; the next opening creates it anew.
        if (platform::Handle_Usable(s.log)) platform::Close_Handle(s.log);
        s.log = 0;
    }
    return 0;
}

std::string ErrCheck_Print(std::string& text, int32_t attribute, const int32_t* names) {
    if (!trace::Console_Open()) return std::string();
    if (names && *names == 1) ErrCheck_Control_Names(text);
    ErrCheck_Print(std::string_view(text), attribute);
    return std::string();
}

void ErrCheck_Print(std::string_view text, int32_t attribute) {
    if (!trace::Console_Open()) return;
    std::string log(text.substr(0, trace::Line_Limit));
    Output({{std::string(text), attribute}}, trace::Log::Once, &log);
}

std::string ErrCheck_Comment(const std::string& text) {
    if (!trace::Console_Open()) return std::string();
    int32_t depth = trace::Depth() + 1;
    std::string log = Cut(text);
    Output({{Cut(Spaces(5 * depth) + text + "\r\n"), Attribute_Comment}}, trace::Log::Once, &log);
    return std::string();
}

std::string ErrCheck_Debug_Print(std::string& text, int32_t attribute) {
    if (!trace::Console_Open()) return std::string();
    std::string log = Cut(text);
    Output({{text, attribute}}, trace::Log::Once, &log);
    text.assign(text.size(), ' ');
    return std::string();
}

void ErrCheck_Show_Callbacks(int32_t flag) {
    trace::show_callbacks.store(flag);
}

void ErrCheck_Debug_Level(int32_t level) {
    trace::debug_level.store(level);
}

void ErrCheck_Console_Size() {
    trace::Keep_Last_Error keep;
    auto& s = Shared();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.device) s.device->Size_Buffer();
}

std::string ErrCheck_Control_Names(std::string& text) {
    static const char* const Names[33] = {
        "$NUL",   "<$SOH>", "<$STX>", "<$ETX>", "<$EOT>", "<$ENQ>", "<$ACK>", "<$BEL>", "<$BS>",
        "<$TAB>", "<$LF>",  "<$VT>",  "<$FF>",  "<$CR>",  "<$SO>",  "<$SI>",  "<$DLE>", "<$DC1>",
        "<$DC2>", "<$DC3>", "<$DC4>", "<$NAK>", "<$SYN>", "<$ETB>", "<$CAN>", "<$EM>",  "<$SUB>",
        "<$ESC>", "<$FS>",  "<$GS>",  "<$RS>",  "<$US>",  "<$SPC>"};
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 32)
            out += Names[u];
        else
            out += c;
    }
    text = out;
    return out;
}

void ErrCheck_WaitKey() {
    trace::Pause_Entry entry;  // the pause runs one level deeper than the check
    if (!trace::Console_Open()) return;
    trace::Keep_Last_Error keep;
    std::lock_guard<std::mutex> p(trace::pause_lock);
    auto device = trace::Device();
    if (!device) return;
    if (!(trace::auto_debug.load() & 1))
        Output({{Cut(Spaces(5 * (entry.depth() - 1)) + trace::Prompt + "\r\n"), Attribute_Prompt}},
               trace::Log::None);
    if (!device->Has_Keyboard()) return;
    auto report = [] {
        uint32_t code = platform::Get_Last_Error();
        ErrCheck_Print(trace::Format_Number(code) + "     " +
                           trace::Without_Crlf(platform::System_Message(code)) + "\r\n",
                       Attribute_Result);
    };
    if (!device->Begin_Keys()) report();
    for (;;) {
        bool once = trace::auto_debug.load() & 1;
        int32_t key = device->Poll_Key(once ? 0 : 100);
        if (key == platform::VK_F9) {
            trace::auto_debug.fetch_xor(1);
            break;
        }
        if (key == platform::VK_END) {
            trace::end_requested.store(1);
            device->End_Keys();
            device.reset();
            ErrCheck_Debug(0);
            trace::End_Program();
        }
        if (key != 0 || once) break;
        // The console was closed meanwhile, or the keyboard went away: stop waiting.
        if (!trace::Console_Open() || trace::Device() != device || !device->Has_Keyboard()) break;
    }
    if (!device->End_Keys()) report();
}

}  // namespace kdx
