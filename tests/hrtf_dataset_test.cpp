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

// The response of one ear at a frequency: a measured one (with its Data.Delay), or a render
// over a whole number of the frequency's periods.
std::complex<double> responseAt(const float* samples, std::size_t count, std::size_t stride, double rateHz,
                                double frequencyHz, double delaySamples = 0.0) {
    std::complex<double> sum = 0.0;
    for (std::size_t n = 0; n < count; ++n) {
        sum += double(samples[n * stride]) * std::polar(1.0, -2 * std::numbers::pi * frequencyHz * (double(n) + delaySamples) / rateHz);
    }
    return sum;
}

// Level (dB, right over left) and phase (rad, right ahead of left) between the ears.
std::pair<double, double> betweenEars(std::complex<double> left, std::complex<double> right) {
    return {20 * std::log10(std::abs(right) / std::abs(left)), std::arg(right * std::conj(left))};
}

// The level and phase between the ears at the tone's 441 Hz of the file's own pair `i`, with
// its Data.Delay.
std::pair<double, double> fileCues(const hrtf::MeasuredSet& set, std::size_t i) {
    constexpr double kToneHz = 441.0;
    const float* pair = set.responses.data() + i * 2 * set.taps;
    return betweenEars(responseAt(pair, set.taps, 1, set.sampleRateHz, kToneHz, set.delaysSamples[2 * i]),
                       responseAt(pair + set.taps, set.taps, 1, set.sampleRateHz, kToneHz, set.delaysSamples[2 * i + 1]));
}

// The engine rendering the tone with one dataset, from the folder ALSOFT_LOCAL_PATH names, the
// source placed in one direction at a time.
class DatasetRender {
public:
    // Opens a loopback device at the rate with HRTF from the dataset the engine lists as `name`.
    void open(const std::string& name, std::uint32_t rateHz) {
        rateHz_ = rateHz;
        rig_.device = alcLoopbackOpenDeviceSOFT(nullptr);
        ASSERT_NE(rig_.device, nullptr);
        ALCint id = -1;
        ALCint count = 0;
        alcGetIntegerv(rig_.device, ALC_NUM_HRTF_SPECIFIERS_SOFT, 1, &count);
        for (ALCint i = 0; i < count; ++i) {
            if (name == alcGetStringiSOFT(rig_.device, ALC_HRTF_SPECIFIER_SOFT, i)) id = i;
        }
        ASSERT_GE(id, 0) << name << " is not listed";
        const ALCint attributes[] = {ALC_FREQUENCY, ALCint(rateHz), ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT,
                                     ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT, ALC_HRTF_SOFT, ALC_TRUE, ALC_HRTF_ID_SOFT, id, 0};
        rig_.context = alcCreateContext(rig_.device, attributes);
        ASSERT_NE(rig_.context, nullptr);
        ASSERT_TRUE(alcMakeContextCurrent(rig_.context));
        ASSERT_STREQ(alcGetString(rig_.device, ALC_HRTF_SPECIFIER_SOFT), name.c_str()) << "the engine loaded another set";
        std::vector<ALshort> tone(4400);  // 44 whole periods: the loop has no seam
        for (std::size_t i = 0; i < tone.size(); ++i) {
            tone[i] = static_cast<ALshort>(16000 * std::sin(2 * std::numbers::pi * static_cast<double>(i % 100) / 100));
        }
        alGenBuffers(1, &rig_.buffer);
        alBufferData(rig_.buffer, AL_FORMAT_MONO16, tone.data(), static_cast<ALsizei>(tone.size() * sizeof(ALshort)), 44100);
        alGenSources(1, &rig_.source);
        alSourcei(rig_.source, AL_BUFFER, static_cast<ALint>(rig_.buffer));
        alSourcei(rig_.source, AL_LOOPING, AL_TRUE);
        ASSERT_EQ(alGetError(), AL_NO_ERROR);
    }

