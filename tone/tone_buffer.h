// The tone's sample format, the description of its sound buffer, and the sine
// samples it holds.
#pragma once

#include "platform/platform.h"

// The pitch of the tone, in hertz.
constexpr double toneFrequencyHz = 440.0;

// Fills the tone format (44100 Hz mono 16-bit PCM) and a description of a
// 200-byte software 3D buffer that points at it; the 3D algorithm is the default.
void DescribeToneBuffer(WAVEFORMATEXTENSIBLE& toneFormat, DSBUFFERDESC& bufferDescription);

// Writes the 440 Hz sine at half of full scale into a locked region of
// regionBytes bytes, one value per frame repeated on every channel.
void FillSineTone(void* region, DWORD regionBytes, const WAVEFORMATEXTENSIBLE& toneFormat);
