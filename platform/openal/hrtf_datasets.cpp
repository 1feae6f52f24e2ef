// The choice of HRTF datasets from the engine's list and version.
#include "platform/openal/hrtf_datasets.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
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

// The name of a dataset's sibling for another rate: "mine-48000" -> "mine-44100",
// "Built-In 48000hz" -> "Built-In 44100hz"; nothing for a name without a rate.
std::optional<std::string> SiblingFor(std::string_view name, int rateHz)
{
    if (!NamedRate(name))
        return std::nullopt;
    std::string_view suffix;
    if (name.ends_with("hz") || name.ends_with("Hz")) {
        suffix = name.substr(name.size() - 2);
        name.remove_suffix(2);
    }
    return std::string(name.substr(0, name.find_last_of("- _") + 1)) + std::to_string(rateHz) + std::string(suffix);
}

} // namespace

bool IsLightDataset(std::string_view name)
{
    return name.starts_with(lightDatasetPrefix);
}

bool EngineResamplesDatasets(std::string_view version)
{
    const auto at = version.find("ALSOFT ");
    int major = 0;
    int minor = 0;
    if (at == std::string_view::npos ||
        std::sscanf(std::string(version.substr(at)).c_str(), "ALSOFT %d.%d", &major, &minor) != 2)
        return false;
    return major > 1 || (major == 1 && minor >= 20);
}

std::vector<std::string> DatasetCandidates(Rendering rendering, std::span<const std::string> listed, int rateHz,
                                           bool engineResamples)
{
    const bool light = rendering == Rendering::HrtfLight;
    std::vector<std::string> candidates;
    const auto add = [&candidates](const std::string& name) {
        if (std::find(candidates.begin(), candidates.end(), name) == candidates.end())
            candidates.push_back(name);
    };
    for (const std::string& name : listed) {
        if (IsLightDataset(name) != light)
            continue;
        // Where the engine cannot resample, a set named for another rate gives its place to
        // its sibling named for this one, so that one default-hrtf line names the user's set
        // at every rate.
        const std::optional<int> named = NamedRate(name);
        if (!engineResamples && named && *named != rateHz && rateHz > 0) {
            const std::optional<std::string> sibling = SiblingFor(name, rateHz);
            if (sibling && std::find(listed.begin(), listed.end(), *sibling) != listed.end())
                add(*sibling);
        }
        if (engineResamples || !named || *named == rateHz)
            add(name);
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
