// EXR pixels through OpenEXR's own library, decoded straight into a host
// image's storage and encoded straight from it, on every core.
// Uncompressed scanline parts are read by our own code on the calling
// thread: their chunks in long runs, their samples interleaved into the
// storage, every chunk checked against the header first.
// Headers are opened and checked elsewhere (ImageFiles.cpp): these only
// move pixels, for what the storage and the file let them move directly,
// and say so when they cannot.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ExrDeflate.h"
#include "PendingFile.h"
#include "Pfm.h"

class Image;

namespace tessellon {

// What one frame reads of one part of an EXR file, in file coordinates
// (y down).
struct ExrFrameRead {
    int Part = 0;
    // For record channels R, G, B and A: the file channel, or empty for
    // Fill (a missing alpha is 1, a missing blue 0). A channel may feed
    // several (grey).
    std::array<std::string, 4> Channels = {};
    std::array<float, 4> Fill = {0, 0, 0, 1};
    int64_t FrameX0 = 0;   // the file column of host column 0
    int64_t FrameY1 = 0;   // file row FrameY1 - 1 is host row 0
    int64_t Y0 = 0, Y1 = 0;   // the file rows decoded, half-open, inside the data window and the held rows
    int Threads = 0;          // OpenEXR's decoding threads for this file, 0: the calling thread
    bool Mapped = false;      // read the file through a memory map rather than read()
};

// Decodes rows [Y0, Y1) of the part into `image` (a frame of the host, in
// half or float, whose every pixel is to be written), values bit for bit as
// the file holds them: half channels into half storage, half and float into
// float storage. Returns false, having touched nothing, where it cannot
// write straight into the storage: channels of another type or sub-sampled,
// a data window wider than the frame, storage that is not four interleaved
// channels in rows one stride apart. Pixels of the frame outside the data
// window are left as they are. Throws Error naming `path` for a file that
// fails to decode; an uncompressed one whose chunks are not where, or not
// the size, its header says is refused before any pixel is written.
bool ReadExrFrame(const std::string& path, const ExrFrameRead& read, Image& image);

struct ExrFrameWrite {
    bool Half = false;          // half channels, else float
    std::string Compression;    // one of OpenEXR's codecs by name, lower case: none, rle, zips, zip, piz, ...
    // The data window: the image's rows [Top, End) counted from its top
    // (End 0: to the bottom); the display window is the whole image.
    int32_t Top = 0, End = 0;
    std::vector<ExrAttribute> Attributes = {};   // string attributes the header carries
};

// Writes the image, or the rows of its data window, as an RGBA EXR file
// into `file` (the file's top row is host row H-1): zip and zips through
// ExrDeflate.h, other codecs with every line in one call to OpenEXR's writer
// on its thread pool.
// Pixels are taken straight from the storage unless `convert` is given or
// the storage is not half or float; then they go through 32-bit floats and
// `convert`. Nothing in the file depends on when it was written. Throws
// Error naming `path` (the target the caller commits `file` to).
void WriteExrFrame(const Image& image, const PendingFile& file, const ExrFrameWrite& how,
                   const RowConversion& convert, const std::string& path);

// Bands of a render read the same files one after the other, each band's
// rows below the one before's. While this is on (`bytes` above 0), a read
// that ends inside a compressed chunk keeps the rest of that chunk's rows,
// and a few before, for the next read of the file: the chunk is decoded
// once rather than once for each band it holds rows of. Up to `bytes` are
// kept in all, the oldest given up first; 0 drops what is kept.
void CarryChunkRows(uint64_t bytes);

// The rows a read of a scanline part keeps for the next read while
// carrying is on; 0 for codecs of one line a chunk. `compression` is
// OpenEXR's codec number, or its name in lower case ("dwaa:45" as the image
// library gives it).
int CarriedRowsFor(int compression);
int CarriedRowsFor(const std::string& compression);

// OpenEXR's threads: those of its global pool, at least one per core.
int ExrThreads();

namespace detail {
// How many frames ReadExrFrame has read with its own reader of
// uncompressed scanline chunks rather than OpenEXR's library.
uint64_t UncompressedExrReads();
// How many reads have taken rows an earlier read kept (CarryChunkRows).
uint64_t CarriedExrReads();
}  // namespace detail

}  // namespace tessellon
