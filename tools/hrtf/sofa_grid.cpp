// The engine's grid over a set's directions: the file's own rings where it has them, else rings
// as dense as its measurements; each point weighted from the measurements nearest to it.
#include "tools/hrtf/sofa_grid.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>

#include "tools/hrtf/mhr_dataset.h"
#include "tools/hrtf/sofa_import.h"

namespace hrtf {
namespace {

constexpr double kDegrees = 180.0 / std::numbers::pi;
// Elevations closer than this count as one ring, azimuths closer than this as one direction:
// the scatter of a measuring rig.
constexpr double kSameAngleDeg = 0.5;
// A measurement this close to a grid point is that point; measurements this much farther than
// the nearest one count as equally near (a pole above a ring).
constexpr double kOnPointDeg = 0.01;
// A set is made of rings where each of its elevations holds at least this many measurements
// on average.
constexpr std::size_t kMinRingMeasurements = 4;
// The engine's limits on the grid: 5 to 128 elevations (an odd count keeps the horizontal
// plane on the grid), 1 to 128 azimuths each.
constexpr std::size_t kMaxGridElevations = 127;
constexpr std::size_t kMaxGridAzimuths = 128;
// A grid point is interpolated from this many measurements.
constexpr std::size_t kInterpolated = 3;

struct Vector3 {
    double x, y, z;
};

Vector3 unitVector(double azimuthCwDeg, double elevationDeg) {
    const double az = azimuthCwDeg / kDegrees;
    const double el = elevationDeg / kDegrees;
    return {std::cos(el) * std::cos(az), -std::cos(el) * std::sin(az), std::sin(el)};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Sorted values with those closer than `tolerance` to the previous kept one merged.
std::vector<double> distinct(std::vector<double> values, double tolerance) {
    std::sort(values.begin(), values.end());
    std::vector<double> kept;
    for (const double value : values) {
        if (kept.empty() || value - kept.back() > tolerance) kept.push_back(value);
    }
    return kept;
}

// How many equal steps a ring of measured azimuths (0 to 360) is made of: 360 over the
// median gap between neighbours, the gap across 0 included.
std::size_t ringCount(const std::vector<double>& azimuths) {
    std::vector<double> kept = distinct(azimuths, kSameAngleDeg);
    if (kept.size() > 1 && kept.back() - kept.front() > 360.0 - kSameAngleDeg) kept.pop_back();
    if (kept.size() <= 1) return 1;
    std::vector<double> gaps;
    for (std::size_t i = 1; i < kept.size(); ++i) gaps.push_back(kept[i] - kept[i - 1]);
    gaps.push_back(kept.front() + 360.0 - kept.back());
    return static_cast<std::size_t>(std::clamp(std::round(360.0 / median(gaps)), 1.0, double(kMaxGridAzimuths)));
}

// An odd count of rings from -90 to 90 degrees about `stepDeg` apart.
std::size_t ringsFor(double stepDeg) {
    return std::clamp<std::size_t>(2 * static_cast<std::size_t>(std::max(1.0, std::round(90.0 / stepDeg))) + 1,
                                   kMinElevationCount, kMaxGridElevations);
}

double ringElevationDeg(std::size_t ring, std::size_t rings) { return -90.0 + 180.0 * double(ring) / double(rings - 1); }

// The file's own rings: the ring count when every measurement lies on a ring of a grid of
// equal steps from -90 degrees, and each ring holds several measurements.
std::optional<std::size_t> fileRings(const std::vector<double>& elevations) {
    const std::vector<double> measured = distinct(elevations, kSameAngleDeg);
    if (measured.size() * kMinRingMeasurements > elevations.size()) return std::nullopt;
    std::vector<double> gaps;
    for (std::size_t i = 1; i < measured.size(); ++i) gaps.push_back(measured[i] - measured[i - 1]);
    const std::size_t rings = ringsFor(gaps.empty() ? 45.0 : median(gaps));
    const double step = 180.0 / double(rings - 1);
    for (const double elevation : measured) {
        const double onGrid = ringElevationDeg(std::size_t(std::lround((elevation + 90.0) / step)), rings);
        if (std::abs(elevation - onGrid) > kSameAngleDeg) return std::nullopt;
    }
    return rings;
}

// Azimuths on each of the file's own rings: as many as measured there; a ring without a
// measurement as many as the nearest measured ring for its circumference; one at each pole.
std::vector<std::size_t> measuredRingAzimuths(std::span<const Direction> directions, std::size_t rings) {
    const double step = 180.0 / double(rings - 1);
    std::vector<std::size_t> measured(rings, 0);
    for (std::size_t ring = 1; ring + 1 < rings; ++ring) {
        std::vector<double> azimuths;
        for (const Direction& d : directions) {
            if (std::abs(d.elevationDeg - ringElevationDeg(ring, rings)) <= step / 2) azimuths.push_back(d.azimuthDeg);
        }
        if (!azimuths.empty()) measured[ring] = ringCount(azimuths);
    }
    std::vector<std::size_t> counts(rings, 1);
    for (std::size_t ring = 1; ring + 1 < rings; ++ring) {
        counts[ring] = measured[ring];
        for (std::size_t distance = 1; counts[ring] == 0 && distance < rings; ++distance) {
            for (const std::size_t other : {ring - std::min(ring, distance), std::min(ring + distance, rings - 1)}) {
                if (counts[ring] == 0 && measured[other] > 0) {
                    const double scaled = double(measured[other]) * std::cos(ringElevationDeg(ring, rings) / kDegrees) /
                                          std::cos(ringElevationDeg(other, rings) / kDegrees);
                    counts[ring] = std::clamp<std::size_t>(std::size_t(std::round(scaled)), 1, kMaxGridAzimuths);
                }
            }
        }
        counts[ring] = std::max<std::size_t>(counts[ring], 1);
    }
    return counts;
}

// Azimuths on rings `spacingDeg` apart along each ring's circumference, one at each pole; a ring
// on which measurements lie in equal steps of azimuth (CIPIC's horizontal plane, in 5-degree
// steps) gets a multiple of their count, so that each of them is a grid point.
std::vector<std::size_t> evenRingAzimuths(std::span<const Direction> directions, double spacingDeg, std::size_t rings) {
    std::vector<std::size_t> counts(rings, 1);
    for (std::size_t ring = 1; ring + 1 < rings; ++ring) {
        const double elevation = ringElevationDeg(ring, rings);
        const double circumferenceDeg = 360.0 * std::cos(elevation / kDegrees);
        counts[ring] = std::clamp<std::size_t>(std::size_t(std::lround(circumferenceDeg / spacingDeg)), 1, kMaxGridAzimuths);
        std::vector<double> azimuths;
        for (const Direction& d : directions) {
            if (std::abs(d.elevationDeg - elevation) <= kSameAngleDeg) azimuths.push_back(d.azimuthDeg);
        }
        if (azimuths.size() < kMinRingMeasurements) continue;
        const std::size_t steps = ringCount(azimuths);
        const bool even = std::all_of(azimuths.begin(), azimuths.end(), [&](double azimuth) {
            const double step = 360.0 / double(steps);
            return std::abs(std::remainder(azimuth, step)) <= kSameAngleDeg;
        });
        if (even) {
            const std::size_t multiple = std::max<std::size_t>(1, (counts[ring] + steps - 1) / steps);
            counts[ring] = std::min(steps * multiple, steps * std::max<std::size_t>(1, kMaxGridAzimuths / steps));
        }
    }
    return counts;
}

// The shares of the measurements nearest to a point: the one on it; or all those equally
// nearest, alike (a pole above a ring); else the three nearest, by inverse distance, tapered
// to nothing at the fourth's distance so that the shares change smoothly from point to point.
std::vector<Share> sharesAt(const Vector3& point, const std::vector<Vector3>& measured) {
    const auto dot = [&](std::size_t i) { return point.x * measured[i].x + point.y * measured[i].y + point.z * measured[i].z; };
    std::vector<std::pair<double, std::size_t>> nearest;  // (dot product, measurement), the nearest first
    for (std::size_t i = 0; i < measured.size(); ++i) {
        const double closeness = dot(i);
        if (nearest.size() <= kInterpolated || closeness > nearest.back().first) {
            nearest.insert(std::upper_bound(nearest.begin(), nearest.end(), std::make_pair(closeness, i),
                                            [](const auto& a, const auto& b) { return a.first > b.first; }),
                           {closeness, i});
            if (nearest.size() > kInterpolated + 1) nearest.pop_back();
        }
    }
    const auto degrees = [](double closeness) { return std::acos(std::clamp(closeness, -1.0, 1.0)) * kDegrees; };
    const double nearestDeg = degrees(nearest.front().first);
    if (nearestDeg <= kOnPointDeg) return {{nearest.front().second, 1.0}};
    std::vector<Share> shares;
    if (nearest.size() > kInterpolated && degrees(nearest.back().first) <= nearestDeg + kOnPointDeg) {
        for (std::size_t i = 0; i < measured.size(); ++i) {
            if (degrees(dot(i)) <= nearestDeg + kOnPointDeg) shares.push_back({i, 1.0});
        }
    } else {
        const double reachDeg = nearest.size() > kInterpolated ? degrees(nearest.back().first) : 180.0 + kOnPointDeg;
        for (std::size_t k = 0; k < std::min(kInterpolated, nearest.size()); ++k) {
            const double apartDeg = degrees(nearest[k].first);
            shares.push_back({nearest[k].second, std::pow((reachDeg - apartDeg) / (reachDeg * apartDeg), 2.0)});
        }
    }
    double total = 0.0;
    for (const Share& share : shares) total += share.weight;
    for (Share& share : shares) share.weight /= total;
    return shares;
}

}  // namespace

std::optional<int> uncoveredAzimuth(std::span<const Direction> directions, double withinDeg) {
    std::vector<Vector3> measured;
    for (const Direction& d : directions) measured.push_back(unitVector(d.azimuthDeg, d.elevationDeg));
    const double closeness = std::cos(withinDeg / kDegrees);
    for (int azimuth = 0; azimuth < 360; ++azimuth) {
        const Vector3 onPlane = unitVector(azimuth, 0.0);
        const bool covered = std::any_of(measured.begin(), measured.end(), [&](const Vector3& v) {
            return onPlane.x * v.x + onPlane.y * v.y + onPlane.z * v.z >= closeness;
        });
        if (!covered) return azimuth;
    }
    return std::nullopt;
}

Grid layGrid(std::span<const Direction> directions) {
    Grid grid;
    std::vector<double> elevations;
    double lowestDeg = 90.0, highestDeg = -90.0;
    for (const Direction& d : directions) {
        elevations.push_back(d.elevationDeg);
        lowestDeg = std::min(lowestDeg, d.elevationDeg);
        highestDeg = std::max(highestDeg, d.elevationDeg);
    }
    if (const std::optional<std::size_t> rings = fileRings(elevations)) {
        grid.fileRings = true;
        grid.ringAzimuths = measuredRingAzimuths(directions, *rings);
    } else {
        // The mean spacing of the measurements over the band of elevations they cover, all
        // round the listener.
        const double coveredSr = 2.0 * std::numbers::pi * (std::sin(highestDeg / kDegrees) - std::sin(lowestDeg / kDegrees));
        const double spacingDeg = std::sqrt(std::max(coveredSr, 1e-3) / double(directions.size())) * kDegrees;
        grid.ringAzimuths = evenRingAzimuths(directions, spacingDeg, ringsFor(spacingDeg));
    }
    std::size_t& horizontal = grid.ringAzimuths[grid.ringAzimuths.size() / 2];
    horizontal = std::min<std::size_t>((horizontal + 3) / 4 * 4, kMaxGridAzimuths);

    std::vector<Vector3> measured;
    for (const Direction& d : directions) measured.push_back(unitVector(d.azimuthDeg, d.elevationDeg));
    const std::size_t rings = grid.ringAzimuths.size();
    for (std::size_t ring = 0; ring < rings; ++ring) {
        for (std::size_t a = 0; a < grid.ringAzimuths[ring]; ++a) {
            const Vector3 point = unitVector(360.0 * double(a) / double(grid.ringAzimuths[ring]), ringElevationDeg(ring, rings));
            grid.points.push_back(sharesAt(point, measured));
        }
    }
    return grid;
}

}  // namespace hrtf
