// `tessellon merge`: the band files of `tessellon stitch --band K/N` put
// together into the image the one-pass stitch writes, bit for bit.
#pragma once

#include <string>
#include <vector>

#include "ImageFiles.h"

namespace tessellon {

struct MergeSettings {
    std::string Output;
    std::vector<std::string> Bands;
    WriteOptions Write;   // -d, --compression, --colorconvert as the stitch takes them
    bool Quiet = false;
};

// Checks every band before any pixel is read, then writes the output.
// Throws Error (bad input), naming the files: a file that is no band,
// a file given twice, bands of another shot or canvas, bands that overlap
// (the same band twice, or of another split) and the bands that are
// missing.
void RunMerge(const MergeSettings& settings);

}  // namespace tessellon
