// The traffic echo's way into the Terminal's rich edits: each document is streamed into its
// control on the user-interface thread; echoes from the receive poller are posted to the frame
// and applied a slice at a time, so a flood leaves the event loop turning between slices. A
// stream's pieces are taken once a tick: the first after a quiet tick is posted and shown at
// once; while more keep coming, the frame's timer takes what came since its last tick, so a
// piece costs no turn of the event loop of its own.
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/os/error.h"
#include "serial/echo.h"
#include "ui/ui.h"

namespace kdx {

namespace {

struct Stream_Cookie {
    const char* Next;
    size_t Left;
};

// A slice of the queue per turn of the event loop: long enough to take a flood's documents
// in few turns, short beside a frame.
constexpr int32_t Echo_Slice_Ms = 4;
// The stream's tick: 25 a second. Text that keeps coming scrolls faster than anyone reads
// it, and each frame lays out and repaints most of the view: at the screen's rate the window
// spent 1.3-1.8 times a plain serial terminal's CPU on a stream, at 30 a second up to 1.1.
constexpr uint32_t Echo_Frame_Ms = 40;

class Rich_Edit_Sink final : public Echo_Sink {
  public:
    void Echo_Apply(const Echo_Document& document) override {
        // The stream goes in at the end of the text, where the echo puts the selection.
        Rich_Edit_Send(win::Get_Dlg_Item(win::Terminal_Dialog, document.Control), document.Rtf);
        Terminal_Log_Check();
    }
    int64_t Echo_Keep(int32_t control) const override {
        return control == Rich_Edit_Sent ? keep_sent.load() : keep_received.load();
    }
    // The controls' text limits, read on the user-interface thread for the echoing threads.
    void Learn_Limits() {
        auto limit = [](int32_t control) -> int64_t {
            HWND edit = win::Get_Dlg_Item(win::Terminal_Dialog, control);
            return edit ? int64_t(win::Send_Message(edit, win::EM_GETLIMITTEXT)) : -1;
        };
        keep_sent.store(limit(Rich_Edit_Sent));
        keep_received.store(limit(Rich_Edit_Received));
    }

  private:
    std::atomic<int64_t> keep_sent{-1};
    std::atomic<int64_t> keep_received{-1};
};

Rich_Edit_Sink sink;
// Set while a posted message or the running tick stands for every document waiting, however
// many the poller makes: the poller then posts nothing.
std::atomic<bool> echo_posted{false};
// User-interface thread only: the frame's echo timer runs; a message for a flood's rest is on
// its way (one at most, so the loop turns between slices).
bool ticking = false;
bool slice_posted = false;

void Post_Echo() {
    if (!echo_posted.exchange(true) && !win::Post_Message(win::Frame_Window, WM_KDX_ECHO))
        echo_posted.store(false);
}

// Hands the next document back to the poller's post.
void Release_Echo() {
    echo_posted.store(false);
    // One queued while the flag was still set posted nothing: it goes now.
    if (Echo_Queue_Waiting() > 0) Post_Echo();
}

// A flood's rest waits behind whatever else the loop has to do (keys, paints, timers).
void Apply_Slice() {
    if (!Echo_Queue_Apply_For(Echo_Slice_Ms) || slice_posted) return;
    slice_posted = win::Post_Message(win::Frame_Window, WM_KDX_ECHO);
    if (!slice_posted) Release_Echo();
}

void Stop_Ticking() {
    if (ticking) win::Kill_Timer(win::Frame_Window, Echo_Timer_Id);
    ticking = false;
}

}  // namespace

uint32_t Rich_Edit_Stream_In(uintptr_t cookie, uint8_t* buffer, int32_t size, int32_t* delivered) {
    auto* c = reinterpret_cast<Stream_Cookie*>(cookie);
    size_t n = std::min(c->Left, size_t(std::max(size, 0)));
    *delivered = int32_t(n);
    if (n > 0) {
        std::memcpy(buffer, c->Next, n);
        c->Next += n;
        c->Left -= n;
    }
    return 0;
}

int64_t Rich_Edit_Send(HWND window, const std::string& rtf) {
    Stream_Cookie cookie{rtf.data(), rtf.size()};
    win::EDITSTREAM stream;
    stream.dwCookie = reinterpret_cast<uintptr_t>(&cookie);
    stream.pfnCallback = &Rich_Edit_Stream_In;
    platform::Set_Last_Error(0);
    int64_t result = win::Send_Message(window, win::EM_STREAMIN,
                                       win::SF_RTF | win::SFF_SELECTION | win::SFF_PLAINRTF,
                                       reinterpret_cast<LPARAM>(&stream));
    platform::Set_Last_Error(0);
    return result;
}

void Echo_Queue_Apply_Posted() {
    slice_posted = false;
    Apply_Slice();
    // What comes before the next tick waits for it (without a timer: for a post).
    if (!ticking) ticking = win::Set_Timer(win::Frame_Window, Echo_Timer_Id, Echo_Frame_Ms);
    if (!ticking) Release_Echo();
}

void Echo_Window_Tick() {
    if (!ticking || slice_posted) return;
    if (Echo_Queue_Waiting() > 0) {
        Apply_Slice();
        return;
    }
    // A quiet tick: the stream ended, and the next piece is shown as soon as it comes.
    Stop_Ticking();
    Release_Echo();
}

void Echo_Window_Install() {
    sink.Learn_Limits();
    // A request posted to a frame that went before it was taken (an earlier frame of this
    // process) would otherwise keep every later request from being posted; its timer went
    // with it.
    echo_posted.store(false);
    ticking = false;
    slice_posted = false;
    Echo_Set_Sink(&sink);
    Echo_Set_Dispatcher(std::this_thread::get_id(), [] { Post_Echo(); });
}

void Echo_Window_Remove() {
    Stop_Ticking();
    Echo_Set_Dispatcher(std::thread::id(), nullptr);
    Echo_Set_Sink(nullptr);
}

}  // namespace kdx
