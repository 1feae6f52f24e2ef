// Tests of the HRTF dataset reader, writer, converter and shortener, on the engine's own datasets
// (those this build made its light sets from), on small made-up ones, and through OpenAL Soft
// loading and rendering the light dataset.
#define AL_ALEXT_PROTOTYPES
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <numbers>
#include <utility>

#include "engine_datasets.h"
#include "tools/hrtf/mhr_dataset.h"
#ifdef ORBIT_TONE_SOFA
#include <complex>

#include "tools/hrtf/alsoft_settings.h"
#include "tools/hrtf/sofa_import.h"
#include "tools/hrtf/sofa_reader.h"
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// What the engines' own datasets hold, read off the files and checked against each format's
// description in the engine's docs/hrtf.txt. All: mono, one field at 1400 mm, 19 elevations,
// 828 HRIRs.
struct EngineDataset {
    std::string name;
    hrtf::Format format;
    std::uint32_t rateHz;
    hrtf::SampleType sampleType;
    std::size_t taps;
    std::size_t fileBytes;
    double energyKept8Taps;   // mean share of a filter's energy in its first 8 taps
    double energyKept16Taps;  // ... and in its first 16
};
const EngineDataset kKnownEngineDatasets[] = {
    // Debian 12's libopenal-data (OpenAL Soft 1.19.1).
    {"default-44100.mhr", hrtf::Format::MinPhr02, 44100, hrtf::SampleType::Int24, 32, 80354, 0.89, 0.98},
    {"default-48000.mhr", hrtf::Format::MinPhr02, 48000, hrtf::SampleType::Int24, 32, 80354, 0.89, 0.98},
    // Debian 13's (1.24.2), the same since 1.20.
    {"Default HRTF.mhr", hrtf::Format::MinPhr03, 48000, hrtf::SampleType::Int24, 64, 159841, 0.85, 0.95},
};

// The engine datasets this build made its light sets from, each with what it is known to hold.
// Fails the calling test when the build used none that this test knows.
std::vector<std::pair<fs::path, EngineDataset>> engineDatasets() {
    std::vector<std::pair<fs::path, EngineDataset>> found;
    for (const char* path : kEngineDatasetFiles) {
        for (const EngineDataset& known : kKnownEngineDatasets) {
            if (fs::path(path).filename() == known.name) found.emplace_back(path, known);
        }
    }
    EXPECT_FALSE(found.empty()) << "none of the build's datasets (" << kEngineDatasetFiles[0]
                                << ", ...) is one this test knows: add its figures to kKnownEngineDatasets";
    return found;
}

Bytes fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh folder, removed with all it holds at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "hrtf-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) != nullptr ? fs::path(pattern) : fs::path();
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    std::size_t entryCount() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(path_), {}));
    }

private:
    fs::path path_;
};

// Five HRIRs (one field, five elevations of one azimuth), every coefficient set by `value`.
hrtf::Dataset smallDataset(hrtf::SampleType type, hrtf::ChannelType channels, std::size_t taps,
                           const std::function<std::int32_t(std::size_t)>& value) {
    hrtf::Dataset d;
    d.sampleRateHz = 44100;
    d.sampleType = type;
    d.channelType = channels;
    d.filterLength = taps;
    d.fields = {{1400, {1, 1, 1, 1, 1}}};
    // Delays 0, 7, 14, ... up to 63 at most.
    for (std::size_t i = 0; i < 5 * taps * d.channelCount(); ++i) d.coefficients.push_back(value(i));
    for (std::size_t i = 0; i < 5 * d.channelCount(); ++i) d.delays.push_back(static_cast<std::uint8_t>(i * 7));
    return d;
}

double filterEnergy(const hrtf::Dataset& d, std::size_t hrir, std::size_t channel) {
    double energy = 0.0;
    for (std::size_t tap = 0; tap < d.filterLength; ++tap) {
        const double v = d.coefficients[(hrir * d.filterLength + tap) * d.channelCount() + channel];
        energy += v * v;
    }
    return energy;
}

TEST(HrtfDatasetTest, RoundTripsEngineDatasetsByteForByte) {
    for (const auto& [path, known] : engineDatasets()) {
        SCOPED_TRACE(path);
        const Bytes original = fileBytes(path);
        EXPECT_EQ(original.size(), known.fileBytes);
        std::string error;
        const auto dataset = hrtf::parseDataset(original, error);
        ASSERT_TRUE(dataset) << error;
        EXPECT_EQ(dataset->format, known.format);
        EXPECT_EQ(dataset->sampleRateHz, known.rateHz);
        EXPECT_EQ(dataset->sampleType, known.sampleType);
        EXPECT_EQ(dataset->channelType, hrtf::ChannelType::Mono);
        EXPECT_EQ(dataset->filterLength, known.taps);
        ASSERT_EQ(dataset->fields.size(), 1u);
        EXPECT_EQ(dataset->fields[0].distanceMm, 1400);
        EXPECT_EQ(dataset->fields[0].azimuthCounts.size(), 19u);
        EXPECT_EQ(dataset->hrirCount(), 828u);

        TempDir dir;
        const fs::path copy = dir.path() / path.filename();
        ASSERT_TRUE(hrtf::writeDatasetFile(*dataset, copy, error)) << error;
        EXPECT_EQ(fileBytes(copy), original);
        EXPECT_EQ(dir.entryCount(), 1u) << "a temporary file was left behind";

        // As MinPHR02: the same filters; MinPHR03's quarter-sample delays rounded to samples.
        const auto converted = hrtf::toMinPhr02(*dataset, error);
        ASSERT_TRUE(converted) << error;
        EXPECT_EQ(converted->format, hrtf::Format::MinPhr02);
        EXPECT_EQ(converted->coefficients, dataset->coefficients);
        const std::size_t step = known.format == hrtf::Format::MinPhr03 ? 4 : 1;
        for (std::size_t i = 0; i < converted->delays.size(); ++i) {
            ASSERT_EQ(converted->delays[i], (dataset->delays[i] + step / 2) / step) << "delay " << i;
        }
        const auto bytes = hrtf::serializeDataset(*converted, error);
        ASSERT_TRUE(bytes) << error;
        EXPECT_EQ(bytes->size(), 16 + 3 + 19 + 828 * (known.taps * 3 + 1));
    }

    // 16-bit stereo with the extremes of each sample type, through parse and serialize.
    for (const auto type : {hrtf::SampleType::Int16, hrtf::SampleType::Int24}) {
        const std::int32_t top = type == hrtf::SampleType::Int16 ? 32767 : 8388607;
        const std::int32_t extremes[] = {-top - 1, -1, 0, 1, top, -12345};
        const auto dataset =
            smallDataset(type, hrtf::ChannelType::Stereo, 8, [&](std::size_t i) { return extremes[i % 6]; });
        std::string error;
        const auto bytes = hrtf::serializeDataset(dataset, error);
        ASSERT_TRUE(bytes) << error;
        EXPECT_EQ(bytes->size(), 16u + 3 + 5 + 5 * 8 * 2 * (type == hrtf::SampleType::Int16 ? 2 : 3) + 10);
        const auto parsed = hrtf::parseDataset(*bytes, error);
        ASSERT_TRUE(parsed) << error;
        EXPECT_EQ(parsed->coefficients, dataset.coefficients);
        EXPECT_EQ(parsed->delays, dataset.delays);
        EXPECT_EQ(parsed->fields[0].distanceMm, 1400);
    }
}

