// Image files in and out of host images. The only place that includes an
// image library; the rest of the command-line host sees this façade.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ChannelChoice.h"
#include "Error.h"
#include "HostApp.h"

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
    bool RowAccess = false;      // ReadImageFile decodes only the rows asked for (EXR and TIFF)
    int CarriedRows = 0;         // rows a read keeps for the next band's while carrying is on; 0: none
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

// The rows of a frame that one band of the canvas needs, counted from the
// bottom row as the host counts them: the image holds Rows, and images made
// like it (the frame turned) LikeRows (HostApp.h, IMG_FirstRow).
struct FrameRows {
    HostApp::RowRange Rows, LikeRows;
};

// ReadImageFile into an image of the frame's full size that holds only
// `rows`. Files with RowAccess are decoded for those rows only (scanline and
// tiled EXR, TIFF strips and tiles: the blocks that hold them); others are
// decoded whole and the rows outside are dropped as they come.
Image* ReadImageFile(const std::string& path, const ImageLimits& limits, void* imageContext, const FrameRows& rows);

// While a render goes band after band, the EXR rows a band decodes for the
// next (ImageFileInfo::CarriedRows) are kept, up to `bytes` in all; 0 drops
// them and keeps none.
void CarryRowsBetweenBands(uint64_t bytes);

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

// A band of a stitch's canvas in its own EXR file: the display window is
// the canvas, the data window the band's rows; attributes carry the shot's
// identity, the canvas's geometry and pixel format, the colour space of its
// pixels and which band of how many it is. Pixels are the canvas's as the
// host holds them, never converted: half for a half canvas, float for the
// others (which keeps 8- and 16-bit values exactly).
struct BandFileInfo {
    std::string Shot;                     // the shot's identity
    int K = 0, N = 0;                     // band K of N
    int32_t CanvasWidth = 0, CanvasHeight = 0;
    std::string Origin;                   // the canvas origin, as text
    int32_t Format = 0;                   // the canvas's host format
    std::string ColorSpace;               // what its pixels are in; empty: unknown
    int32_t Top = 0, End = 0;             // canvas rows held, from the top (the data window)
};

// Writes rows [info.Top, info.End) of `canvas` (counted from its top row)
// through a pending file; `compression` one of OpenEXR's lossless codecs
// (empty: zip). Nothing in the file depends on when it was written, so a
// band written again is the same file. Throws Error naming `path`.
void WriteBandFile(const Image& canvas, const std::string& path, const BandFileInfo& info,
                   const std::string& compression);

// The band a file holds, from its header. Throws Error naming `path` for a
// file that is no band file.
BandFileInfo ProbeBandFile(const std::string& path);

// Writes the band's pixels into their rows of `canvas`, an image of the
// band's canvas size. Throws Error naming `path`.
void ReadBandFile(const std::string& path, const BandFileInfo& info, Image& canvas);

// Whether an OpenEXR codec keeps every bit (none, rle, zips, zip, piz).
bool IsLosslessCompression(const std::string& compression);

// What this build writes a lossless 32-bit float image in (".exr"), and a
// picture for viewing (".png"); ".pfm" for both where PFM is all it writes.
const char* FloatImageExtension();
const char* PictureExtension();

namespace detail {
// For tests: false makes ReadImageFile put every pixel through the host's
// float spans even where it could decode straight into the image's storage.
void SetDirectReads(bool on);
// For tests: false makes ReadImageFile decode EXR files through the image
// library, as files it cannot give OpenEXR to decode straight into storage.
void SetOpenExrReads(bool on);
// How many frames OpenEXR has decoded straight into storage so far.
uint64_t OpenExrDecodes();
// How many EXR headers of frames and band files were read through OpenEXR
// alone, without the image library (Linux).
uint64_t PlainExrHeaders();
}  // namespace detail

}  // namespace tessellon
