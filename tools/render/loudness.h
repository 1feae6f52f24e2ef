// Integrated loudness of a stereo render (ITU-R BS.1770, as EBU R128 uses it): K-weighting,
// 400 ms blocks overlapping by 75%, an absolute gate at -70 LUFS and a relative one 10 LU
// below the gated mean.
#pragma once

#include <cstdint>
#include <vector>

namespace render {

class LoudnessMeter {
public:
    explicit LoudnessMeter(int rateHz);

    // Takes frames of interleaved 16-bit stereo samples.
    void Add(const std::int16_t* samples, int frames);

    // The integrated loudness in LUFS; minus infinity for less than one block, or silence.
    double IntegratedLufs() const;

private:
    struct Biquad {
        double b0, b1, b2, a1, a2;
        double z1[2] = {0, 0}, z2[2] = {0, 0}; // per channel
        double Step(double x, int channel);
    };
    Biquad shelf_;
    Biquad highPass_;
    int segmentFrames_;  // 100 ms: a quarter of a block
    int inSegment_ = 0;
    double segmentSum_ = 0.0;
    std::vector<double> segments_; // mean square of each whole 100 ms, both channels summed
};

} // namespace render
