#include "sim/sim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os/error.h"
#include "platform/os/handles.h"
#include "platform/os/system.h"
#include "platform/ports/ports_dir.h"
#include "platform/ports/pty.h"
#include "platform/ports/serial.h"

namespace kdx::sim {

namespace {

int64_t Now_Ns() {
    return platform::Query_Performance_Counter();
}

constexpr int64_t Ms = 1000000;

enum class Write_Result { Done, Blocked, Hang_Up };

struct Out_Item {
    int64_t due_ns = 0;
    std::string bytes;
    bool hang_up = false;
};

// Bytes read from the program, reaching the controller one wire time after another.
struct In_Item {
    int64_t first_due_ns = 0;  // when the first of them has fully arrived
    std::string bytes;
    size_t taken = 0;  // bytes already handed to the model
};

}  // namespace

struct Simulator::State {
    Sim_Config config;
    Controller_Model model;
    platform::Pty_Pair pty;
    int32_t wake = 0;  // a wake-up event handle
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> hung_up{false};
    std::atomic<bool> ended{true};
    bool registered = false;
    bool published = false;

    mutable std::mutex lock;
    std::condition_variable ended_changed;
    std::deque<std::string> to_send;  // from other threads: unasked bytes
    int64_t to_flood = 0;
    bool hang_up_requested = false;
    std::string received;
    int64_t dropped = 0;
    int64_t sent = 0;
    int32_t replies = 0;
    // A rate change on the program's side, or its wait for an answer, waits for this thread
    // to take what was written before it and put out what it answers at once
    // (Pty_Set_Peer_Reader): asks counted in, and answered once done.
    uint64_t take_asked = 0;
    uint64_t take_done = 0;
    bool taking_ended = false;
    std::condition_variable taken;

    // The simulator thread's own state.
    std::deque<Out_Item> out;
    size_t out_offset = 0;  // bytes of out.front() already written
    int64_t line_free_ns = 0;
    std::deque<In_Item> in;
    int64_t in_free_ns = 0;  // when the bytes read so far have all arrived
    bool flooded = false;
    bool hung_up_queued = false;
    uint64_t take_answered = 0;  // the last take_asked answered
    int64_t started_ns = 0;
    // How late timed wake-ups have been running, smoothed: a busy machine wakes threads
    // tens of microseconds after their deadline.
    int64_t wake_late_ns = 30000;

    explicit State(Sim_Config c) : config(std::move(c)), model(config.model) {}

    int64_t Byte_Ns(uint32_t baud) const {
        return config.wire_time && baud ? int64_t(10) * 1000000000 / baud : 0;
    }

    // Queues text as the line would carry it, from start_ns on.
    void Schedule(const std::string& text, int64_t start_ns, bool faults) {
        if (text.empty()) return;
        std::string bytes;
        if (faults && config.nul_every > 0) {
            for (size_t i = 0; i < text.size(); ++i) {
                bytes += text[i];
                if ((i + 1) % size_t(config.nul_every) == 0) bytes += '\0';
            }
        } else {
            bytes = text;
        }
        int64_t byte_ns = Byte_Ns(config.baud);
        int64_t slow_ns = faults ? int64_t(config.slow_ms) * Ms : 0;
        size_t piece = faults && config.piece_size > 0 ? size_t(config.piece_size) : bytes.size();
        int64_t t = std::max(start_ns, line_free_ns);
        for (size_t at = 0; at < bytes.size(); at += piece) {
            if (at > 0) t += int64_t(config.piece_gap_ms) * Ms;
            std::string chunk = bytes.substr(at, piece);
            if (byte_ns == 0 && slow_ns == 0) {
                out.push_back(Out_Item{t, std::move(chunk), false});
                continue;
            }
            // A byte is there for the program once its last bit has left.
            for (char c : chunk) {
                t += byte_ns;
                out.push_back(Out_Item{t, std::string(1, c), false});
                t += slow_ns;
            }
        }
        line_free_ns = t;
    }

