// BS.1770 loudness: the two K-weighting stages designed for the rate by the bilinear
// transform of the standard's analogue filters, then the gated mean of the block powers.
#include "tools/render/loudness.h"

#include <cmath>
#include <limits>
#include <numbers>

namespace render {
namespace {

// The standard's K-weighting, as analogue prototypes: a high shelf of about +4 dB above
// 1.7 kHz (the head), then a high pass at 38 Hz (RLB weighting).
constexpr double shelfHz = 1681.974450955533;
constexpr double shelfGainDb = 3.999843853973347;
constexpr double shelfQ = 0.7071752369554196;
constexpr double highPassHz = 38.13547087602444;
constexpr double highPassQ = 0.5003270373238773;
constexpr double blockSegments = 4;        // 400 ms in 100 ms steps
constexpr double absoluteGateLufs = -70.0;
constexpr double relativeGateLu = -10.0;
constexpr double offsetDb = -0.691;        // 0 dBFS at 1 kHz in one channel reads -3.01 LUFS

double Loudness(double meanSquare)
{
    return offsetDb + 10.0 * std::log10(meanSquare);
}

} // namespace

double LoudnessMeter::Biquad::Step(double x, int channel)
{
    // Transposed direct form II.
    const double y = b0 * x + z1[channel];
    z1[channel] = b1 * x - a1 * y + z2[channel];
    z2[channel] = b2 * x - a2 * y;
    return y;
}

LoudnessMeter::LoudnessMeter(int rateHz) : segmentFrames_(rateHz / 10)
{
    const double k = std::tan(std::numbers::pi * shelfHz / rateHz);
    const double vh = std::pow(10.0, shelfGainDb / 20.0);
    const double vb = std::pow(vh, 0.4996667741545416);
    const double a0 = 1.0 + k / shelfQ + k * k;
    shelf_ = {(vh + vb * k / shelfQ + k * k) / a0, 2.0 * (k * k - vh) / a0, (vh - vb * k / shelfQ + k * k) / a0,
              2.0 * (k * k - 1.0) / a0, (1.0 - k / shelfQ + k * k) / a0};
    const double h = std::tan(std::numbers::pi * highPassHz / rateHz);
    const double h0 = 1.0 + h / highPassQ + h * h;
    highPass_ = {1.0, -2.0, 1.0, 2.0 * (h * h - 1.0) / h0, (1.0 - h / highPassQ + h * h) / h0};
}

void LoudnessMeter::Add(const std::int16_t* samples, int frames)
{
    for (int frame = 0; frame < frames; ++frame) {
        for (int channel = 0; channel < 2; ++channel) {
            const double x = samples[2 * frame + channel] / 32768.0;
            const double y = highPass_.Step(shelf_.Step(x, channel), channel);
            segmentSum_ += y * y;
        }
        if (++inSegment_ == segmentFrames_) {
            segments_.push_back(segmentSum_ / segmentFrames_);
            segmentSum_ = 0.0;
            inSegment_ = 0;
        }
    }
}

double LoudnessMeter::IntegratedLufs() const
{
    std::vector<double> blocks;
    for (std::size_t end = static_cast<std::size_t>(blockSegments); end <= segments_.size(); ++end) {
        double sum = 0.0;
        for (std::size_t i = end - static_cast<std::size_t>(blockSegments); i < end; ++i)
            sum += segments_[i];
        blocks.push_back(sum / blockSegments);
    }
    const auto gatedMean = [&blocks](double gateLufs) {
        double sum = 0.0;
        int count = 0;
        for (const double block : blocks) {
            if (block > 0.0 && Loudness(block) > gateLufs) {
                sum += block;
                ++count;
            }
        }
        return count > 0 ? sum / count : 0.0;
    };
    const double absolute = gatedMean(absoluteGateLufs);
    if (absolute <= 0.0)
        return -std::numeric_limits<double>::infinity();
    return Loudness(gatedMean(Loudness(absolute) + relativeGateLu));
}

} // namespace render
