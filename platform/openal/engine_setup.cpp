// The once-only preparation of the engine before its first call.
#include "platform/openal/engine_setup.h"

#include <mutex>

#include "platform/openal/output_layout.h"

namespace sound {

void PrepareEngineOnce()
{
    static std::once_flag prepared;
    std::call_once(prepared, [] {
        PrepareEngine();
        PrepareOutputQuestion();
    });
}

} // namespace sound
