// Each rendering as loud as panning: the loudness of a 3D source's own sound over a whole turn
// around the listener, measured under the device's HRTF and under panning on a loopback device
// of the same rate, sets the source's gain, unless that gain would clip.
#include "platform/openal/loudness_match.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "platform/openal/engine_device.h"
#include "platform/openal/hrtf_datasets.h"
#include "platform/openal/rendering.h"

namespace sound {
namespace {

// Directions around the horizontal circle, and frames rendered at each: enough for the HRTF's
// cross-fade to end, then a measurement. Twelve directions give the mean of a whole turn within
// 0.05 dB of 36 for the engine's datasets and ours. The source sits at the distance of the
// program's orbit, unattenuated, so that a dataset with several distances serves the same one.
constexpr int turnDirections = 12;
constexpr int settleFrames = 1024;
constexpr int measureFrames = 2048;
constexpr float radius = 10.0f;
// The loudest sample of the measured directions may reach this, 1 dB below full scale, and no
// more: the gain that matches a rendering loud in few directions and faint in the rest would
// drive those past full scale, and the turn passes between the directions measured.
constexpr float headroom = 0.891f;

// A loopback device rendering floats at the measured device's rate, its context current on this
// thread while it lives; the measured device's context is current again afterwards.
class LoopbackMeter {
public:
    explicit LoopbackMeter(DeviceState& measured)
        : measured_(measured)
    {
        meter_.rendering = Rendering::Panning;
        if (!OpenLoopback(meter_, measured.rateHz, {.channels = 2, .type = ALC_FLOAT_SOFT}))
            return;
        alGetError();
        alGenBuffers(1, &buffer_);
        alGenSources(1, &source_);
        alSourcei(source_, AL_SOURCE_RELATIVE, AL_TRUE);
        alSourcef(source_, AL_ROLLOFF_FACTOR, 0.0f);
        alSourcei(source_, AL_LOOPING, AL_TRUE);
        ready_ = alGetError() == AL_NO_ERROR;
    }

    ~LoopbackMeter()
    {
        if (meter_.context && alcGetThreadContext() == meter_.context) {
            alDeleteSources(1, &source_);
            alDeleteBuffers(1, &buffer_);
        }
        Close(meter_);
        alcSetThreadContext(measured_.context);
    }

    LoopbackMeter(const LoopbackMeter&) = delete;
    LoopbackMeter& operator=(const LoopbackMeter&) = delete;

    bool Ready() const { return ready_; }

    // Renders with HRTF from the dataset the engine lists under that name, or panning for "".
    bool Render(const std::string& dataset)
    {
        const int index = dataset.empty() ? -1 : DatasetIndex(ListDatasets(meter_.device), dataset);
        if (!dataset.empty() && index < 0)
            return false;
        return Reset(meter_, dataset.empty() ? Rendering::Panning : Rendering::HrtfFull, index, meter_.rateHz) &&
               LoadedDataset(meter_.device) == dataset;
    }