TEST(HrtfDatasetTest, RejectsMalformedFiles) {
    std::string error;
    const Bytes valid =
        *hrtf::serializeDataset(smallDataset(hrtf::SampleType::Int16, hrtf::ChannelType::Stereo, 16,
                                             [](std::size_t i) { return static_cast<std::int32_t>(i); }),
                                error);
    ASSERT_EQ(valid.size(), 354u);  // 24 header bytes, 5 x 16 taps x 2 channels x 2 bytes, 10 delays
    const struct {
        std::function<void(Bytes&)> damage;
        std::string expected;
    } cases[] = {
        {[](Bytes& b) { b[3] = 'X'; }, "not a MinPHR02 or MinPHR03 file (bad magic)"},
        {[](Bytes& b) { b.resize(5), b[4] = 'X'; }, "not a MinPHR02 or MinPHR03 file (bad magic)"},
        {[](Bytes& b) { b.resize(10); }, "file ends inside the header (10 bytes)"},
        {[](Bytes& b) { b.resize(21); }, "file ends inside the header (21 bytes)"},
        {[](Bytes& b) { std::fill(b.begin() + 8, b.begin() + 12, 0); }, "sample rate is 0 Hz"},
        {[](Bytes& b) { b[12] = 2; }, "sample type 2 is neither 0 (16-bit) nor 1 (24-bit)"},
        {[](Bytes& b) { b[13] = 2; }, "channel type 2 is neither 0 (mono) nor 1 (stereo)"},
        {[](Bytes& b) { b[14] = 12; }, "filter length 12 is not a multiple of 8 from 8 to 128"},
        {[](Bytes& b) { b[14] = 136; }, "filter length 136 is not a multiple of 8 from 8 to 128"},
        {[](Bytes& b) { b[15] = 0; }, "field count 0 is not from 1 to 16"},
        {[](Bytes& b) { b[15] = 17; }, "field count 17 is not from 1 to 16"},
        {[](Bytes& b) { b[18] = 4; }, "field 0: elevation count 4 is not from 5 to 181"},
        {[](Bytes& b) { b[20] = 0; }, "field 0, elevation 1: azimuth count 0 is not from 1 to 255"},
        {[](Bytes& b) { b[19] = 2; }, "file is 354 bytes, shorter than the 420 its header implies"},
        {[](Bytes& b) { b.pop_back(); }, "file is 353 bytes, shorter than the 354 its header implies"},
        {[](Bytes& b) { b.push_back(0); }, "file is 355 bytes, longer than the 354 its header implies"},
        {[](Bytes& b) { b.back() = 64; }, "HRIR 4, channel 1: delay 64 is over 63"},
    };
    for (const auto& c : cases) {
        Bytes bytes = valid;
        c.damage(bytes);
        error.clear();
        EXPECT_FALSE(hrtf::parseDataset(bytes, error));
        EXPECT_EQ(error, c.expected);
    }

    // MinPHR03: no sample type byte, 24-bit samples, delays in quarter samples.
    auto small03 = smallDataset(hrtf::SampleType::Int24, hrtf::ChannelType::Mono, 8,
                                [](std::size_t i) { return static_cast<std::int32_t>(i) - 20; });
    small03.format = hrtf::Format::MinPhr03;
    small03.delays = {0, 1, 63, 250, 252};
    const Bytes valid03 = *hrtf::serializeDataset(small03, error);
    ASSERT_EQ(valid03.size(), 148u);  // 23 header bytes, 5 x 8 taps x 3 bytes, 5 delays
    const auto parsed03 = hrtf::parseDataset(valid03, error);
    ASSERT_TRUE(parsed03) << error;
    EXPECT_EQ(parsed03->coefficients, small03.coefficients);
    EXPECT_EQ(parsed03->delays, small03.delays);
    const struct {
        std::function<void(Bytes&)> damage;
        std::string expected;
    } cases03[] = {
        {[](Bytes& b) { b[7] = '1'; }, "MinPHR01 is an older format than this reader takes (MinPHR02 or MinPHR03)"},
        {[](Bytes& b) { b[7] = '4'; }, "not a MinPHR02 or MinPHR03 file (bad magic)"},
        {[](Bytes& b) { b.resize(14); }, "file ends inside the header (14 bytes)"},
        {[](Bytes& b) { b[12] = 2; }, "channel type 2 is neither 0 (mono) nor 1 (stereo)"},
        {[](Bytes& b) { b[15] = 49, b[16] = 0; }, "field 0: distance 49 mm is not from 50 to 2500"},
        {[](Bytes& b) { b[15] = 0xc5, b[16] = 0x09; }, "field 0: distance 2501 mm is not from 50 to 2500"},
        {[](Bytes& b) { b.pop_back(); }, "file is 147 bytes, shorter than the 148 its header implies"},
        {[](Bytes& b) { b.back() = 253; }, "HRIR 4, channel 0: delay 253 quarter samples is over 252"},
    };
    for (const auto& c : cases03) {
        Bytes bytes = valid03;
        c.damage(bytes);
        error.clear();
        EXPECT_FALSE(hrtf::parseDataset(bytes, error));
        EXPECT_EQ(error, c.expected);
    }

    TempDir dir;
    EXPECT_FALSE(hrtf::readDatasetFile(dir.path() / "absent.mhr", error));
    EXPECT_EQ(error, "No such file or directory");
}

