// `tessellon plan --bands N`: the stitch's plan as JSON on stdout, for farm
// tools: the canvas, and for each band its rows, the frames it reads with
// their rows and the memory it needs; besides, the one-pass estimate.
#pragma once

#include "StitchPlan.h"

namespace tessellon {

// Plans the stitch of `settings` (nothing is rendered) split into `bands`
// bands. Throws Error (bad input) for what the stitch would refuse and for
// a count of bands outside 1 to the canvas's rows.
void RunPlan(const StitchSettings& settings, int bands);

}  // namespace tessellon
