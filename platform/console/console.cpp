#include "platform/console/console.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

#include "platform/console/console_os.h"
#include "platform/os/error.h"
#include "platform/os/system.h"

namespace kdx::platform {

namespace {

void Write_All(int fd, std::string_view text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a console that cannot be written loses the text, nothing more
        done += size_t(n);
    }
}

// ---- the ANSI terminal ----

class Terminal_Console final : public Console_Device {
  public:
    Terminal_Console(int output_fd, int key_fd, bool colours, bool owns_key_fd)
        : out_(output_fd), keys_(key_fd), colours_(colours), owns_keys_(owns_key_fd) {}

    ~Terminal_Console() override {
        if (raw_) tcsetattr(keys_, TCSANOW, &saved_);
        if (colours_ && last_attribute_ != -1) Write_All(out_, "\x1b[0m");
        if (owns_keys_ && keys_ >= 0) ::close(keys_);
    }

    void Write(std::string_view text, int32_t attribute) override {
        if (colours_ && attribute != last_attribute_) {
            std::string out = Attribute_Sequence(attribute);
            out += text;
            last_attribute_ = attribute;
            Write_All(out_, out);
        } else {
            Write_All(out_, text);
        }
    }

    void Set_Title(const std::string& title) override {
        // Only a terminal understands the title sequence; a file would keep it as noise.
        if (colours_) Write_All(out_, "\x1b]0;" + title + "\x07");
    }

    bool Has_Keyboard() override {
        if (keys_ < 0 || hung_up_) return false;
        // A background job that read the terminal or changed its mode would be stopped by
        // the shell; its pauses go on without a key instead. (-1: not our controlling
        // terminal, so no job control applies.)
        pid_t foreground = tcgetpgrp(keys_);
        return foreground < 0 || foreground == getpgrp();
    }

    bool Begin_Keys() override {
        if (!Has_Keyboard()) return true;
        termios t{};
        if (tcgetattr(keys_, &t) != 0) {
            Set_Last_Error_From_Errno(errno);
            return false;
        }
        saved_ = t;
        // Every key at once, unechoed. Ctrl-C arrives as a byte and ends the program the
        // orderly way (as End does) instead of leaving the terminal in raw mode.
        t.c_lflag &= ~tcflag_t(ICANON | ECHO | ISIG | IEXTEN);
        t.c_iflag &= ~tcflag_t(IXON | ICRNL | INLCR);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (tcsetattr(keys_, TCSANOW, &t) != 0) {
            Set_Last_Error_From_Errno(errno);
            return false;
        }
        raw_ = true;
        return true;
    }

    bool End_Keys() override {
        pending_.clear();
        if (!raw_) return true;
        raw_ = false;
        if (tcsetattr(keys_, TCSANOW, &saved_) != 0) {
            Set_Last_Error_From_Errno(errno);
            return false;
        }
        return true;
    }

    int32_t Poll_Key(uint32_t timeout_ms) override {
        if (!Has_Keyboard()) return 0;
        int64_t deadline = Tick_Count_Ms() + timeout_ms;
        for (;;) {
            Decoded_Key d = Decode_Terminal_Key(pending_);
            if (d.used) {
                pending_.erase(0, d.used);
                return d.key;
            }
            // The rest of an escape sequence follows at once; a lone ESC does not.
            int64_t wait = pending_.empty() ? deadline - Tick_Count_Ms() : 50;
            if (wait < 0) wait = 0;
            pollfd p{keys_, POLLIN, 0};
            int r = ::poll(&p, 1, int(wait));
            if (r < 0 && errno == EINTR) continue;
            if (r > 0 && (p.revents & POLLIN)) {
                char buf[64];
                ssize_t n = ::read(keys_, buf, sizeof buf);
                if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                if (n > 0) {
                    pending_.append(buf, size_t(n));
                    continue;
                }
            }
            if (r != 0) {  // hang-up or error: no keyboard from now on, never a spin
                hung_up_ = true;
                return 0;
            }
            if (!pending_.empty()) {
                pending_.clear();
                return VK_ESCAPE;
            }
            return 0;
        }
    }

  private:
    int out_;
    int keys_;
    bool colours_;
    bool owns_keys_;
    bool raw_ = false;
    bool hung_up_ = false;
    termios saved_{};
    int32_t last_attribute_ = -1;
    std::string pending_;
};

}  // namespace

std::unique_ptr<Console_Device> Default_Terminal() {
    bool tty = ::isatty(2) == 1;
    bool colours = tty && Environment("NO_COLOR").empty();
    // Keys only matter where the prompt can be seen: with standard error redirected a
    // pause must not wait on a keyboard nobody is looking at.
    int keys = tty ? ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    return Make_Terminal_Console(2, keys, colours, true);
}

std::unique_ptr<Console_Device> Make_Terminal_Console(int output_fd, int key_fd, bool colours,
                                                      bool owns_key_fd) {
    return std::make_unique<Terminal_Console>(output_fd, key_fd, colours, owns_key_fd);
}

}  // namespace kdx::platform
