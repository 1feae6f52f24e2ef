// Reading, writing and shortening MinPHR02 and MinPHR03 HRTF datasets.
#include "tools/hrtf/mhr_dataset.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numbers>
#include <utility>

namespace hrtf {
namespace {

// "MinPHR0" and the version's digit.
constexpr std::size_t kMagicBytes = 8;
constexpr std::uint8_t kMagicStem[kMagicBytes - 1] = {'M', 'i', 'n', 'P', 'H', 'R', '0'};
// Magic, rate (uint32), sample type (MinPHR02 only), channel type, filter length, field count
// (uint8 each).
constexpr std::size_t kHeaderBytes02 = 16;
constexpr std::size_t kHeaderBytes03 = 15;
// Distance (uint16) and elevation count (uint8) ahead of each field's azimuth counts.
constexpr std::size_t kFieldHeaderBytes = 3;
// The largest file the limits allow, about 570 MB: the reader stops beyond it.
constexpr std::size_t kMaxFileBytes =
    kHeaderBytes02 + kMaxFieldCount * (kFieldHeaderBytes + kMaxElevationCount) +
    kMaxFieldCount * kMaxElevationCount * 255 * (kMaxFilterLength * 2 * 3 + 2);

std::uint8_t versionDigit(Format format) { return format == Format::MinPhr03 ? '3' : '2'; }
std::size_t headerBytes(Format format) {
    return format == Format::MinPhr03 ? kHeaderBytes03 : kHeaderBytes02;
}
// The largest delay value a format holds: 63 samples, counted whole or in quarters.
std::size_t maxDelay(Format format) {
    return format == Format::MinPhr03 ? kMaxDelaySamples * kDelayStepsPerSample : kMaxDelaySamples;
}

std::size_t bytesPerSample(SampleType type) { return type == SampleType::Int16 ? 2 : 3; }

std::int32_t sampleMin(SampleType type) { return type == SampleType::Int16 ? -32768 : -8388608; }
std::int32_t sampleMax(SampleType type) { return type == SampleType::Int16 ? 32767 : 8388607; }

const char* sampleTypeName(SampleType type) { return type == SampleType::Int16 ? "16-bit" : "24-bit"; }

// Whether the bytes match a magic this reader takes, as far as both go.
bool startsWithMagic(std::span<const std::uint8_t> bytes) {
    const std::size_t compared = std::min(bytes.size(), sizeof kMagicStem);
    if (!std::equal(kMagicStem, kMagicStem + compared, bytes.begin())) {
        return false;
    }
    return bytes.size() < kMagicBytes || bytes[kMagicBytes - 1] == versionDigit(Format::MinPhr02) ||
           bytes[kMagicBytes - 1] == versionDigit(Format::MinPhr03);
}

// The format a whole file's magic names; nothing, and why in `error`, for any other file.
std::optional<Format> formatOf(std::span<const std::uint8_t> bytes, std::string& error) {
    if (bytes.size() >= kMagicBytes && startsWithMagic(bytes)) {
        return bytes[kMagicBytes - 1] == versionDigit(Format::MinPhr03) ? Format::MinPhr03 : Format::MinPhr02;
    }
    // The engine also reads MinPHR00 and MinPHR01, which no engine from 1.19 on ships.
    const bool older = bytes.size() >= kMagicBytes &&
                       std::equal(kMagicStem, std::end(kMagicStem), bytes.begin()) &&
                       (bytes[kMagicBytes - 1] == '0' || bytes[kMagicBytes - 1] == '1');
    if (older) {
        error = "MinPHR0" + std::string(1, static_cast<char>(bytes[kMagicBytes - 1])) +
                " is an older format than this reader takes (MinPHR02 or MinPHR03)";
    } else {
        error = "not a MinPHR02 or MinPHR03 file (bad magic)";
    }
    return std::nullopt;
}

std::string errnoText() { return std::strerror(errno); }

// The header checks that the reader and the writer share; an empty answer means valid.
std::string checkSampleRate(std::uint32_t rateHz) { return rateHz == 0 ? "sample rate is 0 Hz" : ""; }

std::string checkSampleType(std::uint8_t type) {
    return type <= 1 ? "" : "sample type " + std::to_string(type) + " is neither 0 (16-bit) nor 1 (24-bit)";
}

std::string checkChannelType(std::uint8_t type) {
    return type <= 1 ? "" : "channel type " + std::to_string(type) + " is neither 0 (mono) nor 1 (stereo)";
}

std::string checkFilterLength(std::size_t length) {
    if (length >= kMinFilterLength && length <= kMaxFilterLength && length % kFilterLengthStep == 0) {
        return "";
    }
    return "filter length " + std::to_string(length) + " is not a multiple of 8 from 8 to 128";
}

std::string checkFieldCount(std::size_t count) {
    if (count >= 1 && count <= kMaxFieldCount) {
        return "";
    }
    return "field count " + std::to_string(count) + " is not from 1 to 16";
}

std::string checkDistance(std::size_t field, std::size_t distanceMm) {
    if (distanceMm >= kMinDistanceMm && distanceMm <= kMaxDistanceMm) {
        return "";
    }
    return "field " + std::to_string(field) + ": distance " + std::to_string(distanceMm) +
           " mm is not from 50 to 2500";
}

// MinPHR02 lists the fields nearest first, MinPHR03 farthest first (the engine takes equal
// distances in MinPHR03, not in MinPHR02).
std::string checkFieldOrder(Format format, std::size_t field, std::size_t previousMm,
                            std::size_t distanceMm) {
    if (format == Format::MinPhr02 && distanceMm <= previousMm) {
        return "field " + std::to_string(field) + ": distance " + std::to_string(distanceMm) +
               " mm is not beyond the previous field's " + std::to_string(previousMm) +
               " (MinPHR02 lists fields nearest first)";
    }
    if (format == Format::MinPhr03 && distanceMm > previousMm) {
        return "field " + std::to_string(field) + ": distance " + std::to_string(distanceMm) +
               " mm is beyond the previous field's " + std::to_string(previousMm) +
               " (MinPHR03 lists fields farthest first)";
    }
    return "";
}

std::string checkElevationCount(std::size_t field, std::size_t count) {
    if (count >= kMinElevationCount && count <= kMaxElevationCount) {
        return "";
    }
    return "field " + std::to_string(field) + ": elevation count " + std::to_string(count) +
           " is not from 5 to 181";
}

std::string checkAzimuthCount(std::size_t field, std::size_t elevation, std::size_t count) {
    if (count >= 1 && count <= 255) {
        return "";
    }
    return "field " + std::to_string(field) + ", elevation " + std::to_string(elevation) +
           ": azimuth count " + std::to_string(count) + " is not from 1 to 255";
}

std::string checkDelay(Format format, std::size_t hrir, std::size_t channel, std::size_t delay) {
    if (delay <= maxDelay(format)) {
        return "";
    }
    return "HRIR " + std::to_string(hrir) + ", channel " + std::to_string(channel) + ": delay " +
           std::to_string(delay) +
           (format == Format::MinPhr03 ? " quarter samples is over 252" : " is over 63");
}

// Everything about a record except its coefficient values, which the writer checks as it goes.
std::string checkRecord(const Dataset& dataset) {
    std::string problem;
    if (dataset.format != Format::MinPhr02 && dataset.format != Format::MinPhr03) {
        problem = "format " + std::to_string(static_cast<int>(dataset.format)) +
                  " is neither MinPHR02 nor MinPHR03";
    }
    if (problem.empty()) problem = checkSampleRate(dataset.sampleRateHz);
    if (problem.empty()) problem = checkSampleType(static_cast<std::uint8_t>(dataset.sampleType));
    if (problem.empty() && dataset.format == Format::MinPhr03 && dataset.sampleType != SampleType::Int24) {
        problem = "MinPHR03 holds 24-bit samples only";
    }
    if (problem.empty()) problem = checkChannelType(static_cast<std::uint8_t>(dataset.channelType));
    if (problem.empty()) problem = checkFilterLength(dataset.filterLength);
    if (problem.empty()) problem = checkFieldCount(dataset.fields.size());
    for (std::size_t f = 0; problem.empty() && f < dataset.fields.size(); ++f) {
        const Field& field = dataset.fields[f];
        problem = checkDistance(f, field.distanceMm);
        if (problem.empty() && f > 0) {
            problem = checkFieldOrder(dataset.format, f, dataset.fields[f - 1].distanceMm, field.distanceMm);
        }
        if (problem.empty()) problem = checkElevationCount(f, field.azimuthCounts.size());
        for (std::size_t e = 0; problem.empty() && e < field.azimuthCounts.size(); ++e) {
            problem = checkAzimuthCount(f, e, field.azimuthCounts[e]);
        }
    }
    if (!problem.empty()) {
        return problem;
    }
    const std::size_t channels = dataset.channelCount();
    const std::size_t hrirs = dataset.hrirCount();
    if (dataset.coefficients.size() != hrirs * dataset.filterLength * channels) {
        return std::to_string(dataset.coefficients.size()) + " coefficients where the header implies " +
               std::to_string(hrirs * dataset.filterLength * channels);
    }
    if (dataset.delays.size() != hrirs * channels) {
        return std::to_string(dataset.delays.size()) + " delays where the header implies " +
               std::to_string(hrirs * channels);
    }
    for (std::size_t i = 0; i < dataset.delays.size(); ++i) {
        problem = checkDelay(dataset.format, i / channels, i % channels, dataset.delays[i]);
        if (!problem.empty()) {
            return problem;
        }
    }
    return "";
}

std::uint16_t readU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t readU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A little-endian two's complement sample of 2 or 3 bytes.
std::int32_t readSample(const std::uint8_t* p, SampleType type) {
    if (type == SampleType::Int16) {
        return static_cast<std::int16_t>(readU16(p));
    }
    const std::uint32_t raw = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                              (static_cast<std::uint32_t>(p[2]) << 16);
    return static_cast<std::int32_t>(raw ^ 0x800000u) - 0x800000;  // sign-extends bit 23
}

void appendLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value, std::size_t byteCount) {
    for (std::size_t i = 0; i < byteCount; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// Closes and removes a temporary file unless released.
class TempFile {
public:
    TempFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!released_) ::unlink(path_.c_str());
    }
    int fd() const { return fd_; }
    // Closes the descriptor, reporting the error of the final flush if any.
    bool close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0;
    }
    void release() { released_ = true; }

private:
    std::string path_;
    int fd_;
    bool released_ = false;
};

}  // namespace

