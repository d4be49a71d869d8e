#include "tests/support/echo_capture.h"

#include "platform/os/system.h"

namespace kdx {

void Echo_Capture_Sink::Echo_Apply(const Echo_Document& document) {
    int64_t now = platform::Query_Performance_Counter();
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back(Entry{document, now});
}

std::vector<Echo_Capture_Sink::Entry> Echo_Capture_Sink::Entries() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_;
}

std::string Echo_Capture_Sink::Visible(Echo_Kind kind) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::string out;
    for (const auto& e : entries_)
        if (e.Document.Kind == kind) out += Rtf_Visible_Text(e.Document.Rtf);
    return out;
}

size_t Echo_Capture_Sink::Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_.size();
}

void Echo_Capture_Sink::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.clear();
}

}  // namespace kdx
