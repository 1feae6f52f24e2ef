// The performance counter and the pause under their Windows names, for the renderer:
// they run on virtual time (see virtual_time.h). Threads, handles and the console
// window are the layer's own.
#include "tools/render/virtual_time.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "orbit/orbit.h"
#include "platform/posix/kernel.h"
#include "platform/openal/sound_device.h"

namespace render {
namespace {

constexpr LONGLONG countsPerSecond = 1'000'000'000; // nanoseconds, as the layer's own counter
constexpr LONGLONG countsPerMs = 1'000'000;
constexpr DWORD stopPollMs = 1;
constexpr std::chrono::milliseconds animatorCheck{50};
constexpr std::size_t channelCount = 2; // the sink takes stereo frames

// The render under way. The main thread sets it up and forgets it while no animator
// runs; the animator's pauses advance it; the main thread waits for its end. Every
// member is guarded by mutex, which a pause holds while it renders.
struct Render {
    std::mutex mutex;
    std::condition_variable ended;
    LPDIRECTSOUND device = nullptr; // null while no render is set up
    LONGLONG rateHz = 0;
    std::int64_t totalFrames = 0;
    FrameSink sink;
    LONGLONG counter = 0;
    std::int64_t renderedFrames = 0;
    std::vector<std::int16_t> samples;
    bool over = false;
    RenderEnd end = RenderEnd::Complete;
};

Render& TheRender()
{
    static Render render;
    return render;
}

// Ends the render with how it ended; the mutex must be held.
void Finish(Render& render, RenderEnd end)
{
    render.over = true;
    render.end = end;
    render.ended.notify_all();
}

void Pause(DWORD durationMs)
{
    Render& render = TheRender();
    std::unique_lock lock(render.mutex);
    if (!render.device) {
        lock.unlock();
        kernel::Pause(durationMs);
        return;
    }
    if (!render.over) {
        render.counter += static_cast<LONGLONG>(durationMs) * countsPerMs;
        const std::int64_t untilFrame =
            std::min(render.counter * render.rateHz / countsPerSecond, render.totalFrames);
        const auto frames = static_cast<int>(untilFrame - render.renderedFrames);
        render.samples.resize(static_cast<std::size_t>(frames) * channelCount);
        if (!sound::RenderLoopback(render.device, render.samples.data(), frames)) {
            Finish(render, RenderEnd::EngineFailed);
        } else if (!render.sink(render.samples.data(), frames)) {
            Finish(render, RenderEnd::SinkFailed);
        } else {
            render.renderedFrames = untilFrame;
            if (untilFrame == render.totalFrames)
                Finish(render, RenderEnd::Complete);
        }
    }
    if (render.over) {
        // Nothing more to render: wait for the stop, which the animator polls after each pause.
        lock.unlock();
        while (keepOrbiting)
            kernel::Pause(stopPollMs);
    }
}

} // namespace

void BeginRender(LPDIRECTSOUND device, int rateHz, std::int64_t totalFrames, FrameSink sink)
{
    Render& render = TheRender();
    std::lock_guard lock(render.mutex);
    render.device = device;
    render.rateHz = rateHz;
    render.totalFrames = totalFrames;
    render.sink = std::move(sink);
    render.counter = 0;
    render.renderedFrames = 0;
    render.over = false;
    render.end = RenderEnd::Complete;
}

RenderEnd WaitForRender()
{
    Render& render = TheRender();
    std::unique_lock lock(render.mutex);
    // An animator that ends before the last frame (its 3D interface refused) ends the render.
    while (!render.ended.wait_for(lock, animatorCheck, [&] { return render.over; })) {
        if (WaitForSingleObject(orbitThread, 0) == WAIT_OBJECT_0)
            Finish(render, RenderEnd::AnimatorEnded);
    }
    return render.end;
}

void EndRender()
{
    Render& render = TheRender();
    std::lock_guard lock(render.mutex);
    render.device = nullptr;
    render.sink = nullptr;
    std::vector<std::int16_t>().swap(render.samples);
}

} // namespace render

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency)
{
    if (!frequency)
        return FALSE;
    frequency->QuadPart = render::countsPerSecond;
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count)
{
    if (!count)
        return FALSE;
    render::Render& render = render::TheRender();
    std::lock_guard lock(render.mutex);
    count->QuadPart = render.counter;
    return TRUE;
}

void Sleep(DWORD durationMs)
{
    render::Pause(durationMs);
}
