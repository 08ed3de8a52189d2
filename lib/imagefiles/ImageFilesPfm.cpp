// The image-file façade where OpenImageIO is not at hand (the Windows build):
// PFM files only, read and written by our own code. 32-bit float colour or
// grey in, 32-bit float colour out; lossless both ways except that PFM holds
// no alpha. No colour conversion.
#include "ImageFiles.h"

#include "Pfm.h"

namespace tessellon {

namespace detail {

// Every pixel already goes through the host's float spans here.
void SetDirectReads(bool) {}

}  // namespace detail

namespace {

// Files are read by their content, which tells a PFM file from others; the
// extension chooses what is written.
void RequirePfmName(const std::string& path) {
    if (!IsPfmPath(path))
        throw BadFile(path, "cannot write this file type: this build of tessellon writes PFM files (.pfm) only");
}

}  // namespace

ImageFileInfo ProbeImageFile(const std::string& path, const ImageLimits& limits) {
    return ProbePfmFile(path, limits);
}

Image* ReadImageFile(const std::string& path, const ImageLimits& limits, void* imageContext) {
    return ReadPfmFile(path, limits, imageContext);
}

bool IsOutputType(const std::string& path) { return IsPfmPath(path); }

const char* OutputTypes() { return ".pfm"; }

const char* FloatImageExtension() { return ".pfm"; }

const char* PictureExtension() { return ".pfm"; }

const char* ExrCompressions() { return "none (this build writes no EXR files)"; }

void CheckWriteOptions(const std::string& path, const WriteOptions& options) {
    RequirePfmName(path);
    if (!options.ColorFrom.empty() || !options.ColorTo.empty())
        throw BadFile(path, "this build of tessellon converts no colour spaces");
    if (!options.DataType.empty() || !options.Compression.empty())
        throw BadFile(path, std::string("takes no ") + (options.DataType.empty() ? "--compression" : "-d") +
                                " (only .exr files do)");
}

// Pixels are written as they are held: this build has no colour
// configuration to convert by, whatever options.ColorSpace says.
void WriteImageFile(const Image& image, const std::string& path, const WriteOptions& options) {
    CheckWriteOptions(path, options);
    WritePfmFile(image, path);
}

}  // namespace tessellon
