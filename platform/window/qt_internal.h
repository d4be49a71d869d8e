// Shared between the Qt files of the window layer.
#pragma once

class QWidget;

namespace kdx::win::qt {

// While held (a wait-key pause on the user-interface thread), posted messages wait, so no
// procedure runs inside the pause; they are delivered in order when the last hold ends.
void Hold_Posted(bool hold);
// Called by the frame after its first paint.
void First_Painted();
// Puts an open "Debug Console" beside the frame, or where it leaves the frame's menu bar
// free, and raises it.
void Place_Console_Beside(QWidget* frame);
// The "Debug Console" window as the console device "window".
void Register_Window_Console();
void Unregister_Window_Console();

}  // namespace kdx::win::qt
