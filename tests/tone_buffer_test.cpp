// The tone buffer: its format and description, and the samples it holds.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "tone/tone_buffer.h"

namespace {

std::int16_t SampleAt(const std::vector<unsigned char>& bytes, std::size_t index)
{
    return static_cast<std::int16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
}

class ToneBufferTest : public ::testing::Test {
protected:
    void SetUp() override { DescribeToneBuffer(format, description); }

    // Fills a region of the given length inside a larger one marked with 0xAB.
    std::vector<unsigned char> Fill(DWORD regionBytes, std::size_t totalBytes)
    {
        std::vector<unsigned char> bytes(totalBytes, 0xAB);
        FillSineTone(bytes.data(), regionBytes, format);
        return bytes;
    }

    WAVEFORMATEXTENSIBLE format;
    DSBUFFERDESC description;
};

TEST_F(ToneBufferTest, DescribesA200ByteMono16BitSoftware3DBuffer)
{
    EXPECT_EQ(format.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(format.Format.nChannels, 1);
    EXPECT_EQ(format.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(format.Format.nAvgBytesPerSec, 88200u);
    EXPECT_EQ(format.Format.nBlockAlign, 2);
    EXPECT_EQ(format.Format.wBitsPerSample, 16);
    EXPECT_EQ(format.Format.cbSize, 22);
    EXPECT_EQ(format.Samples.wValidBitsPerSample, 16);
    EXPECT_EQ(format.dwChannelMask, 0u);
    EXPECT_TRUE(format.SubFormat == KSDATAFORMAT_SUBTYPE_PCM);

    // 36 bytes on 32-bit targets, 40 on 64-bit: the size the sound service accepts there.
    EXPECT_EQ(description.dwSize, sizeof(void*) == 8 ? 40u : 36u);
    EXPECT_EQ(description.dwFlags, 0x18u);
    EXPECT_EQ(description.dwBufferBytes, 200u);
    EXPECT_EQ(description.dwReserved, 0u);
    EXPECT_EQ(description.lpwfxFormat, &format.Format);
    EXPECT_TRUE(description.guid3DAlgorithm == DS3DALG_DEFAULT);
}

TEST_F(ToneBufferTest, HoldsOneBufferOfTheSineAtHalfScale)
{
    const auto bytes = Fill(200, 204);
    const std::array<std::pair<std::size_t, int>, 8> tellingValues = {
        {{0, 0}, {1, 1026}, {2, 2048}, {25, 16383}, {50, 116}, {51, -909}, {75, -16382}, {99, -1259}}};
    for (const auto& [frame, value] : tellingValues)
        EXPECT_EQ(SampleAt(bytes, frame), value) << "frame " << frame;

    int highest = INT16_MIN;
    int lowest = INT16_MAX;
    std::size_t highestFrame = 0;
    for (std::size_t frame = 0; frame < 100; ++frame) {
        const int sample = SampleAt(bytes, frame);
        if (sample > highest) {
            highest = sample;
            highestFrame = frame;
        }
        lowest = std::min(lowest, sample);
    }
    EXPECT_EQ(highest, 16383);
    EXPECT_EQ(highestFrame, 25u);
    EXPECT_EQ(lowest, -16382);
    // Nothing past the region is touched.
    EXPECT_EQ(bytes[200], 0xAB);
    EXPECT_EQ(bytes[203], 0xAB);
}

TEST_F(ToneBufferTest, WritesOnlyWholeFramesInsideTheRegion)
{
    const auto empty = Fill(0, 8);
    EXPECT_EQ(empty, std::vector<unsigned char>(8, 0xAB));

    // A trailing partial frame stays as it was.
    const auto partial = Fill(7, 8);
    EXPECT_EQ(SampleAt(partial, 1), 1026);
    EXPECT_EQ(SampleAt(partial, 2), 2048);
    EXPECT_EQ(partial[6], 0xAB);
    EXPECT_EQ(partial[7], 0xAB);
}

TEST_F(ToneBufferTest, RepeatsEachValueOnEveryChannel)
{
    format.Format.nChannels = 2;
    format.Format.nBlockAlign = 4;
    const auto bytes = Fill(400, 402);
    for (std::size_t frame = 0; frame < 100; ++frame)
        ASSERT_EQ(SampleAt(bytes, 2 * frame), SampleAt(bytes, 2 * frame + 1)) << "frame " << frame;
    EXPECT_EQ(SampleAt(bytes, 2 * 25), 16383);
    EXPECT_EQ(SampleAt(bytes, 2 * 99 + 1), -1259);
    EXPECT_EQ(bytes[400], 0xAB);
}

TEST_F(ToneBufferTest, NeverWritesPastTheRegionWhateverTheFormatClaims)
{
    // Two channels in a two-byte block would need twice the room the region has.
    format.Format.nChannels = 2;
    const auto crowded = Fill(6, 8);
    EXPECT_EQ(SampleAt(crowded, 1), 0);
    EXPECT_EQ(SampleAt(crowded, 2), 1026);
    EXPECT_EQ(crowded[6], 0xAB);
    EXPECT_EQ(crowded[7], 0xAB);

    format.Format.nBlockAlign = 0;
    EXPECT_EQ(Fill(8, 8), std::vector<unsigned char>(8, 0xAB));
}

} // namespace
