// A sink that passes every echo document on to a capture sink, and makes one more call the
// first time a document of the given kind arrives: for the tests of what an echo may do while
// it is being applied.
#pragma once
#include <atomic>
#include <functional>
#include <utility>

#include "serial/echo.h"
#include "tests/support/serial_fixture.h"

namespace kdx::test {

class Reacting_Sink final : public Echo_Sink {
  public:
    Reacting_Sink(Echo_Capture_Sink& capture, Echo_Kind on, std::function<void()> react)
        : capture_(capture), on_(on), react_(std::move(react)) {}
    void Echo_Apply(const Echo_Document& document) override {
        capture_.Echo_Apply(document);
        if (document.Kind == on_ && !done_.exchange(true)) react_();
    }

  private:
    Echo_Capture_Sink& capture_;
    Echo_Kind on_;
    std::function<void()> react_;
    std::atomic<bool> done_{false};
};

}  // namespace kdx::test