TEST(HrtfDatasetTest, ConvertsToMinPhr02NearestFieldFirst) {
    // Two fields of MinPHR03, farthest first: 5 HRIRs at 2000 mm, then 7 at 1000 mm; stereo,
    // each coefficient its own index, so that a misplaced HRIR shows.
    hrtf::Dataset farFirst;
    farFirst.format = hrtf::Format::MinPhr03;
    farFirst.sampleRateHz = 48000;
    farFirst.channelType = hrtf::ChannelType::Stereo;
    farFirst.filterLength = 8;
    farFirst.fields = {{2000, {1, 1, 1, 1, 1}}, {1000, {1, 2, 1, 2, 1}}};
    for (std::size_t i = 0; i < 12 * 8 * 2; ++i) farFirst.coefficients.push_back(static_cast<std::int32_t>(i));
    for (std::size_t i = 0; i < 12 * 2; ++i) farFirst.delays.push_back(static_cast<std::uint8_t>(i * 10 + 1));
    std::string error;
    ASSERT_TRUE(hrtf::serializeDataset(farFirst, error)) << error;

    const auto nearFirst = hrtf::toMinPhr02(farFirst, error);
    ASSERT_TRUE(nearFirst) << error;
    EXPECT_EQ(nearFirst->format, hrtf::Format::MinPhr02);
    ASSERT_EQ(nearFirst->fields.size(), 2u);
    EXPECT_EQ(nearFirst->fields[0].distanceMm, 1000);
    EXPECT_EQ(nearFirst->fields[0].azimuthCounts, (std::vector<std::uint8_t>{1, 2, 1, 2, 1}));
    EXPECT_EQ(nearFirst->fields[1].distanceMm, 2000);
    // The near field's 7 HRIRs (source HRIRs 5 to 11) come first, in their order, then the far ones.
    for (std::size_t hrir = 0; hrir < 12; ++hrir) {
        const std::size_t source = hrir < 7 ? hrir + 5 : hrir - 7;
        EXPECT_EQ(nearFirst->coefficients[hrir * 16 + 15], static_cast<std::int32_t>(source * 16 + 15)) << hrir;
        // Quarter samples to samples, half up: 1 -> 0, 11 -> 3, 21 -> 5, 51 -> 13, ...
        EXPECT_EQ(nearFirst->delays[hrir * 2 + 1], (source * 20 + 11 + 2) / 4) << hrir;
    }
    const auto bytes = hrtf::serializeDataset(*nearFirst, error);
    ASSERT_TRUE(bytes) << error;
    EXPECT_TRUE(hrtf::parseDataset(*bytes, error)) << error;

    // Each format's field order is its own; MinPHR02 cannot hold two fields at one distance.
    hrtf::Dataset wrongOrder = *nearFirst;
    wrongOrder.format = hrtf::Format::MinPhr03;
    EXPECT_FALSE(hrtf::serializeDataset(wrongOrder, error));
    EXPECT_EQ(error, "field 1: distance 2000 mm is beyond the previous field's 1000 "
                     "(MinPHR03 lists fields farthest first)");
    hrtf::Dataset farFirstAs02 = farFirst;
    farFirstAs02.format = hrtf::Format::MinPhr02;
    EXPECT_FALSE(hrtf::serializeDataset(farFirstAs02, error));
    EXPECT_EQ(error, "field 1: distance 1000 mm is not beyond the previous field's 2000 "
                     "(MinPHR02 lists fields nearest first)");
    farFirst.fields[1].distanceMm = 2000;
    farFirst.format = hrtf::Format::MinPhr03;
    EXPECT_FALSE(hrtf::toMinPhr02(farFirst, error));
    EXPECT_EQ(error, "field 1: distance 2000 mm is not beyond the previous field's 2000 "
                     "(MinPHR02 lists fields nearest first)");
    farFirst.sampleType = hrtf::SampleType::Int16;
    EXPECT_FALSE(hrtf::serializeDataset(farFirst, error));
    EXPECT_EQ(error, "MinPHR03 holds 24-bit samples only");
}

TEST(HrtfDatasetTest, WriterRefusesBadRecordsAndLeavesOutputAlone) {
    TempDir dir;
    const fs::path output = dir.path() / "out.mhr";
    std::ofstream(output) << "previous";
    auto dataset =
        smallDataset(hrtf::SampleType::Int16, hrtf::ChannelType::Mono, 8, [](std::size_t) { return 0; });
    std::string error;

    dataset.coefficients[8 + 3] = 32768;
    EXPECT_FALSE(hrtf::writeDatasetFile(dataset, output, error));
    EXPECT_EQ(error, "HRIR 1, tap 3, channel 0: coefficient 32768 is outside the 16-bit range");
    dataset.coefficients[8 + 3] = 0;
    dataset.delays[2] = 64;
    EXPECT_FALSE(hrtf::writeDatasetFile(dataset, output, error));
    EXPECT_EQ(error, "HRIR 2, channel 0: delay 64 is over 63");
    dataset.delays[2] = 0;
    dataset.coefficients.pop_back();
    EXPECT_FALSE(hrtf::writeDatasetFile(dataset, output, error));
    EXPECT_EQ(error, "39 coefficients where the header implies 40");
    dataset.coefficients.push_back(0);
    EXPECT_FALSE(hrtf::writeDatasetFile(dataset, dir.path() / "missing" / "out.mhr", error));
    EXPECT_EQ(error, "cannot create " + (dir.path() / "missing" / "out.mhr").string() + ".tmp-" +
                         std::to_string(::getpid()) + ": No such file or directory");
    // A directory in the way: the rename fails and the temporary goes.
    fs::create_directory(dir.path() / "folder.mhr");
    EXPECT_FALSE(hrtf::writeDatasetFile(dataset, dir.path() / "folder.mhr", error));
    EXPECT_NE(error.find("cannot rename"), std::string::npos) << error;

    EXPECT_EQ(fileBytes(output), Bytes({'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'}));
    EXPECT_EQ(dir.entryCount(), 2u);
}

TEST(HrtfDatasetTest, ShortensEngineDatasetsKeepingLayoutAndLoudness) {
    for (const auto& [path, known] : engineDatasets()) {
        SCOPED_TRACE(path);
        std::string error;
        const auto full = hrtf::readDatasetFile(path, error);
        ASSERT_TRUE(full) << error;
        for (const std::size_t taps : {8u, 16u}) {
            SCOPED_TRACE(taps);
            hrtf::ShortenStats stats;
            const auto light = hrtf::shortenDataset(*full, taps, error, &stats);
            ASSERT_TRUE(light) << error;
            EXPECT_EQ(light->filterLength, taps);
            EXPECT_EQ(light->sampleRateHz, full->sampleRateHz);
            EXPECT_EQ(light->sampleType, full->sampleType);
            EXPECT_EQ(light->channelType, full->channelType);
            EXPECT_EQ(light->format, full->format);
            EXPECT_EQ(light->fields[0].distanceMm, full->fields[0].distanceMm);
            EXPECT_EQ(light->fields[0].azimuthCounts, full->fields[0].azimuthCounts);
            EXPECT_EQ(light->delays, full->delays);
            ASSERT_EQ(light->coefficients.size(), 828 * taps);
            EXPECT_NEAR(stats.meanEnergyKeptCut, taps == 8 ? known.energyKept8Taps : known.energyKept16Taps, 0.01);
            EXPECT_LT(stats.meanEnergyKeptFaded, stats.meanEnergyKeptCut);
            // Every filter gets its full energy back, except the few whose peak the rescale clamps.
            std::size_t clampedFilters = 0;
            for (std::size_t hrir = 0; hrir < 828; ++hrir) {
                const auto first = light->coefficients.begin() + static_cast<std::ptrdiff_t>(hrir * taps);
                const auto clampedTaps = std::count_if(first, first + static_cast<std::ptrdiff_t>(taps),
                                                       [](std::int32_t v) { return v == 8388607 || v == -8388608; });
                const double ratio = filterEnergy(*light, hrir, 0) / filterEnergy(*full, hrir, 0);
                if (clampedTaps > 0) {
                    clampedFilters += 1;
                    EXPECT_LT(ratio, 1.0) << "HRIR " << hrir;
                    EXPECT_GT(ratio, 0.85) << "HRIR " << hrir;
                } else {
                    // Up to rounding each coefficient to a whole sample value.
                    EXPECT_NEAR(ratio, 1.0, 1e-5) << "HRIR " << hrir;
                }
            }
            EXPECT_GE(stats.clampedSamples, clampedFilters);
            EXPECT_LT(clampedFilters, 828u / 40);
            EXPECT_TRUE(hrtf::serializeDataset(*light, error)) << error;
        }

        const std::string longest = std::to_string(known.taps - 8);
        EXPECT_FALSE(hrtf::shortenDataset(*full, 12, error));
        EXPECT_EQ(error, "12 taps is not a multiple of 8 from 8 to " + longest);
        EXPECT_FALSE(hrtf::shortenDataset(*full, known.taps, error));
        EXPECT_EQ(error, std::to_string(known.taps) + " taps is not a multiple of 8 from 8 to " + longest);
        const auto eightTaps = hrtf::shortenDataset(*full, 8, error);
        EXPECT_FALSE(hrtf::shortenDataset(*eightTaps, 8, error));
        EXPECT_EQ(error, "the filters are already 8 taps, the shortest there is");
    }
}

