// PFM files, read and written without an image library: every build of the
// command-line host has them, and both systems turn the same file into the
// same floats and the same image into the same bytes.
//
// A PFM file is a text header, "PF" (colour, three channels) or "Pf" (grey,
// one), the width, the height and a scale, each followed by white space, and
// then the pixels as 32-bit floats, rows from the bottom up, the order in
// which host rows run. The sign of the scale gives the floats' byte order
// (negative: little-endian); as other readers do, values are multiplied by
// its magnitude, which leaves them unchanged for the usual 1.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ImageFiles.h"

namespace tessellon {

// Whether `path` names a PFM file by its extension (".pfm", any case).
bool IsPfmPath(const std::string& path);

// Reads the header only and checks it, and that the file holds all the
// pixels it claims, against the limits. Throws Error.
ImageFileInfo ProbePfmFile(const std::string& path, const ImageLimits& limits);

// Reads a PFM file into a new 32-bit float host image (one reference): colour
// gets alpha 1, grey is copied to the three colour channels with alpha 1.
// Throws Error.
Image* ReadPfmFile(const std::string& path, const ImageLimits& limits, void* imageContext);

// Turns one row of `count` RGBA pixels in place before it is written.
using RowConversion = std::function<void(float* rgba, int32_t count)>;

// Writes the image's colour as a little-endian "PF" file with scale -1; PFM
// has no alpha, so alpha is left out. Writes to a temporary file beside
// `path` and renames it into place, so a failure leaves no file. Throws
// Error.
void WritePfmFile(const Image& image, const std::string& path, const RowConversion& convert = {});

}  // namespace tessellon
