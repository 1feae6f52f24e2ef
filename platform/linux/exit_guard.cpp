// The exit guard on Linux (glibc). exit() first destroys the exiting thread's thread_local
// objects, then runs the exit handlers, newest first, the engine's shutdown among them or after
// them. A thread_local watch on each thread that calls the layer registers the guard's handler
// as it is destroyed: at the start of exit(), so that the handler runs before every other one,
// whatever registered when; and the loss of the engine registers it too, for a thread that never
// called the layer. On_exit hands the handler exit()'s status.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/openal/engine_thread.h"
#include "platform/openal/exit_guard.h"

namespace sound {
namespace {

void EndAtOnceIfEngineInUse(int status, void*)
{
    if (!EngineInUse())
        return;
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
}

// Destroyed when its thread ends, by returning or by exit(); a handler registered at a
// thread's end that is not the process's is harmless, and runs later than the one that is.
struct ExitWatch {
    ~ExitWatch() { on_exit(EndAtOnceIfEngineInUse, nullptr); }
};

} // namespace

void GuardExit()
{
    thread_local ExitWatch watch;
    static_cast<void>(watch);
}

void GuardEveryExit()
{
    on_exit(EndAtOnceIfEngineInUse, nullptr);
}

} // namespace sound
