// From a SOFA file's measured responses to the engine's datasets: the silent measurements left
// out, one distance taken, the engine's grid laid over the measurements (sofa_grid.h), and each
// grid point's pair designed at each rate (sofa_filters.h), equalised to the diffuse field.
#include "tools/hrtf/sofa_import.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <numbers>

#include "tools/hrtf/fft.h"
#include "tools/hrtf/sofa_filters.h"
#include "tools/hrtf/sofa_grid.h"

namespace hrtf {
namespace {

using Complex = std::complex<double>;

// Distances closer than this count as one measuring distance.
constexpr double kSameDistanceM = 0.01;
// A measurement one of whose ears holds no energy, or this much less than that ear's median
// over the set, is left out: a failed or missing measurement, which would render as silence.
constexpr double kQuietDb = 40.0;
// With measurements left out, those left must leave no direction of the horizontal plane
// farther than this from one of them.
constexpr double kCoverDeg = 45.0;
// The diffuse-field equalisation boosts no frequency more than this above its typical gain
// (the median from 200 Hz to 16 kHz), where the measuring system had next to nothing.
constexpr double kMaxBoostDb = 12.0;
// The lowest level taken from a spectrum before its logarithm: -140 dB.
constexpr double kFloor = 1e-7;
// A filter's onset: its first sample at a tenth of its peak.
constexpr double kOnsetFraction = 0.1;
// The loudest coefficient after the gain, against full scale.
constexpr double kMaxPeak = 0.98;
constexpr double kFullScale = 8388608.0;  // 24-bit

std::string metres(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f m", value);
    return text;
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// The response of `taps` samples at `rateHz` at one frequency.
Complex responseAt(const float* samples, std::size_t taps, double rateHz, double frequencyHz) {
    Complex sum = 0.0;
    Complex phasor = 1.0;
    const Complex step = std::polar(1.0, -2.0 * std::numbers::pi * frequencyHz / rateHz);
    for (std::size_t n = 0; n < taps; ++n) {
        sum += double(samples[n]) * phasor;
        phasor *= step;
    }
    return sum;
}

// Both ears' magnitudes on the file's own frequency grid: `size` / 2 + 1 bins of one
// transform of both at the file's rate.
std::array<std::vector<float>, 2> fileMagnitudes(const float* left, const float* right, std::size_t taps, std::size_t size) {
    std::vector<Complex> z(size);
    for (std::size_t n = 0; n < taps; ++n) z[n] = Complex(left[n], right[n]);
    fft(z, false);
    std::array<std::vector<float>, 2> ears;
    for (auto& ear : ears) ear.resize(size / 2 + 1);
    for (std::size_t k = 0; k <= size / 2; ++k) {
        const Complex a = z[k];
        const Complex b = std::conj(z[(size - k) % size]);
        ears[0][k] = float(std::abs((a + b) / 2.0));
        ears[1][k] = float(std::abs((a - b) / 2.0));
    }
    return ears;
}

// A file spectrum on the dataset's bins at `rateHz`, interpolated; held at its last value
// above the file's Nyquist frequency.
std::vector<float> onDatasetBins(const std::vector<float>& file, double fileRateHz, double rateHz) {
    const std::size_t half = file.size() - 1;
    std::vector<float> magnitude(kSpectrumBins);
    for (std::size_t k = 0; k < kSpectrumBins; ++k) {
        const double position = std::min(double(k) * rateHz / double(kTransformSize) / fileRateHz * double(2 * half), double(half));
        const auto below = static_cast<std::size_t>(position);
        const std::size_t above = std::min(below + 1, half);
        const double t = position - double(below);
        magnitude[k] = float((1.0 - t) * file[below] + t * file[above]);
    }
    return magnitude;
}

// The first sample at kOnsetFraction of the peak.
double onsetSamples(const float* samples, std::size_t taps) {
    float peak = 0.0f;
    for (std::size_t n = 0; n < taps; ++n) peak = std::max(peak, std::abs(samples[n]));
    for (std::size_t n = 0; n < taps; ++n) {
        if (std::abs(samples[n]) >= kOnsetFraction * peak) return double(n);
    }
    return 0.0;
}

}  // namespace

std::string describeSource(const ImportSummary& summary) {
    std::string text = "its " + std::to_string(summary.measurementsUsed) + " measurements at " + metres(summary.distanceM);
    if (std::abs(summary.storedDistanceM - summary.distanceM) >= 0.0005) {
        text += " (stored as " + metres(summary.storedDistanceM) +
                (summary.storedDistanceM > summary.distanceM ? ", the nearest" : ", the farthest") + " the format holds)";
    }
    if (summary.distancesM.size() > 1) {
        text += ", the most measured of its " + std::to_string(summary.distancesM.size()) + " distances (";
        for (std::size_t i = 0; i < summary.distancesM.size(); ++i) text += (i > 0 ? ", " : "") + metres(summary.distancesM[i]);
        text += ")";
    }
    if (summary.silentLeftOut > 0) {
        text += "; it left out " + std::to_string(summary.silentLeftOut) + " silent measurements (no sound in an ear, or " +
                std::to_string(int(kQuietDb)) + " dB below the set's median)";
    }
    return text;
}

std::vector<Dataset> importMeasuredSet(const MeasuredSet& set, std::span<const std::uint32_t> ratesHz,
                                       std::string& error, ImportSummary* summary) {
    ImportSummary report;
    const std::size_t m = set.directions.size();
    const std::size_t n = set.taps;
    const auto response = [&](std::size_t measurement, std::size_t ear) {
        return set.responses.data() + (measurement * 2 + ear) * n;
    };

    // The silent measurements go: an ear without sound, or far below that ear's median.
    std::vector<double> energies[2];
    std::vector<double> audibleEnergies[2];
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t ear = 0; ear < 2; ++ear) {
            double energy = 0.0;
            for (std::size_t t = 0; t < n; ++t) energy += double(response(i, ear)[t]) * double(response(i, ear)[t]);
            energies[ear].push_back(energy);
            if (energy > 0.0) audibleEnergies[ear].push_back(energy);
        }
    }
    std::vector<std::size_t> audible;
    if (!audibleEnergies[0].empty() && !audibleEnergies[1].empty()) {
        const double quiet = std::pow(10.0, -kQuietDb / 10.0);
        const double lowest[2] = {median(audibleEnergies[0]) * quiet, median(audibleEnergies[1]) * quiet};
        for (std::size_t i = 0; i < m; ++i) {
            if (energies[0][i] > 0.0 && energies[1][i] > 0.0 && energies[0][i] >= lowest[0] && energies[1][i] >= lowest[1]) {
                audible.push_back(i);
            }
        }
    }
    report.silentLeftOut = m - audible.size();
    if (audible.empty()) {
        error = "all of its " + std::to_string(m) + " measurements are silent";
        return {};
    }

