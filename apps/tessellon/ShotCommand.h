// `tessellon shot`: writes the small generated shot that the track samples
// in docs/tracks/samples describe, its frames and its exact track, so that
// a stitch from any sample can be checked against the truth.
#pragma once

#include <string>
#include <vector>

#include "TrackFile.h"

namespace tessellon {

struct ShotSettings {
    std::string OutputDir = "tessellon-shot";
    std::vector<TrackFormat> TrackFormats;   // besides track.csv, each in its own file
    int Threads = 0;                          // 0: every core
    bool Quiet = false;
};

// Writes OutputDir/frame.0001.exr .. frame.0012.exr (.pfm where the build
// writes only those), OutputDir/track.csv and the track in each of
// TrackFormats under ShotTrackFileName. Throws Error; a shot written in
// part is left as it is.
void RunShot(const ShotSettings& settings);

}  // namespace tessellon
