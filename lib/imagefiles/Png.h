// PNG files through stb_image (reading) and zlib (writing), for builds
// without OpenImageIO. The header's size is checked against the limits
// before anything is decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ImageFiles.h"

namespace tessellon {

// Whether `bytes` begin with the PNG signature.
bool IsPngData(const uint8_t* bytes, size_t size);

// Reads the header only and checks it against the limits. Throws Error.
ImageFileInfo ProbePngFile(const std::string& path, const ImageLimits& limits);

// Reads a PNG file into a new host image (one reference): 16-bit files as
// 16-bit, all others (palette and fewer bits included) as 8-bit. Colour and
// alpha are chosen by channel name as for every file (grey is Y, grey and
// alpha Y and A, then R, G, B and A); colour stays as the file holds it,
// never multiplied by alpha. The file's top row is host row H-1. Throws
// Error.
Image* ReadPngFile(const std::string& path, const ImageLimits& limits, void* imageContext);

// Writes RGBA, 16-bit for 16-bit images and 8-bit for all others, colour not
// divided by alpha, to a temporary file beside `path` renamed into place,
// so a failure leaves no file. Throws Error.
void WritePngFile(const Image& image, const std::string& path);

}  // namespace tessellon
