// The serial ports and what finds them, as the Win32 services the port procedures are
// written against: what this folder offers the layers above. The rest of the folder (udev's
// view of the machine, the live registry keys) is its own and is not seen above it.
#pragma once

#include "platform/ports/device_change.h"  // ports arriving and going away
#include "platform/ports/port_map.h"       // every COM<n> with the device behind it
#include "platform/ports/ports_dir.h"      // the ports folder's COM<n> entries
#include "platform/ports/pty.h"            // pseudo-terminals, for the simulator
#include "platform/ports/registry.h"       // the read-only registry view
#include "platform/ports/serial.h"         // the serial line: open, DCB, read, write, wait
