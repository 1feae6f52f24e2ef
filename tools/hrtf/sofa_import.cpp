// From a SOFA file's measured responses to the engine's datasets: one distance taken, the
// engine's grid laid over the measurements, and each response made minimum-phase at each rate,
// with its own delay.
#include "tools/hrtf/sofa_import.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <map>
#include <numbers>

#include "tools/hrtf/fft.h"

namespace hrtf {
namespace {

using Complex = std::complex<double>;

constexpr double kDegrees = 180.0 / std::numbers::pi;
// Directions closer than this count as one (elevations of a ring, azimuths in it).
constexpr double kSameAngleDeg = 0.5;
// Distances closer than this count as one measuring distance.
constexpr double kSameDistanceM = 0.01;
// The engine's limits on the grid: 5 to 128 elevations (an odd count keeps the horizontal
// plane on the grid), 1 to 128 azimuths each.
constexpr std::size_t kMaxGridElevations = 127;
constexpr std::size_t kMaxGridAzimuths = 128;
// The size of the transforms at the engine's rate: fine enough that the cepstrum of the
// deepest notches hardly folds over.
constexpr std::size_t kTransformSize = 4096;
// The diffuse-field equalisation boosts no frequency more than this above its typical gain
// (the median from 200 Hz to 16 kHz), where the measuring system had next to nothing.
constexpr double kMaxBoostDb = 12.0;
// The band in which the delay between the ears is matched to the measured phase.
constexpr double kDelayBandLowHz = 150.0;
constexpr double kDelayBandHighHz = 1500.0;
constexpr double kDelayBandStepHz = 25.0;
// A filter's onset: its first sample at a tenth of its peak.
constexpr double kOnsetFraction = 0.1;
// The loudest coefficient after the gain, against full scale.
constexpr double kMaxPeak = 0.98;
constexpr double kFullScale = 8388608.0;  // 24-bit

std::string number(double value, int decimals = 1) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

struct Vector3 {
    double x, y, z;
};

Vector3 unitVector(double azimuthCwDeg, double elevationDeg) {
    const double az = azimuthCwDeg / kDegrees;
    const double el = elevationDeg / kDegrees;
    return {std::cos(el) * std::cos(az), -std::cos(el) * std::sin(az), std::sin(el)};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Sorted values with those closer than `tolerance` to the previous kept one merged.
std::vector<double> distinct(std::vector<double> values, double tolerance) {
    std::sort(values.begin(), values.end());
    std::vector<double> kept;
    for (const double value : values) {
        if (kept.empty() || value - kept.back() > tolerance) kept.push_back(value);
    }
    return kept;
}

// How many equal steps a ring of measured azimuths (0 to 360) is made of: 360 over the
// median gap between neighbours, the gap across 0 included.
std::size_t ringCount(const std::vector<double>& azimuths) {
    std::vector<double> kept = distinct(azimuths, kSameAngleDeg);
    if (kept.size() > 1 && kept.back() - kept.front() > 360.0 - kSameAngleDeg) kept.pop_back();
    if (kept.size() <= 1) return 1;
    std::vector<double> gaps;
    for (std::size_t i = 1; i < kept.size(); ++i) gaps.push_back(kept[i] - kept[i - 1]);
    gaps.push_back(kept.front() + 360.0 - kept.back());
    return static_cast<std::size_t>(std::clamp(std::round(360.0 / median(gaps)), 1.0, double(kMaxGridAzimuths)));
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

// One measured response's magnitude on the engine's frequency grid at `rateHz`
// (kTransformSize / 2 + 1 bins): the file's spectrum, zero-padded and interpolated; held at
// its last value above the file's Nyquist frequency.
std::vector<double> magnitudeAt(const float* samples, std::size_t taps, double fileRateHz, double rateHz) {
    const std::size_t size = std::max<std::size_t>(powerOfTwoAtLeast(taps) * 2, kTransformSize);
    std::vector<Complex> spectrum(size);
    for (std::size_t n = 0; n < taps; ++n) spectrum[n] = samples[n];
    fft(spectrum, false);
    std::vector<double> magnitude(kTransformSize / 2 + 1);
    for (std::size_t k = 0; k < magnitude.size(); ++k) {
        const double position =
            std::min(double(k) * rateHz / double(kTransformSize) / fileRateHz * double(size), double(size / 2));
        const auto below = static_cast<std::size_t>(position);
        const std::size_t above = std::min(below + 1, size / 2);
        const double t = position - double(below);
        magnitude[k] = (1.0 - t) * std::abs(spectrum[below]) + t * std::abs(spectrum[above]);
    }
    return magnitude;
}

// The minimum-phase filter of `taps` taps with a magnitude response (kTransformSize / 2 + 1
// bins), through the real cepstrum; its last quarter fades out with half a raised cosine.
std::vector<double> minimumPhase(const std::vector<double>& magnitude, std::size_t taps) {
    constexpr double kFloor = 1e-7;  // -140 dB
    std::vector<Complex> cepstrum(kTransformSize);
    for (std::size_t k = 0; k < kTransformSize; ++k) {
        const std::size_t bin = k <= kTransformSize / 2 ? k : kTransformSize - k;
        cepstrum[k] = std::log(std::max(magnitude[bin], kFloor));
    }
    fft(cepstrum, true);
    // Fold the anticausal half onto the causal one.
    for (std::size_t n = 1; n < kTransformSize / 2; ++n) {
        cepstrum[n] = 2.0 * cepstrum[n].real();
        cepstrum[kTransformSize - n] = 0.0;
    }
    cepstrum[0] = cepstrum[0].real();
    cepstrum[kTransformSize / 2] = cepstrum[kTransformSize / 2].real();
    fft(cepstrum, false);
    for (auto& value : cepstrum) value = std::exp(value);
    fft(cepstrum, true);
    std::vector<double> filter(taps);
    const std::size_t fade = fadeLength(taps);
    for (std::size_t n = 0; n < taps; ++n) {
        double weight = 1.0;
        if (n >= taps - fade) {
            const double k = double(n - (taps - fade) + 1);
            weight = (1.0 + std::cos(std::numbers::pi * k / double(fade + 1))) / 2.0;
        }
        filter[n] = cepstrum[n].real() * weight;
    }
    return filter;
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

std::vector<Dataset> importMeasuredSet(const MeasuredSet& set, std::span<const std::uint32_t> ratesHz,
                                       std::string& error, ImportSummary* summary) {
    ImportSummary report;
    const std::size_t m = set.directions.size();
    const std::size_t n = set.taps;

    // One distance: the one most measured, the farthest of equals.
    std::vector<std::size_t> byDistance(m);
    for (std::size_t i = 0; i < m; ++i) byDistance[i] = i;
    std::sort(byDistance.begin(), byDistance.end(),
              [&](std::size_t a, std::size_t b) { return set.directions[a].distanceM < set.directions[b].distanceM; });
    std::vector<std::size_t> field;
    for (std::size_t start = 0; start < m;) {
        std::size_t end = start + 1;
        while (end < m && set.directions[byDistance[end]].distanceM - set.directions[byDistance[start]].distanceM <=
                              kSameDistanceM) {
            ++end;
        }
        ++report.distanceCount;
        if (end - start >= field.size()) field.assign(byDistance.begin() + long(start), byDistance.begin() + long(end));
        start = end;
    }
    double distanceSum = 0.0;
    for (const std::size_t i : field) distanceSum += set.directions[i].distanceM;
    report.distanceM = distanceSum / double(field.size());
    report.measurementsUsed = field.size();
    const bool nearHorizontal = std::any_of(field.begin(), field.end(), [&](std::size_t i) {
        return std::abs(set.directions[i].elevationDeg) <= kHorizontalToleranceDeg;
    });
    if (!nearHorizontal) {
        error = "none of its measurements at " + number(report.distanceM, 2) + " m lies within " +
                number(kHorizontalToleranceDeg, 0) + " degrees of the horizontal plane, where the tone circles";
        return {};
    }

    // The grid: elevations as finely spaced as the measured ones, an odd count so that the
    // horizontal plane is on it; each ring as many azimuths as measured there (or near it),
    // the horizontal one a multiple of 4 so that ahead, right, behind and left are on it.
    std::vector<double> elevations;
    for (const std::size_t i : field) elevations.push_back(set.directions[i].elevationDeg);
    const std::vector<double> measuredElevations = distinct(elevations, kSameAngleDeg);
    std::vector<double> gaps;
    for (std::size_t i = 1; i < measuredElevations.size(); ++i) gaps.push_back(measuredElevations[i] - measuredElevations[i - 1]);
    const double measuredStep = gaps.empty() ? 45.0 : median(gaps);
    const std::size_t elevationCount = std::clamp<std::size_t>(
        2 * static_cast<std::size_t>(std::round(90.0 / measuredStep)) + 1, kMinElevationCount, kMaxGridElevations);
    const double ringStep = 180.0 / double(elevationCount - 1);
    std::vector<std::size_t> ringAzimuths(elevationCount, 0);
    for (std::size_t ring = 0; ring < elevationCount; ++ring) {
        const double elevation = -90.0 + ringStep * double(ring);
        std::vector<double> azimuths;
        for (const std::size_t i : field) {
            if (std::abs(set.directions[i].elevationDeg - elevation) <= ringStep / 2) azimuths.push_back(set.directions[i].azimuthDeg);
        }
        if (!azimuths.empty()) ringAzimuths[ring] = ringCount(azimuths);
    }
    const std::vector<std::size_t> measuredRings = ringAzimuths;
    for (std::size_t ring = 0; ring < elevationCount; ++ring) {
        const double elevation = -90.0 + ringStep * double(ring);
        if (ring == 0 || ring + 1 == elevationCount) {
            ringAzimuths[ring] = 1;
        } else if (ringAzimuths[ring] == 0) {
            // No measurement near this ring: as many as the nearest measured ring, for its circumference.
            for (std::size_t step = 1; step < elevationCount; ++step) {
                for (const std::size_t other : {ring - std::min(ring, step), std::min(ring + step, elevationCount - 1)}) {
                    const double otherElevation = -90.0 + ringStep * double(other);
                    if (ringAzimuths[ring] == 0 && measuredRings[other] > 0 && other != 0 && other + 1 != elevationCount) {
                        const double scaled = double(measuredRings[other]) * std::cos(elevation / kDegrees) /
                                              std::cos(otherElevation / kDegrees);
                        ringAzimuths[ring] = std::clamp<std::size_t>(std::size_t(std::round(scaled)), 1, kMaxGridAzimuths);
                    }
                }
                if (ringAzimuths[ring] > 0) break;
            }
            if (ringAzimuths[ring] == 0) ringAzimuths[ring] = 1;
        }
        if (2 * ring + 1 == elevationCount) ringAzimuths[ring] = std::min<std::size_t>((ringAzimuths[ring] + 3) / 4 * 4, kMaxGridAzimuths);
    }
    report.elevationCount = elevationCount;

    // Each grid point takes the nearest measurement.
    std::vector<Vector3> measured;
    for (const std::size_t i : field) measured.push_back(unitVector(set.directions[i].azimuthDeg, set.directions[i].elevationDeg));
    std::vector<std::size_t> gridMeasurement;  // index into the set, for each HRIR in order
    for (std::size_t ring = 0; ring < elevationCount; ++ring) {
        for (std::size_t a = 0; a < ringAzimuths[ring]; ++a) {
            const Vector3 point = unitVector(360.0 * double(a) / double(ringAzimuths[ring]), -90.0 + ringStep * double(ring));
            std::size_t best = 0;
            double bestDot = -2.0;
            for (std::size_t j = 0; j < measured.size(); ++j) {
                const double dot = point.x * measured[j].x + point.y * measured[j].y + point.z * measured[j].z;
                if (dot > bestDot) {
                    bestDot = dot;
                    best = j;
                }
            }
            gridMeasurement.push_back(field[best]);
        }
    }
    report.hrirCount = gridMeasurement.size();

    const auto response = [&](std::size_t measurement, std::size_t ear) {
        return set.responses.data() + (measurement * 2 + ear) * n;
    };
    std::vector<Dataset> datasets;
    for (const std::uint32_t datasetRateHz : ratesHz) {
        const double rate = datasetRateHz;
        // The diffuse-field average over the distance's measurements, and the equalisation
        // that brings it to -3 dB for each ear.
        std::vector<double> averagePower(kTransformSize / 2 + 1, 0.0);
        for (const std::size_t i : field) {
            for (std::size_t ear = 0; ear < 2; ++ear) {
                const std::vector<double> magnitude = magnitudeAt(response(i, ear), n, set.sampleRateHz, rate);
                for (std::size_t k = 0; k < magnitude.size(); ++k) averagePower[k] += magnitude[k] * magnitude[k];
            }
        }
        std::vector<double> equaliser(averagePower.size());
        std::vector<double> typical;
        for (std::size_t k = 0; k < averagePower.size(); ++k) {
            averagePower[k] /= double(2 * field.size());
            equaliser[k] = averagePower[k] > 0.0 ? std::sqrt(0.5 / averagePower[k]) : std::numeric_limits<double>::infinity();
            const double hz = double(k) * rate / double(kTransformSize);
            if (hz >= 200.0 && hz <= std::min(16000.0, set.sampleRateHz / 2) && std::isfinite(equaliser[k])) typical.push_back(equaliser[k]);
        }
        if (typical.empty()) {
            error = "its responses are silent from 200 Hz to 16 kHz";
            return {};
        }
        const double maxGain = median(typical) * std::pow(10.0, kMaxBoostDb / 20.0);
        for (double& gain : equaliser) gain = std::min(gain, maxGain);

        // Each measurement the grid uses, made minimum-phase with the delay that keeps the
        // phase between the ears in the delay band.
        struct Pair {
            std::vector<double> filters[2];
            int delays[2] = {0, 0};
        };
        std::map<std::size_t, Pair> pairs;
        double peak = 0.0;
        for (const std::size_t i : gridMeasurement) {
            if (pairs.count(i) != 0) continue;
            Pair pair;
            for (std::size_t ear = 0; ear < 2; ++ear) {
                std::vector<double> magnitude = magnitudeAt(response(i, ear), n, set.sampleRateHz, rate);
                for (std::size_t k = 0; k < magnitude.size(); ++k) magnitude[k] *= equaliser[k];
                pair.filters[ear] = minimumPhase(magnitude, kImportTaps);
                for (const double value : pair.filters[ear]) peak = std::max(peak, std::abs(value));
            }
            // The whole-sample delay of the right ear behind the left that best keeps the
            // measured phase difference, weighted by the level both ears hear.
            std::vector<std::pair<double, double>> targets;  // (phase left, weight) per band frequency
            std::vector<double> filterPhases;
            for (double hz = kDelayBandLowHz; hz <= kDelayBandHighHz && hz < std::min(rate, set.sampleRateHz) / 2;
                 hz += kDelayBandStepHz) {
                Complex ears[2];
                Complex made[2];
                for (std::size_t ear = 0; ear < 2; ++ear) {
                    ears[ear] = responseAt(response(i, ear), n, set.sampleRateHz, hz) *
                                std::polar(1.0, -2.0 * std::numbers::pi * hz * set.delaysSamples[2 * i + ear] / set.sampleRateHz);
                    std::vector<float> filter(pair.filters[ear].begin(), pair.filters[ear].end());
                    made[ear] = responseAt(filter.data(), filter.size(), rate, hz);
                }
                targets.emplace_back(std::arg(ears[1] * std::conj(ears[0])), std::abs(ears[0]) * std::abs(ears[1]));
                filterPhases.push_back(std::arg(made[1] * std::conj(made[0])));
            }
            int bestDelay = 0;
            double bestCost = std::numeric_limits<double>::infinity();
            for (int delay = -int(kMaxDelaySamples); delay <= int(kMaxDelaySamples); ++delay) {
                double cost = 0.0;
                for (std::size_t f = 0; f < targets.size(); ++f) {
                    const double hz = kDelayBandLowHz + kDelayBandStepHz * double(f);
                    const double modelled = filterPhases[f] - 2.0 * std::numbers::pi * hz * double(delay) / rate;
                    cost += targets[f].second * (1.0 - std::cos(targets[f].first - modelled));
                }
                if (cost < bestCost) {
                    bestCost = cost;
                    bestDelay = delay;
                }
            }
            // Around the mean of the two ears' onsets.
            double onsetSum = 0.0;
            for (std::size_t ear = 0; ear < 2; ++ear) {
                onsetSum += (onsetSamples(response(i, ear), n) + set.delaysSamples[2 * i + ear]) / set.sampleRateHz * rate;
            }
            pair.delays[0] = int(std::lround(onsetSum / 2.0 - double(bestDelay) / 2.0));
            pair.delays[1] = pair.delays[0] + bestDelay;
            pairs.emplace(i, std::move(pair));
        }
        // The set's common delay goes; a pair still later than the format holds moves earlier whole.
        int earliest = std::numeric_limits<int>::max();
        for (const auto& [i, pair] : pairs) earliest = std::min({earliest, pair.delays[0], pair.delays[1]});
        for (auto& [i, pair] : pairs) {
            const int latest = std::max(pair.delays[0], pair.delays[1]) - earliest;
            const int shift = earliest + std::max(0, latest - int(kMaxDelaySamples));
            for (int& delay : pair.delays) delay -= shift;
        }
        const double gain = peak > kMaxPeak ? kMaxPeak / peak : 1.0;
        report.gainDb = 20.0 * std::log10(gain);

        Dataset dataset;
        dataset.format = Format::MinPhr02;
        dataset.sampleRateHz = datasetRateHz;
        dataset.sampleType = SampleType::Int24;
        dataset.channelType = ChannelType::Stereo;
        dataset.filterLength = kImportTaps;
        Field only;
        only.distanceMm = static_cast<std::uint16_t>(
            std::clamp<long>(std::lround(report.distanceM * 1000.0), long(kMinDistanceMm), long(kMaxDistanceMm)));
        for (const std::size_t count : ringAzimuths) only.azimuthCounts.push_back(static_cast<std::uint8_t>(count));
        dataset.fields.push_back(std::move(only));
        for (const std::size_t i : gridMeasurement) {
            const Pair& pair = pairs.at(i);
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
