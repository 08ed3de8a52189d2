// Pixel tracks placed on whole pixels.
//
// A pixel position becomes a fraction by division, and the tool turns the
// change of fraction back into pixels by truncation (Geometry.h): for about
// one whole-pixel offset in five the round trip comes out a hair below the
// whole number and the frame lands a pixel short, on a canvas a pixel short.
#pragma once

#include <cstdint>
#include <vector>

#include "StitchPlan.h"
#include "TrackFile.h"

namespace tessellon {

// Moves the keys of `track` (`pixels` converted by ConvertTrack with
// `origin` for a width x height start frame) that the tool places
// (`placed`, ascending) and that lie a whole number of pixels from the
// track's value at the start frame `referenceFrame` outward by units in the
// last place, until the tool's own truncation shifts them by exactly that
// many pixels and the canvas they span is exactly that many pixels larger.
// Other keys keep the division's value; frames between keys interpolate the
// moved keys.
void FitWholePixels(Track& track, const Track& pixels, int32_t referenceFrame, const std::vector<PlannedFrame>& placed,
                    int width, int height, TrackOrigin origin);

}  // namespace tessellon
