// Which HRTF datasets each rendering asks the engine for, decided from what the
// engine reports: the datasets it lists and its version.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/openal/rendering.h"

namespace sound {

// Whether a dataset name is one of our light datasets.
bool IsLightDataset(std::string_view name);

// Whether the engine, by its version string ("1.1 ALSOFT 1.19.1"), resamples a
// dataset made for another rate (1.20 and later do); unknown versions count as not.
bool EngineResamplesDatasets(std::string_view version);

// The datasets to ask for, best first, for a rendering on a device at rateHz.
// listed is the engine's list in its own order of preference (it puts the
// user's default-hrtf first). Light HRTF takes our light datasets; every other
// rendering the engine's own, never ours. An engine that cannot resample loads
// only datasets made for the device's rate: those named for another rate
// ("...-48000" at 44100 Hz) are left out, and one named for another rate gives
// its place to its sibling named for the device's rate ("mine-48000" to
// "mine-44100"), where the engine lists one.
std::vector<std::string> DatasetCandidates(Rendering rendering, std::span<const std::string> listed, int rateHz,
                                           bool engineResamples);

// Where name stands in the engine's list: the index the engine takes it by; -1 when it is not listed.
int DatasetIndex(std::span<const std::string> listed, std::string_view name);

// For an engine that cannot resample, when nothing loads at rateHz: the rate
// nearest to it that a dataset for the rendering is named for; 0 when none is.
int NearestDatasetRate(Rendering rendering, std::span<const std::string> listed, int rateHz);

} // namespace sound
