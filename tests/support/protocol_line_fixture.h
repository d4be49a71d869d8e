// The protocol against the simulated controller over a real pseudo-terminal: a port open at
// the rate asked, what the controller received and what the terminal was shown.
#pragma once
#include <string>

#include "tests/support/serial_fixture.h"

namespace kdx::test {

class Protocol_Line_Test : public Sim_Port_Test {
  protected:
    void Start(sim::Sim_Config config = {}, int32_t baud = 57600) {
        Start_Sim(config);
        ASSERT_GT(Open(baud), 0);
        capture.Clear();
    }
    // What the controller has received, once at least want bytes have arrived.
    std::string Received(size_t want) {
        Eventually([&] { return sim->Received().size() >= want; }, 2000);
        return sim->Received();
    }
    std::string Sent() const { return capture.Visible(Echo_Kind::Sent); }
    std::string Status() const { return capture.Visible(Echo_Kind::Status); }
};

}  // namespace kdx::test
