// One OpenAL Soft output device with its context: opening it quietly, choosing
// how it renders 3D sound, and rendering on demand when it is a loopback device.
#pragma once

#include <AL/al.h>
#include <AL/alc.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/openal/hrtf_datasets.h"
#include "platform/openal/loopback.h"
#include "platform/openal/output_layout.h"

namespace sound {

// Every call into the engine happens under this lock, with the right context
// made current: the program calls the layer from two threads, and a test may
// hold several devices.
std::unique_lock<std::recursive_mutex> LockEngine();

// What became of a request for a rendering.
enum class Selection {
    Rendered, // the device renders as asked
    Panned,   // it cannot render the requested HRTF, and pans instead
    NoDevice, // the device is gone, or its sound server stopped answering
};

class Output {
public:
    // Opens the default playback device; null when there is none, or when it
    // does not open within a few seconds. The engine's silent null device does
    // not count as one.
    static std::shared_ptr<Output> OpenDefault();
    // Opens a device that renders only when asked, into 16-bit samples.
    static std::shared_ptr<Output> OpenLoopback(int rateHz, int channels);

    // Closes the device; one whose server stopped answering is given up after a second.
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Makes this device's context the current one; the engine lock must be
    // held. False, doing nothing, once the engine has stopped answering for
    // the device: nothing may call into the engine for it any more.
    bool MakeCurrent();

    // Switches the whole device to the given rendering, within a few seconds
    // whatever the sound server does; Report says why a request fell back.
    Selection Select(Rendering rendering);

    // What the engine renders with now, and why the last HRTF request failed.
    RenderingReport Report();

    // False once the device is lost (the engine says so, or its sound server has
    // gone), or the engine stopped answering for it.
    bool Connected();
    int RateHz() const { return rateHz_; }

    // Renders frames of interleaved samples; loopback devices only.
    bool Render(std::int16_t* samples, int frames);

private:
    Output(ALCdevice* device, bool loopback, int channels);
    static std::shared_ptr<Output> OpenDefaultNow();
    // What the engine is told at context creation and at each reset; a
    // dataset below 0, or a rate of 0, is left to the engine.
    std::vector<ALCint> Attributes(Rendering rendering, int dataset, int rateHz) const;
    // Resets the device, giving the engine a few seconds to do so; a reset
    // given up on leaves the device unresponsive.
    bool Reset(Rendering rendering, int dataset, int rateHz);
    // The HRTF datasets the engine lists, in its order of preference.
    std::vector<std::string> ListDatasets();
    // Turns HRTF on with the first candidate that loads; false, with fallback_
    // set, when none does.
    bool SelectHrtf(Rendering rendering, const std::vector<std::string>& listed,
                    const std::vector<std::string>& candidates, bool resamples);
    // Resets the device to each candidate at rateHz in turn until the engine
    // renders HRTF with it there.
    bool TryDatasets(Rendering rendering, const std::vector<std::string>& listed,
                     const std::vector<std::string>& candidates, int rateHz);
    // Learns the output's channel count, once; false when the system (the
    // sound server) did not answer in time.
    bool AskOutputChannels();
    // Why this output cannot render binaural stereo; empty when it can.
    std::string HrtfObstacle();

    ALCdevice* device_ = nullptr;
    ALCcontext* context_ = nullptr;
    bool loopback_ = false;
    int channels_ = 2;
    int rateHz_ = 0;
    // A device opens with HRTF left to the engine, as Default asks, and the
    // engine's own dataset named for it: never one of our light datasets.
    Rendering rendering_ = Rendering::Automatic;
    std::string fallback_; // why the last HRTF request was not met
    bool outputChannelsKnown_ = false;
    std::optional<int> outputChannels_; // of a playback device, as the system reports them
    // An engine call for this device was given up on, and may still be running.
    bool unresponsive_ = false;
    OutputServers servers_; // those listening when a playback device opened
};

} // namespace sound
