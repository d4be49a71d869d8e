// The echo's queue: each echo writes its log line and queues its document in the form the
// installed sink takes; the queue is applied in order, here or on the dispatcher's thread.
#include <algorithm>
#include <deque>

#include "files/port_log.h"
#include "platform/os/system.h"
#include "serial/echo_internal.h"
#include "serial/serial_port.h"
#include "trace/trace.h"

namespace kdx {

using namespace echo;

namespace {

// A document waiting in the queue, with the form it was built in.
struct Pending {
    Echo_Document document;
    bool plain = false;
    uint64_t order = 0;  // when it was queued, among every control's documents
    int64_t shown = 0;   // fewest characters it shows
};

// The documents waiting for one control, and the fewest characters they show together.
struct Control_Queue {
    int32_t control = 0;
    std::deque<Pending> pending;
    int64_t shown = 0;
};

struct Queue {
    std::mutex lock;
    std::mutex apply_lock;  // one applier at a time, so documents reach the sink in order
    // One queue per control, so the oldest document of one control can go without a search;
    // applied in the order of `order` across them.
    std::vector<Control_Queue> controls;
    uint64_t next_order = 0;
    size_t waiting = 0;
    Echo_Sink* sink = nullptr;
    std::thread::id ui_thread;
    std::function<void()> post;

