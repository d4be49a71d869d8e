// The console devices that are the same everywhere: the capture device, the choice of a
// device, and the terminal's colour and key sequences.
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

#include "platform/console/console.h"
#include "platform/console/console_os.h"
#include "platform/os/error.h"
#include "platform/os/system.h"

namespace kdx::platform {

namespace {

// ---- the capture device ----

struct Capture_Record {
    std::mutex lock;
    std::condition_variable key_arrived;
    std::vector<Capture_Segment> segments;
    std::string title;
    std::deque<int32_t> keys;
    bool keyboard = false;
    int32_t open = 0;
};

Capture_Record& Capture() {
    static Capture_Record record;
    return record;
}

class Capture_Console final : public Console_Device {
  public:
    Capture_Console() {
        std::lock_guard<std::mutex> g(Capture().lock);
        ++Capture().open;
    }
    ~Capture_Console() override {
        std::lock_guard<std::mutex> g(Capture().lock);
        --Capture().open;
    }
    void Write(std::string_view text, int32_t attribute) override {
        auto& c = Capture();
        std::lock_guard<std::mutex> g(c.lock);
        if (!c.segments.empty() && c.segments.back().attribute == attribute)
            c.segments.back().text += text;
        else
            c.segments.push_back(Capture_Segment{std::string(text), attribute});
    }
    void Set_Title(const std::string& title) override {
        std::lock_guard<std::mutex> g(Capture().lock);
        Capture().title = title;
    }
    bool Has_Keyboard() override {
        std::lock_guard<std::mutex> g(Capture().lock);
        return Capture().keyboard;
    }
    int32_t Poll_Key(uint32_t timeout_ms) override {
        auto& c = Capture();
        std::unique_lock<std::mutex> g(c.lock);
        c.key_arrived.wait_for(g, std::chrono::milliseconds(timeout_ms),
                               [&] { return !c.keys.empty(); });
        if (c.keys.empty()) return 0;
        int32_t key = c.keys.front();
        c.keys.pop_front();
        return key;
    }
};

// ---- selection ----

std::mutex registry_lock;
std::map<std::string, Console_Factory>& Registry() {
    static std::map<std::string, Console_Factory> registry;
    return registry;
}

}  // namespace

std::string Attribute_Sequence(int32_t attribute) {
    // The console's bits are blue 1, green 2, red 4; ANSI numbers red 1, green 2, blue 4.
    auto ansi = [](int32_t bits) { return (bits & 4 ? 1 : 0) | (bits & 2) | (bits & 1 ? 4 : 0); };
    int32_t fg = attribute & 0xF;
    int32_t bg = (attribute >> 4) & 0xF;
    std::string out = "\x1b[0;" + std::to_string((fg & 8 ? 90 : 30) + ansi(fg));
    // Background 0 is the terminal's own background, so light themes stay readable.
    if (bg) out += ";" + std::to_string((bg & 8 ? 100 : 40) + ansi(bg));
    out += "m";
    return out;
}

Decoded_Key Decode_Terminal_Key(std::string_view b) {
    if (b.empty()) return {};
    auto c = static_cast<unsigned char>(b[0]);
    if (c != 0x1B) {
        switch (c) {
            case 0x03:  // Ctrl-C
                return {VK_END, 1};
            case '\r':
            case '\n':
                return {VK_RETURN, 1};
            case 0x7F:
            case 0x08:
                return {VK_BACK, 1};
            case '\t':
                return {VK_TAB, 1};
            default:
                break;
        }
        if (std::isalnum(c) || c == ' ') return {int32_t(std::toupper(c)), 1};
        size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;  // one UTF-8 character
        if (b.size() < len) return {};
        return {VK_OTHER, len};
    }
    if (b.size() < 2) return {};
    if (b[1] == 'O') {  // SS3: application-mode keys
        if (b.size() < 3) return {};
        switch (b[2]) {
            case 'P':
            case 'Q':
            case 'R':
            case 'S':
                return {VK_F1 + (b[2] - 'P'), 3};
            case 'H':
                return {VK_HOME, 3};
            case 'F':
                return {VK_END, 3};
            case 'A':
                return {VK_UP, 3};
            case 'B':
                return {VK_DOWN, 3};
            case 'C':
                return {VK_RIGHT, 3};
            case 'D':
                return {VK_LEFT, 3};
            default:
                return {VK_OTHER, 3};
        }
    }
    if (b[1] != '[') return {VK_OTHER, 2};  // Alt with a key
    if (b.size() >= 3 && b[2] == '[') {     // the Linux console's F1 to F5
        if (b.size() < 4) return {};
        return {b[3] >= 'A' && b[3] <= 'E' ? VK_F1 + (b[3] - 'A') : VK_OTHER, 4};
    }
    // Parameters, then intermediates, then the final byte; only the first parameter counts.
    size_t i = 2;
    int first = 0;
    bool in_first = true;
    while (i < b.size() && static_cast<unsigned char>(b[i]) >= 0x30 &&
           static_cast<unsigned char>(b[i]) <= 0x3F) {
        if (b[i] == ';')
            in_first = false;
        else if (in_first && b[i] >= '0' && b[i] <= '9' && first < 1000)
            first = first * 10 + (b[i] - '0');
        ++i;
    }
    while (i < b.size() && static_cast<unsigned char>(b[i]) >= 0x20 &&
           static_cast<unsigned char>(b[i]) <= 0x2F)
        ++i;
    if (i >= b.size()) return b.size() > 32 ? Decoded_Key{VK_OTHER, b.size()} : Decoded_Key{};
    char final = b[i];
    size_t used = i + 1;
    switch (final) {
        case 'A':
            return {VK_UP, used};
        case 'B':
            return {VK_DOWN, used};
        case 'C':
            return {VK_RIGHT, used};
        case 'D':
            return {VK_LEFT, used};
        case 'H':
            return {VK_HOME, used};
        case 'F':
            return {VK_END, used};
        case 'P':
        case 'Q':
        case 'R':
        case 'S':
            return {VK_F1 + (final - 'P'), used};
        case '~':
            switch (first) {
                case 1:
                case 7:
                    return {VK_HOME, used};
                case 2:
                    return {VK_INSERT, used};
                case 3:
                    return {VK_DELETE, used};
                case 4:
                case 8:
                    return {VK_END, used};
                case 11:
                case 12:
                case 13:
                case 14:
                case 15:
                    return {VK_F1 + (first - 11), used};
                case 17:
                case 18:
                case 19:
                case 20:
                case 21:
                    return {VK_F1 + 5 + (first - 17), used};
                case 23:
                case 24:
                    return {VK_F1 + 10 + (first - 23), used};
                default:
                    return {VK_OTHER, used};
            }
        default:
            return {VK_OTHER, used};
    }
}

void Register_Console_Device(const std::string& kind, Console_Factory factory) {
    std::lock_guard<std::mutex> g(registry_lock);
    if (factory)
        Registry()[kind] = std::move(factory);
    else
        Registry().erase(kind);
}

std::unique_ptr<Console_Device> Create_Console() {
    std::string kind = Environment("KDX_CONSOLE");
    Console_Factory factory;
    {
        std::lock_guard<std::mutex> g(registry_lock);
        auto found = Registry().find(kind.empty() ? std::string("window") : kind);
        if (found != Registry().end()) factory = found->second;
    }
    if (factory) return factory();
    if (kind.empty() || kind == "terminal" || kind == "window") return Default_Terminal();
    if (kind == "capture") return std::make_unique<Capture_Console>();
    if (kind == "none") {
        Set_Last_Error(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    std::fprintf(stderr, "kdx: KDX_CONSOLE=%s is not one of window, terminal, capture, none\n",
                 kind.c_str());
    Set_Last_Error(ERROR_INVALID_PARAMETER);
    return nullptr;
}

void Capture_Reset() {
    auto& c = Capture();
    std::lock_guard<std::mutex> g(c.lock);
    c.segments.clear();
    c.title.clear();
    c.keys.clear();
    c.keyboard = false;
}

std::vector<Capture_Segment> Capture_Segments() {
    std::lock_guard<std::mutex> g(Capture().lock);
    return Capture().segments;
}

std::string Capture_Text() {
    std::lock_guard<std::mutex> g(Capture().lock);
    std::string out;
    for (const auto& s : Capture().segments) out += s.text;
    return out;
}

std::string Capture_Title() {
    std::lock_guard<std::mutex> g(Capture().lock);
    return Capture().title;
}

int32_t Capture_Open_Count() {
    std::lock_guard<std::mutex> g(Capture().lock);
    return Capture().open;
}

void Capture_Set_Keyboard(bool present) {
    std::lock_guard<std::mutex> g(Capture().lock);
    Capture().keyboard = present;
}

void Capture_Push_Key(int32_t key) {
    auto& c = Capture();
    {
        std::lock_guard<std::mutex> g(c.lock);
        c.keys.push_back(key);
    }
    c.key_arrived.notify_all();
}

size_t Capture_Pending_Keys() {
    std::lock_guard<std::mutex> g(Capture().lock);
    return Capture().keys.size();
}

}  // namespace kdx::platform
