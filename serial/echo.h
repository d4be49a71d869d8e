// The traffic echo: what crosses the line, shown in colour in the terminal's two rich edits
// (100 sent and status, 101 received) and written to the port log while it is open.
//
// Each echo builds its document and log line on the calling thread and writes the log line
// at once. The document goes into one ordered queue. Without a dispatcher the queue is
// applied to the sink by the thread that echoes, in order, under the queue's lock. With a
// dispatcher (the GUI) only the dispatcher's thread applies it: an echo on that thread
// applies the queue before it returns; an echo from another thread (the receive poller)
// calls the dispatcher's post function and returns without waiting. Whatever the sink says a
// control cannot keep is dropped from the queue as newer documents arrive, so a flood faster
// than the sink holds no more than the control shows; the port log line is written first,
// whole, whatever the queue drops.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kdx {

enum class Echo_Kind { Sent, Status, Received };

// One echo as its sink takes it: a rich-text document for the rich edits, or, for a sink that
// shows plain text, the echoed text itself (Rtf left empty). Only the form the installed sink
// takes is built.
struct Echo_Document {
    Echo_Kind Kind = Echo_Kind::Sent;
    int32_t Control = 0;  // 100 or 101
    std::string Rtf;
    std::string Text{};  // plain-text sinks: the text as echoed, unchanged
};

// Where documents go. Apply runs on the thread that drains the queue, one document at a time,
// in the order the echoes were made.
class Echo_Sink {
  public:
    virtual ~Echo_Sink() = default;
    virtual void Echo_Apply(const Echo_Document& document) = 0;
    // True for a sink that shows plain text: its documents carry Text instead of Rtf.
    virtual bool Echo_Plain() const { return false; }
    // How many characters the control keeps (it drops the oldest past them), -1 all. The queue
    // then holds no document that newer ones waiting for the same control would push out.
    // Asked on the echoing thread with the queue's lock held: answer from what the sink knows.
    virtual int64_t Echo_Keep(int32_t /*control*/) const { return -1; }
};

// Installs the sink (null: documents are dropped). The caller keeps the sink alive until it
// installs another.
void Echo_Set_Sink(Echo_Sink* sink);
// Hands the queue to a user-interface thread: post is called (from any thread) when
// documents wait; that thread then calls Echo_Queue_Apply. A null post removes the dispatcher.
void Echo_Set_Dispatcher(std::thread::id ui_thread, std::function<void()> post);
// Applies every waiting document to the sink, in order.
void Echo_Queue_Apply();
// Applies waiting documents in order for about ms milliseconds (at least one); true when some
// still wait. The dispatcher's thread applies a flood this way, a slice per turn of its loop.
bool Echo_Queue_Apply_For(int32_t ms);
// How many documents wait, for every control.
size_t Echo_Queue_Waiting();
// The fewest characters the documents waiting for a control show: what the queue holds for it.
int64_t Echo_Queue_Shown(int32_t control);

// While one lives, this thread's echoes are queued in order but not yet shown; its end shows
// them (applies or posts the queue). A write holds one across the bytes' hand-over, so its
// command reaches the line before the terminal output it echoes, and still shows ahead of a
// reply that another thread reads. Nests.
class Echo_Hold {
  public:
    Echo_Hold();
    ~Echo_Hold();
    Echo_Hold(const Echo_Hold&) = delete;
    Echo_Hold& operator=(const Echo_Hold&) = delete;
};

int32_t Serial_Port_Echo_Sent(const std::string& text);
int32_t Serial_Port_Echo_Status(const std::string& text);
int32_t Serial_Port_Echo_Received(const std::string& text);
// A status line in the Response window (101): the program's own word on why something the
// user asked for did not happen, where the user looks for the controller's answer.
int32_t Serial_Port_Echo_Response_Status(const std::string& text);

// The documents and log lines the echoes make, for the sinks and for checking.
std::string Echo_Sent_Document(const std::string& text);
std::string Echo_Status_Document(const std::string& text);
std::string Echo_Received_Document(const std::string& text);
std::string Echo_Sent_Log_Line(const std::string& text);
std::string Echo_Status_Log_Line(const std::string& text);
std::string Echo_Received_Log_Line(const std::string& text);

