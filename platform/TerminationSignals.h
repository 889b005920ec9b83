// SIGTERM and SIGINT (logout, uninstallation, Ctrl-C) end the event loop like a normal quit,
// so that the program's shutdown (aboutToQuit, destructors, exit handlers) runs.
#pragma once

namespace zuvo {

// Call once, on the main thread, after the application object exists. The signal handler
// only writes to a pipe; the quit happens on the main thread. False (reported) when the
// pipe or a handler cannot be set up.
bool quitOnTerminationSignals();

}  // namespace zuvo
