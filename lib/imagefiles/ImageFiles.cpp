// Image files through OpenImageIO. Every size a file claims is checked here,
// before anything is allocated for it: the library of our release trusts the
// headers it reads and would allocate whatever a damaged file asks for.
#include "ImageFiles.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include <OpenImageIO/color.h>
#include <OpenImageIO/imageio.h>

#include "HostApp.h"
#include "HostSystem.h"
#include "FileChecks.h"
#include "PendingFile.h"
#include "Pfm.h"

namespace fs = std::filesystem;

namespace tessellon {

namespace detail {

namespace {
std::atomic<bool> directReads{true};
}

void SetDirectReads(bool on) { directReads.store(on, std::memory_order_relaxed); }

}  // namespace detail

namespace {

// Pixels decoded per band while reading: enough to keep the decoder busy,
// small next to the frame itself.
constexpr size_t BandBytes = size_t(4) << 20;

// OpenImageIO's messages end with a newline and sometimes hold several lines.
std::string Tidy(std::string text, const char* fallback) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    for (char& c : text)
        if (c == '\n') c = ' ';
    return text.empty() ? std::string(fallback) : text;
}

bool Multiply(uint64_t a, uint64_t b, uint64_t& product) {
    return !__builtin_mul_overflow(a, b, &product);
}

OIIO::TypeDesc TypeOfFormat(int32_t format) {
    switch (format) {
    case Format_UInt8: return OIIO::TypeDesc::UINT8;
    case Format_UInt16: return OIIO::TypeDesc::UINT16;
    case Format_Half: return OIIO::TypeDesc::HALF;
    default: return OIIO::TypeDesc::FLOAT;
    }
}

int32_t FormatOfType(OIIO::TypeDesc type) {
    switch (type.basetype) {
    case OIIO::TypeDesc::UINT8: return Format_UInt8;
    case OIIO::TypeDesc::UINT16: return Format_UInt16;
    case OIIO::TypeDesc::HALF: return Format_Half;
    default: return Format_Float;   // float, and everything the host does not hold
    }
}

// The host format for the channels that are read: their common format, or
// float when they differ.
int32_t HostFormatOf(const OIIO::ImageSpec& spec, int used) {
    if (spec.channelformats.empty())
        return FormatOfType(spec.format);
    const int32_t first = FormatOfType(spec.channelformats[0]);
    for (int c = 1; c < used; ++c)
        if (spec.channelformats[size_t(c)].basetype != spec.channelformats[0].basetype)
            return Format_Float;
    return first;
}

struct OpenedFile {
    std::unique_ptr<OIIO::ImageInput> Input;
    OIIO::ImageSpec Spec;
    ImageFileInfo Info;
    int Used = 0;   // channels read: the first four at most
};

// Opens a reader for the file. Which EXR reader the library makes is a
// global setting read as the reader is made, so setting it and opening go
// together.
std::unique_ptr<OIIO::ImageInput> OpenInput(const std::string& path, bool exrCore) {
    // Alpha as the file holds it: the library would otherwise multiply the
    // colour of PNG and TIFF files by an unassociated alpha while reading.
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    static std::mutex opening;
    std::lock_guard<std::mutex> lock(opening);
    OIIO::attribute("openexr:core", exrCore ? 1 : 0);
    return OIIO::ImageInput::open(path, &config);
}

// Opens the file by content, reads its header and checks every claimed size
// against the limits. Nothing the header claims has been allocated yet.
OpenedFile OpenChecked(const std::string& path, const ImageLimits& limits) {
    CheckRegularFile(path);
    std::error_code ec;
    if (fs::file_size(path, ec) == 0 && !ec)
        throw BadFile(path, "is empty (0 bytes)");

    OpenedFile f;
    f.Input = OpenInput(path, false);
    if (!f.Input)
        throw BadFile(path, "cannot read the image: " + Tidy(OIIO::geterror(), "unknown format"));
    f.Spec = f.Input->spec();
    const OIIO::ImageSpec& s = f.Spec;

    if (s.deep)
        throw BadFile(path, "holds deep data, which cannot be read as an image");
    if (s.depth > 1)
        throw BadFile(path, "is a volume image (" + std::to_string(s.depth) + " slices), which cannot be read");
    const int64_t width = s.full_width, height = s.full_height;
    // The library keeps sizes in an int: a header claiming 2^31 or more
    // pixels in a row or column reads as a negative size.
    if (width < 0 || height < 0 || s.width < 0 || s.height < 0)
        throw BadFile(path, "claims a width or height of 2147483648 pixels or more, above the limit of " +
                                       std::to_string(limits.MaxWidth) + " x " + std::to_string(limits.MaxHeight));
    if (width == 0 || height == 0 || s.width == 0 || s.height == 0)
        throw BadFile(path, "has no pixels (" + std::to_string(width) + " x " + std::to_string(height) + ")");
    if (width > limits.MaxWidth || height > limits.MaxHeight)
        throw BadFile(path, "claims " + std::to_string(width) + " x " + std::to_string(height) +
                                       " pixels, above the limit of " + std::to_string(limits.MaxWidth) + " x " +
                                       std::to_string(limits.MaxHeight) + " (--max-image-size raises it)");
    if (s.width > limits.MaxWidth || s.height > limits.MaxHeight)
        throw BadFile(path, "claims a data window of " + std::to_string(s.width) + " x " +
                                       std::to_string(s.height) + " pixels, above the limit of " +
                                       std::to_string(limits.MaxWidth) + " x " + std::to_string(limits.MaxHeight) +
                                       " (--max-image-size raises it)");
    if (s.nchannels <= 0)
        throw BadFile(path, "has no channels");
    if (s.nchannels > limits.MaxChannels)
        throw BadFile(path, "claims " + std::to_string(s.nchannels) + " channels, above the limit of " +
                                       std::to_string(limits.MaxChannels) + " (--max-channels raises it)");

    f.Used = std::min(s.nchannels, 4);
    const int32_t format = HostFormatOf(s, f.Used);
    const uint64_t channelBytes = uint64_t(BytesPerChannel(format));
    // What the host image holds, and what decoding the data window produces.
    uint64_t hostBytes = 0, decodedBytes = 0;
    const bool fits = Multiply(uint64_t(width), uint64_t(height), hostBytes) &&
                      Multiply(hostBytes, 4 * channelBytes, hostBytes) &&
                      Multiply(uint64_t(s.width), uint64_t(s.height), decodedBytes) &&
                      Multiply(decodedBytes, uint64_t(f.Used) * channelBytes, decodedBytes);
    const uint64_t bytes = std::max(hostBytes, decodedBytes);
    if (!fits || bytes > limits.MaxBytes)
        throw BadFile(path, "needs " + (fits ? std::to_string(bytes) : std::string("more than 2^64")) +
                                       " bytes of pixels, above the limit of " + std::to_string(limits.MaxBytes) +
                                       " bytes (--max-frame-bytes raises it)");

    f.Info.Width = int(width);
    f.Info.Height = int(height);
    f.Info.Channels = s.nchannels;
    f.Info.HostFormat = format;
    f.Info.HostBytes = hostBytes;
    return f;
}

// For each record channel 0..3: the file channel it comes from, or -1 for an
// alpha of one.
void RecordSources(int used, int source[4]) {
    static constexpr int Map[5][4] = {
        {-1, -1, -1, -1}, {0, 0, 0, -1}, {0, 0, 0, 1}, {0, 1, 2, -1}, {0, 1, 2, 3},
    };
    std::copy(Map[used], Map[used] + 4, source);
}

// Whether the image keeps its four channels at the start of each pixel of
// group 0, one after the other in `type`, with no second group: then decoded
// pixels go straight into the host's storage.
bool StorageIsDirect(const Image& image, OIIO::TypeDesc type) {
    if (!detail::directReads.load(std::memory_order_relaxed)) return false;
    const BufferGroup& g = image.Group[0];
    if (!g.Base || !g.RowOffsets || image.Group[1].RowOffsets || image.Channels != 4) return false;
    if (size_t(BytesPerChannel(image.Format)) != type.size() || g.PixelStride != int64_t(4 * type.size()))
        return false;
    for (int32_t c : image.ChannelMap)
        if (c < 0 || c > 3) return false;
    return true;
}

template <class T>
void CopyPixels(const uint8_t* from, int used, const int slotSource[4], T one, uint8_t* to, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        T in[4], out[4];
        std::memcpy(in, from + i * used * sizeof(T), used * sizeof(T));
        for (int k = 0; k < 4; ++k)
            out[k] = slotSource[k] < 0 ? one : in[slotSource[k]];
        std::memcpy(to + i * 4 * sizeof(T), out, sizeof(out));
    }
}

