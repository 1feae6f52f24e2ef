// The engine's grid laid over a SOFA file's measurements: rings of constant elevation from -90
// to 90 degrees, each with its azimuths, and the measurements each grid point is made from.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace hrtf {

struct Direction;

// A grid point's share of one measurement.
struct Share {
    std::size_t measurement = 0;  // index into the directions the grid was laid over
    double weight = 0.0;
};

struct Grid {
    // Azimuths on each ring, from -90 degrees upward; an odd count of rings, so that the
    // horizontal plane is one of them.
    std::vector<std::size_t> ringAzimuths;
    // Whether the rings are the file's own (every measurement on one of them).
    bool fileRings = false;
    // For each grid point in the engine's order (ring by ring, azimuths clockwise from ahead),
    // the measurements it is made from, weights summing to 1: one where a measurement lies on
    // the point, else the three nearest on the sphere.
    std::vector<std::vector<Share>> points;
};

// The grid for measurements in these directions (azimuth clockwise, elevation). Where the
// file's measurements lie on rings of constant elevation in equal steps, those are the rings,
// each with as many azimuths as measured on it (rings without a measurement: as many as the
// nearest measured ring for their circumference). Any other grid (interaural-polar, Lebedev,
// sparse) gets rings as finely spaced as the measurements lie on the sphere, each with as many
// azimuths as that spacing gives its circumference. The horizontal ring's count is a multiple
// of 4, so that ahead, right, behind and left are on the grid.
Grid layGrid(std::span<const Direction> directions);

// The first whole degree of azimuth on the horizontal plane farther than `withinDeg` from all
// of the directions, if any.
std::optional<int> uncoveredAzimuth(std::span<const Direction> directions, double withinDeg);

}  // namespace hrtf