std::size_t Dataset::hrirCount() const {
    std::size_t count = 0;
    for (const Field& field : fields) {
        for (std::uint8_t azimuths : field.azimuthCounts) count += azimuths;
    }
    return count;
}

std::optional<Dataset> parseDataset(std::span<const std::uint8_t> bytes, std::string& error) {
    const std::optional<Format> format = formatOf(bytes, error);
    if (!format) {
        return std::nullopt;
    }
    const std::string tooShort = "file ends inside the header (" + std::to_string(bytes.size()) + " bytes)";
    if (bytes.size() < headerBytes(*format)) {
        error = tooShort;
        return std::nullopt;
    }
    Dataset dataset;
    dataset.format = *format;
    const std::uint8_t* p = bytes.data();
    std::size_t offset = kMagicBytes;
    dataset.sampleRateHz = readU32(p + offset);
    offset += 4;
    const std::uint8_t sampleType =
        *format == Format::MinPhr02 ? p[offset++] : static_cast<std::uint8_t>(SampleType::Int24);
    const std::uint8_t channelType = p[offset++];
    dataset.filterLength = p[offset++];
    const std::size_t fieldCount = p[offset++];
    error = checkSampleRate(dataset.sampleRateHz);
    if (error.empty()) error = checkSampleType(sampleType);
    if (error.empty()) error = checkChannelType(channelType);
    if (error.empty()) error = checkFilterLength(dataset.filterLength);
    if (error.empty()) error = checkFieldCount(fieldCount);
    if (!error.empty()) {
        return std::nullopt;
    }
    dataset.sampleType = static_cast<SampleType>(sampleType);
    dataset.channelType = static_cast<ChannelType>(channelType);

    for (std::size_t f = 0; f < fieldCount; ++f) {
        if (bytes.size() - offset < kFieldHeaderBytes) {
            error = tooShort;
            return std::nullopt;
        }
        Field field;
        field.distanceMm = readU16(p + offset);
        const std::size_t elevationCount = p[offset + 2];
        offset += kFieldHeaderBytes;
        error = checkDistance(f, field.distanceMm);
        if (error.empty() && f > 0) {
            error = checkFieldOrder(dataset.format, f, dataset.fields.back().distanceMm, field.distanceMm);
        }
        if (error.empty()) error = checkElevationCount(f, elevationCount);
        if (!error.empty()) {
            return std::nullopt;
        }
        if (bytes.size() - offset < elevationCount) {
            error = tooShort;
            return std::nullopt;
        }
        field.azimuthCounts.assign(p + offset, p + offset + elevationCount);
        offset += elevationCount;
        for (std::size_t e = 0; e < elevationCount; ++e) {
            error = checkAzimuthCount(f, e, field.azimuthCounts[e]);
            if (!error.empty()) {
                return std::nullopt;
            }
        }
        dataset.fields.push_back(std::move(field));
    }

    // The header fixes the length of the rest: it must match exactly.
    const std::size_t channels = dataset.channelCount();
    const std::size_t sampleBytes = bytesPerSample(dataset.sampleType);
    const std::size_t coefficientCount = dataset.hrirCount() * dataset.filterLength * channels;
    const std::size_t delayCount = dataset.hrirCount() * channels;
    const std::size_t expectedBytes = offset + coefficientCount * sampleBytes + delayCount;
    if (bytes.size() != expectedBytes) {
        error = "file is " + std::to_string(bytes.size()) + " bytes, " +
                (bytes.size() < expectedBytes ? "shorter" : "longer") + " than the " +
                std::to_string(expectedBytes) + " its header implies";
        return std::nullopt;
    }
    dataset.coefficients.resize(coefficientCount);
    for (std::size_t i = 0; i < coefficientCount; ++i, offset += sampleBytes) {
        dataset.coefficients[i] = readSample(p + offset, dataset.sampleType);
    }
    dataset.delays.assign(p + offset, p + offset + delayCount);
    for (std::size_t i = 0; i < delayCount; ++i) {
        error = checkDelay(dataset.format, i / channels, i % channels, dataset.delays[i]);
        if (!error.empty()) {
            return std::nullopt;
        }
    }
    return dataset;
}

