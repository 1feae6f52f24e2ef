// Iterative radix-2 FFT: bit-reversed order, then butterflies of growing span.
#include "tools/hrtf/fft.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace hrtf {

std::size_t powerOfTwoAtLeast(std::size_t n) {
    std::size_t size = 1;
    while (size < n) size *= 2;
    return size;
}

void fft(std::vector<std::complex<double>>& data, bool inverse) {
    const std::size_t n = data.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    for (std::size_t span = 2; span <= n; span *= 2) {
        const double angle = (inverse ? 2.0 : -2.0) * std::numbers::pi / static_cast<double>(span);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (std::size_t start = 0; start < n; start += span) {
            std::complex<double> twiddle(1.0, 0.0);
            for (std::size_t k = 0; k < span / 2; ++k) {
                const std::complex<double> a = data[start + k];
                const std::complex<double> b = data[start + k + span / 2] * twiddle;
                data[start + k] = a + b;
                data[start + k + span / 2] = a - b;
                twiddle *= step;
            }
        }
    }
    if (inverse) {
        for (auto& value : data) value /= static_cast<double>(n);
    }
}

}  // namespace hrtf
