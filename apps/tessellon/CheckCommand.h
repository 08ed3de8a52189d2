// `tessellon check`: a track checked against the pictures.
//
// The frames are related to their neighbours from the pictures alone
// (Align.h), and each frame's motion as the track gives it is compared with
// the measured one: how far apart the two put the frame's corners, in
// pixels. Prints a table and a verdict; when the track does not fit, names
// the usual mistake that explains it, if one does (TrackCheck.h).
#pragma once

#include <string>

#include "Align.h"
#include "ImageFiles.h"
#include "TrackCheck.h"

namespace tessellon {

// check's exit status when the track does not fit the pictures (0 when it
// does; 2 for bad input as every command).
inline constexpr int ExitTrackDisagrees = 3;

struct CheckSettings {
    std::string Frames;          // the sequence pattern
    std::string TrackPath;
    TrackReading Reading;        // units and origin as given
    AlignModel Model = AlignModel::Rigid;
    double Tolerance = 1.0;      // pixels
    int Threads = 0;
    ImageLimits Limits;
};

// Checks the frames of the track's range that have files. Returns
// ExitWritten when the track fits, ExitTrackDisagrees when it does not (or
// no frame's motion could be measured). Throws Error (bad input).
int RunCheck(const CheckSettings& settings);

}  // namespace tessellon