std::optional<Dataset> readDatasetFile(const std::filesystem::path& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errnoText();
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = errnoText();
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
        // Stop early on what is plainly another kind of file (or a device such as /dev/zero).
        if (!startsWithMagic(bytes)) {
            ::close(fd);
            return parseDataset(bytes, error);
        }
        if (bytes.size() > kMaxFileBytes) {
            error = "file is over " + std::to_string(kMaxFileBytes) + " bytes, too long for an HRTF dataset";
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return parseDataset(bytes, error);
}

std::optional<std::vector<std::uint8_t>> serializeDataset(const Dataset& dataset, std::string& error) {
    error = checkRecord(dataset);
    if (!error.empty()) {
        return std::nullopt;
    }
    const std::size_t channels = dataset.channelCount();
    const std::size_t sampleBytes = bytesPerSample(dataset.sampleType);
    std::vector<std::uint8_t> out(std::begin(kMagicStem), std::end(kMagicStem));
    out.reserve(kHeaderBytes02 + dataset.coefficients.size() * sampleBytes + dataset.delays.size() + 1024);
    out.push_back(versionDigit(dataset.format));
    appendLittleEndian(out, dataset.sampleRateHz, 4);
    if (dataset.format == Format::MinPhr02) {
        out.push_back(static_cast<std::uint8_t>(dataset.sampleType));
    }
    out.push_back(static_cast<std::uint8_t>(dataset.channelType));
    out.push_back(static_cast<std::uint8_t>(dataset.filterLength));
    out.push_back(static_cast<std::uint8_t>(dataset.fields.size()));
    for (const Field& field : dataset.fields) {
        appendLittleEndian(out, field.distanceMm, 2);
        out.push_back(static_cast<std::uint8_t>(field.azimuthCounts.size()));
        out.insert(out.end(), field.azimuthCounts.begin(), field.azimuthCounts.end());
    }
    const std::int32_t lo = sampleMin(dataset.sampleType);
    const std::int32_t hi = sampleMax(dataset.sampleType);
    for (std::size_t i = 0; i < dataset.coefficients.size(); ++i) {
        const std::int32_t value = dataset.coefficients[i];
        if (value < lo || value > hi) {
            const std::size_t hrir = i / channels / dataset.filterLength;
            const std::size_t tap = i / channels % dataset.filterLength;
            error = "HRIR " + std::to_string(hrir) + ", tap " + std::to_string(tap) + ", channel " +
                    std::to_string(i % channels) + ": coefficient " + std::to_string(value) +
                    " is outside the " + sampleTypeName(dataset.sampleType) + " range";
            return std::nullopt;
        }
        appendLittleEndian(out, static_cast<std::uint32_t>(value), sampleBytes);
    }
    out.insert(out.end(), dataset.delays.begin(), dataset.delays.end());
    return out;
}

bool writeDatasetFile(const Dataset& dataset, const std::filesystem::path& path, std::string& error) {
    const std::optional<std::vector<std::uint8_t>> bytes = serializeDataset(dataset, error);
    if (!bytes) {
        return false;
    }
    // Same folder, so that the rename cannot cross file systems; the process id keeps two
    // concurrent runs apart.
    const std::string tempPath = path.string() + ".tmp-" + std::to_string(::getpid());
    const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = "cannot create " + tempPath + ": " + errnoText();
        return false;
    }
    TempFile temp(tempPath, fd);
    std::size_t written = 0;
    while (written < bytes->size()) {
        const ssize_t put = ::write(temp.fd(), bytes->data() + written, bytes->size() - written);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0) {
            error = "cannot write " + tempPath + ": " + errnoText();
            return false;
        }
        written += static_cast<std::size_t>(put);
    }
    if (::fsync(temp.fd()) != 0 || !temp.close()) {
        error = "cannot write " + tempPath + ": " + errnoText();
        return false;
    }
    if (::rename(tempPath.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + tempPath + " to " + path.string() + ": " + errnoText();
        return false;
    }
    temp.release();
    return true;
}