// Puts one decoded row of `count` pixels into host row `row` from column `x`.
class RowSink {
public:
    RowSink(Image& image, int used, bool direct) : image_(image), used_(used), direct_(direct) {
        RecordSources(used, recordSource_);
        for (int k = 0; k < 4; ++k)
            slotSource_[k] = recordSource_[image.ChannelMap[k]];
        if (!direct) floats_.resize(size_t(image.Width) * 4);
    }

    void Put(const uint8_t* from, int32_t x, int32_t row, int32_t count) {
        if (!direct_) {
            const float* in = reinterpret_cast<const float*>(from);
            for (int32_t i = 0; i < count; ++i)
                for (int c = 0; c < 4; ++c)
                    floats_[size_t(i) * 4 + c] = recordSource_[c] < 0 ? 1.0f : in[size_t(i) * used_ + recordSource_[c]];
            image_.WriteSpan(x, row, count, floats_.data());
            return;
        }
        const BufferGroup& g = image_.Group[0];
        uint8_t* to = g.Base + g.RowOffsets[row] + int64_t(x) * g.PixelStride;
        switch (image_.Format) {
        case Format_UInt8: CopyPixels<uint8_t>(from, used_, slotSource_, 255, to, count); break;
        case Format_UInt16: CopyPixels<uint16_t>(from, used_, slotSource_, 65535, to, count); break;
        case Format_Half: CopyPixels<uint16_t>(from, used_, slotSource_, 0x3C00, to, count); break;   // 1.0
        default: CopyPixels<float>(from, used_, slotSource_, 1.0f, to, count); break;
        }
    }

private:
    Image& image_;
    int used_;
    bool direct_;
    int recordSource_[4];
    int slotSource_[4];
    std::vector<float> floats_;
};

