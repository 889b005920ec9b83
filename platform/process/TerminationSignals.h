// SIGTERM and SIGINT (logout, uninstallation, Ctrl-C) end the event loop like a normal quit,
// so that the program's shutdown (aboutToQuit, destructors, exit handlers) runs.
#pragma once

#include <functional>

namespace zuvo {

// Call once, on the main thread, after the application object exists. The signal handler
// only writes to a pipe; the quit happens on the main thread. False (reported) when the
// pipe or a handler cannot be set up.
bool quitOnTerminationSignals();
// The same, but the first signal calls onSignal (on the main thread), which quits once the
// program's work allows; a second signal quits at once.
bool quitOnTerminationSignals(std::function<void()> onSignal);

// Puts the handlers back after a library replaced them (the reader threads of SANE backends set
// SIGTERM to its default action). Nothing when they were never set up.
void restoreTerminationSignals();

}  // namespace zuvo
