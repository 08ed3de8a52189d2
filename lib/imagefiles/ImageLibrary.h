// Between the image-file façade (ImageFiles.cpp) and the module that reads
// and writes through OpenImageIO (LibraryFiles.cpp). Nothing else includes
// this.
#pragma once

#include <cstddef>
#include <string>

#include "HostSystem.h"
#include "ImageFiles.h"

namespace tessellon {

// Pixels decoded per band while reading: enough to keep the decoder busy,
// small next to the frame itself.
inline constexpr size_t DecodeBandBytes = size_t(4) << 20;

// What the module does, with the meaning of the ImageFiles.h functions of
// the same names (Read takes no rows for a whole frame).
struct ImageLibrary {
    ImageFileInfo (*ProbeImageFile)(const std::string& path, const ImageLimits& limits);
    Image* (*ReadImageFile)(const std::string& path, const ImageLimits& limits, void* imageContext,
                            const FrameRows* rows);
    void (*WriteImageFile)(const Image& image, const std::string& path, const WriteOptions& options);
    void (*CheckWriteOptions)(const std::string& path, const WriteOptions& options);
    BandFileInfo (*ProbeBandFile)(const std::string& path);
    void (*ReadBandFile)(const std::string& path, const BandFileInfo& info, Image& canvas);
};

// Band files name the pixel format of their canvas.
inline constexpr const char* BandAttribute = "tessellon:band";

inline const char* BandFormatName(int32_t format) {
    switch (format) {
    case Format_UInt8: return "8-bit";
    case Format_UInt16: return "16-bit";
    case Format_Half: return "half";
    default: return "float";
    }
}

inline int32_t BandFormatOf(const std::string& name) {
    for (const int32_t format : {Format_UInt8, Format_UInt16, Format_Half, Format_Float})
        if (name == BandFormatName(format)) return format;
    return 0;
}

namespace detail {
// The façade's switches (ImageFiles.h) as the module reads them.
bool DirectReads();
bool OpenExrReads();
void CountOpenExrDecode();
}  // namespace detail

}  // namespace tessellon

// The module's one entry point.
extern "C" const tessellon::ImageLibrary* TessellonImageLibrary();
