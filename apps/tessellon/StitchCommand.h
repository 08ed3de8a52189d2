// `tessellon stitch`: an image sequence and a track file in, the stitched
// image out, through the plug-in exactly as a compositor drives it.
//
// Four stages, each apart: the plan (everything checked before any pixel is
// read, StitchPlan.h), the render (StitchRender.h), the writing of every
// output, and the report (the summary line, --stats).
#pragma once

#include <cstdint>

#include "StitchPlan.h"

namespace tessellon {

class Plugins;

struct StitchSummary {
    int32_t Width = 0, Height = 0;   // of the written image
    int FramesUsed = 0;              // frames of the range decoded into an image
    int FramesInRange = 0;
    double Seconds = 0.0;
};

// Runs one stitch with a tool from `plugins`. With --band K/N it writes band
// K of N only, as a band file (ImageFiles.h) that `tessellon merge` puts
// together; when the one-pass estimate is above the memory budget it
// renders the canvas band after band within it. Prints warnings, and the
// summary line unless quiet. Throws Error: bad input (2) before anything is
// written, no image (1) when the tool produced none.
StitchSummary RunStitch(const StitchSettings& settings, const Plugins& plugins);

}  // namespace tessellon
