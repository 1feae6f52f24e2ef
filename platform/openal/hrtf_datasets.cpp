// The choice of HRTF datasets from the engine's list and version.
#include "platform/openal/hrtf_datasets.h"

#include <charconv>
#include <cstdlib>
#include <optional>

namespace sound {
namespace {

constexpr std::string_view lightDatasetPrefix = "orbit-tone-light-";

// The rate a dataset's name ends in ("default-48000", "Built-In 44100hz"), if any.
std::optional<int> NamedRate(std::string_view name)
{
    if (name.ends_with("hz") || name.ends_with("Hz"))
        name.remove_suffix(2);
    const auto separator = name.find_last_of("- _");
    if (separator == std::string_view::npos || separator + 1 == name.size())
        return std::nullopt;
    const std::string_view digits = name.substr(separator + 1);
    int rateHz = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), rateHz);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return rateHz;
}

} // namespace

bool IsLightDataset(std::string_view name)
{
    return name.starts_with(lightDatasetPrefix);
}

bool EngineResamplesDatasets(std::string_view version)
{
    constexpr std::string_view marker = "ALSOFT ";
    const auto at = version.find(marker);
    if (at == std::string_view::npos)
        return false;
    const char* text = version.data() + at + marker.size();
    const char* end = version.data() + version.size();
    int major = 0;
    int minor = 0;
    const auto majorRead = std::from_chars(text, end, major);
    if (majorRead.ec != std::errc() || majorRead.ptr == end || *majorRead.ptr != '.')
        return false;
    if (std::from_chars(majorRead.ptr + 1, end, minor).ec != std::errc())
        return false;
    return major > 1 || (major == 1 && minor >= 20);
}

std::vector<std::string> DatasetCandidates(Rendering rendering, std::span<const std::string> listed, int rateHz,
                                           bool engineResamples)
{
    const bool light = rendering == Rendering::HrtfLight;
    std::vector<std::string> candidates;
    for (const std::string& name : listed) {
        const std::optional<int> named = NamedRate(name);
        if (IsLightDataset(name) == light && (engineResamples || !named || *named == rateHz))
            candidates.push_back(name);
    }
    return candidates;
}

int DatasetIndex(std::span<const std::string> listed, std::string_view name)
{
    for (std::size_t index = 0; index < listed.size(); ++index) {
        if (listed[index] == name)
            return static_cast<int>(index);
    }
    return -1;
}

int NearestDatasetRate(Rendering rendering, std::span<const std::string> listed, int rateHz)
{
    const bool light = rendering == Rendering::HrtfLight;
    int nearestHz = 0;
    for (const std::string& name : listed) {
        const std::optional<int> named = NamedRate(name);
        if (IsLightDataset(name) != light || !named || *named <= 0)
            continue;
        // Ties go to the higher rate.
        const auto distance = [rateHz](int candidateHz) { return std::abs(candidateHz - rateHz); };
        if (nearestHz == 0 || distance(*named) < distance(nearestHz) ||
            (distance(*named) == distance(nearestHz) && *named > nearestHz))
            nearestHz = *named;
    }
    return nearestHz;
}

} // namespace sound