TEST(HrtfDatasetTest, FadesTheTailAndClampsToTheSampleRange) {
    // Flat filters show the fade weights directly: half a raised cosine over the last quarter.
    const std::pair<std::size_t, std::vector<double>> fades[] = {
        {8, {1, 1, 1, 1, 1, 1, 0.75, 0.25}},
        {16, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0.904508, 0.654508, 0.345492, 0.095492}}};
    for (const auto& [taps, weights] : fades) {
        const auto flat = smallDataset(hrtf::SampleType::Int24, hrtf::ChannelType::Mono, taps * 2,
                                       [](std::size_t) { return 100000; });
        std::string error;
        const auto light = hrtf::shortenDataset(flat, taps, error);
        ASSERT_TRUE(light) << error;
        double keptEnergy = 0.0;
        for (const double w : weights) keptEnergy += w * w;
        const double gain = std::sqrt(static_cast<double>(taps * 2) / keptEnergy);
        for (std::size_t tap = 0; tap < taps; ++tap) {
            EXPECT_NEAR(light->coefficients[4 * taps + tap], 100000 * gain * weights[tap], 0.5)
                << "tap " << tap;
        }
    }

    // Loud flat 16-bit filters, one positive and one negative channel: the rescale (about 1.55x)
    // overflows the first seven taps, which clamp at each end of the range.
    const auto loud = smallDataset(hrtf::SampleType::Int16, hrtf::ChannelType::Stereo, 16,
                                   [](std::size_t i) { return i % 2 == 0 ? 30000 : -30000; });
    std::string error;
    hrtf::ShortenStats stats;
    const auto light = hrtf::shortenDataset(loud, 8, error, &stats);
    ASSERT_TRUE(light) << error;
    EXPECT_EQ(stats.clampedSamples, 5u * 2 * 7);
    EXPECT_EQ(light->coefficients[0], 32767);
    EXPECT_EQ(light->coefficients[1], -32768);
    EXPECT_EQ(light->coefficients[12], 32767);  // tap 6 (weight 0.75)
    EXPECT_NEAR(light->coefficients[14], 30000 * 0.25 * std::sqrt(16 / 6.625), 0.5);
    EXPECT_NEAR(light->coefficients[15], -30000 * 0.25 * std::sqrt(16 / 6.625), 0.5);
}

// Owns a loopback device, its current context, and a looping tone on a source.
struct LoopbackRig {
    ALCdevice* device = nullptr;
    ALCcontext* context = nullptr;
    ALuint buffer = 0;
    ALuint source = 0;
    ~LoopbackRig() {
        if (source != 0) alDeleteSources(1, &source);
        if (buffer != 0) alDeleteBuffers(1, &buffer);
        if (context != nullptr) {
            alcMakeContextCurrent(nullptr);
            alcDestroyContext(context);
        }
        if (device != nullptr) alcCloseDevice(device);
    }
};

double rmsDb(const std::vector<float>& frames, std::size_t channel) {
    double sum = 0.0;
    for (std::size_t i = frames.size() / 2 + channel; i < frames.size(); i += 2) {
        sum += static_cast<double>(frames[i]) * frames[i];
    }
    return 10.0 * std::log10(sum / static_cast<double>(frames.size() / 4));
}

TEST(HrtfDatasetTest, OpenAlSoftLoadsAndRendersTheLightDataset) {
    // The light sets as the build makes them (MinPHR02, at each engine dataset's rate) and the
    // full ones as MinPHR02 too, which every engine reads, in the folder the engine searches first.
    TempDir dir;
    std::string error;
    std::vector<int> ratesHz;
    for (const auto& [path, known] : engineDatasets()) {
        const auto full = hrtf::readDatasetFile(path, error);
        ASSERT_TRUE(full) << error;
        const auto shortened = hrtf::shortenDataset(*full, 8, error);
        ASSERT_TRUE(shortened) << error;
        const auto light = hrtf::toMinPhr02(*shortened, error);
        ASSERT_TRUE(light) << error;
        const auto fullAs02 = hrtf::toMinPhr02(*full, error);
        ASSERT_TRUE(fullAs02) << error;
        const std::string rate = std::to_string(full->sampleRateHz);
        ASSERT_TRUE(hrtf::writeDatasetFile(*light, dir.path() / ("orbit-tone-light-" + rate + ".mhr"), error)) << error;
        ASSERT_TRUE(hrtf::writeDatasetFile(*fullAs02, dir.path() / ("orbit-tone-full-" + rate + ".mhr"), error))
            << error;
        ratesHz.push_back(static_cast<int>(full->sampleRateHz));
    }
    ASSERT_FALSE(ratesHz.empty());
    ASSERT_EQ(::setenv("ALSOFT_LOCAL_PATH", dir.path().c_str(), 1), 0);

    LoopbackRig rig;
    rig.device = alcLoopbackOpenDeviceSOFT(nullptr);
    ASSERT_NE(rig.device, nullptr);
    const auto attributes = [](int rateHz, int hrtfId) {
        return std::vector<ALCint>{ALC_FREQUENCY, rateHz,
                                   ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT,
                                   ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT,
                                   ALC_HRTF_SOFT, hrtfId < 0 ? ALC_FALSE : ALC_TRUE,
                                   ALC_HRTF_ID_SOFT, std::max(hrtfId, 0),
                                   0};
    };
    const int renderRateHz = ratesHz.front();
    rig.context = alcCreateContext(rig.device, attributes(renderRateHz, -1).data());
    ASSERT_NE(rig.context, nullptr);
    ASSERT_TRUE(alcMakeContextCurrent(rig.context));
    const auto hrtfIndex = [&](const std::string& name) {
        ALCint count = 0;
        alcGetIntegerv(rig.device, ALC_NUM_HRTF_SPECIFIERS_SOFT, 1, &count);
        for (ALCint i = 0; i < count; ++i) {
            if (name == alcGetStringiSOFT(rig.device, ALC_HRTF_SPECIFIER_SOFT, i)) return i;
        }
        return -1;
    };
    // The engine lists every file it finds and, when one fails to load, silently enables another
    // one with the status still "enabled": only the specifier tells which set was loaded.
    const auto enable = [&](const std::string& name, int rateHz) {
        const int id = hrtfIndex(name);
        ASSERT_GE(id, 0) << name << " is not listed";
        ASSERT_TRUE(alcResetDeviceSOFT(rig.device, attributes(rateHz, id).data())) << name;
        ALCint status = 0;
        alcGetIntegerv(rig.device, ALC_HRTF_STATUS_SOFT, 1, &status);
        EXPECT_EQ(status, ALC_HRTF_ENABLED_SOFT) << name;
        EXPECT_STREQ(alcGetString(rig.device, ALC_HRTF_SPECIFIER_SOFT), name.c_str());
    };
    // Each light set loads at its own rate (1.19 loads a dataset at no other).
    for (const int rateHz : ratesHz) enable("orbit-tone-light-" + std::to_string(rateHz), rateHz);

    // A 441 Hz tone (100 frames a period) at +x, that is to the listener's right.
    std::vector<ALshort> tone(4410);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        tone[i] =
            static_cast<ALshort>(16000 * std::sin(2 * std::numbers::pi * static_cast<double>(i % 100) / 100));
    }
    alGenBuffers(1, &rig.buffer);
    alBufferData(rig.buffer, AL_FORMAT_MONO16, tone.data(),
                 static_cast<ALsizei>(tone.size() * sizeof(ALshort)), 44100);
    alGenSources(1, &rig.source);
    alSourcei(rig.source, AL_BUFFER, static_cast<ALint>(rig.buffer));
    alSourcei(rig.source, AL_LOOPING, AL_TRUE);
    alSource3f(rig.source, AL_POSITION, 1.0f, 0.0f, 0.0f);
    ASSERT_EQ(alGetError(), AL_NO_ERROR);
    const auto render = [&](const std::string& name) {
        std::vector<float> frames(2 * 8192);
        enable(name, renderRateHz);
        alSourceRewind(rig.source);
        alSourcePlay(rig.source);
        alcRenderSamplesSOFT(rig.device, frames.data(), 8192);
        return frames;
    };
    const std::vector<float> light = render("orbit-tone-light-" + std::to_string(renderRateHz));
    const std::vector<float> full = render("orbit-tone-full-" + std::to_string(renderRateHz));

    // The right ear leads as with the full set, at about the same level, yet the samples differ.
    EXPECT_GT(rmsDb(light, 1) - rmsDb(light, 0), 3.0);
    EXPECT_NEAR(rmsDb(light, 1), rmsDb(full, 1), 1.5);
    std::vector<float> difference(full.size());
    for (std::size_t i = 0; i < full.size(); ++i) difference[i] = light[i] - full[i];
    EXPECT_GT(rmsDb(difference, 1) - rmsDb(full, 1), -20.0) << "light and full render the same";
}