    Control_Queue& Of(int32_t control) {
        for (auto& c : controls)
            if (c.control == control) return c;
        controls.push_back(Control_Queue{control, {}, 0});
        return controls.back();
    }
    // The oldest waiting document of any control; false with none. Call with the lock held.
    bool Take(Pending& out) {
        Control_Queue* first = nullptr;
        for (auto& c : controls)
            if (!c.pending.empty() &&
                (!first || c.pending.front().order < first->pending.front().order))
                first = &c;
        if (!first) return false;
        out = std::move(first->pending.front());
        first->pending.pop_front();
        first->shown -= out.shown;
        --waiting;
        return true;
    }
};

Queue& The_Queue() {
    static Queue queue;
    return queue;
}

// Set while this thread applies the queue: an echo the sink itself makes (directly or through
// a port call) is queued behind the document being applied and taken by the running loop,
// rather than waiting for the lock this thread holds.
thread_local bool applying = false;
// Echo_Hold's depth on this thread: documents queue and are shown when it returns to 0.
thread_local int holding = 0;

// What the installed sink takes; with none, no document is built at all.
enum class Form { None, Rich, Plain };

Form Sink_Form() {
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> guard(q.lock);
    if (!q.sink) return Form::None;
    return q.sink->Echo_Plain() ? Form::Plain : Form::Rich;
}

// Shows what waits: posts it to the dispatcher's thread, or applies it here.
void Show_Queue(std::function<void()> post) {
    // Another thread's echo never waits for the user-interface thread.
    if (post) {
        post();
        return;
    }
    if (applying) return;
    Echo_Queue_Apply();
}

// The fewest characters the window shows for the text: one or more for every byte but a
// received comma and a sent or status LF, which show as none.
int64_t Fewest_Shown(Echo_Kind kind, std::string_view text) {
    char unshown = kind == Echo_Kind::Received ? ',' : '\n';
    return int64_t(text.size()) - int64_t(std::count(text.begin(), text.end(), unshown));
}

void Enqueue(Echo_Document document, bool plain, int64_t shown) {
    Queue& q = The_Queue();
    std::function<void()> post;
    {
        std::lock_guard<std::mutex> guard(q.lock);
        Control_Queue& c = q.Of(document.Control);
        c.pending.push_back(Pending{std::move(document), plain, q.next_order++, shown});
        c.shown += shown;
        ++q.waiting;
        // What the control would drop at once when the newer documents reach it is not kept.
        int64_t keep = q.sink ? q.sink->Echo_Keep(c.control) : -1;
        while (keep >= 0 && c.pending.size() > 1 && c.shown - c.pending.front().shown >= keep) {
            c.shown -= c.pending.front().shown;
            c.pending.pop_front();
            --q.waiting;
        }
        if (holding > 0) return;
        if (q.post && std::this_thread::get_id() != q.ui_thread) post = q.post;
    }
    Show_Queue(std::move(post));
}

// The line is built only while a log is open to take it.
void Write_Log_Line(Echo_Kind kind, const std::string& text) {
    int32_t file = Port_Log_File;
    // A log that stopped wakes whoever watches for it.
    if (file != 0 && !Port_Log_Write_Line(file, Log_Line(kind, text)) && Port_Log_File == 0)
        Serial_Port_Watch_Notify();
}

// Writes the log line and queues the document in the form the sink takes. rtf: the document
// when the caller has already built it (for the trace), else empty.
void Echo(Echo_Kind kind, int32_t control, const std::string& text, std::string rtf) {
    Form form = Sink_Form();
    Write_Log_Line(kind, text);
    if (form == Form::None) return;
    Echo_Document document{kind, control, {}, {}};
    int64_t shown = 0;
    if (form == Form::Plain) {
        document.Text = text;
    } else {
        document.Rtf = rtf.empty() ? Document(kind, text) : std::move(rtf);
        shown = Fewest_Shown(kind, text);
    }
    Enqueue(std::move(document), form == Form::Plain, shown);
}

}  // namespace

Echo_Hold::Echo_Hold() {
    ++holding;
}

Echo_Hold::~Echo_Hold() {
    if (--holding > 0) return;
    Queue& q = The_Queue();
    std::function<void()> post;
    {
        std::lock_guard<std::mutex> guard(q.lock);
        if (q.waiting == 0) return;
        if (q.post && std::this_thread::get_id() != q.ui_thread) post = q.post;
    }
    Show_Queue(std::move(post));
}

void Echo_Set_Sink(Echo_Sink* sink) {
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> apply(q.apply_lock);
    std::lock_guard<std::mutex> guard(q.lock);
    q.sink = sink;
}

void Echo_Set_Dispatcher(std::thread::id ui_thread, std::function<void()> post) {
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> guard(q.lock);
    q.ui_thread = ui_thread;
    q.post = std::move(post);
}

namespace {

// Applies documents in order until none wait or the deadline (monotonic ns, -1 none) has
// passed; true when some still wait.
bool Apply_Until(int64_t deadline_ns) {
    if (applying) return false;
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> apply(q.apply_lock);
    struct Applying {
        Applying() { applying = true; }
        ~Applying() { applying = false; }
    } mark;
    // At least one document a slice, so a slow sink still moves on.
    bool applied = false;
    for (;;) {
        Pending item;
        Echo_Sink* sink;
        {
            std::lock_guard<std::mutex> guard(q.lock);
            if (applied && deadline_ns >= 0 && platform::Query_Performance_Counter() >= deadline_ns)
                return q.waiting > 0;
            if (!q.Take(item)) return false;
            sink = q.sink;
        }
        if (!sink) continue;
        // The sink was replaced while the document waited: give it the form it takes (a plain
        // sink then shows the window's text).
        Echo_Document& d = item.document;
        bool plain = sink->Echo_Plain();
        if (plain && !item.plain) {
            d.Text = Rtf_Visible_Text(d.Rtf);
            d.Rtf.clear();
        } else if (!plain && item.plain) {
            d.Rtf = Document(d.Kind, d.Text);
            d.Text.clear();
        }
        sink->Echo_Apply(d);
        applied = true;
    }
}

}  // namespace

void Echo_Queue_Apply() {
    Apply_Until(-1);
}

bool Echo_Queue_Apply_For(int32_t ms) {
    return Apply_Until(platform::Query_Performance_Counter() + int64_t(std::max(ms, 0)) * 1000000);
}

size_t Echo_Queue_Waiting() {
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> guard(q.lock);
    return q.waiting;
}

int64_t Echo_Queue_Shown(int32_t control) {
    Queue& q = The_Queue();
    std::lock_guard<std::mutex> guard(q.lock);
    return q.Of(control).shown;
}

int32_t Serial_Port_Echo_Sent(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Sent", text);
    std::string rtf;
    if (trace::Console_Open()) {
        rtf = Echo_Sent_Document(text);
        ErrCheck_Comment("rtfText " + rtf + "     Len= " + std::to_string(rtf.size()) + "\r\n");
    }
    Echo(Echo_Kind::Sent, 100, text, std::move(rtf));
    return kdx_frame.result(int32_t(0));
}

int32_t Serial_Port_Echo_Status(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Status", text);
    Echo(Echo_Kind::Status, 100, text, {});
    return kdx_frame.result(int32_t(0));
}

int32_t Serial_Port_Echo_Response_Status(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Response_Status", text);
    Echo(Echo_Kind::Status, 101, text, {});
    return kdx_frame.result(int32_t(0));
}

int32_t Serial_Port_Echo_Received(const std::string& text) {
    KDX_FRAME("Serial_Port_Echo_Received", text);

    if (trace::Console_Open())
        for (const auto& piece : Received_Pieces(text)) ErrCheck_Comment(piece + "\r\n");
    Echo(Echo_Kind::Received, 101, text, {});
    return kdx_frame.result(int32_t(0));
}

}  // namespace kdx
