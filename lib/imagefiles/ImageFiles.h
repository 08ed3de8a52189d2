// Image files in and out of host images. The only place that includes an
// image library; the rest of the command-line host sees this façade.
#pragma once

#include <cstdint>
#include <string>

#include "Error.h"

class Image;

namespace tessellon {

// What one image file may claim before anything is allocated for it.
struct ImageLimits {
    int64_t MaxWidth = 65535;
    int64_t MaxHeight = 65535;
    int MaxChannels = 1024;
    uint64_t MaxBytes = uint64_t(4) << 30;   // decoded pixel bytes per frame
};

struct ImageFileInfo {
    int Width = 0, Height = 0;   // the display window
    int Channels = 0;            // in the file
    int HostFormat = 0;          // the host format code the frame is kept in
    uint64_t HostBytes = 0;      // what the host image will hold
};

// Reads the header only and checks it against the limits (64-bit checked
// arithmetic). Throws Error (bad input) naming the file.
ImageFileInfo ProbeImageFile(const std::string& path, const ImageLimits& limits);

// Reads a file into a new host image (one reference), in the file's own
// pixel format where the host has it (8-bit, 16-bit, half, float; others as
// float). The file's top row is host row H-1. RGBA as is; RGB gets alpha 1;
// one channel is grey with alpha 1; two are grey and alpha; more than four:
// the first four. The display window gives the size; pixels outside the data
// window are (0, 0, 0, 0). Colour stays as the file holds it, never
// multiplied by an unassociated alpha. Throws Error.
Image* ReadImageFile(const std::string& path, const ImageLimits& limits, void* imageContext);

struct WriteOptions {
    std::string ColorFrom, ColorTo;   // both empty: values pass unchanged
};

// Writes a host image by extension: .exr 32-bit float RGBA, lossless; .tif,
// .png, .jpg as the image library writes them (.tif 8-bit for 8-bit images,
// else float; .png 16-bit for 16-bit images, else 8-bit, colour never divided
// by alpha; .jpg 8-bit RGB). Writes to a temporary file beside `path` and
// renames it into place, so a failure leaves no file.
void WriteImageFile(const Image& image, const std::string& path, const WriteOptions& options = {});

// Whether WriteImageFile writes files named like `path` (by extension, in
// any case), and those extensions for messages.
bool IsOutputType(const std::string& path);
const char* OutputTypes();

// What this build writes a lossless 32-bit float image in (".exr"), and a
// picture for viewing (".png"); ".pfm" for both where PFM is all it writes.
const char* FloatImageExtension();
const char* PictureExtension();

namespace detail {
// For tests: false makes ReadImageFile put every pixel through the host's
// float spans even where it could decode straight into the image's storage.
void SetDirectReads(bool on);
}  // namespace detail

}  // namespace tessellon
