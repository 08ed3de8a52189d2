// EXR files in zip and zips compression, their chunks deflated by libdeflate
// on every core, as OpenEXR 3.2 and later make them, and written through
// OpenEXR's own chunk writer. The OpenEXR of our release deflates through
// zlib at less than half the speed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "PendingFile.h"

namespace tessellon {

// An RGBA image as the writer takes it, in half or float: file row y (top
// first) starts at Top + y * Down, channel R, G, B or A of a pixel lies
// SlotOf[c] samples into it. Or, where the storage is not in the file's
// type, each row read through Line as it is compressed.
struct ExrRows {
    const uint8_t* Top = nullptr;
    int64_t Down = 0;
    int64_t PixelStride = 0;
    int SlotOf[4] = {0, 1, 2, 3};
    bool Half = false;
    int32_t Width = 0, Height = 0;
    // Where the rows lie in a display window of Width x DisplayHeight
    // (DisplayHeight 0: the rows are the whole window).
    int32_t DataY0 = 0, DisplayHeight = 0;
    // When set: file row y as Width RGBA floats into `rgba`, turned into
    // the file's type here; Top, Down, PixelStride and SlotOf are not used.
    // Called on the compressing threads, several at once.
    std::function<void(int32_t y, float* rgba)> Line;
};

struct ExrAttribute {
    std::string Name, Value;
};

// Whether WriteDeflatedExr writes a codec (OpenEXR's name, lower case).
bool IsDeflatedCodec(const std::string& compression);

// Writes the rows as a scanline RGBA EXR file into `file`, in zip (16 lines
// a chunk) or zips (one), its header carrying the string attributes.
// Nothing in the file depends on when it was written. Throws Error naming
// `path`.
void WriteDeflatedExr(const ExrRows& rows, const std::string& compression, const std::vector<ExrAttribute>& attributes,
                      const PendingFile& file, const std::string& path);

}  // namespace tessellon
