// The exit guard on Windows. ExitProcess ends every other thread, the given-up work among them,
// wherever it is, and then has every DLL shut down, the engine's and the audio stack's included:
// that shutdown would trip over what the work left half done (under Wine the process dies of a
// segmentation fault). The C runtime's exit() comes here first (the layer is linked with
// -Wl,--wrap=exit, which is why the build on our layer needs a GNU linker), before any of that.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/openal/engine_thread.h"
#include "platform/openal/exit_guard.h"

namespace sound {

// Nothing to arm: every exit comes through the wrapper.
void GuardExit() {}
void GuardEveryExit() {}

} // namespace sound

extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (sound::EngineInUse()) {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    }
    __real_exit(status);
}
