// The debug console on Windows: the process's console window, with its own colour attributes,
// title and keys. A program without one (the windowed program) gets one with AllocConsole;
// with standard error redirected (a file, a pipe, a test) the text goes there plainly and no
// pause waits for a key.
#include <io.h>

#include "platform/console/console.h"
#include "platform/console/console_os.h"
#include "platform/os/error.h"
#include "platform/os/system.h"

#include "platform/os/win32.h"

namespace kdx::platform {

namespace {

void Write_All(HANDLE out, std::string_view text) {
    size_t done = 0;
    while (done < text.size()) {
        DWORD n = 0;
        DWORD chunk = DWORD(std::min<size_t>(text.size() - done, 1u << 20));
        if (!::WriteFile(out, text.data() + done, chunk, &n, nullptr) || n == 0) return;
        done += n;
    }
}

bool Is_Console(HANDLE h) {
    DWORD mode = 0;
    return h && h != win32::System_Invalid && ::GetConsoleMode(h, &mode);
}

class Windows_Console final : public Console_Device {
  public:
    Windows_Console(HANDLE out, HANDLE keys) : out_(out), keys_(keys) {}

    ~Windows_Console() override {
        End_Keys();
        ::SetConsoleTextAttribute(out_, 0x07);
    }

    void Write(std::string_view text, int32_t attribute) override {
        if (attribute != last_attribute_) {
            ::SetConsoleTextAttribute(out_, WORD(attribute));
            last_attribute_ = attribute;
        }
        std::wstring wide = win32::Wide(text);
        size_t done = 0;
        while (done < wide.size()) {
            DWORD n = 0;
            if (!::WriteConsoleW(out_, wide.data() + done, DWORD(wide.size() - done), &n,
                                 nullptr) ||
                n == 0)
                return;  // a console that cannot be written loses the text, nothing more
            done += n;
        }
    }

    void Set_Title(const std::string& title) override {
        ::SetConsoleTitleW(win32::Wide(title).c_str());
    }

    void Size_Buffer() override {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!::GetConsoleScreenBufferInfo(out_, &info)) return;
        COORD size = info.dwSize;
        size.Y = 9999;  // scroll-back for a long trace
        ::SetConsoleScreenBufferSize(out_, size);
    }

    void Disable_Close() override {
        HWND window = ::GetConsoleWindow();
        if (window) ::DeleteMenu(::GetSystemMenu(window, FALSE), SC_CLOSE, MF_BYCOMMAND);
    }

    bool Has_Keyboard() override { return Is_Console(keys_); }

    bool Begin_Keys() override {
        if (!Has_Keyboard() || raw_) return true;
        if (!::GetConsoleMode(keys_, &saved_)) {
            win32::Take_System_Error();
            return false;
        }
        // Every key as it is pressed, unechoed; Ctrl-C comes as a key and ends the program the
        // orderly way (as End does).
        DWORD mode =
            saved_ & ~DWORD(ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
        if (!::SetConsoleMode(keys_, mode)) {
            win32::Take_System_Error();
            return false;
        }
        raw_ = true;
        return true;
    }

    bool End_Keys() override {
        if (!raw_) return true;
        raw_ = false;
        if (!::SetConsoleMode(keys_, saved_)) {
            win32::Take_System_Error();
            return false;
        }
        return true;
    }

    int32_t Poll_Key(uint32_t timeout_ms) override {
        if (!Has_Keyboard()) return 0;
        int64_t deadline = Tick_Count_Ms() + timeout_ms;
        for (;;) {
            int64_t left = deadline - Tick_Count_Ms();
            if (left < 0) left = 0;
            if (::WaitForSingleObject(keys_, DWORD(left)) != WAIT_OBJECT_0) return 0;
            INPUT_RECORD record{};
            DWORD n = 0;
            if (!::ReadConsoleInputW(keys_, &record, 1, &n)) return 0;
            if (n == 0 || record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown)
                continue;
            WORD key = record.Event.KeyEvent.wVirtualKeyCode;
            // A modifier alone is no key press yet.
            if (key == VK_SHIFT || key == VK_CONTROL || key == VK_MENU || key == VK_CAPITAL)
                continue;
            bool ctrl =
                record.Event.KeyEvent.dwControlKeyState & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED);
            if (ctrl && key == 'C') return VK_END;
            return key ? int32_t(key) : int32_t(VK_OTHER);
        }
    }

  private:
    HANDLE out_;
    HANDLE keys_;
    DWORD saved_ = 0;
    bool raw_ = false;
    int32_t last_attribute_ = -1;
};

// Text to a redirected standard error (or any descriptor): colour sequences only when asked
// for, and no keyboard.
class Stream_Console final : public Console_Device {
  public:
    Stream_Console(HANDLE out, bool colours) : out_(out), colours_(colours) {}
    ~Stream_Console() override {
        if (colours_ && last_attribute_ != -1) Write_All(out_, "\x1b[0m");
    }
    void Write(std::string_view text, int32_t attribute) override {
        if (colours_ && attribute != last_attribute_) {
            Write_All(out_, Attribute_Sequence(attribute));
            last_attribute_ = attribute;
        }
        Write_All(out_, text);
    }
    void Set_Title(const std::string&) override {}
    bool Has_Keyboard() override { return false; }
    int32_t Poll_Key(uint32_t) override { return 0; }

  private:
    HANDLE out_;
    bool colours_;
    int32_t last_attribute_ = -1;
};

}  // namespace

std::unique_ptr<Console_Device> Default_Terminal() {
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    if (Is_Console(err))
        return std::make_unique<Windows_Console>(err, ::GetStdHandle(STD_INPUT_HANDLE));
    if (err && err != win32::System_Invalid && ::GetFileType(err) != FILE_TYPE_UNKNOWN)
        return std::make_unique<Stream_Console>(err, false);
    // No standard error at all (the windowed program): a console window of its own.
    if (!::AllocConsole() && !::AttachConsole(ATTACH_PARENT_PROCESS)) {
        win32::Take_System_Error();
        return nullptr;
    }
    HANDLE out =
        ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE keys =
        ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (out == win32::System_Invalid) {
        win32::Take_System_Error();
        return nullptr;
    }
    return std::make_unique<Windows_Console>(out, keys);
}

std::unique_ptr<Console_Device> Make_Terminal_Console(int output_fd, int /*key_fd*/, bool colours,
                                                      bool /*owns_key_fd*/) {
    return std::make_unique<Stream_Console>(reinterpret_cast<HANDLE>(_get_osfhandle(output_fd)),
                                            colours);
}

}  // namespace kdx::platform