    // Level (dB, right over left) and phase (rad, right ahead of left) between the ears at
    // 441 Hz with the source in a direction (azimuth clockwise from ahead, elevation).
    std::pair<double, double> cuesAt(double azimuthDeg, double elevationDeg) {
        const double az = azimuthDeg * std::numbers::pi / 180, el = elevationDeg * std::numbers::pi / 180;
        // OpenAL's axes: +x right, +y up, -z ahead.
        alSource3f(rig_.source, AL_POSITION, ALfloat(std::cos(el) * std::sin(az)), ALfloat(std::sin(el)),
                   ALfloat(-std::cos(el) * std::cos(az)));
        alSourceRewind(rig_.source);
        alSourcePlay(rig_.source);
        // 26 periods of the tone: 2600 frames at 44100 Hz, 2830 (less 0.07) at 48000 Hz.
        const auto measureFrames = static_cast<std::size_t>(std::lround(kMeasuredPeriods * double(rateHz_) / 441.0));
        std::vector<float> frames(2 * (kSettleFrames + measureFrames));
        alcRenderSamplesSOFT(rig_.device, frames.data(), ALCsizei(kSettleFrames + measureFrames));
        const float* tail = frames.data() + 2 * kSettleFrames;  // past the engine's fade-in
        return betweenEars(responseAt(tail, measureFrames, 2, rateHz_, 441.0), responseAt(tail + 1, measureFrames, 2, rateHz_, 441.0));
    }

private:
    static constexpr std::size_t kSettleFrames = 1024;
    static constexpr double kMeasuredPeriods = 26.0;
    LoopbackRig rig_;
    std::uint32_t rateHz_ = 0;
};

// A SOFA set imported, written where the engine looks first.
struct ImportedSet {
    hrtf::MeasuredSet measured;
    std::vector<hrtf::Dataset> datasets;
    hrtf::ImportSummary summary;
};

constexpr std::uint32_t kImportRates[] = {44100, 48000};

// Imports `set.measured` at the rates as datasets NAME-RATE in `folder`.
void importSet(const std::string& name, const fs::path& folder, ImportedSet& set,
               std::span<const std::uint32_t> rates = kImportRates) {
    std::string error;
    set.datasets = hrtf::importMeasuredSet(set.measured, rates, error, &set.summary);
    ASSERT_EQ(set.datasets.size(), rates.size()) << name << ": " << error;
    for (const hrtf::Dataset& dataset : set.datasets) {
        ASSERT_TRUE(hrtf::writeDatasetFile(dataset, folder / (name + "-" + std::to_string(dataset.sampleRateHz) + ".mhr"), error))
            << error;
        const auto written = hrtf::readDatasetFile(folder / (name + "-" + std::to_string(dataset.sampleRateHz) + ".mhr"), error);
        ASSERT_TRUE(written) << error;
        ASSERT_EQ(written->coefficients, dataset.coefficients);
    }
    ASSERT_EQ(::setenv("ALSOFT_LOCAL_PATH", folder.c_str(), 1), 0);
}

// Reads a SOFA file's measurements.
void readSet(const char* path, ImportedSet& set) {
    std::string error;
    const auto sofa = hrtf::readSofaFile(path, error);
    ASSERT_TRUE(sofa) << path << ": " << error;
    auto measured = hrtf::measuredSetFromSofa(*sofa, error);
    ASSERT_TRUE(measured) << path << ": " << error;
    set.measured = std::move(*measured);
}

// The measurements on the horizontal plane, by azimuth.
std::vector<std::size_t> onThePlane(const hrtf::MeasuredSet& set) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < set.directions.size(); ++i) {
        if (std::abs(set.directions[i].elevationDeg) <= 0.5) found.push_back(i);
    }
    std::sort(found.begin(), found.end(),
              [&](std::size_t a, std::size_t b) { return set.directions[a].azimuthDeg < set.directions[b].azimuthDeg; });
    return found;
}

// How close a render's level (dB) and phase (rad) between the ears come to the file's own.
struct Tolerance {
    double db, rad;
};
// Where the grid has a point on the measurement, each filter holds the measured response at the
// tone and the delay between the ears is fitted there: the render is the file's pair, but for
// the 24-bit coefficients. Between measurements, within what a listener cannot hear.
constexpr Tolerance kOnGridPoint{0.01, 0.002};
constexpr Tolerance kInterpolated{0.5, 0.2};