#ifdef ORBIT_TONE_SOFA
// The SOFA import: KEMAR (libmysofa's own copy) converted, loaded by the engine and rendered,
// the import's refusals, and the command on bad files.

// The response of one ear at a frequency: a measured one (with its Data.Delay) or a render.
std::complex<double> responseAt(const float* samples, std::size_t count, std::size_t stride, double rateHz,
                                double frequencyHz, double delaySamples = 0.0) {
    std::complex<double> sum = 0.0;
    for (std::size_t n = 0; n < count; ++n) {
        // A Hann window over a render (many periods); a measured response is taken whole.
        const double window = stride == 1 ? 1.0 : 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(n) / double(count));
        sum += window * double(samples[n * stride]) *
               std::polar(1.0, -2 * std::numbers::pi * frequencyHz * (double(n) + delaySamples) / rateHz);
    }
    return sum;
}

// Level (dB, right over left) and phase (rad, right ahead of left) between the ears.
std::pair<double, double> betweenEars(std::complex<double> left, std::complex<double> right) {
    return {20 * std::log10(std::abs(right) / std::abs(left)), std::arg(right * std::conj(left))};
}

TEST(HrtfDatasetTest, ImportsKemarFaithfully) {
    std::string error;
    const auto sofa = hrtf::readSofaFile(ORBIT_TONE_KEMAR_SOFA, error);
    ASSERT_TRUE(sofa) << error;
    const auto measured = hrtf::measuredSetFromSofa(*sofa, error);
    ASSERT_TRUE(measured) << error;
    EXPECT_EQ(measured->directions.size(), 710u);
    EXPECT_EQ(measured->sampleRateHz, 44100.0);
    constexpr std::uint32_t kRates[] = {44100, 48000};
    hrtf::ImportSummary summary;
    const std::vector<hrtf::Dataset> datasets = hrtf::importMeasuredSet(*measured, kRates, error, &summary);
    ASSERT_EQ(datasets.size(), 2u) << error;
    EXPECT_NEAR(summary.distanceM, 1.4, 0.01);
    EXPECT_EQ(summary.distanceCount, 1u);

    // Every measured ring of KEMAR's keeps its azimuths; the engine's grid runs from -90 to 90
    // degrees in KEMAR's 10-degree steps, the rings below its lowest (-40) filled from it.
    TempDir dir;
    for (const hrtf::Dataset& dataset : datasets) {
        ASSERT_EQ(dataset.fields.size(), 1u);
        EXPECT_EQ(dataset.fields[0].distanceMm, 1400);
        EXPECT_EQ(dataset.channelType, hrtf::ChannelType::Stereo);
        EXPECT_EQ(dataset.filterLength, hrtf::kImportTaps);
        // -90 (1) ... -50 from -40's 56 for their circumference; then KEMAR's own up to 90 (1).
        const std::vector<std::uint8_t> rings = {1, 13, 25, 37, 47, 56, 60, 72, 72, 72, 72, 72, 60, 56, 45, 36, 24, 12, 1};
        EXPECT_EQ(dataset.fields[0].azimuthCounts, rings) << "rings from -90 to 90 degrees";
        const auto bytes = hrtf::serializeDataset(dataset, error);
        ASSERT_TRUE(bytes) << error;
        const auto parsed = hrtf::parseDataset(*bytes, error);
        ASSERT_TRUE(parsed) << error;
        ASSERT_TRUE(hrtf::writeDatasetFile(dataset, dir.path() / ("kemar-" + std::to_string(dataset.sampleRateHz) + ".mhr"), error))
            << error;
    }
    ASSERT_EQ(::setenv("ALSOFT_LOCAL_PATH", dir.path().c_str(), 1), 0);

    // Rendered by the engine at each rate with the source ahead, right, behind and left, the
    // level and phase between the ears at 441 Hz are those of the file's own pair.
    struct Place {
        const char* name;
        double azimuthDeg;  // clockwise
        ALfloat x, z;       // OpenAL's: -z ahead, +x right
    };
    const Place places[] = {{"ahead", 0, 0, -1}, {"right", 90, 1, 0}, {"behind", 180, 0, 1}, {"left", 270, -1, 0}};
    constexpr double kToneHz = 441.0;
    for (const std::uint32_t rateHz : kRates) {
        LoopbackRig rig;
        rig.device = alcLoopbackOpenDeviceSOFT(nullptr);
        ASSERT_NE(rig.device, nullptr);
        const std::string name = "kemar-" + std::to_string(rateHz);
        ALCint id = -1;
        ALCint count = 0;
        alcGetIntegerv(rig.device, ALC_NUM_HRTF_SPECIFIERS_SOFT, 1, &count);
        for (ALCint i = 0; i < count; ++i) {
            if (name == alcGetStringiSOFT(rig.device, ALC_HRTF_SPECIFIER_SOFT, i)) id = i;
        }
        ASSERT_GE(id, 0) << name << " is not listed";
        const ALCint attributes[] = {ALC_FREQUENCY, ALCint(rateHz), ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT,
                                     ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT, ALC_HRTF_SOFT, ALC_TRUE, ALC_HRTF_ID_SOFT, id, 0};
        rig.context = alcCreateContext(rig.device, attributes);
        ASSERT_NE(rig.context, nullptr);
        ASSERT_TRUE(alcMakeContextCurrent(rig.context));
        EXPECT_STREQ(alcGetString(rig.device, ALC_HRTF_SPECIFIER_SOFT), name.c_str());
        std::vector<ALshort> tone(4410);
        for (std::size_t i = 0; i < tone.size(); ++i) {
            tone[i] = static_cast<ALshort>(16000 * std::sin(2 * std::numbers::pi * static_cast<double>(i % 100) / 100));
        }
        alGenBuffers(1, &rig.buffer);
        alBufferData(rig.buffer, AL_FORMAT_MONO16, tone.data(), static_cast<ALsizei>(tone.size() * sizeof(ALshort)), 44100);
        alGenSources(1, &rig.source);
        alSourcei(rig.source, AL_BUFFER, static_cast<ALint>(rig.buffer));
        alSourcei(rig.source, AL_LOOPING, AL_TRUE);
        ASSERT_EQ(alGetError(), AL_NO_ERROR);
        for (const Place& place : places) {
            alSource3f(rig.source, AL_POSITION, place.x, 0.0f, place.z);
            alSourceRewind(rig.source);
            alSourcePlay(rig.source);
            std::vector<float> frames(2 * 16384);
            alcRenderSamplesSOFT(rig.device, frames.data(), 16384);
            const float* tail = frames.data() + 2 * 8192;  // past the engine's fade-in
            const auto [renderedDb, renderedRad] = betweenEars(responseAt(tail, 8192, 2, rateHz, kToneHz),
                                                               responseAt(tail + 1, 8192, 2, rateHz, kToneHz));
            // The file's pair nearest the place, on the horizontal plane.
            std::size_t nearest = 0;
            double nearestDeg = 1e9;
            for (std::size_t i = 0; i < measured->directions.size(); ++i) {
                const auto& d = measured->directions[i];
                const double apart = std::abs(std::remainder(d.azimuthDeg - place.azimuthDeg, 360.0)) + std::abs(d.elevationDeg);
                if (apart < nearestDeg) {
                    nearestDeg = apart;
                    nearest = i;
                }
            }
            const float* pair = measured->responses.data() + nearest * 2 * measured->taps;
            const auto [fileDb, fileRad] =
                betweenEars(responseAt(pair, measured->taps, 1, measured->sampleRateHz, kToneHz, measured->delaysSamples[2 * nearest]),
                            responseAt(pair + measured->taps, measured->taps, 1, measured->sampleRateHz, kToneHz,
                                       measured->delaysSamples[2 * nearest + 1]));
            std::printf("measured (KEMAR at %u Hz, %s): level right-left file %+.2f dB, render %+.2f dB; "
                        "phase file %+.3f rad, render %+.3f rad\n",
                        rateHz, place.name, fileDb, renderedDb, fileRad, renderedRad);
            EXPECT_NEAR(renderedDb, fileDb, 0.5) << place.name << " at " << rateHz << " Hz";
            EXPECT_NEAR(std::remainder(renderedRad - fileRad, 2 * std::numbers::pi), 0.0, 0.2)
                << place.name << " at " << rateHz << " Hz";
        }
    }
}
// The import refuses what it cannot take faithfully, and reads both kinds of position alike.
TEST(HrtfDatasetTest, ImportChecksWhatTheSofaFileHolds) {
    std::string error;
    const auto kemar = hrtf::readSofaFile(ORBIT_TONE_KEMAR_SOFA, error);
    ASSERT_TRUE(kemar) << error;
    const auto spherical = hrtf::measuredSetFromSofa(*kemar, error);
    ASSERT_TRUE(spherical) << error;

    // Cartesian positions give the same directions; SOFA's azimuth 90 (the left) is the engine's 270.
    hrtf::SofaContents cartesian = *kemar;
    cartesian.sourcePositionType = "cartesian";
    cartesian.sourcePositionUnits = "metre";
    for (std::size_t i = 0; i + 2 < cartesian.sourcePositions.size(); i += 3) {
        const double az = kemar->sourcePositions[i] * std::numbers::pi / 180, el = kemar->sourcePositions[i + 1] * std::numbers::pi / 180;
        const double r = kemar->sourcePositions[i + 2];
        cartesian.sourcePositions[i] = float(r * std::cos(el) * std::cos(az));
        cartesian.sourcePositions[i + 1] = float(r * std::cos(el) * std::sin(az));
        cartesian.sourcePositions[i + 2] = float(r * std::sin(el));
    }
    const auto fromCartesian = hrtf::measuredSetFromSofa(cartesian, error);
    ASSERT_TRUE(fromCartesian) << error;
    for (std::size_t i = 0; i < spherical->directions.size(); ++i) {
        const auto& a = spherical->directions[i];
        const auto& b = fromCartesian->directions[i];
        if (std::abs(a.elevationDeg) < 89.9) {
            EXPECT_NEAR(std::remainder(a.azimuthDeg - b.azimuthDeg, 360.0), 0.0, 1e-3) << i;
        }
        EXPECT_NEAR(a.elevationDeg, b.elevationDeg, 1e-3) << i;
        EXPECT_NEAR(a.distanceM, b.distanceM, 1e-5) << i;
        if (kemar->sourcePositions[3 * i] == 90.0f && kemar->sourcePositions[3 * i + 1] == 0.0f) {
            EXPECT_EQ(a.azimuthDeg, 270.0);
        }
    }

    // A pole one single-precision rounding step below -90 degrees, as files store it, is the pole.
    const auto withLowPole = [&](float elevation) {
        hrtf::SofaContents contents = *kemar;
        contents.measurements += 1;
        contents.sourcePositions.insert(contents.sourcePositions.end(), {0.0f, elevation, 1.4f});
        contents.impulseResponses.insert(contents.impulseResponses.end(), kemar->impulseResponses.begin(),
                                         kemar->impulseResponses.begin() + long(2 * kemar->taps));
        return contents;
    };
    const auto poled = hrtf::measuredSetFromSofa(withLowPole(std::nextafter(-90.0f, -91.0f)), error);
    ASSERT_TRUE(poled) << error;
    EXPECT_EQ(poled->directions.back().elevationDeg, -90.0);

    // Two distances: the most measured one is taken, and said.
    hrtf::SofaContents twoDistances = *kemar;
    const std::size_t nearOnes = 100;
    twoDistances.measurements += nearOnes;
    for (std::size_t i = 0; i < nearOnes; ++i) {
        twoDistances.sourcePositions.insert(twoDistances.sourcePositions.end(), {kemar->sourcePositions[3 * i], kemar->sourcePositions[3 * i + 1], 0.5f});
        const auto pair = kemar->impulseResponses.begin() + long(i * 2 * kemar->taps);
        twoDistances.impulseResponses.insert(twoDistances.impulseResponses.end(), pair, pair + long(2 * kemar->taps));
    }
    const auto both = hrtf::measuredSetFromSofa(twoDistances, error);
    ASSERT_TRUE(both) << error;
    hrtf::ImportSummary summary;
    constexpr std::uint32_t kRate[] = {44100};
    ASSERT_EQ(hrtf::importMeasuredSet(*both, kRate, error, &summary).size(), 1u) << error;
    EXPECT_EQ(summary.distanceCount, 2u);
    EXPECT_NEAR(summary.distanceM, 1.4, 0.01);
    EXPECT_EQ(summary.measurementsUsed, 710u);

    // What is refused, and why.
    const auto changed = [&](auto change) {
        hrtf::SofaContents contents = *kemar;
        change(contents);
        return contents;
    };
    const struct {
        const char* name;
        hrtf::SofaContents contents;
        std::string message;
    } refusals[] = {
        {"another convention", changed([](auto& c) { c.conventions = "GeneralFIR"; }),
         "it follows the SOFA convention GeneralFIR, not SimpleFreeFieldHRIR (a head's impulse responses in free field)"},
        {"transfer functions", changed([](auto& c) { c.dataType = "TF"; }), "its data type is TF, not FIR (impulse responses)"},
        {"three receivers", changed([](auto& c) { c.receivers = 3; }), "it has 3 receivers, not 2 (the ears)"},
        {"radians", changed([](auto& c) { c.sourcePositionUnits = "radian, radian, metre"; }),
         "its SourcePosition is in 'radian, radian, metre', not degree, degree, metre"},
        {"a listener facing left", changed([](auto& c) { c.listenerView = {0, 1, 0}; }),
         "its listener does not face +x with +z up (ListenerView, ListenerUp), as SimpleFreeFieldHRIR has it"},
        {"a sample that is not a number", changed([](auto& c) { c.impulseResponses[3 * 512 + 7] = std::nanf(""); }),
         "measurement 2 holds a sample that is not a number"},
        {"a rate per measurement", changed([](auto& c) { c.samplingRates = {44100, 48000}; }),
         "it gives no single sample rate (Data.SamplingRate) for all its measurements"},
        {"short of responses", changed([](auto& c) { c.impulseResponses.pop_back(); }),
         "its Data.IR holds 727039 values, not 710 x 2 x 512"},
        {"a pole a thousandth of a degree past -90", withLowPole(-90.001f),
         "measurement 711 has no valid source position (0.000, -90.001, 1.400)"},
    };
    for (const auto& refusal : refusals) {
        EXPECT_FALSE(hrtf::measuredSetFromSofa(refusal.contents, error)) << refusal.name;
        EXPECT_EQ(error, refusal.message) << refusal.name;
    }
    // Nothing within 10 degrees of the plane the tone circles in.
    hrtf::MeasuredSet high = *spherical;
    for (auto& direction : high.directions) direction.elevationDeg = 20.0 + std::abs(direction.elevationDeg) * 0.7;
    EXPECT_TRUE(hrtf::importMeasuredSet(high, kRate, error).empty());
    EXPECT_EQ(error, "none of its measurements at 1.40 m lies within 10 degrees of the horizontal plane, where the tone circles");
}