    // One distance: the one most measured, the farthest of equals.
    std::sort(audible.begin(), audible.end(),
              [&](std::size_t a, std::size_t b) { return set.directions[a].distanceM < set.directions[b].distanceM; });
    std::vector<std::size_t> field;
    for (std::size_t start = 0; start < audible.size();) {
        std::size_t end = start + 1;
        double sum = set.directions[audible[start]].distanceM;
        while (end < audible.size() &&
               set.directions[audible[end]].distanceM - set.directions[audible[start]].distanceM <= kSameDistanceM) {
            sum += set.directions[audible[end++]].distanceM;
        }
        report.distancesM.push_back(sum / double(end - start));
        if (end - start >= field.size()) {
            field.assign(audible.begin() + long(start), audible.begin() + long(end));
            report.distanceM = report.distancesM.back();
        }
        start = end;
    }
    report.storedDistanceM = double(std::clamp<long>(std::lround(report.distanceM * 1000.0), long(kMinDistanceMm),
                                                     long(kMaxDistanceMm))) / 1000.0;
    report.measurementsUsed = field.size();
    std::vector<Direction> directions;
    for (const std::size_t i : field) directions.push_back(set.directions[i]);
    const bool nearHorizontal = std::any_of(directions.begin(), directions.end(), [](const Direction& d) {
        return std::abs(d.elevationDeg) <= kHorizontalToleranceDeg;
    });
    if (!nearHorizontal) {
        error = "none of its measurements at " + metres(report.distanceM) + " lies within " +
                std::to_string(int(kHorizontalToleranceDeg)) + " degrees of the horizontal plane, where the tone circles";
        return {};
    }
    if (const auto uncovered = report.silentLeftOut > 0 ? uncoveredAzimuth(directions, kCoverDeg) : std::nullopt) {
        error = "only " + std::to_string(audible.size()) + " of its " + std::to_string(m) +
                " measurements are audible (the others are silent, or " + std::to_string(int(kQuietDb)) +
                " dB below the set's median): too few to cover the horizontal plane, where the tone circles "
                "(nothing within " + std::to_string(int(kCoverDeg)) + " degrees of azimuth " + std::to_string(*uncovered) + ")";
        return {};
    }

