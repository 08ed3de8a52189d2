// A generated shot's exact track written as each tracker writes its own
// export, with that format's conventions: the units, origin and kind its
// reader assumes (docs/tracks/ gives each), so that reading the file back
// with the format's defaults gives the camera the frames were drawn with.
//
// Camera formats (tessellon's CSV, JSON and text) hold the camera itself.
// The point-tracker exports hold a feature: a scene point that the camera
// sees at ShotFeatureAt in frame 0 and that moves against the camera, whole
// pixels per frame. Pixels are written as the format's reader takes them
// (top-left for After Effects, u and v in -1..1 for SynthEyes).
#pragma once

#include <string>

#include "Shot.h"
#include "TrackFile.h"

namespace tessellon {

// The shot of the track samples in docs/tracks/samples: 12 frames of
// 128 x 64, a pan of 88 pixels, a drift of up to 5 and no roll (several
// exports hold no angle). Its sides are powers of two, so that every
// position is exact in every unit the formats use.
ShotSpec SampleShot();

// The tracked feature in frame 0, in pixels from the bottom left: halfway
// along the pan, so that it stays in view through the shot when the pan is
// narrower than the frame.
struct FeaturePoint {
    double X = 0.0, Y = 0.0;
};
FeaturePoint ShotFeatureAt(const ShotSpec& shot);

// The file's text. Throws Error (bad input) for a shot CheckShot refuses,
// for Auto, and for a rolling shot in a format that holds no angle.
std::string ShotTrackText(const ShotSpec& shot, TrackFormat format);

// The name `tessellon shot` gives the track file of `format`:
// "track.csv", "track_ae.txt", "track.2dt", ...
std::string ShotTrackFileName(TrackFormat format);

// Writes ShotTrackText to `path`. Throws Error.
void WriteShotTrack(const ShotSpec& shot, TrackFormat format, const std::string& path);

}  // namespace tessellon
