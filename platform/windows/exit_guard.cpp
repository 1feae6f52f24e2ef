// The exit of a process whose given-up engine work still runs, on Windows.
// ExitProcess ends every other thread, the given-up work among them, wherever
// it is, and then has every DLL shut down, the engine's and the audio stack's
// included: that shutdown then trips over what the work left half done (under
// Wine the process dies of a segmentation fault). The process ends at once
// instead, with the status exit() was given and the streams flushed, and no
// DLL shuts down. With MinGW the C runtime's call of exit() comes here first
// (the layer is linked with -Wl,--wrap=exit); other toolchains exit as usual.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/openal/bounded_call.h"

namespace sound {

// Nothing to arm: every exit looks for given-up work.
void GuardExitAgainstGivenUpWork() {}

} // namespace sound

#ifdef __MINGW32__
extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (sound::GivenUpWorkRunning()) {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    }
    __real_exit(status);
}
#endif
