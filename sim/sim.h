// The simulator's line: a pseudo-terminal registered as COM<n>, fed to the controller model
// while the line runs at the controller's own baud rate, with switches for the faults a real
// line and controller show.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "sim/model.h"

namespace kdx::sim {

struct Sim_Config {
    int32_t number = 0;         // register as COM<number> in the ports directory (0: do not)
    uint32_t baud = 57600;      // the controller listens and answers only at this rate
    bool wire_time = false;     // hold each reply byte for its time on the wire (10 bits)
    int32_t late_ms = 0;        // each reply starts this long after its command
    int32_t late_replies = -1;  // only the first this many replies are late (-1: all)
    int32_t slow_ms = 0;        // a pause after every reply byte: replies trickle out
    int32_t piece_size = 0;     // replies go out in pieces of this many bytes (0: whole)
    int32_t piece_gap_ms = 5;
    int32_t nul_every = 0;      // a zero byte after every n reply bytes (0: none)
    int64_t flood_bytes = 0;    // after the first reply, this many bytes of text follow
    int32_t hangup_after = -1;  // hang up once this many replies have gone out (-1: never)
    int32_t hangup_ms = -1;     // hang up this long after the start (-1: never)
    // Hang up once this many bytes have been received (-1: never): a controller that goes
    // away in the middle of a file.
    int64_t hangup_after_bytes = -1;
    // Stop reading the line once this many bytes have been received (-1: never): the
    // program's writes back up in its driver, as with a controller that stopped listening.
    int64_t stall_after_bytes = -1;
    std::string greeting;  // sent at the start, before any program opens the port
    // Also reached through a link at this path, made at the start and removed at the end; the
    // line is then the controlling terminal of a session of the simulator's own.
    std::string link;
    Model_Config model;
    // Called on the simulator's thread right before bytes are written to the line, with
    // the monotonic clock in nanoseconds.
    std::function<void(std::string_view bytes, int64_t now_ns)> on_write;
};

class Simulator {
  public:
    explicit Simulator(Sim_Config config = {});
    ~Simulator();  // stops; the registration goes with it
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the pseudo-terminal, registers it and starts answering. False with the last error.
    bool Start();
    void Stop();

    const std::string& Device() const;
    int32_t Number() const;

    // As the controller: bytes sent now, unasked (wire time applies, the faults do not).
    void Send(std::string bytes);
    void Flood(int64_t bytes);
    // Ends the line as a pulled cable does: the program's port hangs up.
    void Hang_Up();
    bool Hung_Up() const;
    // Waits until the simulator's thread has ended (after a hang-up), at most timeout_ms.
    bool Wait_Ended(uint32_t timeout_ms);

    // Everything received at the controller's rate, and the count of bytes dropped because
    // the line was at another rate.
    std::string Received() const;
    int64_t Dropped() const;
    int64_t Sent() const;
    int32_t Replies() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kdx::sim
