// The image-file façade where OpenImageIO is not at hand (the Windows build):
// EXR through tinyexr, PNG through stb_image and zlib, PFM by our own code.
// Files are read by their content; the extension chooses what is written.
// No colour conversion.
#include "ImageFiles.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <vector>

#include "Exr.h"
#include "FileChecks.h"
#include "Pfm.h"
#include "Png.h"

namespace tessellon {

namespace detail {

// Every pixel already goes through the host's float spans here.
void SetDirectReads(bool) {}
void SetOpenExrReads(bool) {}
uint64_t OpenExrDecodes() { return 0; }
uint64_t PlainExrHeaders() { return 0; }

}  // namespace detail

// Frames are read whole here: there are no rows of a band to carry.
void CarryRowsBetweenBands(uint64_t) {}

namespace {

enum class Kind { Exr, Png, Pfm };

Kind KindOfContent(const std::string& path) {
    const std::vector<uint8_t> start = ReadFileBytes(path, 8);
    if (IsExrData(start.data(), start.size())) return Kind::Exr;
    if (IsPngData(start.data(), start.size())) return Kind::Png;
    if (start.size() >= 2 && start[0] == 'P' && (start[1] == 'F' || start[1] == 'f')) return Kind::Pfm;
    throw BadFile(path, "cannot read the image: unknown format (this build of tessellon reads EXR, PNG and PFM files)");
}

std::string ExtensionOf(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

ExrWrite ExrWriteOf(const WriteOptions& options, const std::string& path) {
    static constexpr const char* Codecs[] = {"none", "rle", "zips", "zip", "piz"};
    ExrWrite how;
    how.Half = options.DataType == "half";
    if (options.Compression.empty()) return how;
    for (int code = 0; code < 5; ++code)
        if (options.Compression == Codecs[code]) {
            how.Compression = code;
            return how;
        }
    throw BadFile(path, "unknown compression '" + options.Compression + "' (use " + ExrCompressions() + ")");
}

}  // namespace

ImageFileInfo ProbeImageFile(const std::string& path, const ImageLimits& limits) {
    switch (KindOfContent(path)) {
    case Kind::Exr: return ProbeExrFile(path, limits);
    case Kind::Png: return ProbePngFile(path, limits);
    default: return ProbePfmFile(path, limits);
    }
}

Image* ReadImageFile(const std::string& path, const ImageLimits& limits, void* imageContext) {
    switch (KindOfContent(path)) {
    case Kind::Exr: return ReadExrFile(path, limits, imageContext);
    case Kind::Png: return ReadPngFile(path, limits, imageContext);
    default: return ReadPfmFile(path, limits, imageContext);
    }
}

Image* ReadImageFile(const std::string& path, const ImageLimits& limits, void* imageContext, const FrameRows& rows) {
    // These decoders fill whole frames: the rows are copied out of one.
    HostRef<Image> whole(ReadImageFile(path, limits, imageContext));
    HostRef<Image> held = NewFrameImage(path, whole->Width, whole->Height, whole->Format, imageContext, &rows);
    std::vector<float> row(size_t(whole->Width) * 4);
    for (int32_t y = rows.Rows.First; y < rows.Rows.End; ++y) {
        whole->ReadSpan(0, y, whole->Width, row.data());
        held->WriteSpan(0, y, whole->Width, row.data());
    }
    return held.Release();
}

bool IsOutputType(const std::string& path) {
    const std::string extension = ExtensionOf(path);
    return extension == ".exr" || extension == ".png" || extension == ".pfm";
}

const char* OutputTypes() { return ".exr, .png or .pfm"; }

const char* FloatImageExtension() { return ".exr"; }

const char* PictureExtension() { return ".png"; }

const char* ExrCompressions() { return "none, rle, zips, zip or piz"; }

void CheckWriteOptions(const std::string& path, const WriteOptions& options) {
    const std::string extension = ExtensionOf(path);
    if (!IsOutputType(path))
        throw BadFile(path, "unknown output file type '" + extension + "' (use " + OutputTypes() + ")");
    if (!options.ColorFrom.empty() || !options.ColorTo.empty())
        throw BadFile(path, "this build of tessellon converts no colour spaces (it has no colour library)");
    if (extension != ".exr" && (!options.DataType.empty() || !options.Compression.empty()))
        throw BadFile(path, std::string("takes no ") + (options.DataType.empty() ? "--compression" : "-d") +
                                " (only .exr files do)");
    ExrWriteOf(options, path);
}

// Pixels are written as they are held: this build has no colour
// configuration to convert by, whatever options.ColorSpace says.
void WriteImageFile(const Image& image, const std::string& path, const WriteOptions& options) {
    CheckWriteOptions(path, options);
    const std::string extension = ExtensionOf(path);
    if (extension == ".exr")
        WriteExrFile(image, path, ExrWriteOf(options, path));
    else if (extension == ".png")
        WritePngFile(image, path);
    else
        WritePfmFile(image, path);
}

}  // namespace tessellon
