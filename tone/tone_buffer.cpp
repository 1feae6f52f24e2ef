// The tone buffer: its format, its description and its sine samples.
#include "tone/tone_buffer.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr DWORD sampleRateHz = 44100;
constexpr WORD channelCount = 1;
constexpr WORD bitsPerSample = 16;
constexpr WORD bytesPerFrame = channelCount * bitsPerSample / 8;
constexpr DWORD bufferBytes = 200;

// 2 pi rounded to single precision, the way the phase step has always been computed.
constexpr double fullTurnRadians = 6.2831854820251465;
constexpr double phaseRateHz = 44100.0;
constexpr double amplitude = 0.5;
constexpr double fullScale = 32767.0;

} // namespace

static_assert(sizeof(DSBUFFERDESC) == (sizeof(void*) == 8 ? 40 : 36),
              "the buffer description has the size the sound service expects on this target");

void DescribeToneBuffer(WAVEFORMATEXTENSIBLE& toneFormat, DSBUFFERDESC& bufferDescription)
{
    toneFormat = {};
    toneFormat.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    toneFormat.Format.nChannels = channelCount;
    toneFormat.Format.nSamplesPerSec = sampleRateHz;
    toneFormat.Format.nAvgBytesPerSec = sampleRateHz * bytesPerFrame;
    toneFormat.Format.nBlockAlign = bytesPerFrame;
    toneFormat.Format.wBitsPerSample = bitsPerSample;
    toneFormat.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    toneFormat.Samples.wValidBitsPerSample = bitsPerSample;
    toneFormat.dwChannelMask = 0;
    toneFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;

    // The size is that of the record as compiled: 36 bytes on 32-bit Windows,
    // 40 on 64-bit, and the sound service rejects any other.
    bufferDescription = {};
    bufferDescription.dwSize = sizeof(DSBUFFERDESC);
    bufferDescription.dwFlags = DSBCAPS_CTRL3D | DSBCAPS_LOCSOFTWARE;
    bufferDescription.dwBufferBytes = bufferBytes;
    bufferDescription.dwReserved = 0;
    bufferDescription.lpwfxFormat = &toneFormat.Format;
    bufferDescription.guid3DAlgorithm = DS3DALG_DEFAULT;
}

void FillSineTone(void* region, DWORD regionBytes, const WAVEFORMATEXTENSIBLE& toneFormat)
{
    const double stepRadians = (fullTurnRadians * toneFrequencyHz) / phaseRateHz;
    const WORD blockAlign = toneFormat.Format.nBlockAlign;
    if (blockAlign == 0)
        return; // no frame fits a zero-sized block
    const DWORD frames = regionBytes / blockAlign;
    auto* samples = static_cast<unsigned char*>(region);

    // A format whose channels need more room than its block never writes past the region.
    std::size_t offset = 0;
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double value = std::sin(i * stepRadians) * amplitude * fullScale;
        const auto sample = static_cast<std::int16_t>(value);
        const unsigned char littleEndian[2] = {static_cast<unsigned char>(sample & 0xFF),
                                               static_cast<unsigned char>((sample >> 8) & 0xFF)};
        for (WORD channel = 0; channel < toneFormat.Format.nChannels; ++channel) {
            if (offset + sizeof littleEndian > regionBytes)
                return;
            std::memcpy(samples + offset, littleEndian, sizeof littleEndian);
            offset += sizeof littleEndian;
        }
    }
}