    void Reply(const std::string& reply, int64_t now_ns) {
        if (reply.empty()) return;
        // A unit slow to wake: late for its first replies only.
        const bool late = config.late_replies < 0 || model.Answered() <= config.late_replies;
        Schedule(reply, now_ns + (late ? int64_t(config.late_ms) * Ms : 0), true);
        // Replies to commands that arrived together leave as one text: count the answers.
        int32_t count = model.Answered();
        {
            std::lock_guard<std::mutex> guard(lock);
            replies = count;
        }
        if (config.flood_bytes > 0 && !flooded) {
            flooded = true;
            Schedule(Flood_Text(config.flood_bytes), now_ns, false);
        }
        if (config.hangup_after >= 0 && count >= config.hangup_after)
            out.push_back(Out_Item{line_free_ns, std::string(), true});
    }

    void Take_Requests(int64_t now_ns) {
        std::deque<std::string> sends;
        int64_t flood = 0;
        bool hang = false;
        {
            std::lock_guard<std::mutex> guard(lock);
            sends.swap(to_send);
            flood = to_flood;
            to_flood = 0;
            hang = hang_up_requested;
        }
        for (auto& s : sends) Schedule(s, now_ns, false);
        if (flood > 0) Schedule(Flood_Text(flood), now_ns, false);
        if (hang) out.push_front(Out_Item{now_ns, std::string(), true});
    }

    // On the program's thread, before it changes the line's rate: returns once this thread
    // has read everything written so far (or has ended).
    void Take_Before_Rate_Change() {
        std::unique_lock<std::mutex> guard(lock);
        if (taking_ended) return;
        uint64_t ask = ++take_asked;
        Wake();
        taken.wait(guard, [&] { return take_done >= ask || taking_ended; });
    }

    // How many more bytes the controller reads before it hangs up or stalls (-1: no end).
    int64_t Reading_Left() const {
        int64_t limit = -1;
        for (int64_t at : {config.hangup_after_bytes, config.stall_after_bytes})
            if (at >= 0 && (limit < 0 || at < limit)) limit = at;
        if (limit < 0) return -1;
        std::lock_guard<std::mutex> guard(lock);
        return std::max<int64_t>(0, limit - int64_t(received.size()));
    }

    void Take_Input(int64_t now_ns) {
        char buf[65536];
        int64_t byte_ns = Byte_Ns(config.baud);
        for (;;) {
            int64_t left = Reading_Left();
            if (left == 0) {
                // At its limit: a hang-up goes out next; a stall reads nothing more.
                if (config.hangup_after_bytes >= 0 && !hung_up_queued) {
                    hung_up_queued = true;
                    out.push_front(Out_Item{now_ns, std::string(), true});
                }
                return;
            }
            size_t room = left < 0 ? sizeof buf : std::min(sizeof buf, size_t(left));
            size_t n = platform::Pty_Read(pty.master, buf, room);
            if (n == 0) return;
            // What the program sends at another rate arrives garbled: the controller
            // ignores it.
            uint32_t baud = platform::Pty_Baud(pty.master);
            if (baud != config.baud) {
                std::lock_guard<std::mutex> guard(lock);
                dropped += int64_t(n);
                continue;
            }
            {
                std::lock_guard<std::mutex> guard(lock);
                received.append(buf, n);
            }
            if (byte_ns == 0) {
                Reply(model.Receive(std::string_view(buf, n), now_ns / Ms), now_ns);
                continue;
            }
            // The program's driver hands bytes over at once; the controller has a byte
            // only once its ten bits have crossed the line, so a command is taken no
            // sooner than it could have been on a real line.
            int64_t first = std::max(now_ns, in_free_ns) + byte_ns;
            in_free_ns = first + int64_t(n - 1) * byte_ns;
            in.push_back(In_Item{first, std::string(buf, n), 0});
        }
    }

    // Hands the model the bytes that have arrived by now, all in one piece. The controller
    // answers from the moment the last of them arrived, so a late wake-up here does not
    // push the reply back.
    void Deliver_Input(int64_t now_ns) {
        int64_t byte_ns = Byte_Ns(config.baud);
        std::string arrived;
        int64_t last_ns = 0;
        while (!in.empty()) {
            In_Item& item = in.front();
            if (item.first_due_ns > now_ns) break;
            size_t have = size_t((now_ns - item.first_due_ns) / byte_ns) + 1;
            have = std::min(have, item.bytes.size());
            arrived.append(item.bytes, item.taken, have - item.taken);
            item.taken = have;
            last_ns = item.first_due_ns + int64_t(have - 1) * byte_ns;
            if (item.taken < item.bytes.size()) break;
            in.pop_front();
        }
        if (!arrived.empty()) Reply(model.Receive(arrived, last_ns / Ms), last_ns);
    }

