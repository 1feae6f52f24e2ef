// Tests of the sound layer against OpenAL Soft itself, rendered on the engine's loopback device:
// balance, distance and period of the rendered tone, the fallbacks, and the status of every call.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iomanip>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/engine_config.h"
#include "platform/openal/dsound_api.h"
#include "platform/openal/engine_device.h"
#include "platform/openal/engine_thread.h"
#include "platform/openal/hrtf_datasets.h"
#include "platform/openal/sound_device.h"

// Status codes compare and print in hexadecimal, as Windows documents them.
#define EXPECT_STATUS(expected, call) EXPECT_EQ(Hex(expected), Hex(call))
#define ASSERT_STATUS(expected, call) ASSERT_EQ(Hex(expected), Hex(call))

namespace {

constexpr int toneRateHz = 44100;
constexpr int toneFrames = 100;
constexpr DWORD toneBytes = toneFrames * sizeof(std::int16_t);
constexpr double toneHz = 440.0;
constexpr double toneAmplitude = 0.5; // of full scale, leaving room for the HRTF's gain
// Both are multiples of the tone's 100 frames, so that renders of one device line up in phase.
constexpr int settleFrames = 4400; // parameter ramps and HRTF fades are over by then
constexpr int measureFrames = 4400;
constexpr double floorDb = -120.0;
constexpr double hardPanDb = 40.0; // the far channel of a panned source holds nothing but dither
constexpr double silentDb = -80.0;

std::string Hex(HRESULT status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

HWND TestWindow()
{
    static int windowStandIn = 0;
    return reinterpret_cast<HWND>(&windowStandIn);
}

// A non-null pointer that the layer must overwrite with null when a call fails.
template <typename T>
T* Garbage()
{
    static char standIn = 0;
    return reinterpret_cast<T*>(&standIn);
}

struct Releaser {
    void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using Owned = std::unique_ptr<T, Releaser>;

std::vector<std::int16_t> Tone(double amplitude)
{
    std::vector<std::int16_t> samples(toneFrames);
    for (std::size_t frame = 0; frame < samples.size(); ++frame) {
        const double phase = 2.0 * std::numbers::pi * toneHz * static_cast<double>(frame) / toneRateHz;
        samples[frame] = static_cast<std::int16_t>(std::lround(amplitude * 32767.0 * std::sin(phase)));
    }
    return samples;
}

// A consistent PCM format: block size and byte rate follow from the rest.
WAVEFORMATEX Pcm(WORD channels, DWORD rateHz, WORD bits, WORD tag = WAVE_FORMAT_PCM)
{
    const auto blockBytes = static_cast<WORD>(channels * bits / 8);
    return {tag, channels, rateHz, rateHz * blockBytes, blockBytes, bits, 0};
}

DSBUFFERDESC ToneDescription(WAVEFORMATEX* format, const GUID& algorithm)
{
    return {sizeof(DSBUFFERDESC), DSBCAPS_CTRL3D | DSBCAPS_LOCSOFTWARE, toneBytes, 0, format, algorithm};
}

// Interleaved 16-bit samples rendered by a loopback device, and what they measure.
struct Rendered {
    std::vector<std::int16_t> samples;
    int channels = 2;

    int Frames() const { return static_cast<int>(samples.size()) / channels; }
    double At(int frame, int channel) const
    {
        return samples[static_cast<std::size_t>(frame * channels + channel)] / 32768.0;
    }

    // Mean power of a channel; with other or a lag, of the difference from other, lagFrames later.
    double Power(int channel, const Rendered* other = nullptr, int lagFrames = 0) const
    {
        const Rendered& second = other ? *other : *this;
        const bool difference = other || lagFrames;
        const int frames = std::min(Frames(), second.Frames()) - lagFrames;
        double power = 0.0;
        for (int frame = 0; frame < frames; ++frame) {
            const double value = At(frame, channel) - (difference ? second.At(frame + lagFrames, channel) : 0.0);
            power += value * value;
        }
        return frames > 0 ? power / frames : 0.0;
    }

    static double Db(double power) { return power > 0.0 ? std::max(floorDb, 10.0 * std::log10(power)) : floorDb; }
    double LevelDb(int channel) const { return Db(Power(channel)); }
    double LoudestDb() const { return channels == 1 ? LevelDb(0) : std::max(LevelDb(0), LevelDb(1)); }
    double TotalLevelDb() const { return channels == 1 ? LevelDb(0) : Db((Power(0) + Power(1)) / 2.0); }
    // Level of the difference from other, and of the change over lagFrames, relative to the level.
    double MismatchDb(const Rendered& other, int ch) const { return Db(Power(ch, &other)) - LevelDb(ch); }
    double ChangeOverDb(int lagFrames, int ch) const { return Db(Power(ch, nullptr, lagFrames)) - LevelDb(ch); }

    // The frequency of a tone, from the first and last of its rising zero crossings.
    double FrequencyHz(int channel, int rateHz) const
    {
        std::vector<int> rising;
        for (int frame = 1; frame < Frames(); ++frame) {
            if (At(frame - 1, channel) < 0.0 && At(frame, channel) >= 0.0)
                rising.push_back(frame);
        }
        return rising.size() < 2 ? 0.0
                                 : static_cast<double>(rising.size() - 1) * rateHz / (rising.back() - rising.front());
    }

    std::string Describe() const
    {
        std::ostringstream text;
        text << std::fixed << std::setprecision(1) << (channels == 1 ? "mono " : "left ") << LevelDb(0) << " dB";
        if (channels == 2)
            text << ", right " << LevelDb(1) << " dB";
        return text.str();
    }
};

// A loopback device playing the tone from a 3D buffer, set up as the program sets up its own.
// Releases what it holds; a test may take an interface over by setting its member to null.
class ToneRig {
public:
    explicit ToneRig(int rateHz = toneRateHz, int channels = 2) : rateHz_(rateHz), channels_(channels) {}
    ~ToneRig()
    {
        for (IUnknown* held : std::initializer_list<IUnknown*>{buffer3D, buffer, device}) {
            if (held)
                held->Release();
        }
    }
    ToneRig(const ToneRig&) = delete;
    ToneRig& operator=(const ToneRig&) = delete;

    // Creates the buffer with the algorithm, fills it, plays it looping, and sets distances 20
    // and 40, head-relative; createStatus keeps CreateSoundBuffer's answer.
    void Start(const GUID& algorithm)
    {
        ASSERT_STATUS(DS_OK, sound::CreateLoopbackDevice(rateHz_, channels_, &device));
        ASSERT_STATUS(DS_OK, device->SetCooperativeLevel(TestWindow(), DSSCL_NORMAL));
        WAVEFORMATEX format = Pcm(1, toneRateHz, 16);
        const DSBUFFERDESC description = ToneDescription(&format, algorithm);
        createStatus = device->CreateSoundBuffer(&description, &buffer, nullptr);
        ASSERT_TRUE(SUCCEEDED(createStatus)) << Hex(createStatus);
        ASSERT_NE(buffer, nullptr);
        ASSERT_NO_FATAL_FAILURE(Fill(Tone(toneAmplitude)));
        ASSERT_STATUS(DS_OK, buffer->Play(0, 0, DSBPLAY_LOOPING));
        void* object = nullptr;
        ASSERT_STATUS(DS_OK, buffer->QueryInterface(IID_IDirectSound3DBuffer, &object));
        buffer3D = static_cast<LPDIRECTSOUND3DBUFFER>(object);
        ASSERT_STATUS(DS_OK, buffer3D->SetMinDistance(20.0f, DS3D_IMMEDIATE));
        ASSERT_STATUS(DS_OK, buffer3D->SetMaxDistance(40.0f, DS3D_IMMEDIATE));
        ASSERT_STATUS(DS_OK, buffer3D->SetMode(DS3DMODE_HEADRELATIVE, DS3D_IMMEDIATE));
    }

    void Fill(const std::vector<std::int16_t>& tone)
    {
        LPVOID region = nullptr;
        DWORD length = 0;
        ASSERT_STATUS(DS_OK, buffer->Lock(0, 0, &region, &length, nullptr, nullptr, DSBLOCK_ENTIREBUFFER));
        ASSERT_EQ(length, toneBytes);
        std::memcpy(region, tone.data(), toneBytes);
        ASSERT_STATUS(DS_OK, buffer->Unlock(region, length, nullptr, 0));
    }

    Rendered Render(int frames)
    {
        Rendered rendered{std::vector<std::int16_t>(static_cast<std::size_t>(frames * channels_)), channels_};
        EXPECT_TRUE(sound::RenderLoopback(device, rendered.samples.data(), frames));
        return rendered;
    }

    // Lets the engine settle on the current settings, then renders.
    Rendered Measure()
    {
        Render(settleFrames);
        return Render(measureFrames);
    }

    Rendered MeasureAt(float x, float y, float z)
    {
        EXPECT_STATUS(DS_OK, buffer3D->SetPosition(x, y, z, DS3D_IMMEDIATE)) << x << ", " << y << ", " << z;
        return Measure();
    }

    LPDIRECTSOUND device = nullptr;
    LPDIRECTSOUNDBUFFER buffer = nullptr;
    LPDIRECTSOUND3DBUFFER buffer3D = nullptr;
    HRESULT createStatus = DS_OK;

private:
    int rateHz_;
    int channels_;
};

struct Algorithm {
    const char* name;
    const GUID* guid;
    bool hrtf;
};
const Algorithm algorithms[] = {
    {"DS3DALG_DEFAULT", &DS3DALG_DEFAULT, false},
    {"DS3DALG_NO_VIRTUALIZATION", &DS3DALG_NO_VIRTUALIZATION, false},
    {"DS3DALG_HRTF_LIGHT", &DS3DALG_HRTF_LIGHT, true},
    {"DS3DALG_HRTF_FULL", &DS3DALG_HRTF_FULL, true},
};
constexpr const char* datasetsHint = " (the hrtf-datasets target makes the light datasets in share/orbit-tone/openal/hrtf/ beside the test "
                                     "executable; the full one is OpenAL Soft's own default-<rate>)";

// The tone's mean power over a whole turn of the source around the listener, in dB.
double TurnLevelDb(ToneRig& rig)
{
    // Halfway between the directions the layer measures to match loudness, and more of them.
    constexpr int directions = 16;
    double power = 0.0;
    for (int direction = 0; direction < directions; ++direction) {
        const double angle = 2.0 * std::numbers::pi * (direction + 0.5) / directions;
        const Rendered at = rig.MeasureAt(10.0f * static_cast<float>(std::sin(angle)), 0.0f,
                                          10.0f * static_cast<float>(std::cos(angle)));
        power += (at.Power(0) + at.Power(1)) / 2.0;
    }
    return Rendered::Db(power / directions);
}

TEST(SoundRenderingTest, EachAlgorithmPutsTheToneOnTheSourcesSide)
{
    for (const int rateHz : {44100, 48000}) {
        std::vector<double> turnLevelsDb;
        for (const Algorithm& algorithm : algorithms) {
            SCOPED_TRACE(std::string(algorithm.name) + " at " + std::to_string(rateHz) + " Hz");
            ToneRig rig(rateHz);
            ASSERT_NO_FATAL_FAILURE(rig.Start(*algorithm.guid));
            EXPECT_STATUS(DS_OK, rig.createStatus) << datasetsHint;
            // Light HRTF renders with our light dataset, and nothing else ever does.
            sound::RenderingReport report;
            ASSERT_TRUE(sound::DescribeRendering(rig.device, report));
            EXPECT_EQ(report.hrtf, algorithm.hrtf) << report.dataset;
            EXPECT_EQ(sound::IsLightDataset(report.dataset), *algorithm.guid == DS3DALG_HRTF_LIGHT) << report.dataset;
            EXPECT_EQ(report.rateHz, rateHz);
            EXPECT_EQ(report.fallback, "");
            const Rendered right = rig.MeasureAt(10.0f, 0.0f, 0.0f);
            const Rendered left = rig.MeasureAt(-10.0f, 0.0f, 0.0f);
            const double rightLeadDb = right.LevelDb(1) - right.LevelDb(0);
            const double leftLeadDb = left.LevelDb(0) - left.LevelDb(1);
            const std::string figures = "at +x " + right.Describe() + "; at -x " + left.Describe();
            RecordProperty(std::string(algorithm.name) + "_" + std::to_string(rateHz), figures);

            EXPECT_GT(right.LoudestDb(), -20.0) << figures;
            EXPECT_GT(rightLeadDb, 3.0) << "right of the listener, the right channel is louder: " << figures;
            EXPECT_GT(leftLeadDb, 3.0) << "left of the listener, the left channel is louder: " << figures;
            if (algorithm.hrtf) {
                EXPECT_LT(rightLeadDb, 20.0) << "HRTF leaves the far ear audible; a hard pan is panning: " << figures;
                EXPECT_NEAR(rightLeadDb, leftLeadDb, 1.0) << "the two sides mirror each other: " << figures;
            } else {
                EXPECT_GT(rightLeadDb, hardPanDb) << "panning at 90 degrees is a hard pan: " << figures;
                EXPECT_GT(leftLeadDb, hardPanDb) << "panning at 90 degrees is a hard pan: " << figures;
            }
            turnLevelsDb.push_back(TurnLevelDb(rig));
        }
        // Every rendering as loud as No Virtualization over a turn: the layer matched the gains.
        for (std::size_t i = 0; i < turnLevelsDb.size(); ++i)
            EXPECT_NEAR(turnLevelsDb[i], turnLevelsDb[1], 0.2) << algorithms[i].name << " at " << rateHz << " Hz";
    }
}

TEST(SoundRenderingTest, ToneAheadRepeatsAndDiffersFromBehind)
{
    for (const Algorithm& algorithm : algorithms) {
        SCOPED_TRACE(algorithm.name);
        ToneRig rig;
        ASSERT_NO_FATAL_FAILURE(rig.Start(*algorithm.guid));
        const Rendered ahead = rig.MeasureAt(0.0f, 0.0f, 10.0f);
        const Rendered behind = rig.MeasureAt(0.0f, 0.0f, -10.0f);
        const double mismatchDb = ahead.MismatchDb(behind, 0);
        std::ostringstream figures;
        figures << "ahead " << ahead.Describe() << "; behind " << behind.Describe() << "; they differ by "
                << mismatchDb << " dB";
        RecordProperty(std::string(algorithm.name) + "_ahead_behind", figures.str());

        EXPECT_NEAR(ahead.LevelDb(0), ahead.LevelDb(1), 0.5) << "ahead, both ears hear the same: " << figures.str();
        for (int channel = 0; channel < 2; ++channel) {
            SCOPED_TRACE(channel == 0 ? "left" : "right");
            EXPECT_GT(ahead.LevelDb(channel), -20.0) << ahead.Describe();
            EXPECT_LT(ahead.ChangeOverDb(toneFrames, channel), -50.0) << "the change over 100 frames";
            EXPECT_NEAR(ahead.FrequencyHz(channel, toneRateHz), toneRateHz / double{toneFrames}, 2.0);
        }
        if (algorithm.hrtf) {
            // Both ears alike either way: only the filtering tells ahead from behind. Two renders
            // of one place differ by the dither alone, about -80 dB.
            EXPECT_GT(mismatchDb, -50.0) << figures.str();
        } else {
            EXPECT_GT(ahead.LevelDb(0) - behind.LevelDb(0), 1.0) << "panning puts behind lower: " << figures.str();
        }
    }
}

TEST(SoundRenderingTest, FullAndLightHrtfRenderDifferentSamples)
{
    ToneRig full;
    ToneRig light;
    ASSERT_NO_FATAL_FAILURE(full.Start(DS3DALG_HRTF_FULL));
    ASSERT_NO_FATAL_FAILURE(light.Start(DS3DALG_HRTF_LIGHT));
    ASSERT_STATUS(DS_OK, full.createStatus) << datasetsHint;
    ASSERT_STATUS(DS_OK, light.createStatus) << datasetsHint;
    const Rendered fullRight = full.MeasureAt(10.0f, 0.0f, 0.0f);
    const Rendered lightRight = light.MeasureAt(10.0f, 0.0f, 0.0f);
    for (int channel = 0; channel < 2; ++channel) {
        const double mismatchDb = fullRight.MismatchDb(lightRight, channel);
        std::ostringstream figures;
        figures << "full " << fullRight.Describe() << "; light " << lightRight.Describe() << "; channel " << channel
                << " differs by " << mismatchDb << " dB";
        RecordProperty("full_vs_light_" + std::to_string(channel), figures.str());
        EXPECT_GT(mismatchDb, -50.0) << figures.str();
        EXPECT_NEAR(fullRight.LevelDb(channel), lightRight.LevelDb(channel), 3.0) << "one HRTF, cut: " << figures.str();
    }
}

TEST(SoundRenderingTest, GainFollowsTheDistanceModel)
{
    ToneRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Start(DS3DALG_NO_VIRTUALIZATION));
    // Minimum distance 20, maximum 40: the gain is 20 / distance between the two, along every axis.
    const struct { float distance; double gainDb; } distances[] = {
        {1.0f, 0.0}, {5.0f, 0.0}, {20.0f, 0.0}, {30.0f, 20.0 * std::log10(20.0 / 30.0)},
        {40.0f, -6.02}, {80.0f, -6.02}, {1000.0f, -6.02}};
    const struct { const char* name; float x, y, z; } axes[] = {
        {"+x", 1, 0, 0}, {"-x", -1, 0, 0}, {"+y", 0, 1, 0}, {"-y", 0, -1, 0}, {"+z", 0, 0, 1}, {"-z", 0, 0, -1}};
    std::ostringstream figures;
    for (const auto& axis : axes) {
        const double insideDb = rig.MeasureAt(10.0f * axis.x, 10.0f * axis.y, 10.0f * axis.z).TotalLevelDb();
        for (const auto& at : distances) {
            const double gainDb =
                rig.MeasureAt(at.distance * axis.x, at.distance * axis.y, at.distance * axis.z).TotalLevelDb() -
                insideDb;
            figures << " " << axis.name << " " << at.distance << ": " << gainDb << " dB;";
            EXPECT_NEAR(gainDb, at.gainDb, 0.25) << "at " << at.distance << " along " << axis.name << ", relative to 10";
        }
    }
    RecordProperty("distance_gains", figures.str());
}

// The HRTF algorithms fall back to panning, with their status, where the engine cannot render
// HRTF: on a mono output, and at a rate that no dataset is made for on an engine that loads a
// dataset at its own rate only (OpenAL Soft 1.19). Later engines resample a dataset to that rate
// and render HRTF there, at the device's rate.
TEST(SoundRenderingTest, WithoutHrtfBuffersFallBackToPanning)
{
    const struct { const char* name; int rateHz; int channels; bool hrtfWhereResampled; } outputs[] = {
        {"stereo at 22050 Hz, for which there is no dataset", 22050, 2, true}, {"mono at 44100 Hz", 44100, 1, false}};
    for (const auto& output : outputs) {
        for (const Algorithm& algorithm : algorithms) {
            SCOPED_TRACE(std::string(output.name) + ", " + algorithm.name);
            ToneRig rig(output.rateHz, output.channels);
            ASSERT_NO_FATAL_FAILURE(rig.Start(*algorithm.guid));
            sound::RenderingReport report;
            ASSERT_TRUE(sound::DescribeRendering(rig.device, report));
            // The engine's version string: "1.1 ALSOFT 1.24.2".
            SCOPED_TRACE(report.engineVersion);
            const bool hrtf = algorithm.hrtf && output.hrtfWhereResampled &&
                              sound::EngineResamplesDatasets(report.engineVersion);
            EXPECT_STATUS(algorithm.hrtf && !hrtf ? DS_NO_VIRTUALIZATION : DS_OK, rig.createStatus);
            EXPECT_EQ(report.hrtf, hrtf) << report.dataset;
            EXPECT_EQ(sound::IsLightDataset(report.dataset), hrtf && *algorithm.guid == DS3DALG_HRTF_LIGHT)
                << report.dataset;
            EXPECT_EQ(report.fallback.empty(), algorithm.hrtf == hrtf) << "the reason: " << report.fallback;
            if (hrtf) {
                EXPECT_EQ(report.rateHz, output.rateHz) << "the dataset is resampled, the device is not";
            }
            const Rendered right = rig.MeasureAt(10.0f, 0.0f, 0.0f);
            EXPECT_GT(right.LoudestDb(), -20.0) << right.Describe();
            if (output.channels == 2 && hrtf) {
                const double rightLeadDb = right.LevelDb(1) - right.LevelDb(0);
                EXPECT_GT(rightLeadDb, 3.0) << right.Describe();
                EXPECT_LT(rightLeadDb, 20.0) << "HRTF leaves the far ear audible: " << right.Describe();
            } else if (output.channels == 2) {
                EXPECT_GT(right.LevelDb(1) - right.LevelDb(0), hardPanDb) << "a hard pan: " << right.Describe();
            }
        }
    }
}

// The datasets each rendering asks for, from the lists the engines report: OpenAL Soft 1.19
// (one dataset per rate, loaded only at its own rate) and later versions (one dataset, resampled).
TEST(HrtfDatasetChoiceTest, EachRenderingAsksForItsOwnDatasetsAtTheDevicesRate)
{
    using R = sound::Rendering;
    using Names = std::vector<std::string>;
    const Names debian12 = {"default-44100", "default-48000", "orbit-tone-light-44100", "orbit-tone-light-48000",
                            "Built-In 44100hz", "Built-In 48000hz"};
    // The engine puts the user's default-hrtf first.
    const Names userDefault = {"mine-44100", "default-44100", "default-48000", "orbit-tone-light-44100",
                               "orbit-tone-light-48000", "KEMAR"};
    const Names newer = {"Default HRTF", "orbit-tone-light-48000", "Built-In HRTF"};
    const Names imported = {"kemar-48000", "alpha-44100", "alpha-48000", "kemar-44100", "default-44100",
                            "default-48000", "orbit-tone-light-44100", "orbit-tone-light-48000"};
    const Names withoutOurs = {"default-44100", "default-48000"}; // hrtf-paths without the default folders
    const struct { const char* name; R rendering; const Names& listed; int rateHz; bool resamples; Names expected; }
        cases[] = {
            {"full at 44100", R::HrtfFull, debian12, 44100, false, {"default-44100", "Built-In 44100hz"}},
            {"full at 48000", R::HrtfFull, debian12, 48000, false, {"default-48000", "Built-In 48000hz"}},
            {"light at 48000", R::HrtfLight, debian12, 48000, false, {"orbit-tone-light-48000"}},
            {"full at 96000", R::HrtfFull, debian12, 96000, false, {}},
            {"panning, should the user force HRTF", R::Panning, debian12, 44100, false,
             {"default-44100", "Built-In 44100hz"}},
            {"default, should the engine turn HRTF on", R::Automatic, debian12, 48000, false,
             {"default-48000", "Built-In 48000hz"}},
            {"the user's default at its rate", R::HrtfFull, userDefault, 44100, false,
             {"mine-44100", "default-44100", "KEMAR"}},
            {"the user's default at another rate", R::HrtfFull, userDefault, 48000, false, {"default-48000", "KEMAR"}},
            {"light, the user's default aside", R::HrtfLight, userDefault, 44100, false, {"orbit-tone-light-44100"}},
            {"light without our folder", R::HrtfLight, withoutOurs, 44100, false, {}},
            {"newer: full at 96000", R::HrtfFull, newer, 96000, true, {"Default HRTF", "Built-In HRTF"}},
            {"newer: light at 44100", R::HrtfLight, newer, 44100, true, {"orbit-tone-light-48000"}},
            {"newer: the user's default at any rate", R::HrtfFull, userDefault, 48000, true,
             {"mine-44100", "default-44100", "default-48000", "KEMAR"}},
            // Two imported sets (orbit-tone-hrtf), the user's default-hrtf naming one for 48000 Hz.
            {"the user's default's sibling", R::HrtfFull, imported, 44100, false,
             {"kemar-44100", "alpha-44100", "default-44100"}},
            {"newer: the user's default, resampled", R::HrtfFull, imported, 44100, true,
             {"kemar-48000", "alpha-44100", "alpha-48000", "kemar-44100", "default-44100", "default-48000"}},
            {"the user's default at its own rate", R::HrtfFull, imported, 48000, false,
             {"kemar-48000", "alpha-48000", "default-48000"}},
        };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(sound::DatasetCandidates(test.rendering, test.listed, test.rateHz, test.resamples), test.expected);
    }

    // Where an engine that cannot resample has nothing for the device's rate, the nearest rate that has.
    EXPECT_EQ(sound::NearestDatasetRate(R::HrtfFull, debian12, 96000), 48000);
    EXPECT_EQ(sound::NearestDatasetRate(R::HrtfLight, debian12, 22050), 44100);
    EXPECT_EQ(sound::NearestDatasetRate(R::HrtfLight, debian12, 46050), 48000) << "a tie goes to the higher rate";
    EXPECT_EQ(sound::NearestDatasetRate(R::HrtfLight, withoutOurs, 96000), 0);

    for (const auto& [version, resamples] : {std::pair{"1.1 ALSOFT 1.19.1", false}, {"1.1 ALSOFT 1.20.0", true},
                                             {"1.1 ALSOFT 1.24.2", true}, {"1.1 ALSOFT 2.0", true},
                                             {"1.1 ALSOFT 1.x", false}, {"", false}}) {
        EXPECT_EQ(sound::EngineResamplesDatasets(version), resamples) << '"' << version << '"';
    }
}

// The layer's own engine settings go only where the user's configuration leaves a key unset.
TEST(EngineConfigTest, OurSettingsFillInOnlyWhatTheUserLeftUnset)
{
    const struct { const char* text; bool setsPeriodSize; } texts[] = {
        {"period_size = 1024\n", true},
        {"[general]\nperiod_size=1024", true},
        {"[ General ]\n  period_size = 1024   # a comment\n", true},
        {"[decoder]\nhq-mode = false\n[general]\nperiod_size = 512\n", true},
        {"[pulse]\nperiod_size = 1024\n", false},
        {"# period_size = 1024\n", false},
        {"period_size =\n", false},
        {"period_size = 1024\nperiod_size =\n", false},
        {"period_sizes = 1024\n", false},
        {"[general\nperiod_size = 1024\n", false},
    };
    for (const auto& text : texts)
        EXPECT_EQ(sound::SetsKey(text.text, "general", "period_size"), text.setsPeriodSize) << text.text;
    EXPECT_TRUE(sound::SetsKey("[general]\n[pulse]\nadjust-latency = false\n", "pulse", "adjust-latency"));
    EXPECT_FALSE(sound::SetsKey("adjust-latency = false\n", "pulse", "adjust-latency"));

    const sound::Setting ours[] = {
        {"general", "period_size", "1472"}, {"general", "periods", "12"}, {"pulse", "adjust-latency", "true"}};
    using Texts = std::vector<std::string>;
    EXPECT_EQ(sound::ConfigForUnset(ours, Texts{"", "[decoder]\nnfc = true\n"}),
              "[general]\nperiod_size = 1472\nperiods = 12\n[pulse]\nadjust-latency = true\n");
    EXPECT_EQ(sound::ConfigForUnset(ours, Texts{"[pulse]\nadjust-latency = false\n", "[general]\nperiods = 3\n"}),
              "[general]\nperiod_size = 1472\n");
    EXPECT_EQ(sound::ConfigForUnset(ours, Texts{"periods = 2\n[pulse]\nadjust-latency=1", "period_size = 512\n"}),
              "");
}

// Work that waits until let go: what an engine call to a frozen server looks like.
class Gate {
public:
    void Wait()
    {
        std::unique_lock lock(mutex_);
        open_.wait(lock, [this] { return opened_; });
    }
    void Open()
    {
        std::lock_guard lock(mutex_);
        opened_ = true;
        open_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable open_;
    bool opened_ = false;
};

using namespace std::chrono_literals;

// Bounded work is timed from its start, not from the wait behind other work; it learns its
// deadline there. Unbounded work runs as long as it takes, and what work throws reaches its caller.
TEST(EngineThreadTest, BoundedWorkIsTimedFromItsStart)
{
    sound::EngineThread thread;
    EXPECT_TRUE(thread.Post([] { std::this_thread::sleep_for(400ms); })) << "slow work that cannot wait on the server";
    const auto queued = sound::Clock::now();
    const auto deadline = thread.Call(200ms, [] { return sound::CurrentDeadline(); });
    ASSERT_TRUE(deadline.has_value()) << "queued 400 ms behind other work, with 200 ms of its own";
    EXPECT_GE(*deadline, queued + 400ms + 200ms);
    EXPECT_EQ(thread.Call(std::nullopt, [] { return sound::CurrentDeadline(); }), sound::Deadline::max());
    EXPECT_THROW(thread.Run(std::nullopt, [] { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_EQ(thread.Call(100ms, [] { return 43; }), 43);
    EXPECT_FALSE(sound::EngineLost());
}

// Checks run in a process of their own, where the engine may be lost: exits with 0 when all hold,
// else with 1 after saying on standard error which failed.
#define CHILD_CHECK(condition)                                                                                     \
    do {                                                                                                           \
        if (!(condition)) {                                                                                        \
            std::fprintf(stderr, "failed: %s\n", #condition);                                                      \
            std::_Exit(1);                                                                                          \
        }                                                                                                          \
    } while (false)

// Bounded work that does not end in time loses the engine for the whole process, for good:
// nothing queued or posted runs on any engine thread, nothing enters the engine after the late
// call comes back, and every later call fails at once.
void LoseTheEngineByGivingUp()
{
    const auto gate = std::make_shared<Gate>();
    const auto steps = std::make_shared<std::atomic<int>>(0);
    sound::EngineThread thread;
    sound::EngineThread other; // another device's
    CHILD_CHECK(thread.Call(std::nullopt, [] { return 42; }) == 42);
    CHILD_CHECK(!sound::EngineLost());
    std::thread blocked([&] {
        CHILD_CHECK(!thread.Run(300ms, [gate, steps] {
            gate->Wait();
            sound::EndWorkIfLost();
            ++*steps; // an engine call after the late one: must never happen
        }));
    });
    std::this_thread::sleep_for(50ms);
    CHILD_CHECK(thread.Post([steps] { *steps += 10; }));
    CHILD_CHECK(other.Post([] { std::this_thread::sleep_for(500ms); }));
    CHILD_CHECK(other.Post([steps] { *steps += 100; }));
    std::thread queued([&] { CHILD_CHECK(!thread.Run(std::nullopt, [steps] { *steps += 1000; })); });
    blocked.join();
    queued.join();
    CHILD_CHECK(sound::EngineLost());
    CHILD_CHECK(!thread.Run(std::nullopt, [steps] { *steps += 10000; }));
    CHILD_CHECK(!other.Run(10s, [steps] { *steps += 10000; }));
    CHILD_CHECK(!other.Post([steps] { *steps += 10000; }));

    gate->Open(); // the late call comes back
    std::this_thread::sleep_for(700ms);
    CHILD_CHECK(sound::EngineLost());
    CHILD_CHECK(steps->load() == 0);
    std::_Exit(0); // the lost threads stay as they are
}

// While the engine is in use (lost, or a device's thread still there), the process's exit ends it
// at once with exit()'s status, from any thread, before any exit handler: those registered before
// (the engine's shutdown among them) and, on a thread that called the layer, those registered
// after. With every engine thread ended, the handlers run as usual.
enum class AtExit { Lost, LostExitFromNewThread, DeviceOpen, AllClosed };
void ExitWith(AtExit state)
{
    std::atexit([] { std::_Exit(7); }); // the engine's shutdown, say
    auto* thread = new sound::EngineThread;
    const bool lost = state == AtExit::Lost || state == AtExit::LostExitFromNewThread;
    auto* gate = new Gate;
    thread->Run(lost ? sound::Limit(50ms) : std::nullopt, [gate, lost] {
        if (lost)
            gate->Wait();
    });
    if (state == AtExit::LostExitFromNewThread)
        std::thread([] { std::exit(3); }).join();
    if (state == AtExit::AllClosed)
        delete thread;
    std::atexit([] { std::_Exit(8); }); // registered after the loss, as late engine work may
    std::exit(3);
}

TEST(EngineThreadTest, BoundedWorkNotDoneInTimeLosesTheEngineForGood)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(LoseTheEngineByGivingUp(), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(ExitWith(AtExit::Lost), testing::ExitedWithCode(3), "") << "from the thread that lost it";
    EXPECT_EXIT(ExitWith(AtExit::LostExitFromNewThread), testing::ExitedWithCode(3), "")
        << "from a thread that never called the layer";
    EXPECT_EXIT(ExitWith(AtExit::DeviceOpen), testing::ExitedWithCode(3), "") << "a device not closed yet";
    EXPECT_EXIT(ExitWith(AtExit::AllClosed), testing::ExitedWithCode(8), "") << "all closed: the handlers run";
}

// The layer's question to the sound server, staged with the engine playing into a file: a server
// that takes the question and says nothing (frozen, or killed with its socket held) leaves the
// device to open with the layout the engine picks, and loses it when a buffer is made; no server
// at all tells nothing, and the buffer is made.
void AskTheServer(bool listens)
{
    char folder[] = "/tmp/orbit-tone-question-XXXXXX";
    CHILD_CHECK(mkdtemp(folder) != nullptr);
    const std::string config = std::string(folder) + "/alsoft.conf";
    std::FILE* file = std::fopen(config.c_str(), "w");
    CHILD_CHECK(file && std::fprintf(file, "[wave]\nfile = %s/out.wav\n", folder) > 0 && std::fclose(file) == 0);
    const std::string socketPath = std::string(folder) + "/native";
    setenv("ALSOFT_DRIVERS", "wave", 1);
    setenv("ALSOFT_CONF", config.c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + socketPath).c_str(), 1);
    if (listens) {
        const int server = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
        CHILD_CHECK(server >= 0 && bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    listen(server, 8) == 0);
    }
    LPDIRECTSOUND device = nullptr;
    CHILD_CHECK(DirectSoundCreate(nullptr, &device, nullptr) == DS_OK);
    CHILD_CHECK(device->SetCooperativeLevel(TestWindow(), DSSCL_NORMAL) == DS_OK);
    WAVEFORMATEX format = Pcm(1, toneRateHz, 16);
    const DSBUFFERDESC description = ToneDescription(&format, DS3DALG_HRTF_FULL);
    LPDIRECTSOUNDBUFFER buffer = nullptr;
    const HRESULT created = device->CreateSoundBuffer(&description, &buffer, nullptr);
    CHILD_CHECK(listens ? created == DSERR_NODRIVER && sound::EngineLost() : SUCCEEDED(created) && buffer);
    std::_Exit(0);
}

TEST(SoundServerTest, OnlyAServerThatTakesTheQuestionAndSaysNothingLosesTheDevice)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(AskTheServer(false), testing::ExitedWithCode(0), "") << "no server";
    EXPECT_EXIT(AskTheServer(true), testing::ExitedWithCode(0), "") << "a server that says nothing";
}

// Each check runs beside the rig's tone, playing from the right, which must come through intact.
class SoundCallsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(rig.Start(DS3DALG_NO_VIRTUALIZATION));
        baseline = rig.MeasureAt(10.0f, 0.0f, 0.0f);
        ASSERT_GT(baseline.LevelDb(1), -20.0) << baseline.Describe();
    }

    // Also hands the buffer's whole stored 3D state to the engine again, through a setter.
    void ExpectIntact()
    {
        EXPECT_STATUS(DS_OK, rig.buffer3D->SetMaxDistance(40.0f, DS3D_IMMEDIATE));
        DWORD status = 0;
        EXPECT_STATUS(DS_OK, rig.buffer->GetStatus(&status));
        EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
        const Rendered now = rig.Measure();
        EXPECT_NEAR(now.LevelDb(1), baseline.LevelDb(1), 0.5) << "the tone as before: " << now.Describe();
        EXPECT_GT(now.LevelDb(1) - now.LevelDb(0), hardPanDb) << "still at the right: " << now.Describe();
    }

    ToneRig rig;
    Rendered baseline;
    WAVEFORMATEX toneFormat = Pcm(1, toneRateHz, 16);
    // What the rig's buffer was made from.
    const DSBUFFERDESC toneDescription = ToneDescription(&toneFormat, DS3DALG_NO_VIRTUALIZATION);
};

// The same description for a buffer without 3D.
DSBUFFERDESC Plain(DSBUFFERDESC description)
{
    description.dwFlags = DSBCAPS_LOCSOFTWARE;
    description.guid3DAlgorithm = GUID_NULL;
    return description;
}

const GUID floatSubFormat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID unknownAlgorithm = {0xC2413341, 0x1C1B, 0x11D2, {0x94, 0xF5, 0x00, 0xC0, 0x4F, 0xC2, 0x8A, 0xCA}};

void MakeExtensible(WAVEFORMATEXTENSIBLE& format, const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM)
{
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = format.Format.wBitsPerSample;
    format.dwChannelMask = 0x4; // front centre
    format.SubFormat = subFormat;
}

static_assert(sizeof(DSBUFFERDESC1) == 24 && sizeof(DSBUFFERDESC) == 40, "the sizes of a 64-bit build");

// A call that cannot wait on the sound server runs to its end however long it takes (a page-fault
// storm, a paused machine): stalled longer than any bound, it loses nothing, and the calls queued
// behind it take effect once it is done.
TEST_F(SoundCallsTest, AStalledCallLosesNothing)
{
    static std::atomic<bool> stallNext{false};
    sound::SetWorkHook([] {
        if (stallNext.exchange(false))
            std::this_thread::sleep_for(std::max({sound::openingLimit, sound::creationLimit, sound::closingLimit}) +
                                        200ms);
    });
    stallNext = true;
    EXPECT_STATUS(DS_OK, rig.buffer3D->SetPosition(-10.0f, 0.0f, 0.0f, DS3D_IMMEDIATE)) << "the stalled call";
    EXPECT_STATUS(DS_OK, rig.buffer3D->SetPosition(10.0f, 0.0f, 0.0f, DS3D_IMMEDIATE)) << "behind it";
    ExpectIntact();
    sound::SetWorkHook(nullptr);
    EXPECT_FALSE(sound::EngineLost());
    const Rendered left = rig.MeasureAt(-10.0f, 0.0f, 0.0f);
    EXPECT_GT(left.LevelDb(0) - left.LevelDb(1), hardPanDb) << "moved on: " << left.Describe();
}

TEST_F(SoundCallsTest, BufferDescriptionsAreChecked)
{
    using D = DSBUFFERDESC;
    using F = WAVEFORMATEXTENSIBLE;
    constexpr HRESULT invalid = DSERR_INVALIDPARAM;
    constexpr HRESULT badFormat = DSERR_BADFORMAT;
    const struct { const char* name; std::function<void(D&, F&)> change; HRESULT expected; } cases[] = {
        {"as the tone", [](D&, F&) {}, DS_OK},
        // The default algorithm, so that a part of its GUID would pass for a whole one.
        {"size 24, DSBUFFERDESC1", [](D& d, F&) { d.dwSize = 24, d.guid3DAlgorithm = GUID_NULL; }, DS_OK},
        {"size 36, the 32-bit layout", [](D& d, F&) { d.dwSize = 36, d.guid3DAlgorithm = GUID_NULL; }, invalid},
        {"size 0", [](D& d, F&) { d.dwSize = 0, d.guid3DAlgorithm = GUID_NULL; }, invalid},
        {"size 41", [](D& d, F&) { d.dwSize = 41, d.guid3DAlgorithm = GUID_NULL; }, invalid},
        {"no format", [](D& d, F&) { d.lpwfxFormat = nullptr; }, invalid},
        {"3D stereo", [](D& d, F& f) { f.Format = Pcm(2, toneRateHz, 16), d.dwBufferBytes = 400; }, invalid},
        {"stereo without 3D", [](D& d, F& f) { f.Format = Pcm(2, toneRateHz, 16), d = Plain(d); }, DS_OK},
        {"8-bit", [](D&, F& f) { f.Format = Pcm(1, toneRateHz, 8); }, DS_OK},
        {"24-bit", [](D& d, F& f) { f.Format = Pcm(1, toneRateHz, 24), d.dwBufferBytes = 300; }, badFormat},
        {"32-bit float", [](D&, F& f) { f.Format = Pcm(1, toneRateHz, 32, 3); }, badFormat},
        {"extensible PCM", [](D&, F& f) { MakeExtensible(f); }, DS_OK},
        {"extensible float", [](D&, F& f) { MakeExtensible(f, floatSubFormat); }, badFormat},
        {"extensible, too short", [](D&, F& f) { MakeExtensible(f), f.Format.cbSize = 0; }, badFormat},
        {"extensible, 12 valid bits",
         [](D&, F& f) { MakeExtensible(f), f.Samples.wValidBitsPerSample = 12; }, badFormat},
        {"block of 4 bytes", [](D&, F& f) { f.Format.nBlockAlign = 4; }, badFormat},
        {"44100 bytes a second", [](D&, F& f) { f.Format.nAvgBytesPerSec = toneRateHz; }, badFormat},
        {"0 channels", [](D&, F& f) { f.Format = Pcm(0, toneRateHz, 16); }, badFormat},
        {"3 channels", [](D& d, F& f) { f.Format = Pcm(3, toneRateHz, 16), d = Plain(d); }, badFormat},
        {"0 Hz", [](D&, F& f) { f.Format = Pcm(1, 0, 16); }, badFormat},
        {"0 bytes", [](D& d, F&) { d.dwBufferBytes = 0; }, invalid},
        {"2 bytes", [](D& d, F&) { d.dwBufferBytes = 2; }, invalid},
        {"4 bytes", [](D& d, F&) { d.dwBufferBytes = 4; }, DS_OK},
        {"201 bytes", [](D& d, F&) { d.dwBufferBytes = 201; }, invalid},
        {"0x10000000 bytes", [](D& d, F&) { d.dwBufferBytes = 0x10000000; }, invalid},
        {"an unknown flag", [](D& d, F&) { d.dwFlags |= 0x00100000; }, invalid},
        {"reserved set", [](D& d, F&) { d.dwReserved = 1; }, invalid},
        {"in hardware", [](D& d, F&) { d.dwFlags = DSBCAPS_CTRL3D | DSBCAPS_LOCHARDWARE; }, DSERR_CONTROLUNAVAIL},
        {"in hardware and software", [](D& d, F&) { d.dwFlags |= DSBCAPS_LOCHARDWARE; }, invalid},
        {"the primary buffer", [](D& d, F&) { d.dwFlags = DSBCAPS_PRIMARYBUFFER; }, DSERR_UNSUPPORTED},
        {"3D with pan", [](D& d, F&) { d.dwFlags |= DSBCAPS_CTRLPAN; }, invalid},
        {"an unknown algorithm", [](D& d, F&) { d.guid3DAlgorithm = unknownAlgorithm; }, invalid},
        {"an algorithm without 3D", [](D& d, F&) { d.dwFlags = DSBCAPS_LOCSOFTWARE; }, invalid},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        WAVEFORMATEXTENSIBLE format{};
        format.Format = toneFormat;
        DSBUFFERDESC description = ToneDescription(&format.Format, DS3DALG_NO_VIRTUALIZATION);
        test.change(description, format);
        LPDIRECTSOUNDBUFFER created = Garbage<IDirectSoundBuffer>();
        const HRESULT status = rig.device->CreateSoundBuffer(&description, &created, nullptr);
        EXPECT_STATUS(test.expected, status);
        if (SUCCEEDED(status) && created) {
            DWORD playing = 1;
            EXPECT_STATUS(DS_OK, created->GetStatus(&playing));
            EXPECT_EQ(playing, 0u);
            EXPECT_EQ(created->Release(), 0u);
        } else {
            EXPECT_EQ(created, nullptr);
        }
        ExpectIntact();
    }
}

// A call whose out pointer must come back null.
template <typename Out>
std::function<HRESULT()> Nulled(std::function<HRESULT(Out**)> call)
{
    return [call] {
        Out* out = Garbage<Out>();
        const HRESULT status = call(&out);
        EXPECT_EQ(out, nullptr);
        return status;
    };
}

TEST_F(SoundCallsTest, MalformedCallsAreRefused)
{
    IDirectSound* const d = rig.device;
    IDirectSoundBuffer* const b = rig.buffer;
    IDirectSound3DBuffer* const b3 = rig.buffer3D;
    const DSBUFFERDESC plainDescription = Plain(toneDescription);
    LPDIRECTSOUNDBUFFER plainBuffer = nullptr;
    ASSERT_STATUS(DS_OK, d->CreateSoundBuffer(&plainDescription, &plainBuffer, nullptr));
    const Owned<IDirectSoundBuffer> plain(plainBuffer);
    const DSBUFFERDESC* const tone = &toneDescription;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    constexpr DWORD now = DS3D_IMMEDIATE;
    constexpr HRESULT invalid = DSERR_INVALIDPARAM;
    LPVOID region = nullptr;
    DWORD length = 0;
    const struct { const char* name; std::function<HRESULT()> call; HRESULT expected; } cases[] = {
        {"DirectSoundCreate, nowhere to go", [] { return DirectSoundCreate(nullptr, nullptr, nullptr); }, invalid},
        {"DirectSoundCreate aggregated",
         Nulled<IDirectSound>([&](auto out) { return DirectSoundCreate(nullptr, out, b); }), DSERR_NOAGGREGATION},
        {"DirectSoundCreate, unknown device",
         Nulled<IDirectSound>([](auto out) { return DirectSoundCreate(&IID_IDirectSound, out, nullptr); }),
         DSERR_NODRIVER},
        {"loopback, nowhere to go", [] { return sound::CreateLoopbackDevice(toneRateHz, 2, nullptr); }, invalid},
        {"loopback, 3 channels",
         Nulled<IDirectSound>([](auto out) { return sound::CreateLoopbackDevice(44100, 3, out); }), DSERR_NODRIVER},
        {"loopback, 0 Hz", Nulled<IDirectSound>([](auto out) { return sound::CreateLoopbackDevice(0, 2, out); }),
         DSERR_NODRIVER},
        {"CreateSoundBuffer, no description",
         Nulled<IDirectSoundBuffer>([&](auto out) { return d->CreateSoundBuffer(nullptr, out, nullptr); }), invalid},
        {"CreateSoundBuffer, nowhere to go", [&] { return d->CreateSoundBuffer(tone, nullptr, nullptr); }, invalid},
        {"CreateSoundBuffer aggregated",
         Nulled<IDirectSoundBuffer>([&](auto out) { return d->CreateSoundBuffer(tone, out, b); }), DSERR_NOAGGREGATION},
        {"SetCooperativeLevel, no window", [&] { return d->SetCooperativeLevel(nullptr, DSSCL_NORMAL); }, invalid},
        {"SetCooperativeLevel 0", [&] { return d->SetCooperativeLevel(TestWindow(), 0); }, invalid},
        {"SetCooperativeLevel 5", [&] { return d->SetCooperativeLevel(TestWindow(), 5); }, invalid},
        {"device QueryInterface, nowhere to go", [&] { return d->QueryInterface(IID_IUnknown, nullptr); }, E_POINTER},
        {"device QueryInterface for a buffer",
         Nulled<void>([&](auto out) { return d->QueryInterface(IID_IDirectSoundBuffer, out); }), E_NOINTERFACE},
        {"GetStatus, nowhere to go", [&] { return b->GetStatus(nullptr); }, invalid},
        {"Lock, no region", [&] { return b->Lock(0, 2, nullptr, &length, nullptr, nullptr, 0); }, invalid},
        {"Lock, no length", [&] { return b->Lock(0, 2, &region, nullptr, nullptr, nullptr, 0); }, invalid},
        {"Lock, unknown flag", [&] { return b->Lock(0, 2, &region, &length, nullptr, nullptr, 4); }, invalid},
        {"Lock past the end", [&] { return b->Lock(toneBytes, 2, &region, &length, nullptr, nullptr, 0); }, invalid},
        {"Lock of 0 bytes", [&] { return b->Lock(0, 0, &region, &length, nullptr, nullptr, 0); }, invalid},
        {"Lock of more than all", [&] { return b->Lock(0, 202, &region, &length, nullptr, nullptr, 0); }, invalid},
        {"Unlock, not locked", [&] { return b->Unlock(b, 2, nullptr, 0); }, invalid},
        {"Play, reserved set", [&] { return b->Play(1, 0, DSBPLAY_LOOPING); }, invalid},
        {"Play with a priority", [&] { return b->Play(0, 1, DSBPLAY_LOOPING); }, invalid},
        {"Play, unknown flag", [&] { return b->Play(0, 0, DSBPLAY_LOOPING | 2); }, invalid},
        {"QueryInterface, nowhere to go", [&] { return b->QueryInterface(IID_IUnknown, nullptr); }, E_POINTER},
        {"QueryInterface, unknown interface",
         Nulled<void>([&](auto out) { return b->QueryInterface(IID_IDirectSound, out); }), E_NOINTERFACE},
        {"QueryInterface for 3D, no 3D",
         Nulled<void>([&](auto out) { return plain->QueryInterface(IID_IDirectSound3DBuffer, out); }), E_NOINTERFACE},
        {"SetMinDistance NaN", [&] { return b3->SetMinDistance(nan, now); }, invalid},
        {"SetMinDistance inf", [&] { return b3->SetMinDistance(inf, now); }, invalid},
        {"SetMinDistance -1", [&] { return b3->SetMinDistance(-1.0f, now); }, invalid},
        {"SetMinDistance 0", [&] { return b3->SetMinDistance(0.0f, now); }, invalid},
        {"SetMaxDistance NaN", [&] { return b3->SetMaxDistance(nan, now); }, invalid},
        {"SetMaxDistance inf", [&] { return b3->SetMaxDistance(inf, now); }, invalid},
        {"SetMaxDistance -40", [&] { return b3->SetMaxDistance(-40.0f, now); }, invalid},
        {"SetPosition NaN", [&] { return b3->SetPosition(-10.0f, nan, 0.0f, now); }, invalid},
        {"SetPosition inf", [&] { return b3->SetPosition(-inf, 0.0f, 0.0f, now); }, invalid},
        {"SetMode 3", [&] { return b3->SetMode(3, now); }, invalid},
        {"SetPosition deferred", [&] { return b3->SetPosition(-10.0f, 0.0f, 0.0f, DS3D_DEFERRED); }, DSERR_UNSUPPORTED},
        {"SetMode deferred", [&] { return b3->SetMode(DS3DMODE_DISABLE, DS3D_DEFERRED); }, DSERR_UNSUPPORTED},
        {"SetPosition applied by 2", [&] { return b3->SetPosition(-10.0f, 0.0f, 0.0f, 2); }, invalid},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_STATUS(test.expected, test.call());
        ExpectIntact();
    }
    std::int16_t samples[4] = {};
    EXPECT_FALSE(sound::RenderLoopback(nullptr, samples, 2));
    EXPECT_FALSE(sound::RenderLoopback(d, nullptr, 2));
    EXPECT_FALSE(sound::RenderLoopback(d, samples, -1));
    ExpectIntact();
}

TEST_F(SoundCallsTest, BuffersWaitForTheCooperativeLevel)
{
    LPDIRECTSOUND created = nullptr;
    ASSERT_STATUS(DS_OK, sound::CreateLoopbackDevice(toneRateHz, 2, &created));
    const Owned<IDirectSound> device(created);
    LPDIRECTSOUNDBUFFER buffer = Garbage<IDirectSoundBuffer>();
    EXPECT_STATUS(DSERR_PRIOLEVELNEEDED, device->CreateSoundBuffer(&toneDescription, &buffer, nullptr));
    EXPECT_EQ(buffer, nullptr);
    EXPECT_STATUS(DSERR_INVALIDPARAM, device->SetCooperativeLevel(nullptr, DSSCL_NORMAL));
    EXPECT_STATUS(DSERR_PRIOLEVELNEEDED, device->CreateSoundBuffer(&toneDescription, &buffer, nullptr))
        << "a refused level does not count";
    ASSERT_STATUS(DS_OK, device->SetCooperativeLevel(TestWindow(), DSSCL_NORMAL));
    ASSERT_STATUS(DS_OK, device->CreateSoundBuffer(&toneDescription, &buffer, nullptr));
    EXPECT_EQ(buffer->Release(), 0u);
    ExpectIntact();
}

TEST_F(SoundCallsTest, LockAndUnlockMisuseIsRefused)
{
    LPVOID region = nullptr;
    DWORD length = 0;
    ASSERT_STATUS(DS_OK, rig.buffer->Lock(0, 0, &region, &length, nullptr, nullptr, DSBLOCK_ENTIREBUFFER));
    auto* start = static_cast<BYTE*>(region);
    LPVOID again = nullptr;
    DWORD againLength = 0;
    EXPECT_STATUS(DSERR_INVALIDCALL, rig.buffer->Lock(0, 2, &again, &againLength, nullptr, nullptr, 0)) << "twice";
    EXPECT_STATUS(DSERR_INVALIDPARAM, rig.buffer->Unlock(start + 2, length - 2, nullptr, 0)) << "never handed out";
    EXPECT_STATUS(DSERR_INVALIDPARAM, rig.buffer->Unlock(start, length + 2, nullptr, 0)) << "longer than locked";
    EXPECT_STATUS(DSERR_INVALIDPARAM, rig.buffer->Unlock(start, length, start, 2)) << "second region never handed out";
    EXPECT_STATUS(DS_OK, rig.buffer->Unlock(start, length, nullptr, 0)) << "the refusals kept the lock";
    EXPECT_STATUS(DSERR_INVALIDPARAM, rig.buffer->Unlock(start, length, nullptr, 0)) << "no longer locked";
    ExpectIntact();
}

TEST_F(SoundCallsTest, LockHandsOutRegionsAndUnlockUploadsThem)
{
    const auto tone = Tone(toneAmplitude);
    LPVOID region1 = nullptr;
    LPVOID region2 = Garbage<void>();
    DWORD length1 = 0;
    DWORD length2 = 1;
    // The whole buffer in one region; zeros uploaded while playing make silence.
    ASSERT_STATUS(DS_OK, rig.buffer->Lock(0, 0, &region1, &length1, &region2, &length2, DSBLOCK_ENTIREBUFFER));
    EXPECT_EQ(length1, toneBytes);
    EXPECT_EQ(region2, nullptr);
    EXPECT_EQ(length2, 0u);
    auto* start = static_cast<BYTE*>(region1);
    std::memset(region1, 0, length1);
    ASSERT_STATUS(DS_OK, rig.buffer->Unlock(region1, length1, region2, length2));
    EXPECT_LT(rig.Measure().LoudestDb(), silentDb) << "after uploading zeros";

    // A region past the end goes on at the start, as a second region: the tone, written in two halves.
    ASSERT_STATUS(DS_OK, rig.buffer->Lock(toneBytes / 2, toneBytes, &region1, &length1, &region2, &length2, 0));
    EXPECT_EQ(region1, start + toneBytes / 2);
    EXPECT_EQ(length1, toneBytes / 2);
    EXPECT_EQ(region2, start);
    ASSERT_EQ(length2, toneBytes / 2);
    std::memcpy(region1, tone.data() + toneFrames / 2, length1);
    std::memcpy(region2, tone.data(), length2);
    ASSERT_STATUS(DS_OK, rig.buffer->Unlock(region1, length1, region2, length2));
    ExpectIntact();

    // With nowhere to put a second region, only the first is handed out.
    ASSERT_STATUS(DS_OK, rig.buffer->Lock(150, 100, &region1, &length1, nullptr, nullptr, 0));
    EXPECT_EQ(region1, start + 150);
    EXPECT_EQ(length1, 50u);
    EXPECT_STATUS(DS_OK, rig.buffer->Unlock(region1, length1, nullptr, 0));

    // From the play cursor: inside the buffer, on a sample.
    ASSERT_STATUS(DS_OK, rig.buffer->Lock(0, 2, &region1, &length1, &region2, &length2, DSBLOCK_FROMWRITECURSOR));
    EXPECT_GE(static_cast<BYTE*>(region1), start);
    EXPECT_LT(static_cast<BYTE*>(region1), start + toneBytes);
    EXPECT_EQ((static_cast<BYTE*>(region1) - start) % 2, 0);
    EXPECT_EQ(length1 + length2, 2u);
    EXPECT_STATUS(DS_OK, rig.buffer->Unlock(region1, length1, region2, length2));

    // Unlocking less than was locked is allowed.
    ASSERT_STATUS(DS_OK, rig.buffer->Lock(0, 0, &region1, &length1, nullptr, nullptr, DSBLOCK_ENTIREBUFFER));
    EXPECT_STATUS(DS_OK, rig.buffer->Unlock(region1, toneBytes / 2, nullptr, 0));
    ExpectIntact();

    // Half the amplitude comes out 6 dB lower.
    ASSERT_NO_FATAL_FAILURE(rig.Fill(Tone(toneAmplitude / 2)));
    const Rendered half = rig.Measure();
    EXPECT_NEAR(half.LevelDb(1) - baseline.LevelDb(1), -6.02, 0.3) << half.Describe();
}

TEST_F(SoundCallsTest, UnlockWhilePlayingKeepsThePlayPosition)
{
    // The tone is written again half a period in. The engine cannot rewrite a buffer that a source
    // holds, so the source restarts where it was (fading in over one mix): once settled, it must be
    // in step with the render before, where a restart from the buffer's start would be out of phase.
    rig.Render(toneFrames / 2);
    const Rendered before = rig.Render(measureFrames);
    ASSERT_NO_FATAL_FAILURE(rig.Fill(Tone(toneAmplitude)));
    const Rendered after = rig.Measure();
    EXPECT_LT(before.MismatchDb(after, 1), -50.0) << "before: " << before.Describe() << "; after: " << after.Describe();
}

TEST_F(SoundCallsTest, StopSilencesAndPlayResumes)
{
    ASSERT_STATUS(DS_OK, rig.buffer->Stop());
    DWORD status = 1;
    EXPECT_STATUS(DS_OK, rig.buffer->GetStatus(&status));
    EXPECT_EQ(status, 0u);
    EXPECT_LT(rig.Measure().LoudestDb(), silentDb) << "stopped";
    ASSERT_STATUS(DS_OK, rig.buffer->Play(0, 0, DSBPLAY_LOOPING));
    ExpectIntact();
}

TEST_F(SoundCallsTest, BufferLivesWhileAnyInterfaceIsHeld)
{
    EXPECT_EQ(rig.device->AddRef(), 2u);
    EXPECT_EQ(rig.device->Release(), 1u);
    // One object behind both interfaces, holding the rig's two references.
    EXPECT_EQ(rig.buffer->AddRef(), 3u);
    EXPECT_EQ(rig.buffer3D->Release(), 2u);
    void* fromBuffer = nullptr;
    void* from3D = nullptr;
    ASSERT_STATUS(DS_OK, rig.buffer->QueryInterface(IID_IUnknown, &fromBuffer));
    ASSERT_STATUS(DS_OK, rig.buffer3D->QueryInterface(IID_IUnknown, &from3D));
    EXPECT_EQ(fromBuffer, from3D) << "one identity";
    EXPECT_EQ(static_cast<IUnknown*>(fromBuffer)->Release(), 3u);
    EXPECT_EQ(static_cast<IUnknown*>(from3D)->Release(), 2u);

    // The buffer interface goes; through the 3D interface the tone still plays and moves.
    EXPECT_EQ(std::exchange(rig.buffer, nullptr)->Release(), 1u);
    const Rendered left = rig.MeasureAt(-10.0f, 0.0f, 0.0f);
    EXPECT_NEAR(left.LevelDb(0), baseline.LevelDb(1), 0.5) << left.Describe();
    EXPECT_GT(left.LevelDb(0) - left.LevelDb(1), hardPanDb) << left.Describe();

    // The last reference goes, and the tone with it.
    EXPECT_EQ(std::exchange(rig.buffer3D, nullptr)->Release(), 0u);
    const Rendered after = rig.Measure();
    EXPECT_LT(after.LoudestDb(), silentDb) << "after the last Release: " << after.Describe();
}

} // namespace
