// EXR files through tinyexr, for builds without OpenImageIO. Every size a
// header claims (display and data windows, channels, tiles and their
// levels, the chunk table) is checked against the limits before tinyexr
// decodes anything: it allocates whatever a damaged header asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ImageFiles.h"

namespace tessellon {

// Whether `bytes` begin as an EXR file does.
bool IsExrData(const uint8_t* bytes, size_t size);

// Reads the header only and checks it against the limits. Throws Error.
ImageFileInfo ProbeExrFile(const std::string& path, const ImageLimits& limits);

// Reads a single-part scanline or tiled EXR file into a new host image (one
// reference): half stays half, float stays float, unsigned integers become
// float (0..2^32-1 onto 0..1); channels of differing types give float. The
// display window is the frame, the file's top row host row H-1; data outside
// it is dropped, display pixels without data are (0, 0, 0, 0). Colour and
// alpha are chosen by channel name (ChooseChannels, the default layer and
// view); colour is never multiplied by alpha. Throws Error.
Image* ReadExrFile(const std::string& path, const ImageLimits& limits, void* imageContext);

struct ExrWrite {
    bool Half = false;     // 16-bit half channels, else 32-bit float
    int Compression = 3;   // the file's compression code: 0 none, 1 rle, 2 zips, 3 zip, 4 piz
};

// Writes RGBA to a temporary file beside `path` and renames it into place,
// so a failure leaves no file. Throws Error.
void WriteExrFile(const Image& image, const std::string& path, const ExrWrite& how = {});

}  // namespace tessellon
