// The check of what a SOFA file holds: the convention, the dimensions, one sample rate, the
// listener's orientation, and every position and sample, the directions turned the engine's way.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>

#include "tools/hrtf/sofa_import.h"

namespace hrtf {
namespace {

constexpr double kDegrees = 180.0 / std::numbers::pi;
// A position this far past a pole is at the pole: SOFA files store positions as doubles
// computed in single precision, whose rounding steps near 90 degrees are 7.6e-6 degrees.
constexpr double kPoleRoundingDeg = 1e-4;

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The words of a Units attribute: "degree, degree, metre" -> {degree, degree, metre}.
std::vector<std::string> unitWords(const std::string& units) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : lower(units) + ",") {
        if (c == ',' || c == ' ') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

bool isMetre(const std::string& word) { return word == "metre" || word == "meter" || word == "metres" || word == "meters" || word == "m"; }
bool isDegree(const std::string& word) { return word == "degree" || word == "degrees"; }

std::string number(double value, int decimals = 1) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

struct Vector3 {
    double x, y, z;
};

// A direction given as a listener's view or up vector, spherical or cartesian, as a unit vector.
std::optional<Vector3> directionOf(std::span<const float> values, const std::string& type) {
    if (values.size() < 3) return std::nullopt;
    Vector3 v{values[0], values[1], values[2]};
    if (lower(type) == "spherical") {
        const double az = values[0] / kDegrees;
        const double el = values[1] / kDegrees;
        v = {std::cos(el) * std::cos(az), std::cos(el) * std::sin(az), std::sin(el)};
    }
    const double length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    if (!std::isfinite(length) || length == 0.0) return std::nullopt;
    return Vector3{v.x / length, v.y / length, v.z / length};
}

// Whether every row of a vector variable (one row, or one per measurement) points within a
// degree of `expected`; absent counts as the convention's own value.
bool pointsAlong(const std::vector<float>& values, const std::string& type, Vector3 expected) {
    for (std::size_t row = 0; row + 3 <= values.size(); row += 3) {
        const auto v = directionOf(std::span(values).subspan(row, 3), type);
        if (!v || v->x * expected.x + v->y * expected.y + v->z * expected.z < std::cos(1.0 / kDegrees)) return false;
    }
    return values.size() % 3 == 0;
}

}  // namespace

std::optional<MeasuredSet> measuredSetFromSofa(const SofaContents& sofa, std::string& error) {
    const auto refuse = [&](std::string why) {
        error = std::move(why);
        return std::nullopt;
    };
    if (sofa.conventions != "SimpleFreeFieldHRIR") {
        return refuse(sofa.conventions.empty()
                          ? "it names no SOFA convention (SOFAConventions); the import takes SimpleFreeFieldHRIR"
                          : "it follows the SOFA convention " + sofa.conventions +
                                ", not SimpleFreeFieldHRIR (a head's impulse responses in free field)");
    }
    if (sofa.dataType != "FIR") {
        return refuse("its data type is " + (sofa.dataType.empty() ? std::string("missing") : sofa.dataType) +
                      ", not FIR (impulse responses)");
    }
    const std::size_t m = sofa.measurements;
    const std::size_t n = sofa.taps;
    if (m == 0 || m > kMaxMeasurements) {
        return refuse("it holds " + std::to_string(m) + " measurements; the import takes 1 to " +
                      std::to_string(kMaxMeasurements));
    }
    if (sofa.receivers != 2) {
        return refuse("it has " + std::to_string(sofa.receivers) + " receivers, not 2 (the ears)");
    }
    if (sofa.emitters != 1) {
        return refuse("it has " + std::to_string(sofa.emitters) + " emitters; the import takes one source at a time");
    }
    if (n == 0 || n > kMaxSofaTaps) {
        return refuse("its responses are " + std::to_string(n) + " samples long; the import takes 1 to " +
                      std::to_string(kMaxSofaTaps));
    }
    if (m * 2 * n > kMaxSofaValues || sofa.impulseResponses.size() != m * 2 * n) {
        return refuse("its Data.IR holds " + std::to_string(sofa.impulseResponses.size()) + " values, not " +
                      std::to_string(m) + " x 2 x " + std::to_string(n));
    }
    if (sofa.samplingRates.empty() || std::adjacent_find(sofa.samplingRates.begin(), sofa.samplingRates.end(),
                                                         std::not_equal_to<>()) != sofa.samplingRates.end()) {
        return refuse("it gives no single sample rate (Data.SamplingRate) for all its measurements");
    }
    const double rateHz = sofa.samplingRates.front();
    if (!std::isfinite(rateHz) || rateHz < 8000.0 || rateHz > 768000.0) {
        return refuse("its sample rate " + number(rateHz) + " Hz is not from 8000 to 768000 Hz");
    }
    if (sofa.sourcePositions.size() != 3 * m) {
        return refuse("its SourcePosition holds " + std::to_string(sofa.sourcePositions.size()) +
                      " values, not 3 for each of its " + std::to_string(m) + " measurements");
    }
    const std::string type = lower(sofa.sourcePositionType);
    const std::vector<std::string> units = unitWords(sofa.sourcePositionUnits);
    const bool spherical = type == "spherical";
    if (!spherical && type != "cartesian") {
        return refuse("its SourcePosition is of type '" + sofa.sourcePositionType +
                      "', neither spherical nor cartesian");
    }
    const bool unitsRight = spherical ? units.size() == 3 && isDegree(units[0]) && isDegree(units[1]) && isMetre(units[2])
                                      : (units.size() == 1 || units.size() == 3) &&
                                            std::all_of(units.begin(), units.end(), isMetre);
    if (!unitsRight) {
        return refuse("its SourcePosition is in '" + sofa.sourcePositionUnits + "', not " +
                      (spherical ? "degree, degree, metre" : "metre"));
    }
    // The convention's listener looks along +x with +z up; another view would turn every direction.
    if (!pointsAlong(sofa.listenerView, sofa.listenerViewType, {1, 0, 0}) ||
        !pointsAlong(sofa.listenerUp, sofa.listenerUpType, {0, 0, 1})) {
        return refuse("its listener does not face +x with +z up (ListenerView, ListenerUp), as SimpleFreeFieldHRIR has it");
    }
    if (sofa.delays.size() != 2 && sofa.delays.size() != 2 * m) {
        return refuse("its Data.Delay holds " + std::to_string(sofa.delays.size()) +
                      " values, not 2 or 2 for each measurement");
    }

    MeasuredSet set;
    set.sampleRateHz = rateHz;
    set.taps = n;
    set.directions.reserve(m);
    for (std::size_t i = 0; i < m; ++i) {
        const double a = sofa.sourcePositions[3 * i];
        const double b = sofa.sourcePositions[3 * i + 1];
        const double c = sofa.sourcePositions[3 * i + 2];
        double azimuthCcw = a, elevation = b, distance = c;
        if (!spherical) {
            distance = std::sqrt(a * a + b * b + c * c);
            azimuthCcw = std::atan2(b, a) * kDegrees;
            elevation = distance > 0.0 ? std::asin(std::clamp(c / distance, -1.0, 1.0)) * kDegrees : 0.0;
        }
        if (!std::isfinite(azimuthCcw) || !std::isfinite(elevation) || !std::isfinite(distance) ||
            std::abs(azimuthCcw) > 3600.0 || std::abs(elevation) > 90.0 + kPoleRoundingDeg || distance <= 0.0) {
            return refuse("measurement " + std::to_string(i + 1) + " has no valid source position (" + number(a, 3) +
                          ", " + number(b, 3) + ", " + number(c, 3) + ")");
        }
        elevation = std::clamp(elevation, -90.0, 90.0);
        // SOFA turns counterclockwise seen from above, the engine clockwise.
        double azimuth = std::fmod(360.0 - std::fmod(azimuthCcw, 360.0), 360.0);
        if (azimuth < 0.0) azimuth += 360.0;
        set.directions.push_back({azimuth, elevation, distance});
    }
    set.responses.assign(sofa.impulseResponses.begin(), sofa.impulseResponses.end());
    for (std::size_t i = 0; i < set.responses.size(); ++i) {
        if (!std::isfinite(set.responses[i])) {
            return refuse("measurement " + std::to_string(i / (2 * n) + 1) + " holds a sample that is not a number");
        }
    }
    set.delaysSamples.resize(2 * m);
    for (std::size_t i = 0; i < 2 * m; ++i) {
        const double delay = sofa.delays[sofa.delays.size() == 2 ? i % 2 : i];
        if (!std::isfinite(delay) || delay < 0.0 || delay > double(kMaxSofaTaps)) {
            return refuse("its Data.Delay holds " + number(delay) + ", not a delay from 0 to " +
                          std::to_string(kMaxSofaTaps) + " samples");
        }
        set.delaysSamples[i] = delay;
    }
    return set;
}

}  // namespace hrtf
