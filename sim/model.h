// The simulated KDX controller's behaviour, apart from any line: bytes in, reply bytes out.
// The pseudo-terminal transport (sim.h) feeds it what arrives at the controller's baud
// rate and sends back what it returns.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kdx::sim {

// The text a flood sends: letters and digits in lines ending in CR LF, nothing the program
// treats specially ("?" or ",").
std::string Flood_Text(int64_t bytes);

struct Model_Config {
    // Stop answering after this many queries (-1: never).
    int32_t answer_limit = -1;
    // Corrupt one stored program step: axis 1..4 (0: none) and step index from 1.
    int32_t corrupt_axis = 0;
    int32_t corrupt_step = 0;
    // How long a command without terminator that could still grow waits for more bytes
    // before it is taken as it stands; -1: never, as a real controller, which takes
    // characters until the separator however slowly they are typed.
    int32_t quiet_ms = -1;
    // How many axes the controller has (1..4): commands naming another axis are refused.
    int32_t axes = 4;
    // The serial and order number stored at the start ("" keeps the factory ones): any
    // bytes, for a unit that answers with escapes, formulas or an overlong serial.
    std::string serial{};
    std::string order{};
};

class Controller_Model {
  public:
    explicit Controller_Model(Model_Config config = {});
    ~Controller_Model();
    Controller_Model(const Controller_Model&) = delete;
    Controller_Model& operator=(const Controller_Model&) = delete;

    // Takes bytes received on the line at now_ms (a monotonic clock) and returns the bytes
    // the controller sends in answer (often empty). Commands arrive without terminators and
    // in pieces; the model keeps an incomplete command until more bytes or Idle complete it.
    std::string Receive(std::string_view bytes, int64_t now_ms);

    // Called when the line has been quiet until now_ms: completes a command that could
    // still have grown, and returns any reply that is due.
    std::string Idle(int64_t now_ms);

    // The time at which the model next wants Idle called (-1: none pending).
    int64_t Next_Deadline() const;

    // Everything received so far, in order (for tests and the simulator's log).
    const std::string& Received() const;
    // The number of queries answered so far.
    int32_t Answered() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kdx::sim