    // The grid, and the measurements it is made of; those that make a grid point alone.
    const Grid grid = layGrid(directions);
    report.fileRings = grid.fileRings;
    report.elevationCount = grid.ringAzimuths.size();
    report.hrirCount = grid.points.size();
    std::vector<char> used(field.size(), 0), alone(field.size(), 0);
    for (const std::vector<Share>& point : grid.points) {
        for (const Share& share : point) used[share.measurement] = 1;
        if (point.size() == 1) alone[point.front().measurement] = 1;
    }

    // The file's spectra on each rate's bins (one transform serves both), their diffuse-field
    // average, and what the measured pairs say in the delay band.
    const std::size_t fileSize = std::max<std::size_t>(powerOfTwoAtLeast(n) * 2, kTransformSize);
    std::vector<std::vector<double>> averagePower(ratesHz.size(), std::vector<double>(kSpectrumBins, 0.0));
    // [rate][measurement of the field][ear]: magnitudes, then their equalised logarithms.
    std::vector<std::vector<std::array<std::vector<float>, 2>>> spectra(ratesHz.size(),
                                                                        std::vector<std::array<std::vector<float>, 2>>(field.size()));
    std::vector<MeasuredPhases> phases(field.size());
    std::vector<std::array<double, 2>> toneLevels(field.size());  // each ear's magnitude at the tone
    std::vector<double> onsets(field.size(), 0.0);  // the mean of the ears' onsets, in seconds
    for (std::size_t j = 0; j < field.size(); ++j) {
        const std::size_t i = field[j];
        const auto ears = fileMagnitudes(response(i, 0), response(i, 1), n, fileSize);
        for (std::size_t r = 0; r < ratesHz.size(); ++r) {
            for (std::size_t ear = 0; ear < 2; ++ear) {
                std::vector<float> magnitude = onDatasetBins(ears[ear], set.sampleRateHz, ratesHz[r]);
                for (std::size_t k = 0; k < kSpectrumBins; ++k) averagePower[r][k] += double(magnitude[k]) * double(magnitude[k]);
                if (used[j]) spectra[r][j][ear] = std::move(magnitude);
            }
        }
        if (!used[j]) continue;
        for (std::size_t f = 0; f <= kDelayBandPoints; ++f) {
            const double hz = f < kDelayBandPoints ? delayBandHz(f) : kToneHz;
            Complex measured[2];
            for (std::size_t ear = 0; ear < 2; ++ear) {
                measured[ear] = responseAt(response(i, ear), n, set.sampleRateHz, hz) *
                                std::polar(1.0, -2.0 * std::numbers::pi * hz * set.delaysSamples[2 * i + ear] / set.sampleRateHz);
            }
            if (f == kDelayBandPoints) {
                phases[j].tone = std::arg(measured[1] * std::conj(measured[0]));
                for (std::size_t ear = 0; ear < 2; ++ear) toneLevels[j][ear] = std::abs(measured[ear]);
            } else {
                phases[j].band[f] = std::arg(measured[1] * std::conj(measured[0]));
                phases[j].weight[f] = std::abs(measured[0]) * std::abs(measured[1]);
            }
        }
        for (std::size_t ear = 0; ear < 2; ++ear) {
            onsets[j] += (onsetSamples(response(i, ear), n) + set.delaysSamples[2 * i + ear]) / set.sampleRateHz / 2.0;
        }
    }

