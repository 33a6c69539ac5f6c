// Linux virtual console backend.
//
// Supports:  the lock flags of the foreground console (KDGKBLED / KDSKBLED on
//            /dev/tty0, or on the controlling tty where that is a VT). A press
//            flips the lock's flag, a release does nothing, and the default
//            flags (bits 4-6) are written back as they were read.
// Window:    none; the posix event loop runs without one.
// Ends:      on SIGTERM, SIGINT or SIGHUP (a log-off hangs up the terminal).
// Needs:     read and write access to the console device, normally root's.
#pragma once

#include <memory>

#include "platform.h"

namespace aks::console {

std::unique_ptr<Platform> Open(Why& why, Use use);

}  // namespace aks::console
