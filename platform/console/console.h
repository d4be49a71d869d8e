// The debug console as a device: text in console attributes, a title, and keys for the
// wait-key pause. Devices: an ANSI terminal on standard error, a capture device for tests,
// and the GUI's "Debug Console" window, which the window layer registers when it starts.
// KDX_CONSOLE=window|terminal|capture|none chooses one; unset, the window when registered,
// else the terminal.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kdx::platform {

// Virtual-key codes the pause tells apart; any other key reports some other non-zero code.
enum : int32_t {
    VK_BACK = 0x08,
    VK_TAB = 0x09,
    VK_RETURN = 0x0D,
    VK_ESCAPE = 0x1B,
    VK_SPACE = 0x20,
    VK_END = 0x23,
    VK_HOME = 0x24,
    VK_LEFT = 0x25,
    VK_UP = 0x26,
    VK_RIGHT = 0x27,
    VK_DOWN = 0x28,
    VK_INSERT = 0x2D,
    VK_DELETE = 0x2E,
    VK_F1 = 0x70,
    VK_F9 = 0x78,
    VK_OTHER = 0xFF,  // a key with no code of its own here
};

class Console_Device {
  public:
    virtual ~Console_Device() = default;
    // Writes text as it is (CR LF included) in a console attribute: foreground colour in
    // the low four bits (1 blue, 2 green, 4 red, 8 bright), background in the next four.
    virtual void Write(std::string_view text, int32_t attribute) = 0;
    virtual void Set_Title(const std::string& title) = 0;
    // Makes the screen buffer as large as the screen allows; devices that scroll freely
    // need nothing.
    virtual void Size_Buffer() {}
    // Keeps the user from closing the console on its own (the program closes it).
    virtual void Disable_Close() {}
    // False when no keyboard stands behind the device: a pause then returns at once.
    virtual bool Has_Keyboard() = 0;
    // Brackets a pause's key reading (the terminal switches to raw mode). False with the
    // last error set when keys cannot be read.
    virtual bool Begin_Keys() { return true; }
    virtual bool End_Keys() { return true; }
    // Waits at most timeout_ms for a key press; its virtual-key code, 0 when none came.
    virtual int32_t Poll_Key(uint32_t timeout_ms) = 0;
};

using Console_Factory = std::function<std::unique_ptr<Console_Device>()>;

// Makes a device available under a name ("window" from the GUI); a null factory removes it.
void Register_Console_Device(const std::string& kind, Console_Factory factory);

// "Create a new console": the configured device, or null (last error set) for "none", for
// an unknown kind, or when the device cannot be made.
std::unique_ptr<Console_Device> Create_Console();

// The ANSI terminal console. Text goes to output_fd with colour sequences when colours is
// true; keys come from key_fd (a terminal, -1 for none), read in raw mode during a pause.
// Neither descriptor is closed by the device unless owns_key_fd.
std::unique_ptr<Console_Device> Make_Terminal_Console(int output_fd, int key_fd, bool colours,
                                                      bool owns_key_fd = false);

// The SGR sequence that shows a console attribute on an ANSI terminal.
std::string Attribute_Sequence(int32_t attribute);

// Turns what a terminal sends for one key press into its virtual-key code and the number of
// bytes used; 0 bytes when the sequence is incomplete.
struct Decoded_Key {
    int32_t key = 0;
    size_t used = 0;
};
Decoded_Key Decode_Terminal_Key(std::string_view bytes);

// The capture device's record, shared by every capture console of the process so a test
// can read what was shown after the console has been closed again.
struct Capture_Segment {
    std::string text;
    int32_t attribute = 0;
    bool operator==(const Capture_Segment&) const = default;
};
// Clears the record: no text, no title, no keys, no keyboard.
void Capture_Reset();
// What was written, adjacent writes in the same attribute joined.
std::vector<Capture_Segment> Capture_Segments();
// The text alone.
std::string Capture_Text();
std::string Capture_Title();
// The number of capture consoles currently open.
int32_t Capture_Open_Count();
// Whether the capture console claims a keyboard (off after reset: pauses return at once).
void Capture_Set_Keyboard(bool present);
// Queues a key press for the next pause.
void Capture_Push_Key(int32_t key);
// How many queued keys have not been read yet.
size_t Capture_Pending_Keys();

}  // namespace kdx::platform