std::optional<Dataset> toMinPhr02(const Dataset& dataset, std::string& error) {
    error = checkRecord(dataset);
    if (!error.empty()) {
        return std::nullopt;
    }
    if (dataset.format == Format::MinPhr02) {
        return dataset;
    }
    Dataset converted = dataset;
    converted.format = Format::MinPhr02;
    converted.fields.assign(dataset.fields.rbegin(), dataset.fields.rend());
    converted.coefficients.clear();
    converted.delays.clear();
    const std::size_t channels = dataset.channelCount();
    // firstHrir[f]: the first HRIR of field f in the source; firstHrir.back() is the count.
    std::vector<std::size_t> firstHrir(1, 0);
    for (const Field& field : dataset.fields) {
        std::size_t hrirs = 0;
        for (std::uint8_t azimuths : field.azimuthCounts) hrirs += azimuths;
        firstHrir.push_back(firstHrir.back() + hrirs);
    }
    const std::size_t hrirValues = dataset.filterLength * channels;
    const auto at = [&](std::size_t hrir) {
        return dataset.coefficients.begin() + static_cast<std::ptrdiff_t>(hrir * hrirValues);
    };
    for (std::size_t f = dataset.fields.size(); f-- > 0;) {
        converted.coefficients.insert(converted.coefficients.end(), at(firstHrir[f]), at(firstHrir[f + 1]));
        for (std::size_t i = firstHrir[f] * channels; i < firstHrir[f + 1] * channels; ++i) {
            // Half a sample rounds up, as the engine rounds these delays itself; 252 becomes 63.
            const std::size_t samples = (dataset.delays[i] + kDelayStepsPerSample / 2) / kDelayStepsPerSample;
            converted.delays.push_back(static_cast<std::uint8_t>(samples));
        }
    }
    // Equal distances, which MinPHR03 allows, cannot be written in MinPHR02.
    error = checkRecord(converted);
    if (!error.empty()) {
        return std::nullopt;
    }
    return converted;
}