// Rendered by the engine at each rate with the source in the direction of each of the
// measurements, the level and phase between the ears at 441 Hz are the file's own pair's,
// within the tolerance; 2 degrees up and down (from 24 of the directions, evenly spread) they
// stay within 1 dB and 0.2 rad of those.
// Returns the renders, [rate][measurement].
std::vector<std::vector<std::pair<double, double>>> expectFaithful(const std::string& name, const ImportedSet& set,
                                                                   const std::vector<std::size_t>& measurements,
                                                                   Tolerance tolerance) {
    const hrtf::MeasuredSet& measured = set.measured;
    std::vector<std::vector<std::pair<double, double>>> renders;
    for (const hrtf::Dataset& dataset : set.datasets) {
        const std::uint32_t rateHz = dataset.sampleRateHz;
        SCOPED_TRACE(name + " at " + std::to_string(rateHz) + " Hz");
        DatasetRender render;
        render.open(name + "-" + std::to_string(rateHz), rateHz);
        if (::testing::Test::HasFatalFailure()) return renders;
        renders.emplace_back();
        double worstDb = 0.0, worstRad = 0.0, worstOffDb = 0.0, worstOffRad = 0.0;
        double worstDbAt = 0.0, worstRadAt = 0.0;
        const std::size_t offStride = (measurements.size() + 23) / 24;
        for (std::size_t m = 0; m < measurements.size(); ++m) {
            const std::size_t i = measurements[m];
            const double azimuth = measured.directions[i].azimuthDeg;
            const double elevation = measured.directions[i].elevationDeg;
            const auto [fileDb, fileRad] = fileCues(measured, i);
            const auto [renderedDb, renderedRad] = render.cuesAt(azimuth, elevation);
            renders.back().emplace_back(renderedDb, renderedRad);
            const double errorDb = renderedDb - fileDb;
            const double errorRad = std::remainder(renderedRad - fileRad, 2 * std::numbers::pi);
            EXPECT_NEAR(errorDb, 0.0, tolerance.db) << "level at azimuth " << azimuth << ", elevation " << elevation;
            EXPECT_NEAR(errorRad, 0.0, tolerance.rad) << "phase at azimuth " << azimuth << ", elevation " << elevation;
            if (std::abs(errorDb) > std::abs(worstDb)) worstDb = errorDb, worstDbAt = azimuth;
            if (std::abs(errorRad) > std::abs(worstRad)) worstRad = errorRad, worstRadAt = azimuth;
            for (const double off : {-2.0, 2.0}) {
                if (m % offStride != 0) break;
                const auto [offDb, offRad] = render.cuesAt(azimuth, elevation + off);
                const double stepDb = offDb - renderedDb;
                const double stepRad = std::remainder(offRad - renderedRad, 2 * std::numbers::pi);
                EXPECT_NEAR(stepDb, 0.0, 1.0) << "level " << off << " degrees off azimuth " << azimuth << ", elevation " << elevation;
                EXPECT_NEAR(stepRad, 0.0, 0.2) << "phase " << off << " degrees off azimuth " << azimuth << ", elevation " << elevation;
                if (std::abs(stepDb) > std::abs(worstOffDb)) worstOffDb = stepDb;
                if (std::abs(stepRad) > std::abs(worstOffRad)) worstOffRad = stepRad;
            }
        }
        std::printf("measured (%s at %u Hz, %zu measured directions): worst level error %+.2f dB (azimuth %.1f), "
                    "worst phase error %+.3f rad (azimuth %.1f); 2 degrees up or down: %+.2f dB, %+.3f rad\n",
                    name.c_str(), rateHz, measurements.size(), worstDb, worstDbAt, worstRad, worstRadAt, worstOffDb, worstOffRad);
    }
    return renders;
}

