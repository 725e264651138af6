// The FLTK backend: the controls become FLTK widgets on an X display, and
// the message loop waits inside Fl::wait, so FLTK's own events, the loop's
// posted messages, timers and watched descriptors are all handled by one
// wait, in modal boxes too.
//
// Widget events (a click, typed text, the close box) are posted to the loop
// and reach the controls from the message loop, never from inside the wait.
//
// Threads: the main thread only.
#pragma once

#include <string>

namespace platform {

// Opens the X display named by DISPLAY and installs the FLTK backend and
// its wait seam. Without a display it changes nothing, puts one line saying
// so into *error and returns false.
bool UseFltkBackend(std::string* error = nullptr);

}  // namespace platform