std::optional<Dataset> shortenDataset(const Dataset& dataset, std::size_t taps, std::string& error,
                                      ShortenStats* stats) {
    error = checkRecord(dataset);
    if (!error.empty()) {
        return std::nullopt;
    }
    const std::size_t fullLength = dataset.filterLength;
    if (fullLength <= kMinFilterLength) {
        error = "the filters are already 8 taps, the shortest there is";
        return std::nullopt;
    }
    if (taps < kMinFilterLength || taps >= fullLength || taps % kFilterLengthStep != 0) {
        error = std::to_string(taps) + " taps is not a multiple of 8 from 8 to " +
                std::to_string(fullLength - kFilterLengthStep);
        return std::nullopt;
    }

    std::vector<double> weights(taps, 1.0);
    const std::size_t fadeTaps = fadeLength(taps);
    for (std::size_t k = 1; k <= fadeTaps; ++k) {
        const double phase = std::numbers::pi * static_cast<double>(k) / static_cast<double>(fadeTaps + 1);
        weights[taps - fadeTaps + k - 1] = (1.0 + std::cos(phase)) / 2.0;
    }

    Dataset light = dataset;
    light.filterLength = taps;
    const std::size_t channels = dataset.channelCount();
    light.coefficients.assign(dataset.hrirCount() * taps * channels, 0);
    const double lo = sampleMin(dataset.sampleType);
    const double hi = sampleMax(dataset.sampleType);
    ShortenStats totals;
    std::size_t audibleFilters = 0;
    std::vector<double> faded(taps);
    const std::size_t hrirs = dataset.hrirCount();
    for (std::size_t hrir = 0; hrir < hrirs; ++hrir) {
        for (std::size_t channel = 0; channel < channels; ++channel) {
            auto source = [&](std::size_t tap) {
                return static_cast<double>(
                    dataset.coefficients[(hrir * fullLength + tap) * channels + channel]);
            };
            double fullEnergy = 0.0;
            double cutEnergy = 0.0;
            double fadedEnergy = 0.0;
            for (std::size_t tap = 0; tap < fullLength; ++tap) {
                fullEnergy += source(tap) * source(tap);
                if (tap < taps) {
                    cutEnergy += source(tap) * source(tap);
                    faded[tap] = source(tap) * weights[tap];
                    fadedEnergy += faded[tap] * faded[tap];
                }
            }
            if (fullEnergy == 0.0) {
                continue;  // a silent filter stays silent and out of the averages
            }
            ++audibleFilters;
            totals.meanEnergyKeptCut += cutEnergy / fullEnergy;
            totals.meanEnergyKeptFaded += fadedEnergy / fullEnergy;
            // A filter whose energy lies wholly past the kept taps cannot be rescaled: it goes silent.
            const double gain = fadedEnergy > 0.0 ? std::sqrt(fullEnergy / fadedEnergy) : 0.0;
            for (std::size_t tap = 0; tap < taps; ++tap) {
                const double scaled = std::round(faded[tap] * gain);
                if (scaled < lo || scaled > hi) ++totals.clampedSamples;
                light.coefficients[(hrir * taps + tap) * channels + channel] =
                    static_cast<std::int32_t>(std::clamp(scaled, lo, hi));
            }
        }
    }
    if (audibleFilters > 0) {
        totals.meanEnergyKeptCut /= static_cast<double>(audibleFilters);
        totals.meanEnergyKeptFaded /= static_cast<double>(audibleFilters);
    }
    if (stats != nullptr) {
        *stats = totals;
    }
    return light;
}

}  // namespace hrtf
