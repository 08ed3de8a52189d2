// Whether a track fits the pictures: the motion between neighbouring frames
// as the track places them, against the motion measured from the pictures.
//
// A track that disagrees is read again the usual wrong ways (a feature's
// track given as the camera's, pixels given as fractions or fractions as
// pixels, the other origin, the angle's other sign, and their combinations);
// the reading with the fewest changes that fits is named.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Align.h"
#include "TrackFile.h"

namespace tessellon {

// How a track's numbers are read.
struct TrackReading {
    TrackUnits Units = TrackUnits::Normalized;
    TrackOrigin Origin = TrackOrigin::BottomLeft;
    bool Mirrored = false;       // positions mirrored around the first frame's (a feature's track)
    bool AngleNegated = false;   // the angles' sign turned
};

// One frame against the frame before it.
struct FrameCheck {
    int Frame = 0, Against = 0;
    FramePose Track;      // the motion the track gives, pixels and degrees
    FramePose Pictures;   // the motion measured; Aligned false when it could not be
    double Disagreement = 0.0;   // pixels, the most at the frame's corners
};

struct TrackCheck {
    std::vector<FrameCheck> Frames;   // every frame but the first, as the track is given
    int Measured = 0;                 // frames whose motion was measured
    double Worst = 0.0;               // the largest disagreement
    bool Fits = false;                // something was measured and Worst <= the tolerance
    std::optional<TrackReading> Fix;  // when it does not fit: the reading that does, if any
    double FixWorst = 0.0;
};

// The track's pose of `frame` (keys interpolated linearly, held outside
// them) in pixels, after reading it as `reading` says for a width x height
// frame. `first` is the frame the mirror turns about.
FramePose TrackPose(const Track& track, const TrackReading& reading, int frame, int first, int width, int height);

// Checks `track`, read as `given`, against `measured` (RelateNeighbours of
// the frames, in the same order). Pure: no pixel is read.
TrackCheck CheckTrack(const Track& track, const TrackReading& given, const std::vector<FramePose>& measured,
                      int width, int height, double tolerance);

// What to change from `given` to `fix`, in words and options.
std::string DescribeFix(const TrackReading& given, const TrackReading& fix);

}  // namespace tessellon
