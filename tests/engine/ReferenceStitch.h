// A slow, literal stitcher to hold the engine against: every step written out
// the plain way (per-pixel accessors, full-size layers, every layer read at
// every pixel, full stable sorts), sharing no code with the engine.
#pragma once

#include <cstdint>
#include <vector>

#include "StitchJob.h"

struct ReferenceResult {
    Image* Canvas = nullptr;   // one reference, or null when no canvas could be made
    std::vector<float> Progress;
};

// The median order written out by its rules: numbers ascending, -0.0 before
// +0.0, then NaNs ordered by their bits.
bool ReferenceBefore(float a, float b);

// Stitches frames [start, end] the way a render request does after its
// pass-through checks (start != end, an image at the start frame).
ReferenceResult ReferenceStitch(const FrameInputs& inputs, int32_t start, int32_t end, float filter,
                                void* imageContext);
