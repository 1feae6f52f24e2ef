// The process's exit while work the layer gave up on is still inside the engine: exit() would
// run the engine's shutdown, which frees what that work still uses (libpulse aborts, or the work
// crashes). Each system's guard ends the process at once instead, with the status exit() was
// given and the standard streams flushed, exactly when EngineBusyAfterGiveUp() says so then.
#pragma once

namespace sound {

// Arms the guard for the process's exit from the calling thread; called by every thread that
// starts an engine thread. Cheap after the first call on a thread.
void GuardExit();

} // namespace sound