    bool Model_Due(int64_t now_ns) const {
        int64_t due_ms = model.Next_Deadline();
        return due_ms >= 0 && due_ms * Ms <= now_ns;
    }

    // When the next byte still on its way in arrives (-1: none).
    int64_t Next_Arrival() const {
        if (in.empty()) return -1;
        const In_Item& item = in.front();
        return item.first_due_ns + int64_t(item.taken) * Byte_Ns(config.baud);
    }

    // Writes what is due, until the program's queue is full.
    Write_Result Write_Due(int64_t now_ns) {
        while (!out.empty() && out.front().due_ns <= now_ns) {
            Out_Item& item = out.front();
            if (item.hang_up) return Write_Result::Hang_Up;
            const char* p = item.bytes.data() + out_offset;
            size_t left = item.bytes.size() - out_offset;
            if (config.on_write && out_offset == 0) config.on_write(item.bytes, Now_Ns());
            int64_t n = platform::Pty_Write(pty.master, std::string_view(p, left));
            if (n <= 0) return Write_Result::Blocked;
            {
                std::lock_guard<std::mutex> guard(lock);
                sent += n;
            }
            out_offset += size_t(n);
            if (out_offset < item.bytes.size()) return Write_Result::Blocked;
            out_offset = 0;
            out.pop_front();
        }
        return Write_Result::Done;
    }

    void Run() {
        // Reply bytes are due to the microsecond: the default timer slack would add tens.
        platform::Fine_Thread_Timers();
        started_ns = Now_Ns();
        if (!config.greeting.empty()) Schedule(config.greeting, started_ns, false);
        while (!stop) {
            int64_t now = Now_Ns();
            if (config.hangup_ms >= 0 && now >= started_ns + int64_t(config.hangup_ms) * Ms) break;
            Take_Requests(now);
            Write_Result written = Write_Due(now);
            if (written == Write_Result::Hang_Up) break;
            bool blocked = written == Write_Result::Blocked;
            // While the program's queue is full, the wait's output readiness says when to go on.
            int64_t deadline = -1;
            auto earlier = [&deadline](int64_t at) {
                if (at >= 0 && (deadline < 0 || at < deadline)) deadline = at;
            };
            if (!out.empty() && !blocked) earlier(out.front().due_ns);
            earlier(Next_Arrival());
            int64_t model_ms = model.Next_Deadline();
            if (model_ms >= 0) earlier(model_ms * Ms);
            if (config.hangup_ms >= 0) earlier(started_ns + int64_t(config.hangup_ms) * Ms);
            // The last byte queued is the one a waiting program reacts to: sleep until shortly
            // before it is due and spin the rest, so it leaves on time, never early.
            int64_t wait_until = deadline;
            if (Byte_Ns(config.baud) > 0 && out.size() == 1 && !blocked &&
                deadline == out.front().due_ns) {
                int64_t margin = std::clamp<int64_t>(wake_late_ns * 3 / 2 + 10000, 20000, 250000);
                if (deadline - now > margin) {
                    wait_until = deadline - margin;
                } else {
                    while (Now_Ns() < deadline) {
                    }
                    wait_until = 0;  // only look at the line
                }
            }
            platform::Pty_Events events;
            // A stalled controller does not look at the line, so its input does not wake it.
            bool listening = Reading_Left() != 0;
            if (!platform::Pty_Wait(pty.master, wake, blocked, wait_until, events, listening))
                break;
            now = Now_Ns();
            if (wait_until > 0 && !events.input && !events.woken && !events.writable)
                wake_late_ns += (std::max<int64_t>(0, now - wait_until) - wake_late_ns) / 8;
            if (events.woken) platform::Reset_Wake_Event(wake);
            // Asked for after the bytes were written, so this read takes all of them: a read
            // of the master that finds nothing first waits for what the slave has queued.
            uint64_t asked = 0;
            {
                std::lock_guard<std::mutex> guard(lock);
                asked = take_asked;
            }
            if (events.input || asked > take_answered || !listening) Take_Input(now);
            // A quiet spell that ended before the next byte arrived ends the command first.
            // The model's clock then reads the end of that spell, never running backwards.
            int64_t arrival = Next_Arrival();
            int64_t quiet_end = model.Next_Deadline() * Ms;
            if (Model_Due(now) && arrival >= 0 && quiet_end < arrival)
                Reply(model.Idle(quiet_end / Ms), quiet_end);
            Deliver_Input(now);
            if (Model_Due(now)) Reply(model.Idle(now / Ms), now);
            if (asked > take_answered) {
                // What it answers at once is on the line before the asker goes on.
                if (Write_Due(now) == Write_Result::Hang_Up) break;
                take_answered = asked;
                std::lock_guard<std::mutex> guard(lock);
                take_done = asked;
                taken.notify_all();
            }
        }
        Finish();
    }

