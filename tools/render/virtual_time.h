// The renderer's clock: the performance counter and the pause, under their Windows
// names, run on virtual time, so that the animator's pauses render the orbit's sound.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/platform.h"

namespace render {

// Takes the frames of one pause, interleaved stereo, on the animator thread; false ends the render.
using FrameSink = std::function<bool(const std::int16_t* samples, int frames)>;

// How a render ended.
enum class RenderEnd {
    Complete,      // every frame went into the sink
    EngineFailed,  // the device did not render
    SinkFailed,    // the sink refused frames
    AnimatorEnded, // the animator ended before the last frame
};

// Sets up a render of a loopback device, before the animator starts: the counter
// reads 0, and each pause of durationMs advances it by durationMs and first renders
// the frames of that span, frames(t) = floor(t * rateHz), into sink, until
// totalFrames have gone there. A pause after the last frame lasts until the stop.
void BeginRender(LPDIRECTSOUND device, int rateHz, std::int64_t totalFrames, FrameSink sink);

// Waits, on the main thread once StartOrbit has succeeded, until the render has
// ended (the animator ending early ends it too), and says how.
RenderEnd WaitForRender();

// Forgets the render, once the animator has stopped.
void EndRender();

} // namespace render
