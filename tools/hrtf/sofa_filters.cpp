// Minimum-phase pairs through the real cepstrum, both ears in one transform; the delay between
// the ears fitted in the delay band and made exact at the tone; each filter its minimum-phase
// response cut and faded, plus the faded sinusoid that holds it to the measurement at the tone.
#include "tools/hrtf/sofa_filters.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "tools/hrtf/fft.h"
#include "tools/hrtf/mhr_dataset.h"

namespace hrtf {
namespace {

using Complex = std::complex<double>;
constexpr std::size_t K = kTransformSize;

// The two real spectra whose sum with i times the other is `z`, at bin k of K.
std::pair<Complex, Complex> splitBin(const std::vector<Complex>& z, std::size_t k) {
    const Complex a = z[k];
    const Complex b = std::conj(z[(K - k) % K]);
    return {(a + b) / 2.0, (a - b) / Complex(0.0, 2.0)};
}

// An ear's minimum phase at a frequency: the imaginary part of its spectrum, which varies
// smoothly from bin to bin.
double phaseAt(const MinimumPhasePair& pair, std::size_t ear, double hz, double rateHz) {
    const double position = hz * double(K) / rateHz;
    const auto below = std::min(static_cast<std::size_t>(position), kSpectrumBins - 2);
    const double t = position - double(below);
    return (1.0 - t) * pair.ears[ear][below].imag() + t * pair.ears[ear][below + 1].imag();
}

}  // namespace

PairDesigner::PairDesigner(double rateHz, std::size_t taps) : rateHz_(rateHz), taps_(taps), fade_(taps, 1.0) {
    // Half a raised cosine over the last quarter, as the light datasets fade (mhr_dataset.h).
    const std::size_t faded = fadeLength(taps);
    for (std::size_t k = 1; k <= faded; ++k) {
        fade_[taps - faded + k - 1] = (1.0 + std::cos(std::numbers::pi * double(k) / double(faded + 1))) / 2.0;
    }
    // The faded sinusoids at the tone that hold each filter there, and their responses there.
    const double toneOmega = 2.0 * std::numbers::pi * kToneHz / rateHz;
    for (std::size_t n = 0; n < taps; ++n) {
        toneTurn_.push_back(std::polar(1.0, -toneOmega * double(n)));
        cosine_.push_back(fade_[n] * std::cos(toneOmega * double(n)));
        sine_.push_back(fade_[n] * std::sin(toneOmega * double(n)));
    }
    cosineAtTone_ = atTone(cosine_);
    sineAtTone_ = atTone(sine_);
}

std::complex<double> PairDesigner::atTone(const std::vector<double>& filter) const {
    Complex sum = 0.0;
    for (std::size_t n = 0; n < filter.size(); ++n) sum += filter[n] * toneTurn_[n];
    return sum;
}

MinimumPhasePair PairDesigner::minimumPhase(const std::vector<float>& leftLog, const std::vector<float>& rightLog) const {
    // The real cepstra of both ears, the left's in the real part and the right's in the
    // imaginary one; their anticausal halves folded onto the causal ones.
    std::vector<Complex> z(K);
    for (std::size_t k = 0; k < K; ++k) {
        const std::size_t bin = k <= K / 2 ? k : K - k;
        z[k] = Complex(leftLog[bin], rightLog[bin]);
    }
    fft(z, true);
    for (std::size_t n = 1; n < K / 2; ++n) {
        z[n] *= 2.0;
        z[K - n] = 0.0;
    }
    fft(z, false);
    MinimumPhasePair pair;
    pair.ears[0].resize(kSpectrumBins);
    pair.ears[1].resize(kSpectrumBins);
    for (std::size_t k = 0; k < kSpectrumBins; ++k) std::tie(pair.ears[0][k], pair.ears[1][k]) = splitBin(z, k);
    return pair;
}

double PairDesigner::delayBetweenEars(const MinimumPhasePair& pair, const MeasuredPhases& measured) const {
    // What the delay must add at a frequency: the filters' own phase between the ears there
    // less the measured one.
    const auto filterPhase = [&](double hz) { return phaseAt(pair, 1, hz, rateHz_) - phaseAt(pair, 0, hz, rateHz_); };
    double needed[kDelayBandPoints];
    double omega[kDelayBandPoints];
    for (std::size_t i = 0; i < kDelayBandPoints; ++i) {
        needed[i] = filterPhase(delayBandHz(i)) - measured.band[i];
        omega[i] = 2.0 * std::numbers::pi * delayBandHz(i) / rateHz_;
    }
    // The whole sample that fits best (the weighted sum of 1 - cos(needed - omega delay), each
    // frequency's phasor turned a sample at a time), then Newton's steps to the best fraction.
    Complex phasor[kDelayBandPoints], turn[kDelayBandPoints];
    for (std::size_t i = 0; i < kDelayBandPoints; ++i) {
        phasor[i] = std::polar(measured.weight[i], needed[i] + omega[i] * double(kMaxDelaySamples));
        turn[i] = std::polar(1.0, -omega[i]);
    }
    double best = 0.0;
    double bestCost = std::numeric_limits<double>::infinity();
    for (int delay = -int(kMaxDelaySamples); delay <= int(kMaxDelaySamples); ++delay) {
        double cost = 0.0;
        for (std::size_t i = 0; i < kDelayBandPoints; ++i) {
            cost += measured.weight[i] - phasor[i].real();
            phasor[i] *= turn[i];
        }
        if (cost < bestCost) {
            bestCost = cost;
            best = delay;
        }
    }
    for (int step = 0; step < 8; ++step) {
        double slope = 0.0, curvature = 0.0;
        for (std::size_t i = 0; i < kDelayBandPoints; ++i) {
            const double angle = needed[i] - omega[i] * best;
            slope -= measured.weight[i] * omega[i] * std::sin(angle);
            curvature += measured.weight[i] * omega[i] * omega[i] * std::cos(angle);
        }
        if (curvature <= 0.0) break;
        best -= std::clamp(slope / curvature, -0.5, 0.5);
    }
    // Then to the nearest delay that is exact at the tone.
    const double toneOmega = 2.0 * std::numbers::pi * kToneHz / rateHz_;
    return best + std::remainder(filterPhase(kToneHz) - measured.tone - toneOmega * best, 2.0 * std::numbers::pi) / toneOmega;
}

FilterPair PairDesigner::design(const MinimumPhasePair& pair, const double toneLog[2], double delaySamples,
                                double onsetSamples) const {
    const std::size_t later = delaySamples >= 0.0 ? 1 : 0;
    const double between = std::abs(delaySamples);
    const double whole = std::floor(between);
    const double fraction = between - whole;
    // Both ears' responses in one transform (each spectrum Hermitian, so each response real):
    // minimum-phase, the later ear's delayed by the fraction.
    std::vector<Complex> z(K);
    const Complex step = std::polar(1.0, -2.0 * std::numbers::pi * fraction / double(K));
    Complex shift = 1.0;  // e^(-2 pi i k fraction / K)
    for (std::size_t k = 0; k < kSpectrumBins; ++k, shift *= step) {
        Complex ears[2] = {std::exp(pair.ears[0][k]), std::exp(pair.ears[1][k])};
        ears[later] *= shift;
        if (k == K / 2) ears[0] = ears[0].real(), ears[1] = ears[1].real();
        z[k] = ears[0] + Complex(0.0, 1.0) * ears[1];
        if (k > 0 && k < K / 2) z[K - k] = std::conj(ears[0]) + Complex(0.0, 1.0) * std::conj(ears[1]);
    }
    fft(z, true);
    const double toneOmega = 2.0 * std::numbers::pi * kToneHz / rateHz_;
    const double determinant = cosineAtTone_.real() * sineAtTone_.imag() - sineAtTone_.real() * cosineAtTone_.imag();
    FilterPair result;
    for (std::size_t ear = 0; ear < 2; ++ear) {
        // The first taps, the tail faded out; then the faded sinusoid at the tone that brings
        // the response there to the level given, the minimum phase and the fraction's delay.
        std::vector<double>& h = result.filters[ear];
        h.resize(taps_);
        for (std::size_t n = 0; n < taps_; ++n) h[n] = fade_[n] * (ear == 0 ? z[n].real() : z[n].imag());
        const double phase = phaseAt(pair, ear, kToneHz, rateHz_) - (ear == later ? toneOmega * fraction : 0.0);
        const Complex missing = std::polar(std::exp(toneLog[ear]), phase) - atTone(h);
        const double a = (missing.real() * sineAtTone_.imag() - sineAtTone_.real() * missing.imag()) / determinant;
        const double b = (cosineAtTone_.real() * missing.imag() - missing.real() * cosineAtTone_.imag()) / determinant;
        for (std::size_t n = 0; n < taps_; ++n) h[n] += a * cosine_[n] + b * sine_[n];
    }
    // The earlier ear around the mean onset, the later one whole samples after it.
    result.delays[1 - later] = int(std::lround(onsetSamples - between / 2.0));
    result.delays[later] = result.delays[1 - later] + int(whole);
    return result;
}

}  // namespace hrtf