TEST(HrtfDatasetTest, ImportsKemarFaithfully) {
    TempDir dir;
    ImportedSet kemar;
    readSet(ORBIT_TONE_KEMAR_SOFA, kemar);
    importSet("kemar", dir.path(), kemar);
    if (HasFatalFailure()) return;
    EXPECT_EQ(kemar.measured.directions.size(), 710u);
    EXPECT_EQ(kemar.measured.sampleRateHz, 44100.0);
    EXPECT_NEAR(kemar.summary.distanceM, 1.4, 0.01);
    EXPECT_EQ(kemar.summary.distancesM.size(), 1u);
    EXPECT_TRUE(kemar.summary.fileRings);

    // Every measured ring of KEMAR's keeps its azimuths; the engine's grid runs from -90 to 90
    // degrees in KEMAR's 10-degree steps, the rings below its lowest (-40) filled from it.
    for (const hrtf::Dataset& dataset : kemar.datasets) {
        ASSERT_EQ(dataset.fields.size(), 1u);
        EXPECT_EQ(dataset.fields[0].distanceMm, 1400);
        EXPECT_EQ(dataset.channelType, hrtf::ChannelType::Stereo);
        EXPECT_EQ(dataset.filterLength, hrtf::kImportTaps);
        // -90 (1) ... -50 from -40's 56 for their circumference; then KEMAR's own up to 90 (1).
        const std::vector<std::uint8_t> rings = {1, 13, 25, 37, 47, 56, 60, 72, 72, 72, 72, 72, 60, 56, 45, 36, 24, 12, 1};
        EXPECT_EQ(dataset.fields[0].azimuthCounts, rings) << "rings from -90 to 90 degrees";
    }

    const std::vector<std::size_t> onPlane = onThePlane(kemar.measured);
    ASSERT_EQ(onPlane.size(), 72u);
    const auto renders = expectFaithful("kemar", kemar, onPlane, kOnGridPoint);
    ASSERT_EQ(renders.size(), 2u);
    // MIT's KEMAR set is symmetric: ahead and behind give no difference between the ears, and
    // each direction on the right mirrors one on the left, in the renders too.
    for (std::size_t rate = 0; rate < 2; ++rate) {
        for (std::size_t a = 0; a < 72; ++a) {
            const auto [db, rad] = renders[rate][a];
            const auto [mirroredDb, mirroredRad] = renders[rate][(72 - a) % 72];
            EXPECT_NEAR(db + mirroredDb, 0.0, 0.005) << kImportRates[rate] << " Hz, azimuth " << 5 * a;
            EXPECT_NEAR(std::remainder(rad + mirroredRad, 2 * std::numbers::pi), 0.0, 0.002) << kImportRates[rate] << " Hz, azimuth " << 5 * a;
            if (a % 36 == 0) {
                EXPECT_NEAR(db, 0.0, 0.005) << kImportRates[rate] << " Hz, azimuth " << 5 * a;
                EXPECT_NEAR(rad, 0.0, 0.002) << kImportRates[rate] << " Hz, azimuth " << 5 * a;
            }
        }
    }

    // KEMAR turned 5 degrees about the line through the ears, ahead up and behind down: its
    // measurements lie on no ring of constant elevation any more, as with an interaural-polar or
    // a Lebedev grid, so the grid is laid by their density and interpolated between them; the
    // directions of its horizontal ring, now up to 5 degrees off the plane, keep their cues.
    ImportedSet tilted;
    tilted.measured = kemar.measured;
    for (hrtf::Direction& d : tilted.measured.directions) {
        const double az = d.azimuthDeg * std::numbers::pi / 180, el = d.elevationDeg * std::numbers::pi / 180;
        const double turn = 5.0 * std::numbers::pi / 180;
        const double ahead = std::cos(el) * std::cos(az), right = std::cos(el) * std::sin(az), up = std::sin(el);
        const double turnedAhead = ahead * std::cos(turn) - up * std::sin(turn);
        const double turnedUp = ahead * std::sin(turn) + up * std::cos(turn);
        d.elevationDeg = std::asin(std::clamp(turnedUp, -1.0, 1.0)) * 180 / std::numbers::pi;
        d.azimuthDeg = std::fmod(std::atan2(right, turnedAhead) * 180 / std::numbers::pi + 360.0, 360.0);
    }
    constexpr std::uint32_t kRate[] = {44100};
    importSet("kemar-tilted", dir.path(), tilted, kRate);
    if (HasFatalFailure()) return;
    EXPECT_FALSE(tilted.summary.fileRings);
    expectFaithful("kemar-tilted", tilted, onPlane, kInterpolated);
}

