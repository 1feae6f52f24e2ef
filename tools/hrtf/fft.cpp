// Iterative radix-2 FFT: bit-reversed order, then butterflies of growing span, with each size's
// twiddle factors computed once.
#include "tools/hrtf/fft.h"

#include <cmath>
#include <map>
#include <numbers>
#include <utility>

namespace hrtf {
namespace {

// e^(-2 pi i k / n) for k below n / 2: one table for each size used on a thread.
const std::vector<std::complex<double>>& twiddles(std::size_t n) {
    thread_local std::map<std::size_t, std::vector<std::complex<double>>> tables;
    std::vector<std::complex<double>>& table = tables[n];
    if (table.empty()) {
        for (std::size_t k = 0; k < n / 2; ++k) table.push_back(std::polar(1.0, -2.0 * std::numbers::pi * double(k) / double(n)));
    }
    return table;
}

}  // namespace

std::size_t powerOfTwoAtLeast(std::size_t n) {
    std::size_t size = 1;
    while (size < n) size *= 2;
    return size;
}

void fft(std::vector<std::complex<double>>& data, bool inverse) {
    const std::size_t n = data.size();
    if (n < 2) return;
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    const std::vector<std::complex<double>>& table = twiddles(n);
    const double sign = inverse ? -1.0 : 1.0;
    for (std::size_t span = 2; span <= n; span *= 2) {
        const std::size_t half = span / 2;
        const std::size_t stride = n / span;
        for (std::size_t start = 0; start < n; start += span) {
            std::complex<double>* a = data.data() + start;
            std::complex<double>* b = a + half;
            for (std::size_t k = 0; k < half; ++k) {
                // The product written out: std::complex's checks for infinities cost as much again.
                const double wr = table[k * stride].real();
                const double wi = sign * table[k * stride].imag();
                const double br = b[k].real() * wr - b[k].imag() * wi;
                const double bi = b[k].real() * wi + b[k].imag() * wr;
                b[k] = {a[k].real() - br, a[k].imag() - bi};
                a[k] = {a[k].real() + br, a[k].imag() + bi};
            }
        }
    }
    if (inverse) {
        for (auto& value : data) value /= static_cast<double>(n);
    }
}

}  // namespace hrtf
