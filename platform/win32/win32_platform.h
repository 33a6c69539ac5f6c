// Win32 backend: the platform the program was written for.
//
// Supports:  GetKeyState and keybd_event are user32's own; PumpEvents is the
//            classic "do events" (PeekMessage until the queue is empty).
//            A top-level window of a registered class with the program's icon,
//            created hidden and never shown; each timer is a SetTimer timer
//            whose id is its position in the timer table plus one.
// Ends:      when the window is closed from outside (WM_CLOSE destroys it,
//            WM_DESTROY quits the message loop), or with the session: the
//            default WM_QUERYENDSESSION agrees, and WM_ENDSESSION destroys it.
// Failures:  a window or timer call that fails shows a message box titled
//            with the program's name (the operation and the system's text)
//            and ends the process with status 1.
#pragma once

#include <windows.h>

#include <memory>

#include "platform.h"

namespace aks::win32 {

// `icon` names the window class's icon resource in `instance`, or is null.
std::unique_ptr<Platform> Open(HINSTANCE instance, const wchar_t* icon);

}  // namespace aks::win32
