// The filters of an imported dataset: each direction's pair of ears made minimum-phase at the
// dataset's rate and cut to a few taps, which alone moves the level between the ears at low
// frequencies by 1-3 dB; so each filter is held to the measured response at the tone, and the
// delay between the ears is fitted there, its fraction of a sample kept in the later ear's filter.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace hrtf {

// The size of the transforms at the dataset's rate: fine enough that the cepstrum of the
// deepest notches hardly folds over.
inline constexpr std::size_t kTransformSize = 4096;
inline constexpr std::size_t kSpectrumBins = kTransformSize / 2 + 1;

// The tone orbit-tone plays: a loop of 100 frames at 44100 Hz. Each filter holds the measured
// response at its frequency.
inline constexpr double kToneHz = 441.0;

// The band in which the delay between the ears is fitted to the measured phase between them:
// around the tone's 441 Hz, low enough that the phase follows the delay closely.
inline constexpr double kDelayBandLowHz = 150.0;
inline constexpr double kDelayBandHighHz = 700.0;
inline constexpr double kDelayBandStepHz = 25.0;
inline constexpr std::size_t kDelayBandPoints = std::size_t((kDelayBandHighHz - kDelayBandLowHz) / kDelayBandStepHz) + 1;
inline double delayBandHz(std::size_t i) { return kDelayBandLowHz + kDelayBandStepHz * double(i); }

// The measured phase between the ears (right ahead of left, rad) at each frequency of the delay
// band, with its weight there (the product of the ears' levels), and at the tone.
struct MeasuredPhases {
    double band[kDelayBandPoints] = {};
    double weight[kDelayBandPoints] = {};
    double tone = 0.0;
};

// Both ears' minimum-phase spectra, log-magnitude plus i times phase, kSpectrumBins each.
struct MinimumPhasePair {
    std::vector<std::complex<double>> ears[2];
};

// One direction's filters and delays (whole samples, before the set's common delay goes).
struct FilterPair {
    std::vector<double> filters[2];
    int delays[2] = {0, 0};
};

// Designs the pairs of one dataset: filters of `taps` taps at `rateHz`.
class PairDesigner {
public:
    PairDesigner(double rateHz, std::size_t taps);

    // The minimum-phase spectra with these natural-log magnitudes (kSpectrumBins each).
    MinimumPhasePair minimumPhase(const std::vector<float>& leftLog, const std::vector<float>& rightLog) const;

    // The delay of the right ear behind the left, in samples at the dataset's rate, that with
    // the minimum-phase filters gives the measured phase between the ears at the tone: of the
    // delays that do, the one nearest the best fit over the delay band.
    double delayBetweenEars(const MinimumPhasePair& pair, const MeasuredPhases& measured) const;

    // The pair for a direction: each ear's minimum-phase response cut to `taps` taps, its tail
    // faded, and held at kToneHz to the level `toneLog` (natural log of the magnitude) and the
    // minimum phase; the delay between the ears whole samples apart plus the fraction in the
    // later ear's filter, around `onsetSamples`.
    FilterPair design(const MinimumPhasePair& pair, const double toneLog[2], double delaySamples, double onsetSamples) const;

private:
    // A filter's response at the tone.
    std::complex<double> atTone(const std::vector<double>& filter) const;

    double rateHz_;
    std::size_t taps_;
    std::vector<double> fade_;  // the weight of each tap
    std::vector<std::complex<double>> toneTurn_;  // e^(-i omega n), omega the tone's
    std::vector<double> cosine_, sine_;           // faded sinusoids at the tone
    std::complex<double> cosineAtTone_, sineAtTone_;
};

}  // namespace hrtf
