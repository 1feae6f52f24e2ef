// Each rendering as loud as panning: work on a device's engine thread that gives each 3D source
// the gain that makes its sound, over a whole turn around the listener, as loud under the
// device's rendering as under panning. HRTF datasets differ in loudness, and a listener
// comparing renderings hears the louder one as the better and closer.
#pragma once

#include <vector>

#include "platform/openal/device_state.h"

namespace sound {

// Matches every 3D source to the device's rendering, when it changed since the last match.
// Measured on a loopback device at the device's rate, with the same dataset; the measurement
// leaves the device's context current again.
void MatchLoudness(DeviceState& state);
// Notes a 3D source's new sound and matches its loudness; forgets it for an empty one.
void NoteSound(DeviceState& state, ALuint source, const WAVEFORMATEX& format, std::vector<BYTE> samples);

} // namespace sound