// Damaged copies of KEMAR (cut short, bytes flipped) never bring the reader down: libmysofa runs
// in a child, and a fault there is a message.
TEST(HrtfDatasetTest, DamagedSofaFilesNeverCrashTheReader) {
    const Bytes kemar = fileBytes(ORBIT_TONE_KEMAR_SOFA);
    ASSERT_GT(kemar.size(), 100000u);
    TempDir dir;
    std::vector<Bytes> variants;
    for (const double share : {0.001, 0.01, 0.05, 0.1, 0.3, 0.5, 0.9, 0.999}) {
        variants.emplace_back(kemar.begin(), kemar.begin() + long(double(kemar.size()) * share));
    }
    // Flipped bytes, most in the first 4 KiB, where the file's structure is; the rest anywhere.
    std::uint32_t seed = 20;
    const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (int i = 0; i < 48; ++i) {
        Bytes damaged = kemar;
        const std::size_t span = i < 32 ? 4096 : damaged.size();
        for (int flip = 0; flip < 1 + i % 4; ++flip) damaged[next() % span] ^= static_cast<std::uint8_t>(1u << (next() % 8));
        variants.push_back(std::move(damaged));
    }
    std::size_t refused = 0;
    std::size_t crashed = 0;  // libmysofa ended by a signal in the child
    for (std::size_t i = 0; i < variants.size(); ++i) {
        const fs::path path = dir.path() / ("damaged-" + std::to_string(i) + ".sofa");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(variants[i].data()), long(variants[i].size()));
        std::string error;
        const auto contents = hrtf::readSofaFile(path, error);
        if (!contents) {
            ++refused;
            if (error.find("crashed") != std::string::npos) ++crashed;
            EXPECT_FALSE(error.empty()) << path;
        } else if (!hrtf::measuredSetFromSofa(*contents, error)) {
            ++refused;
        }
    }
    std::printf("measured (damaged KEMAR): %zu of %zu copies refused with a message (libmysofa crashed on %zu)\n",
                refused, variants.size(), crashed);
    EXPECT_GE(refused, 8u) << "every copy cut short";
}

