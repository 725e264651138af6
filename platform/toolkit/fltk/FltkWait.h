// The wait seam of the FLTK backend (see Fltk.h): the loop waits in
// Fl::wait(timeout); watched descriptors are registered with Fl::add_fd, and
// a self-pipe ends a wait early when a message is posted.
//
// Threads: Wake may be called from any thread; everything else belongs to
// the main thread.
#pragma once

#include <memory>

#include "platform/Messages.h"

namespace platform {

// Raises platform::Exception when the self-pipe cannot be made.
std::unique_ptr<WaitSeam> MakeFltkWaitSeam();

}  // namespace platform