// The public sets beside the project (../shared/data/sofa): CIPIC subject 003, whose grid is
// interaural-polar (no rings of constant elevation), and LISTEN 1002 (15-degree rings, 48 kHz),
// imported as faithfully as KEMAR.
TEST(HrtfDatasetTest, ImportsPublicSetsFaithfully) {
    const fs::path shared = ORBIT_TONE_SHARED_SOFA_DIR;
    if (!fs::is_directory(shared)) GTEST_SKIP() << shared << " is absent: the public SOFA sets are not beside this tree";
    const struct {
        const char* name;
        const char* file;
        bool fileRings;
        std::size_t onPlane;
    } sets[] = {{"cipic-003", "CIPIC_subject_003_hrir_final.sofa", false, 50}, {"listen-1002", "LISTEN_1002_IRC_1002_C_HRIR.sofa", true, 24}};
    for (const auto& one : sets) {
        SCOPED_TRACE(one.name);
        TempDir dir;
        ImportedSet set;
        readSet((shared / one.file).c_str(), set);
        importSet(one.name, dir.path(), set);
        if (HasFatalFailure()) return;
        EXPECT_EQ(set.summary.fileRings, one.fileRings);
        const std::vector<std::size_t> onPlane = onThePlane(set.measured);
        EXPECT_EQ(onPlane.size(), one.onPlane);
        // Both grids have a point on each measurement of the horizontal plane: CIPIC's, in
        // 5-degree steps of azimuth, make its horizontal ring.
        expectFaithful(one.name, set, onPlane, kOnGridPoint);
    }
}

