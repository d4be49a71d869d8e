// Start and end of the windowed program's toolkit, and the few questions only the windowed
// program and its tests ask of it. Plain interface: no toolkit header.
#pragma once
#include <cstdint>
#include <string>

#include "platform/window/window.h"

namespace kdx::win {

// Starts the toolkit (once), installs the window backend and registers the "Debug Console"
// window as the console device "window".
bool Application_Start(int& argc, char** argv);
// Removes the backend and the console device again and ends the toolkit.
void Application_Stop();

// The dialog font's base units in pixels (average character width, character height).
struct Base_Units {
    int32_t X = 0;
    int32_t Y = 0;
};
Base_Units Dialog_Base_Units();
// Dialog units to pixels, rounded as Windows does.
int32_t Dlu_To_Px_X(int32_t dlu);
int32_t Dlu_To_Px_Y(int32_t dlu);

// Runs the toolkit's pending events for about ms milliseconds (tests, screenshots).
void Process_Events(int32_t ms);
// Calls f once the first frame has been painted (the start-up benchmark).
void On_First_Paint(void (*f)());
// Renders a top-level window (or the frame with what it holds) into a PNG file.
bool Save_Window_Picture(HWND window, const std::string& path);
// The same for a top-level window found by its title (the "Debug Console").
bool Save_Titled_Window_Picture(const std::string& title, const std::string& path);

}  // namespace kdx::win