// Decodes the part of the data window that lies inside the display window,
// band by band, into the image. Rows run top-down in the file, bottom-up in
// the host.
void ReadPixels(OpenedFile& f, Image& image, const std::string& path) {
    const OIIO::ImageSpec& s = f.Spec;
    const int64_t x0 = std::max<int64_t>(s.x, s.full_x);
    const int64_t x1 = std::min<int64_t>(int64_t(s.x) + s.width, int64_t(s.full_x) + s.full_width);
    const int64_t y0 = std::max<int64_t>(s.y, s.full_y);
    const int64_t y1 = std::min<int64_t>(int64_t(s.y) + s.height, int64_t(s.full_y) + s.full_height);
    if (x0 >= x1 || y0 >= y1) return;   // no data inside the display window: all transparent

    const bool direct = StorageIsDirect(image, TypeOfFormat(image.Format));
    const OIIO::TypeDesc type = direct ? TypeOfFormat(image.Format) : OIIO::TypeDesc(OIIO::TypeDesc::FLOAT);
    const size_t pixelBytes = size_t(f.Used) * type.size();
    const size_t rowBytes = size_t(s.width) * pixelBytes;

    // Tiled files are read in whole rows of tiles, which start at the data
    // window's top edge; scanline files from the first row that shows.
    const bool tiled = s.tile_width > 0;
    const int64_t step = tiled ? std::max(1, s.tile_height) : std::max<int64_t>(1, int64_t(BandBytes / rowBytes));
    const int64_t first = tiled ? s.y + (y0 - s.y) / step * step : y0;
    std::vector<uint8_t> band(size_t(step) * rowBytes);

    if (direct) {
        // The host learns that the image holds pixels; this one is overwritten below.
        const float clear[4] = {0, 0, 0, 0};
        image.WriteSpan(0, 0, 1, clear);
    }
    RowSink sink(image, f.Used, direct);
    const int64_t lastHostRow = int64_t(s.full_y) + s.full_height - 1;
    for (int64_t b0 = first; b0 < y1; b0 += step) {
        const int64_t b1 = tiled ? std::min<int64_t>(b0 + step, int64_t(s.y) + s.height) : std::min(b0 + step, y1);
        const bool ok = tiled ? f.Input->read_tiles(0, 0, s.x, s.x + s.width, int(b0), int(b1), s.z, s.z + 1, 0,
                                                    f.Used, type, band.data())
                              : f.Input->read_scanlines(0, 0, int(b0), int(b1), s.z, 0, f.Used, type, band.data());
        if (!ok || f.Input->has_error())
            throw BadFile(path, "cannot read the pixels: " + Tidy(f.Input->geterror(), "read failed"));
        for (int64_t y = std::max(b0, y0); y < std::min(b1, y1); ++y) {
            const uint8_t* from = band.data() + size_t(y - b0) * rowBytes + size_t(x0 - s.x) * pixelBytes;
            sink.Put(from, int32_t(x0 - s.full_x), int32_t(lastHostRow - y), int32_t(x1 - x0));
        }
    }
}

}  // namespace

