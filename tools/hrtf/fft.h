// A small in-place complex FFT (radix 2), enough for turning measured responses into the
// engine's minimum-phase filters.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace hrtf {

// The smallest power of two at or above `n` (1 for 0).
std::size_t powerOfTwoAtLeast(std::size_t n);

// Transforms `data` (its size a power of two) in place: forward computes
// X[k] = sum x[n] e^(-2 pi i k n / N); inverse the same with +i, divided by N.
void fft(std::vector<std::complex<double>>& data, bool inverse);

}  // namespace hrtf
