// OpenAL Soft's HRTF dataset files (formats "MinPHR02" and "MinPHR03"): a strict reader, an
// exact writer, and the shortening that turns the engine's dataset into the program's light one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hrtf {

// The file format versions read and written. OpenAL Soft 1.19 ships and reads MinPHR02; from
// 1.20 on it ships MinPHR03 (24-bit samples only, delays in quarter samples, fields farthest
// first) and still reads MinPHR02, which is what the light datasets are written in.
enum class Format : std::uint8_t { MinPhr02 = 2, MinPhr03 = 3 };

enum class SampleType : std::uint8_t { Int16 = 0, Int24 = 1 };
enum class ChannelType : std::uint8_t { Mono = 0, Stereo = 1 };

// The limits the reader and the writer hold a dataset to.
inline constexpr std::size_t kMinFilterLength = 8;
inline constexpr std::size_t kMaxFilterLength = 128;
inline constexpr std::size_t kFilterLengthStep = 8;
inline constexpr std::size_t kMaxFieldCount = 16;
inline constexpr std::size_t kMinDistanceMm = 50;
inline constexpr std::size_t kMaxDistanceMm = 2500;
inline constexpr std::size_t kMinElevationCount = 5;
inline constexpr std::size_t kMaxElevationCount = 181;
inline constexpr std::size_t kMaxDelaySamples = 63;
// MinPHR03 delays count quarter samples.
inline constexpr std::size_t kDelayStepsPerSample = 4;

// One measurement distance: its azimuth count for each elevation, from -90 degrees upward.
struct Field {
    std::uint16_t distanceMm = 0;
    std::vector<std::uint8_t> azimuthCounts;
};

// A whole dataset. HRIRs are numbered field by field, elevation by elevation, azimuth by
// azimuth (clockwise from ahead), in file order: fields nearest first in MinPHR02, farthest
// first in MinPHR03.
struct Dataset {
    Format format = Format::MinPhr02;
    std::uint32_t sampleRateHz = 0;
    SampleType sampleType = SampleType::Int24;  // always 24-bit in MinPHR03
    ChannelType channelType = ChannelType::Mono;
    std::size_t filterLength = 0;  // taps per HRIR
    std::vector<Field> fields;
    // coefficients[(hrir * filterLength + tap) * channelCount() + channel], each within the
    // sample type's range.
    std::vector<std::int32_t> coefficients;
    // delays[hrir * channelCount() + channel]: whole samples in MinPHR02, quarter samples in
    // MinPHR03; at most 63 samples either way.
    std::vector<std::uint8_t> delays;

    std::size_t channelCount() const { return channelType == ChannelType::Stereo ? 2 : 1; }
    std::size_t hrirCount() const;
};

// Parses a whole file's bytes, of either format. On any fault returns nothing and says why in
// `error`; never reads outside `bytes`.
std::optional<Dataset> parseDataset(std::span<const std::uint8_t> bytes, std::string& error);

// Reads and parses a file.
std::optional<Dataset> readDatasetFile(const std::filesystem::path& path, std::string& error);

// The file bytes of a dataset, in its format. Refuses a dataset the reader would refuse (a
// header out of range, fields out of order, vectors of the wrong size, a coefficient outside
// its sample type, a delay over 63 samples).
std::optional<std::vector<std::uint8_t>> serializeDataset(const Dataset& dataset, std::string& error);

// Writes a dataset to `path` through a temporary file in the same folder that is renamed over
// `path` only once complete: a failure leaves `path` as it was and no temporary behind.
bool writeDatasetFile(const Dataset& dataset, const std::filesystem::path& path, std::string& error);

// The same dataset as MinPHR02, which every engine from 1.19 on reads: fields nearest first
// (the HRIRs move with their field, in order within it), delays rounded to whole samples (half
// a sample up, as the engine itself rounds them), samples 24-bit. Refuses what the writer would.
std::optional<Dataset> toMinPhr02(const Dataset& dataset, std::string& error);

// What shortening did, over the filters (one per HRIR and channel) that are not silent.
struct ShortenStats {
    double meanEnergyKeptCut = 0.0;    // share of a filter's energy in its first taps
    double meanEnergyKeptFaded = 0.0;  // the same after the fade, before the rescale
    std::size_t clampedSamples = 0;    // coefficients that the rescale pushed out of range
};

// Taps faded out at the end of a shortened filter: the last quarter (2 of 8, 4 of 16).
constexpr std::size_t fadeLength(std::size_t taps) { return taps / 4; }

// Shortens every filter to its first `taps` taps (a multiple of 8, at least 8, below the
// current length). The last fadeLength(taps) kept taps fade out with half a raised cosine,
// weight (1 + cos(pi * k / (F + 1))) / 2 for the k-th of the F faded taps, so the curve would
// reach zero on the first tap dropped. Then each filter is scaled so its energy equals the
// full filter's energy, rounded and clamped to the sample type's range (a filter whose peak
// clamps ends up a little quieter). Delays, the layout and the format are kept.
std::optional<Dataset> shortenDataset(const Dataset& dataset, std::size_t taps, std::string& error,
                                      ShortenStats* stats = nullptr);

}  // namespace hrtf