    std::vector<Dataset> datasets;
    for (std::size_t r = 0; r < ratesHz.size(); ++r) {
        const double rate = ratesHz[r];
        // The equalisation that brings the diffuse-field average to -3 dB for each ear.
        std::vector<double> equaliser(kSpectrumBins);
        std::vector<double> typical;
        for (std::size_t k = 0; k < kSpectrumBins; ++k) {
            const double power = averagePower[r][k] / double(2 * field.size());
            equaliser[k] = power > 0.0 ? std::sqrt(0.5 / power) : std::numeric_limits<double>::infinity();
            const double hz = double(k) * rate / double(kTransformSize);
            if (hz >= 200.0 && hz <= std::min(16000.0, set.sampleRateHz / 2) && std::isfinite(equaliser[k])) typical.push_back(equaliser[k]);
        }
        if (typical.empty()) {
            error = "its responses are silent from 200 Hz to 16 kHz";
            return {};
        }
        const double maxGain = median(typical) * std::pow(10.0, kMaxBoostDb / 20.0);
        for (double& gain : equaliser) gain = std::min(gain, maxGain);

        // Each measurement the grid uses: equalised, minimum-phase, the delay between its ears;
        // the pair of a grid point it makes alone.
        const PairDesigner designer(rate, kImportTaps);
        const double toneBin = kToneHz * double(kTransformSize) / rate;
        const double toneEqualiser = std::log(std::lerp(equaliser[std::size_t(toneBin)], equaliser[std::size_t(toneBin) + 1],
                                                        toneBin - std::floor(toneBin)));
        std::vector<std::array<double, 2>> toneLogs(field.size());
        std::vector<double> delays(field.size(), 0.0);
        std::vector<FilterPair> alonePairs(field.size());
        for (std::size_t j = 0; j < field.size(); ++j) {
            if (!used[j]) continue;
            for (std::vector<float>& magnitude : spectra[r][j]) {
                for (std::size_t k = 0; k < kSpectrumBins; ++k) magnitude[k] = float(std::log(std::max(double(magnitude[k]) * equaliser[k], kFloor)));
            }
            for (std::size_t ear = 0; ear < 2; ++ear) toneLogs[j][ear] = std::log(std::max(toneLevels[j][ear], kFloor)) + toneEqualiser;
            const MinimumPhasePair pair = designer.minimumPhase(spectra[r][j][0], spectra[r][j][1]);
            delays[j] = designer.delayBetweenEars(pair, phases[j]);
            if (alone[j]) alonePairs[j] = designer.design(pair, toneLogs[j].data(), delays[j], onsets[j] * rate);
        }
        // Each grid point: its measurement's pair, or one made from the weighted mean of its
        // measurements' log-magnitudes (whose minimum phase is the same mean of theirs), delays
        // between the ears and onsets.
        std::vector<FilterPair> pairs;
        pairs.reserve(grid.points.size());
        for (const std::vector<Share>& point : grid.points) {
            if (point.size() == 1) {
                pairs.push_back(alonePairs[point.front().measurement]);
                continue;
            }
            std::array<std::vector<float>, 2> logs{std::vector<float>(kSpectrumBins, 0.0f), std::vector<float>(kSpectrumBins, 0.0f)};
            double delay = 0.0, onset = 0.0;
            double toneLog[2] = {0.0, 0.0};
            for (const Share& share : point) {
                for (std::size_t ear = 0; ear < 2; ++ear) toneLog[ear] += share.weight * toneLogs[share.measurement][ear];
                for (std::size_t ear = 0; ear < 2; ++ear) {
                    for (std::size_t k = 0; k < kSpectrumBins; ++k) logs[ear][k] += float(share.weight) * spectra[r][share.measurement][ear][k];
                }
                delay += share.weight * delays[share.measurement];
                onset += share.weight * onsets[share.measurement] * rate;
            }
            pairs.push_back(designer.design(designer.minimumPhase(logs[0], logs[1]), toneLog, delay, onset));
        }
        spectra[r].clear();

        // The set's common delay goes; a pair still later than the format holds moves earlier
        // whole. One gain for the set keeps its loudest coefficient below full scale.
        int earliest = std::numeric_limits<int>::max();
        double peak = 0.0;
        for (const FilterPair& pair : pairs) {
            earliest = std::min({earliest, pair.delays[0], pair.delays[1]});
            for (const auto& filter : pair.filters) {
                for (const double value : filter) peak = std::max(peak, std::abs(value));
            }
        }
        for (FilterPair& pair : pairs) {
            const int latest = std::max(pair.delays[0], pair.delays[1]) - earliest;
            const int shift = earliest + std::max(0, latest - int(kMaxDelaySamples));
            for (int& delay : pair.delays) delay -= shift;
        }
        const double gain = peak > kMaxPeak ? kMaxPeak / peak : 1.0;
        report.gainDb = 20.0 * std::log10(gain);

        Dataset dataset;
        dataset.format = Format::MinPhr02;
        dataset.sampleRateHz = ratesHz[r];
        dataset.sampleType = SampleType::Int24;
        dataset.channelType = ChannelType::Stereo;
        dataset.filterLength = kImportTaps;
        Field only;
        only.distanceMm = static_cast<std::uint16_t>(std::lround(report.storedDistanceM * 1000.0));
        for (const std::size_t count : grid.ringAzimuths) only.azimuthCounts.push_back(static_cast<std::uint8_t>(count));
        dataset.fields.push_back(std::move(only));
        for (const FilterPair& pair : pairs) {
            for (std::size_t tap = 0; tap < kImportTaps; ++tap) {
                for (std::size_t ear = 0; ear < 2; ++ear) {
                    const double value = std::round(pair.filters[ear][tap] * gain * kFullScale);
                    dataset.coefficients.push_back(static_cast<std::int32_t>(std::clamp(value, -kFullScale, kFullScale - 1)));
                }
            }
            for (const int delay : pair.delays) dataset.delays.push_back(static_cast<std::uint8_t>(delay));
        }
        datasets.push_back(std::move(dataset));
    }
    if (summary != nullptr) *summary = report;
    return datasets;
}

}  // namespace hrtf
