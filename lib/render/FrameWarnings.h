// What the frames' headers and pixels say that the user should hear before
// looking at the plate: one line per kind of trouble, naming the frames as
// ranges.
#pragma once

#include <string>
#include <vector>

#include "HostSystem.h"
#include "StitchPlan.h"

namespace tessellon {

// From the headers: frames of another size than the start frame (one line
// per size), data outside the display window, no data inside it, and what
// the files hold that is not read (one line per set of such things).
std::vector<std::string> FrameWarnings(const std::vector<PlannedFrame>& frames);

// Whether any pixel's alpha is exactly 1, the only pixels the tool keeps.
// Looks from the middle row outwards and stops at the first such pixel, so
// that a usual frame costs one row.
bool HasOpaquePixel(const Image& image);

// "frames 3-4 have no fully opaque pixel: ..." for frames decoded without
// one; empty when there are none.
std::string NoOpaqueWarning(const std::vector<int>& frames);

}  // namespace tessellon