// RTF escaping of text: \ { } and bytes above 127.
std::string Rtf_Escape(std::string_view text);
// The text a rich edit shows for one of the echo's documents: groups of tables skipped,
// \line as "\n", escapes resolved, raw CR and LF dropped.
std::string Rtf_Visible_Text(std::string_view rtf);
// The same text made straight from the echoed text, without a document: what the window shows
// for an echo of this kind.
std::string Echo_Visible_Text(Echo_Kind kind, std::string_view text);
// Received text as a terminal shows it, the way the port log keeps it: every byte as it came,
// commas too; CR, LF and CR LF one line break ("\n"); a zero byte and the other control
// characters but TAB and EOT named "CHR$(n)", so a reply cannot drive the user's terminal.
// after_cr: the text before this one ended in CR (its LF is no second break); updated. With
// ascii_names the control bytes are named as a terminal session shows them: <EOT>, <ESC>.
void Echo_Terminal_Received_Text(std::string_view text, bool& after_cr, std::string& out,
                                 bool ascii_names = false);

// Terminal sink, plain text on a file descriptor in ANSI colour (sent cyan, status green,
// received yellow); colour off for a descriptor that is not a terminal unless forced. Sent and
// status text as the window shows it, received text as it arrived (above). With crlf, line
// breaks are written as CR LF (a terminal in raw mode).
//
// Options of a terminal session (kdx-cli terminal): received lines start with the local time
// or the gap since the last received line; hex shows the bytes of both directions as hex with
// their printable text beside; own_lines starts each status echo and note on a line of its
// own and names control bytes (<EOT>) instead of CHR$(n), in both directions; a copy
// descriptor gets a plain-text transcript, one line per line of traffic, marked by direction,
// with the time. With timestamps (or sent text marked) received text never shares a line
// with sent text, so its time stands at the start of its line.
struct Echo_Terminal_Options {
    bool timestamps = false;
    bool delta = false;  // with timestamps: the gap since the last received line
    bool hex = false;
    bool own_lines = false;
    // Without colour to tell them apart: sent text on lines of its own, each starting "> ".
    bool mark_sent = false;
    // Sent text not shown (the transcript still has it).
    bool hide_sent = false;
    int copy_fd = -1;
};

class Echo_Terminal_Sink final : public Echo_Sink {
  public:
    explicit Echo_Terminal_Sink(int fd, bool colour, bool crlf);
    ~Echo_Terminal_Sink() override;  // shows what it still holds
    void Echo_Apply(const Echo_Document& document) override;
    bool Echo_Plain() const override { return true; }
    void Set_Crlf(bool crlf) { crlf_ = crlf; }
    void Set_Options(const Echo_Terminal_Options& options);
    // Holds sent text back up to ms milliseconds: it goes out in one write with whatever is
    // shown next, usually the reply, so the reader wakes once for both. 0: nothing is held.
    void Hold_Sent(int ms);
    // Shows held text whose time has come, or all of it; returns the milliseconds until what
    // is still held is due, -1 when nothing is held.
    int Flush(bool all);
    // The program's own line (green), after what is held and on a line of its own; also in
    // the copy. An empty text only ends the line shown, when it is not ended.
    void Note(const std::string& text);
    // Why the copy stopped ("" while it is written): a line it could not take whole, after
    // which nothing more is written to it.
    std::string Copy_Error();

  private:
    void Append_Text(const Echo_Document& document, std::string_view line_break);
    void Append_Hex(const Echo_Document& document, std::string_view line_break);
    void Append_Stamp();
    void Append_Marked_Sent(std::string_view text, std::string_view line_break);
    void Copy(const Echo_Document& document);
    void Copy_Line(const char* mark, std::string_view text);

    std::mutex lock_;  // the poller's echo and the caller's flush may meet
    int fd_;
    bool colour_;
    bool crlf_;
    Echo_Terminal_Options options_;
    bool after_cr_ = false;       // the last received text ended in CR
    bool at_line_start_ = true;   // the last character shown ended a line
    bool stamp_due_ = true;       // the next received character starts a line of its own
    bool line_has_sent_ = false;  // the line shown last holds sent text
    int64_t last_stamp_ms_ = -1;  // monotonic time of the last received line's stamp
    bool copy_after_cr_ = false;
    std::string copy_line_;       // received text of the copy not yet ended by a line break
    std::string copy_line_time_;  // when its first byte came
    std::string copy_error_;
    int hold_ms_ = 0;
    int64_t held_since_ms_ = 0;
    std::string held_;  // sent text not shown yet, with its colours
    std::string out_;   // kept between documents, so its room is reused
};

}  // namespace kdx
