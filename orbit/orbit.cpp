// The orbit animator: a thread that circles the source around the listener.
#include "orbit/orbit.h"

double secondsPerCount = 0.0;
std::atomic<bool> keepOrbiting{true};
static_assert(sizeof(keepOrbiting) == 1 && std::atomic<bool>::is_always_lock_free,
              "keepOrbiting is a lock-free one-byte flag");
HANDLE orbitThread = nullptr;
