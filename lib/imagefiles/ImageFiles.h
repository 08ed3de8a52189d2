// Image files in and out of host images. The only place that includes an
// image library; the rest of the command-line host sees this façade.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ChannelChoice.h"
#include "Error.h"

class Image;

namespace tessellon {

// What one image file may claim before anything is allocated for it.
struct ImageLimits {
    int64_t MaxWidth = 65535;
    int64_t MaxHeight = 65535;
    int MaxChannels = 1024;
    uint64_t MaxBytes = uint64_t(4) << 30;   // bytes the reader holds per frame: the image and its buffers
    ImageReadChoice Choice;                  // which part, view, layer and window are read
};

struct ImageFileInfo {
    int Width = 0, Height = 0;   // the display window
    int Channels = 0;            // in the file
    int HostFormat = 0;          // the host format code the frame is kept in
    uint64_t HostBytes = 0;      // what the host image will hold
    // What the file holds besides what is read: "part 1 'depth'", "view
    // 'right'", "layer 'diffuse'", "channel 'Z'", "subimage 1", "mip levels".
    std::vector<std::string> Unread = {};
    bool DataOutside = false;    // some data pixels lie outside the frame and are dropped
    bool NoData = false;         // no data pixel lies inside the frame: it is all transparent
    std::string ColorSpace = {}; // what the file says its pixels are in; empty: it does not say
};

// Reads the header only and checks it against the limits (64-bit checked
// arithmetic). Throws Error (bad input) naming the file.
ImageFileInfo ProbeImageFile(const std::string& path, const ImageLimits& limits);

// Reads a file into a new host image (one reference), in the file's own
// pixel format where the host has it (8-bit, 16-bit, half, float; others as
// float). The file's top row is host row H-1. The part, view and layer of
// `limits.Choice` are read, their channels chosen by name (ChooseChannels).
// The frame is the display window: data outside it is dropped, pixels
// without data are (0, 0, 0, 0); with Choice.DataWindow it is the data
// window. Colour stays as the file holds it, never multiplied by an
// unassociated alpha. Running out of memory is an Error naming the file
// like any other. Throws Error.
Image* ReadImageFile(const std::string& path, const ImageLimits& limits, void* imageContext);

struct WriteOptions {
    std::string ColorFrom, ColorTo;   // both given: convert from one to the other, nothing else
    std::string DataType = {};        // .exr: "half" or "float"; empty: float
    std::string Compression = {};     // .exr: an OpenEXR codec; empty: zip
    std::string ColorSpace = {};      // what the image's pixels are in; empty: unknown
};

// The OpenEXR codecs WriteOptions::Compression takes, for messages.
const char* ExrCompressions();

// Writes a host image by extension: .exr RGBA, 32-bit float (or half)
// lossless zip unless told otherwise; .tif, .png, .jpg as the image library
// writes them (.tif 8-bit for 8-bit images, else float; .png 16-bit for
// 16-bit images, else 8-bit, colour never divided by alpha; .jpg 8-bit RGB).
// Files of 8 and 16 bits hold sRGB, float files scene-linear: pixels in a
// known colour space (options.ColorSpace) are converted to the file's,
// unknown ones pass unchanged and are labelled as nothing. Writes to a
// temporary file beside `path` and renames it into place, so a failure
// leaves no file.
void WriteImageFile(const Image& image, const std::string& path, const WriteOptions& options = {});

// Refuses, naming `path`, options WriteImageFile would refuse for it: a
// type or compression for a format without them, an unknown colour space.
void CheckWriteOptions(const std::string& path, const WriteOptions& options);

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