// The command on bad files and bad command lines: one line on standard error, its status, and
// nothing written (no dataset, no folder, the settings file as it was).
struct CommandRun {
    int status = -1;
    std::string out;
    std::string err;
};

CommandRun runHrtfCommand(const std::vector<std::string>& arguments, const fs::path& home, const fs::path& outputs) {
    CommandRun run;
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("ALSOFT_CONF");
        const int out = ::open((outputs / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open((outputs / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> argv = {const_cast<char*>(ORBIT_TONE_HRTF_COMMAND)};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const auto text = [](const fs::path& path) {
        const Bytes bytes = fileBytes(path);
        return std::string(bytes.begin(), bytes.end());
    };
    run.out = text(outputs / "out");
    run.err = text(outputs / "err");
    return run;
}

TEST(HrtfDatasetTest, ImportCommandRefusesBadFilesAndWritesNothing) {
    TempDir dir;
    const fs::path home = dir.path() / "home";
    const fs::path settings = home / ".config" / "alsoft.conf";
    fs::create_directories(settings.parent_path());
    const std::string mySettings = "# mine\nhrtf = true\n[pulse]\nallow-moves = false\n";
    std::ofstream(settings) << mySettings;
    const Bytes kemar = fileBytes(ORBIT_TONE_KEMAR_SOFA);
    const auto make = [&](const std::string& name, const Bytes& bytes) {
        std::ofstream(dir.path() / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
        return (dir.path() / name).string();
    };
    const auto replaced = [&](std::string_view from, std::string_view to) {
        Bytes bytes = kemar;
        const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
        std::copy(to.begin(), to.end(), at);
        return bytes;
    };
    const std::string huge = make("huge.sofa", Bytes(kemar.begin(), kemar.begin() + 8));
    fs::resize_file(huge, std::uintmax_t{300} << 20);  // sparse
    fs::create_directory(dir.path() / "folder.sofa");
    const std::string missing = (dir.path() / "missing.sofa").string();
    const struct {
        std::string file;
        std::string message;
    } cases[] = {
        {missing, "No such file or directory"},
        {(dir.path() / "folder.sofa").string(), "it is a folder"},
        {make("empty.sofa", {}), "it is empty, not a SOFA file"},
        {make("text.sofa", {'h', 'r', 't', 'f', '\n'}), "it is not a SOFA file (no HDF5 signature)"},
        {make("mhr.sofa", fileBytes(kEngineDatasetFiles[0])), "it is not a SOFA file (no HDF5 signature)"},
        {make("cut.sofa", Bytes(kemar.begin(), kemar.begin() + 600000)),
         "it ends early: it is 600000 bytes, and its header says " + std::to_string(kemar.size())},
        {make("tf.sofa", replaced("SimpleFreeFieldHRIR", "SimpleFreeFieldHRTF")),
         "it follows the SOFA convention SimpleFreeFieldHRTF, not SimpleFreeFieldHRIR (a head's impulse responses in free field)"},
        {make("cartesian.sofa", replaced("spherical", "cartesian")),
         "its SourcePosition is in 'degree, degree, metre', not metre"},
        {huge, "it is 300 MiB, far larger than any HRTF set (the import reads up to 256 MiB)"},
    };
    for (const auto& bad : cases) {
        const CommandRun run = runHrtfCommand({"import", bad.file, "--name", "mine", "--default"}, home, dir.path());
        EXPECT_EQ(run.status, 1) << bad.file;
        EXPECT_EQ(run.err, "orbit-tone-hrtf: " + bad.file + ": " + bad.message + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(fs::exists(home / ".local")) << bad.file << ": a dataset folder was made";
        const Bytes after = fileBytes(settings);
        EXPECT_EQ(std::string(after.begin(), after.end()), mySettings) << bad.file;
    }

    // A settings file that cannot be read is left alone, and nothing is imported.
    const std::string binary = mySettings + std::string(1, '\0');
    std::ofstream(settings, std::ios::binary) << binary;
    CommandRun run = runHrtfCommand({"import", ORBIT_TONE_KEMAR_SOFA, "--default"}, home, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "orbit-tone-hrtf: cannot read " + settings.string() +
                           " (it holds binary data, not settings): left it as it is, and imported nothing\n");
    EXPECT_FALSE(fs::exists(home / ".local"));

    // Bad command lines: status 2.
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } lines[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"import"}, "import needs a SOFA file"},
        {{"import", "a.sofa", "b.sofa"}, "import takes one file, not also 'b.sofa'"},
        {{"import", "a.sofa", "--name"}, "--name needs a value"},
        {{"import", "a.sofa", "--name", "my set"}, "--name 'my set' holds ' ': a name takes letters, digits, '.', '_', '+' and '-'"},
        {{"import", "a.sofa", "--name=orbit-tone-light"}, "--name 'orbit-tone-light' is the name of a dataset of the engine's or orbit-tone's"},
        {{"import", "my#set.sofa"}, "the file's name 'my#set' holds '#': a name takes letters, digits, '.', '_', '+' and '-'; give the dataset one with --name NAME"},
        {{"import", "a.sofa", "--force"}, "unknown option '--force'"},
        {{"list", "all"}, "list takes no arguments"},
    };
    for (const auto& line : lines) {
        run = runHrtfCommand(line.arguments, home, dir.path());
        EXPECT_EQ(run.status, 2) << line.message;
        EXPECT_EQ(run.err, "orbit-tone-hrtf: " + line.message + " (try --help)\n");
    }
    EXPECT_FALSE(fs::exists(home / ".local"));
}

// --default sets one line in the general section and keeps every other line as it was.
TEST(HrtfDatasetTest, DefaultSetsOneLineAndKeepsTheRest) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"", "default-hrtf = kemar-48000\n"},
        {"hrtf = true", "hrtf = true\ndefault-hrtf = kemar-48000\n"},
        {"# mine\ndefault-hrtf = old-44100\nhrtf = true\n", "# mine\ndefault-hrtf = kemar-48000\nhrtf = true\n"},
        {"hrtf = true\n[pulse]\ndefault-hrtf = x\n", "hrtf = true\ndefault-hrtf = kemar-48000\n[pulse]\ndefault-hrtf = x\n"},
        {"[pulse]\nallow-moves = true\n[ General ]\n  default-hrtf=old # mine\n",
         "[pulse]\nallow-moves = true\n[ General ]\ndefault-hrtf = kemar-48000\n"},
        {"# default-hrtf = old\n", "# default-hrtf = old\ndefault-hrtf = kemar-48000\n"},
        {"default-hrtf = a\r\ndefault-hrtf = b\r\n", "default-hrtf = kemar-48000\ndefault-hrtf = kemar-48000\n"},
    };
    for (const auto& test : cases) EXPECT_EQ(hrtf::withDefaultHrtf(test.text, "kemar-48000"), test.expected) << test.text;

    // The command: the sets in the user's folder, the file replaced with its permissions kept.
    TempDir dir;
    const fs::path home = dir.path() / "home";
    const fs::path settings = home / ".config" / "alsoft.conf";
    fs::create_directories(settings.parent_path());
    std::ofstream(settings) << "[pulse]\nallow-moves = true\n";
    fs::permissions(settings, fs::perms::owner_read | fs::perms::owner_write);
    const CommandRun run = runHrtfCommand({"import", ORBIT_TONE_KEMAR_SOFA, "--name=kemar", "--default"}, home, dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const Bytes after = fileBytes(settings);
    EXPECT_EQ(std::string(after.begin(), after.end()), "default-hrtf = kemar-48000\n[pulse]\nallow-moves = true\n");
    EXPECT_EQ(fs::status(settings).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    std::vector<std::string> made;
    for (const auto& entry : fs::directory_iterator(settings.parent_path())) made.push_back(entry.path().filename());
    EXPECT_EQ(made, std::vector<std::string>{"alsoft.conf"}) << "no temporary file left";
    std::string error;
    for (const char* name : {"kemar-44100.mhr", "kemar-48000.mhr"}) {
        const auto dataset = hrtf::readDatasetFile(home / ".local/share/openal/hrtf" / name, error);
        EXPECT_TRUE(dataset) << name << ": " << error;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(home / ".local/share/openal/hrtf"), fs::directory_iterator()), 2);
    EXPECT_NE(run.out.find("now says default-hrtf = kemar-48000"), std::string::npos) << run.out;
}
#endif

}  // namespace
