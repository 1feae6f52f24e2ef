// A preloadable library that logs every source position handed to OpenAL Soft,
// with the monotonic time of the call, so that the orbit's update rate can be
// measured where it reaches the engine:
//   ORBIT_TONE_POSITION_LOG=FILE LD_PRELOAD=liborbit_tone_position_log.so orbit-tone
// Each line: nanoseconds x y z (engine coordinates).
#include <AL/al.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace {

using Source3f = void (*)(ALuint, ALenum, ALfloat, ALfloat, ALfloat);

std::mutex logMutex;
std::FILE* logFile = nullptr;

std::FILE* OpenLog()
{
    if (!logFile) {
        if (const char* path = std::getenv("ORBIT_TONE_POSITION_LOG"))
            logFile = std::fopen(path, "w");
    }
    return logFile;
}

} // namespace

// Declared with C linkage by the engine's header.
void AL_APIENTRY alSource3f(ALuint source, ALenum param, ALfloat x, ALfloat y, ALfloat z)
{
    static const auto engineSource3f = reinterpret_cast<Source3f>(dlsym(RTLD_NEXT, "alSource3f"));
    if (param == AL_POSITION) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::lock_guard lock(logMutex);
        if (std::FILE* log = OpenLog()) {
            std::fprintf(log, "%lld %.6f %.6f %.6f\n",
                         static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec, static_cast<double>(x),
                         static_cast<double>(y), static_cast<double>(z));
            std::fflush(log);
        }
    }
    if (engineSource3f)
        engineSource3f(source, param, x, y, z);
}
