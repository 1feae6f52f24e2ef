// The process's exit while the engine is in use: exit() would run the engine's shutdown, which
// frees what given-up work, or a device not closed yet, still uses (libpulse aborts, or the work
// crashes). Each system's guard ends the process at once instead, with the status exit() was
// given and the standard streams flushed, whenever EngineInUse() says so then.
#pragma once

namespace sound {

// Arms the guard for the process's exit from the calling thread, ahead of every exit handler
// however late registered; called by every thread that hands work to an engine thread. Cheap
// after the first call on a thread.
void GuardExit();
// Arms the guard for any thread's exit, ahead of every exit handler registered so far; called
// once, as the engine is lost.
void GuardEveryExit();

} // namespace sound
