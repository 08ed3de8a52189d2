// How a track file becomes the camera track the tool wants, and the
// mistakes in its use that can be caught before any pixel is read.
//
// The tool wants where the camera is. Trackers export where a tracked
// feature sits in the frame, which moves against the camera: a feature
// track is mirrored around its value at the start frame.
#pragma once

#include <string>
#include <vector>

#include "StitchPlan.h"
#include "TrackFile.h"

namespace tessellon {

// The settings' choice where given, else what the file says of itself,
// else normalized, bottom-left and camera.
TrackUse UseOf(const StitchSettings& settings, const Track& track);

// Turns a feature track into the camera's: positions and angle mirrored
// around their values at `startFrame` (as the tool's inputs interpolate
// them), so that the start frame keeps its place.
void MirrorFeatureTrack(Track& track, double startFrame);

// Normalized positions farther than this outside 0..1 are pixels read as
// fractions: a canvas of that many frames across is no panorama.
inline constexpr double FarOutsideFrames = 50.0;

// Refuses, at the line of the first such key, a normalized track with a
// position far outside the frame, suggesting --track-units pixels.
void CheckFractions(const Track& track);

// A hint for a canvas too large for the host, naming the likely mistake.
std::string CanvasHint(const Track& track, const TrackUse& use);


// What the track file's reader passed over, and the lack of a track, as
// warnings (empty when there is nothing to say).
std::vector<std::string> TrackWarnings(const std::optional<Track>& track, bool layered);

}  // namespace tessellon
