// The operating-system basics, as the Win32 services the program is written against: what
// this folder offers the layers above. The rest of the folder (the per-system halves of
// profile files and sleeps, the Windows helpers) is its own and is not seen above it.
#pragma once

#include "platform/os/error.h"          // the thread's last error and our message texts
#include "platform/os/file.h"           // files behind handles, regular files only
#include "platform/os/file_position.h"  // writes at a position, or at the end
#include "platform/os/handles.h"        // the handle table (never 0 or -1)
#include "platform/os/path.h"           // paths written with the system's separator
#include "platform/os/process.h"        // starting programs, the text editor
#include "platform/os/profile.h"        // private-profile (INI) files
#include "platform/os/stop_signals.h"   // interrupt, terminate and hang-up as stop requests
#include "platform/os/system.h"         // counter, clock, paths, local time, sleeps
#include "platform/os/thread.h"         // threads with a chosen stack size