ImageFileInfo ProbeImageFile(const std::string& path, const ImageLimits& limits) {
    OpenedFile f = OpenChecked(path, limits);
    f.Input->close();
    return f.Info;
}

Image* ReadImageFile(const std::string& path, const ImageLimits& limits, void* imageContext) {
    OpenedFile f = OpenChecked(path, limits);
    // The library's newer EXR reader decodes uncompressed files several
    // times faster than its default one (and PIZ files slower).
    if (std::strcmp(f.Input->format_name(), "openexr") == 0 &&
        f.Spec.get_string_attribute("compression") == "none") {
        std::unique_ptr<OIIO::ImageInput> faster = OpenInput(path, true);
        if (faster && faster->spec().format == f.Spec.format && faster->spec().width == f.Spec.width &&
            faster->spec().height == f.Spec.height && faster->spec().nchannels == f.Spec.nchannels &&
            faster->spec().x == f.Spec.x && faster->spec().y == f.Spec.y) {
            f.Input->close();
            f.Input = std::move(faster);
        }
    }
    const ImageFileInfo& info = f.Info;
    HostRef<Image> hold = NewFrameImage(path, info.Width, info.Height, info.HostFormat, imageContext);
    ReadPixels(f, *hold.Get(), path);
    if (!f.Input->close())
        throw BadFile(path, "cannot read the image: " + Tidy(f.Input->geterror(), "close failed"));
    return hold.Release();
}

namespace {

struct OutputKind {
    int Channels;
    OIIO::TypeDesc Type;
    const char* Compression;   // null: the format's own
    bool RawAlpha;             // colour not divided by alpha on the way out
};

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

OutputKind KindOf(const std::string& extension, const Image& image, const std::string& path) {
    if (extension == ".exr")
        return {4, OIIO::TypeDesc::FLOAT, "zip", false};
    if (extension == ".tif" || extension == ".tiff")
        return {4, image.Format == Format_UInt8 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::FLOAT, "zip", false};
    if (extension == ".png")
        return {4, image.Format == Format_UInt16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8, nullptr, true};
    if (extension == ".jpg" || extension == ".jpeg")
        return {3, OIIO::TypeDesc::UINT8, nullptr, false};
    throw BadFile(path, "unknown output file type '" + extension + "' (use " + OutputTypes() + ")");
}

OIIO::ColorProcessorHandle ColorProcessorFor(const WriteOptions& options, const std::string& path) {
    if (options.ColorFrom.empty() && options.ColorTo.empty()) return nullptr;
    if (options.ColorFrom.empty() || options.ColorTo.empty())
        throw BadFile(path, "a colour conversion needs both a source and a target colour space");
    OIIO::ColorConfig config;
    const std::vector<std::string> names = config.getColorSpaceNames();
    for (const std::string* name : {&options.ColorFrom, &options.ColorTo}) {
        // Roles and aliases are accepted too; only a name the configuration
        // cannot turn into a transform is refused.
        if (std::find(names.begin(), names.end(), *name) == names.end() &&
            !config.getColorSpaceNameByRole(*name) && !config.createColorProcessor(*name, *name))
            throw BadFile(path, "unknown colour space '" + *name + "'");
    }
    OIIO::ColorProcessorHandle processor = config.createColorProcessor(options.ColorFrom, options.ColorTo);
    if (!processor)
        throw BadFile(path, "cannot convert colour from '" + options.ColorFrom + "' to '" + options.ColorTo +
                                       "': " + Tidy(config.geterror(), "no such transform"));
    return processor;
}


}  // namespace