    // The mean power of both channels over a whole turn of the sound, at the rendering set last,
    // and the loudest of its samples.
    double TurnPower(const SourceSound& sound, float& peak)
    {
        alSourceStop(source_);
        alSourcei(source_, AL_BUFFER, 0);
        alBufferData(buffer_, EngineFormat(sound.format), sound.samples.data(),
                     static_cast<ALsizei>(sound.samples.size()), static_cast<ALsizei>(sound.format.nSamplesPerSec));
        alSourcei(source_, AL_BUFFER, static_cast<ALint>(buffer_));
        alSourcePlay(source_);
        std::vector<float> frames(2 * measureFrames);
        double power = 0.0;
        peak = 0.0f;
        for (int direction = 0; direction < turnDirections; ++direction) {
            const double angle = 2.0 * std::numbers::pi * direction / turnDirections;
            alSource3f(source_, AL_POSITION, radius * static_cast<float>(std::sin(angle)), 0.0f,
                       -radius * static_cast<float>(std::cos(angle)));
            alcRenderSamplesSOFT(meter_.device, frames.data(), settleFrames);
            alcRenderSamplesSOFT(meter_.device, frames.data(), measureFrames);
            for (const float sample : frames) {
                power += static_cast<double>(sample) * sample;
                peak = std::max(peak, std::abs(sample));
            }
        }
        return power / (static_cast<double>(turnDirections) * static_cast<double>(frames.size()));
    }

private:
    DeviceState& measured_;
    DeviceState meter_;
    ALuint buffer_ = 0;
    ALuint source_ = 0;
    bool ready_ = false;
};

bool Silent(const SourceSound& sound)
{
    const BYTE silence = sound.format.wBitsPerSample == 8 ? BYTE{0x80} : BYTE{0};
    return std::ranges::all_of(sound.samples, [silence](BYTE b) { return b == silence; });
}

void SetGain(ALuint source, float gain)
{
    // The engine holds a source's gain to its maximum gain, 1 unless raised.
    alSourcef(source, AL_MAX_GAIN, std::max(1.0f, gain));
    alSourcef(source, AL_GAIN, gain);
}

// Matches the sounds' gains to the rendering, each stopping at the headroom where it would clip;
// a sound that cannot be measured plays at gain 1.
void Match(DeviceState& state, const std::vector<SourceSound*>& sounds, const std::string& dataset)
{
    std::vector<float> gains(sounds.size(), 1.0f);
    for (SourceSound* sound : sounds)
        sound->shortfallDb = 0.0;
    if (!dataset.empty() && !std::ranges::all_of(sounds, [](const SourceSound* sound) { return Silent(*sound); })) {
        LoopbackMeter meter(state);
        std::vector<double> panned(sounds.size(), 0.0);
        if (meter.Ready() && meter.Render("")) {
            float pannedPeak = 0.0f;
            for (std::size_t i = 0; i < sounds.size(); ++i)
                panned[i] = Silent(*sounds[i]) ? 0.0 : meter.TurnPower(*sounds[i], pannedPeak);
            if (meter.Render(dataset)) {
                for (std::size_t i = 0; i < sounds.size(); ++i) {
                    float peak = 0.0f; // of this sound, under the rendering its gain is for
                    const double rendered = panned[i] > 0.0 ? meter.TurnPower(*sounds[i], peak) : 0.0;
                    if (rendered <= 0.0)
                        continue;
                    double gain = std::sqrt(panned[i] / rendered);
                    if (gain * peak > headroom) {
                        sounds[i]->shortfallDb = 20.0 * std::log10(gain * peak / headroom);
                        gain = headroom / peak;
                    }
                    gains[i] = static_cast<float>(gain);
                }
            }
        }
    }
    for (std::size_t i = 0; i < sounds.size(); ++i)
        SetGain(sounds[i]->source, gains[i]);
}

} // namespace

void MatchLoudness(DeviceState& state)
{
    const std::string dataset = LoadedDataset(state.device);
    if (dataset == state.matchedDataset && state.rateHz == state.matchedRateHz)
        return;
    std::vector<SourceSound*> sounds;
    for (SourceSound& sound : state.sounds)
        sounds.push_back(&sound);
    Match(state, sounds, dataset);
    state.matchedDataset = dataset;
    state.matchedRateHz = state.rateHz;
}

void NoteSound(DeviceState& state, ALuint source, const WAVEFORMATEX& format, std::vector<BYTE> samples)
{
    std::erase_if(state.sounds, [source](const SourceSound& sound) { return sound.source == source; });
    if (samples.empty())
        return;
    state.sounds.push_back({.source = source, .format = format, .samples = std::move(samples)});
    // The rendering may have changed since the last match.
    const std::string dataset = LoadedDataset(state.device);
    if (dataset == state.matchedDataset && state.rateHz == state.matchedRateHz)
        Match(state, {&state.sounds.back()}, dataset);
    else
        MatchLoudness(state);
}

} // namespace sound