// The import refuses what it cannot take faithfully, and reads both kinds of position alike.
TEST(HrtfDatasetTest, ImportChecksWhatTheSofaFileHolds) {
    std::string error;
    const auto kemar = hrtf::readSofaFile(ORBIT_TONE_KEMAR_SOFA, error);
    ASSERT_TRUE(kemar) << error;
    const auto spherical = hrtf::measuredSetFromSofa(*kemar, error);
    ASSERT_TRUE(spherical) << error;
    constexpr std::uint32_t kRate[] = {44100};

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

    // Sets the import takes, made from KEMAR, and what the message says it made the dataset from.
    const auto variant = [&](auto change) {
        hrtf::MeasuredSet set = *spherical;
        change(set);
        return set;
    };
    const auto pairOf = [](hrtf::MeasuredSet& set, std::size_t i) { return set.responses.begin() + long(i * 2 * set.taps); };
    const struct {
        const char* name;
        hrtf::MeasuredSet set;
        std::string source;
    } imports[] = {
        {"two distances", variant([&](hrtf::MeasuredSet& set) {
             for (std::size_t i = 0; i < 100; ++i) {
                 set.directions.push_back({set.directions[i].azimuthDeg, set.directions[i].elevationDeg, 0.5});
                 const std::vector<float> pair(pairOf(set, i), pairOf(set, i + 1));
                 set.responses.insert(set.responses.end(), pair.begin(), pair.end());
                 set.delaysSamples.insert(set.delaysSamples.end(), {set.delaysSamples[2 * i], set.delaysSamples[2 * i + 1]});
             }
         }),
         "its 710 measurements at 1.40 m, the most measured of its 2 distances (0.50 m, 1.40 m)"},
        {"10 dB quieter and farther than the format holds", variant([](hrtf::MeasuredSet& set) {
             for (float& sample : set.responses) sample *= std::pow(10.0f, -0.5f);
             for (hrtf::Direction& d : set.directions) d.distanceM = 3.25;
         }),
         "its 710 measurements at 3.25 m (stored as 2.50 m, the farthest the format holds)"},
        // Those at 50 degrees and above silent; at 40, 50 dB down; five at -40 without a left ear.
        {"silent measurements", variant([&](hrtf::MeasuredSet& set) {
             std::size_t deafLeft = 0;
             for (std::size_t i = 0; i < set.directions.size(); ++i) {
                 const double elevation = set.directions[i].elevationDeg;
                 const float scale = elevation >= 45.0 ? 0.0f : elevation >= 35.0 ? std::pow(10.0f, -2.5f) : 1.0f;
                 std::for_each(pairOf(set, i), pairOf(set, i + 1), [&](float& sample) { sample *= scale; });
                 if (elevation < -35.0 && deafLeft < 5 && ++deafLeft) std::fill(pairOf(set, i), pairOf(set, i) + long(set.taps), 0.0f);
             }
         }),
         "its 531 measurements at 1.40 m; it left out 179 silent measurements (no sound in an ear, or 40 dB below the set's median)"},
    };
    std::vector<hrtf::Dataset> made;
    for (const auto& one : imports) {
        hrtf::ImportSummary summary;
        std::vector<hrtf::Dataset> datasets = hrtf::importMeasuredSet(one.set, kRate, error, &summary);
        ASSERT_EQ(datasets.size(), 1u) << one.name << ": " << error;
        EXPECT_EQ(hrtf::describeSource(summary), one.source) << one.name;
        made.push_back(std::move(datasets.front()));
    }
    // Its 1.40 m measurements are KEMAR's own; 10 dB quieter, KEMAR makes the same filters.
    EXPECT_EQ(made[0].fields[0].distanceMm, 1400);
    EXPECT_EQ(made[1].fields[0].distanceMm, 2500);
    EXPECT_EQ(made[1].delays, made[0].delays);
    ASSERT_EQ(made[1].coefficients.size(), made[0].coefficients.size());
    std::int32_t apart = 0;  // the largest difference, in steps of 24 bits
    for (std::size_t i = 0; i < made[0].coefficients.size(); ++i) apart = std::max(apart, std::abs(made[1].coefficients[i] - made[0].coefficients[i]));
    EXPECT_LE(apart, 128) << "more than single-precision spectra give: 96 dB below full scale";
    // Without its silent measurements, no filter is silent: none more than 30 dB below the median.
    std::vector<double> energies;
    for (std::size_t hrir = 0; hrir < made[2].hrirCount(); ++hrir) {
        for (std::size_t ear = 0; ear < 2; ++ear) energies.push_back(filterEnergy(made[2], hrir, ear));
    }
    std::vector<double> sorted = energies;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_GT(sorted.front(), sorted[sorted.size() / 2] * 1e-3);

    // Sets it refuses: too little that can be heard, nothing near the plane the tone circles in.
    const struct {
        const char* name;
        hrtf::MeasuredSet set;
        std::string message;
    } importRefusals[] = {
        {"all silent", variant([](hrtf::MeasuredSet& set) { std::fill(set.responses.begin(), set.responses.end(), 0.0f); }),
         "all of its 710 measurements are silent"},
        {"only the front right quarter of the plane heard", variant([&](hrtf::MeasuredSet& set) {
             for (std::size_t i = 0; i < set.directions.size(); ++i) {
                 if (set.directions[i].elevationDeg != 0.0 || set.directions[i].azimuthDeg > 90.0) std::fill(pairOf(set, i), pairOf(set, i + 1), 0.0f);
             }
         }),
         "only 19 of its 710 measurements are audible (the others are silent, or 40 dB below the set's median): too few to "
         "cover the horizontal plane, where the tone circles (nothing within 45 degrees of azimuth 136)"},
        {"nothing near the plane", variant([](hrtf::MeasuredSet& set) {
             for (auto& direction : set.directions) direction.elevationDeg = 20.0 + std::abs(direction.elevationDeg) * 0.7;
         }),
         "none of its measurements at 1.40 m lies within 10 degrees of the horizontal plane, where the tone circles"},
    };
    for (const auto& refusal : importRefusals) {
        EXPECT_TRUE(hrtf::importMeasuredSet(refusal.set, kRate, error).empty()) << refusal.name;
        EXPECT_EQ(error, refusal.message) << refusal.name;
    }
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
    // KEMAR's layout of its impulse responses, 355 x 1 x 256 values of 8 bytes to a chunk, made to
    // claim other chunks: libmysofa refuses either (the chunks are not where the layout says), as
    // it refuses a valid file whose chunks hold 2^20 values or more.
    const auto chunked = [&](std::uint32_t measurements, std::uint32_t receivers, std::uint32_t taps) {
        const auto bytesOf = [](std::initializer_list<std::uint32_t> values) {
            std::string bytes;
            for (const std::uint32_t value : values) {
                for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((value >> shift) & 0xff);
            }
            return bytes;
        };
        return replaced(bytesOf({355, 1, 256, 8}), bytesOf({measurements, receivers, taps, 8}));
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
        {make("big-chunks.sofa", chunked(710, 2, 1024)),
         "libmysofa cannot read it: one of its data chunks holds 1454080 values, and libmysofa reads none of 1048576 (2^20) "
         "or more; the file may well be valid: rewritten in smaller chunks (as h5repack from hdf5-tools does), it loads"},
        {make("moved-chunks.sofa", chunked(710, 2, 512)), "libmysofa cannot read it: it is damaged or not a SOFA file (invalid format)"},
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
