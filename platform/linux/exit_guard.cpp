// The exit of a process whose given-up engine work still runs, on Linux: exit()
// would run the engine's shutdown, which frees the PulseAudio state that work
// is still using (libpulse then aborts, or the work crashes). The process ends
// at once instead, with the status exit() was given and the streams flushed;
// the system closes its connections, so the server keeps nothing of it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/openal/bounded_call.h"

namespace sound {
namespace {

void EndAtOnceWhileWorkRuns(int status, void*)
{
    if (!GivenUpWorkRunning())
        return;
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
}

} // namespace

void GuardExitAgainstGivenUpWork()
{
    // Handlers run in the reverse order of registration: one registered now runs
    // before the engine's own, registered when it first set itself up. Each
    // give-up registers again; the first handler to run ends the process.
    on_exit(EndAtOnceWhileWorkRuns, nullptr);
}

} // namespace sound
