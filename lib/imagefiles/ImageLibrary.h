// Between the image-file façade (ImageFiles.cpp) and the module that reads
// and writes through OpenImageIO (LibraryFiles.cpp). Nothing else includes
// this.
#pragma once

#include <cstddef>
#include <string>

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
    void (*WriteBandFile)(const Image& canvas, const std::string& path, const BandFileInfo& info,
                          const std::string& compression);
    BandFileInfo (*ProbeBandFile)(const std::string& path);
    void (*ReadBandFile)(const std::string& path, const BandFileInfo& info, Image& canvas);
};

namespace detail {
// The façade's switches (ImageFiles.h) as the module reads them.
bool DirectReads();
bool OpenExrReads();
void CountOpenExrDecode();
}  // namespace detail

}  // namespace tessellon

// The module's one entry point.
extern "C" const tessellon::ImageLibrary* TessellonImageLibrary();