bool IsOutputType(const std::string& path) {
    const std::string extension = Lower(fs::path(path).extension().string());
    for (const char* known : {".exr", ".tif", ".tiff", ".png", ".jpg", ".jpeg", ".pfm"})
        if (extension == known) return true;
    return false;
}

const char* OutputTypes() { return ".exr, .tif, .png, .jpg or .pfm"; }

const char* FloatImageExtension() { return ".exr"; }

const char* PictureExtension() { return ".png"; }

void WriteImageFile(const Image& image, const std::string& path, const WriteOptions& options) {
    if (IsPfmPath(path)) {
        // The library reads PFM files but has no writer for them.
        const OIIO::ColorProcessorHandle processor = ColorProcessorFor(options, path);
        RowConversion convert;
        if (processor)
            convert = [&](float* rgba, int32_t count) {
                const OIIO::stride_t pixel = 4 * sizeof(float);
                processor->apply(rgba, count, 1, 4, sizeof(float), pixel, pixel * count);
            };
        WritePfmFile(image, path, convert);
        return;
    }
    const fs::path target(path);
    const std::string extension = Lower(target.extension().string());
    const OutputKind kind = KindOf(extension, image, path);
    const OIIO::ColorProcessorHandle processor = ColorProcessorFor(options, path);

    // The temporary keeps the extension: the library picks the writer by it.
    PendingFile temporary(path, extension);
    const fs::path& directory = temporary.Directory();
    const std::string temporaryName = temporary.Path().string();

    std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(temporaryName);
    if (!out)
        throw BadFile(path, "cannot write this file type: " + Tidy(OIIO::geterror(), "no writer"));
    OIIO::ImageSpec spec(image.Width, image.Height, kind.Channels, kind.Type);
    if (kind.Channels == 4) spec.alpha_channel = 3;
    if (kind.Compression) spec.attribute("compression", kind.Compression);
    if (kind.RawAlpha) spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!out->open(temporaryName, spec))
        throw BadFile(path, "cannot create a file in '" + directory.string() +
                                       "': " + Tidy(out->geterror(), "open failed"));

    // Bands of whole compression blocks, so that the writer can compress
    // them on several threads at once.
    const int32_t bandRows = 64;
    const size_t rowFloats = size_t(image.Width) * 4;
    std::vector<float> band(rowFloats * size_t(std::min(bandRows, image.Height)));
    const OIIO::stride_t pixelStride = 4 * sizeof(float);
    for (int32_t y0 = 0; y0 < image.Height; y0 += bandRows) {
        const int32_t y1 = std::min(image.Height, y0 + bandRows);
        for (int32_t y = y0; y < y1; ++y) {
            float* row = band.data() + size_t(y - y0) * rowFloats;
            image.ReadSpan(0, image.Height - 1 - y, image.Width, row);
            if (processor)
                processor->apply(row, image.Width, 1, 4, sizeof(float), pixelStride, pixelStride * image.Width);
        }
        if (!out->write_scanlines(y0, y1, 0, OIIO::TypeDesc::FLOAT, band.data(), pixelStride)) {
            const std::string reason = Tidy(out->geterror(), "write failed");
            out->close();
            throw BadFile(path, "cannot write: " + reason);
        }
    }
    if (!out->close())
        throw BadFile(path, "cannot write: " + Tidy(out->geterror(), "close failed"));
    out.reset();

    temporary.Commit();
}

}  // namespace tessellon
