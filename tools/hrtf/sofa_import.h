// The import of a SOFA file's head-related impulse responses (AES69, convention
// SimpleFreeFieldHRIR) into the engine's dataset format: what the file holds, checked and
// turned into directions the engine's way, then minimum-phase filters with separate
// whole-sample delays on the engine's regular grid, at each rate the engine needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/hrtf/mhr_dataset.h"

namespace hrtf {

// What the import takes from a SOFA file, as read (sofa_reader.h), not yet checked.
struct SofaContents {
    std::string conventions;  // the SOFAConventions attribute
    std::string dataType;     // the DataType attribute
    std::size_t measurements = 0, receivers = 0, emitters = 0, taps = 0;  // M, R, E, N
    std::vector<float> samplingRates;    // Data.SamplingRate
    std::vector<float> sourcePositions;  // SourcePosition: 3 values for each measurement, or 3 for all
    std::string sourcePositionType;      // its Type attribute: "spherical" or "cartesian"
    std::string sourcePositionUnits;     // its Units attribute
    std::vector<float> listenerView;     // ListenerView: 3 values (or 3 for each measurement)
    std::string listenerViewType;
    std::vector<float> listenerUp;       // ListenerUp, the same way; may be absent
    std::string listenerUpType;
    std::vector<float> impulseResponses;  // Data.IR: measurement, receiver, tap
    std::vector<float> delays;            // Data.Delay in samples: one per receiver, or per measurement and receiver
};

// One measurement: where the source was, the engine's way (azimuth clockwise from ahead,
// 0 to 360 degrees; elevation from -90 below to 90 above; distance from the head's centre).
struct Direction {
    double azimuthDeg = 0.0;
    double elevationDeg = 0.0;
    double distanceM = 0.0;
};

// A SOFA file's measurements, checked: the left ear's response then the right's for each.
struct MeasuredSet {
    double sampleRateHz = 0.0;
    std::size_t taps = 0;
    std::vector<Direction> directions;
    std::vector<float> responses;      // [(measurement * 2 + ear) * taps + tap], ear 0 left
    std::vector<double> delaysSamples;  // [measurement * 2 + ear], at sampleRateHz
};

// The largest sets the import takes: far beyond any measured head.
inline constexpr std::size_t kMaxMeasurements = 100000;
inline constexpr std::size_t kMaxSofaTaps = 65536;
inline constexpr std::size_t kMaxSofaValues = std::size_t{64} << 20;  // M x R x N: 256 MB of floats

// Checks what a SOFA file holds and turns its directions into the engine's terms (SOFA's
// azimuth runs counterclockwise, with spherical or cartesian positions). Refuses, saying why
// in `error`, what the import cannot take faithfully.
std::optional<MeasuredSet> measuredSetFromSofa(const SofaContents& sofa, std::string& error);

// The engine's grid needs a measurement this close to the horizontal plane.
inline constexpr double kHorizontalToleranceDeg = 10.0;
// The filters' length in the datasets made: twice the engine's own 1.19 set, as its 1.24 one.
inline constexpr std::size_t kImportTaps = 64;

// What the import did.
struct ImportSummary {
    double distanceM = 0.0;          // the distance whose measurements were taken
    double storedDistanceM = 0.0;    // as the dataset holds it: the format's range is 0.05 to 2.5 m
    std::vector<double> distancesM;  // every distance of the file's measurements, nearest first
    std::size_t measurementsUsed = 0;  // at that distance
    std::size_t silentLeftOut = 0;     // of the whole file: no sound in an ear, or far below the median
    bool fileRings = false;            // the grid's rings are the file's own
    std::size_t elevationCount = 0;    // of the engine's grid
    std::size_t hrirCount = 0;
    double gainDb = 0.0;             // applied after the diffuse-field equalisation
};

// Makes one MinPHR02 dataset (stereo, 24-bit, kImportTaps taps, one field) for each rate.
// Leaves out the silent measurements (an ear without sound, or 40 dB below that ear's median
// over the set), refusing a set whose measurements left then do not cover the horizontal
// plane; takes the distance with the most measurements (the farthest of equal ones); lays the
// engine's grid over them (sofa_grid.h), each grid point its measurement or interpolated from
// the nearest; divides every response by the diffuse-field average (the mean power over all
// directions and both ears, which the measuring system's own response colours), so that that
// average is -3 dB for each ear at every frequency, as constant-power panning gives, unless the
// peaks need less; and fits each pair's filters and delays to keep the level and phase between
// the ears at low frequencies (sofa_filters.h).
std::vector<Dataset> importMeasuredSet(const MeasuredSet& set, std::span<const std::uint32_t> ratesHz,
                                       std::string& error, ImportSummary* summary = nullptr);

// What the datasets were made from, for the user: "its 710 measurements at 1.40 m", and the
// other distances, a distance the format cannot hold, the silent measurements left out.
std::string describeSource(const ImportSummary& summary);

}  // namespace hrtf