    // A hang-up (or the end): the line goes away and so does its registration, unless
    // another simulator has registered the number since.
    void Finish() {
        if (!stop) hung_up = true;
        {
            std::lock_guard<std::mutex> guard(lock);
            taking_ended = true;
            taken.notify_all();
        }
        platform::Pty_Set_Peer_Reader(pty, nullptr);
        if (registered) {
            platform::Ports_Dir_Unregister_Device(config.number, pty.device);
            registered = false;
        }
        if (published) {
            platform::Pty_Unpublish(pty, config.link);
            published = false;
        }
        platform::Pty_Close(pty);
        std::lock_guard<std::mutex> guard(lock);
        ended = true;
        ended_changed.notify_all();
    }

    // Nothing useful can be done about a wake-up that fails: the loop's deadline still ends
    // the wait.
    void Wake() { platform::Set_Wake_Event(wake); }
};

Simulator::Simulator(Sim_Config config) : state_(std::make_unique<State>(std::move(config))) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start() {
    State& s = *state_;
    if (s.thread.joinable()) return true;
    if (!platform::Pty_Open(s.pty)) return false;
    s.wake = platform::Create_Wake_Event();
    if (!platform::Handle_Usable(s.wake)) {
        s.wake = 0;
        platform::Pty_Close(s.pty);
        return false;
    }
    // A start that fails undoes what it did and keeps the failure's code.
    auto fail = [&s] {
        uint32_t error = platform::Get_Last_Error();
        if (s.registered) platform::Ports_Dir_Unregister_Device(s.config.number, s.pty.device);
        s.registered = false;
        platform::Pty_Close(s.pty);
        platform::Close_Handle(s.wake);
        s.wake = 0;
        platform::Set_Last_Error(error);
        return false;
    };
    if (s.config.number > 0) {
        if (!platform::Ports_Dir_Register(s.config.number, s.pty.device)) return fail();
        s.registered = true;
    }
    if (!s.config.link.empty()) {
        if (!platform::Pty_Publish(s.pty, s.config.link)) return fail();
        s.published = true;
    }
    s.ended = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.taking_ended = false;
    }
    // Before the thread starts, so the thread's end always removes it.
    platform::Pty_Set_Peer_Reader(s.pty, [&s] {
        s.Take_Before_Rate_Change();
        std::lock_guard<std::mutex> guard(s.lock);
        return int64_t(s.received.size()) + s.dropped;
    });
    s.thread = std::thread([&s] { s.Run(); });
    return true;
}

void Simulator::Stop() {
    State& s = *state_;
    if (!s.thread.joinable()) return;
    s.stop = true;
    s.Wake();
    s.thread.join();
    platform::Close_Handle(s.wake);
    s.wake = 0;
}

const std::string& Simulator::Device() const {
    return state_->pty.device;
}

int32_t Simulator::Number() const {
    return state_->config.number;
}

void Simulator::Send(std::string bytes) {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->to_send.push_back(std::move(bytes));
    }
    state_->Wake();
}

void Simulator::Flood(int64_t bytes) {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->to_flood += bytes;
    }
    state_->Wake();
}

void Simulator::Hang_Up() {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->hang_up_requested = true;
    }
    state_->Wake();
}

bool Simulator::Hung_Up() const {
    return state_->hung_up;
}

bool Simulator::Wait_Ended(uint32_t timeout_ms) {
    std::unique_lock<std::mutex> guard(state_->lock);
    return state_->ended_changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                          [&] { return state_->ended.load(); });
}

std::string Simulator::Received() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->received;
}

int64_t Simulator::Dropped() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->dropped;
}

int64_t Simulator::Sent() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->sent;
}

int32_t Simulator::Replies() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->replies;
}

}  // namespace kdx::sim
