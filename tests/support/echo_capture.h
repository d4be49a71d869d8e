// A sink for tests: keeps every document the echo applies.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "serial/echo.h"

namespace kdx {

// Capture sink: keeps every document, with the time it was applied.
class Echo_Capture_Sink final : public Echo_Sink {
  public:
    struct Entry {
        Echo_Document Document;
        int64_t Applied_Ns;  // monotonic clock
    };
    void Echo_Apply(const Echo_Document& document) override;
    std::vector<Entry> Entries() const;
    // Visible text of every document of one kind, run together.
    std::string Visible(Echo_Kind kind) const;
    size_t Count() const;
    void Clear();

  private:
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
};

}  // namespace kdx
