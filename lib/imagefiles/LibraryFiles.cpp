// Image files through OpenImageIO: every file the façade (ImageFiles.cpp)
// does not read or write through OpenEXR alone. Built as a module of its
// own and loaded the first time a file needs it, for binding the library
// and the libraries it brings takes longer than most runs spend on their
// own start. Every size a file claims is checked here, before anything is
// allocated for it: the library of our release trusts the headers it reads
// and would allocate whatever a damaged file asks for.
#include "ImageFiles.h"
#include "ImageLibrary.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include <OpenEXR/openexr.h>
#include <OpenImageIO/color.h>
#include <OpenImageIO/imageio.h>

#include "ExrFrames.h"
#include "HostApp.h"
#include "HostSystem.h"
#include "FileChecks.h"
#include "PendingFile.h"
#include "Pfm.h"

namespace fs = std::filesystem;

namespace tessellon::library {

namespace {

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
int32_t HostFormatOf(const OIIO::ImageSpec& spec, const std::array<int, 4>& source) {
    if (spec.channelformats.empty())
        return FormatOfType(spec.format);
    const OIIO::TypeDesc red = spec.channelformats[size_t(source[0])];   // colour always has a channel
    for (int c : source)
        if (c >= 0 && spec.channelformats[size_t(c)].basetype != red.basetype)
            return Format_Float;
    return FormatOfType(red);
}

// A rectangle of pixels in file coordinates (y down), half-open.
struct Window {
    int64_t X0 = 0, Y0 = 0, X1 = 0, Y1 = 0;
    bool Empty() const { return X0 >= X1 || Y0 >= Y1; }
    bool Contains(const Window& w) const { return w.X0 >= X0 && w.Y0 >= Y0 && w.X1 <= X1 && w.Y1 <= Y1; }
};

Window DataOf(const OIIO::ImageSpec& s) { return {s.x, s.y, int64_t(s.x) + s.width, int64_t(s.y) + s.height}; }

Window DisplayOf(const OIIO::ImageSpec& s) {
    return {s.full_x, s.full_y, int64_t(s.full_x) + s.full_width, int64_t(s.full_y) + s.full_height};
}

Window Intersection(const Window& a, const Window& b) {
    return {std::max(a.X0, b.X0), std::max(a.Y0, b.Y0), std::min(a.X1, b.X1), std::min(a.Y1, b.Y1)};
}

struct OpenedFile {
    std::unique_ptr<OIIO::ImageInput> Input;
    int Subimage = 0;
    OIIO::ImageSpec Spec;
    ImageFileInfo Info;
    Window Frame;                  // what the host image shows
    int ChannelBegin = 0, ChannelEnd = 0;   // the file channels decoded
    std::array<int, 4> Source{};   // R, G, B, A: decoded channel (from ChannelBegin) or SourceOne/SourceZero
    int64_t BandRows = 1;          // rows decoded at a time
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

std::string LimitText(const ImageLimits& limits) {
    return std::to_string(limits.MaxWidth) + " x " + std::to_string(limits.MaxHeight);
}

// Refuses what the chosen part's header claims beyond the limits.
void CheckSizes(const OIIO::ImageSpec& s, const ImageLimits& limits, const std::string& path) {
    if (s.deep)
        throw BadFile(path, "holds deep data, which cannot be read as an image");
    if (s.depth > 1)
        throw BadFile(path, "is a volume image (" + std::to_string(s.depth) + " slices), which cannot be read");
    const int64_t width = s.full_width, height = s.full_height;
    // The library keeps sizes in an int: a header claiming 2^31 or more
    // pixels in a row or column reads as a negative size.
    if (width < 0 || height < 0 || s.width < 0 || s.height < 0)
        throw BadFile(path, "claims a width or height of 2147483648 pixels or more, above the limit of " +
                                LimitText(limits));
    if (width == 0 || height == 0 || s.width == 0 || s.height == 0)
        throw BadFile(path, "has no pixels (" + std::to_string(width) + " x " + std::to_string(height) + ")");
    if (width > limits.MaxWidth || height > limits.MaxHeight)
        throw BadFile(path, "claims " + std::to_string(width) + " x " + std::to_string(height) +
                                " pixels, above the limit of " + LimitText(limits) + " (--max-image-size raises it)");
    if (s.width > limits.MaxWidth || s.height > limits.MaxHeight)
        throw BadFile(path, "claims a data window of " + std::to_string(s.width) + " x " + std::to_string(s.height) +
                                " pixels, above the limit of " + LimitText(limits) + " (--max-image-size raises it)");
    if (s.nchannels <= 0)
        throw BadFile(path, "has no channels");
    if (s.nchannels > limits.MaxChannels)
        throw BadFile(path, "claims " + std::to_string(s.nchannels) + " channels, above the limit of " +
                                std::to_string(limits.MaxChannels) + " (--max-channels raises it)");
}

// The part's channel names, declared alpha and views.
ChannelSet ChannelsOf(const OIIO::ImageSpec& s) {
    ChannelSet set;
    set.Names = s.channelnames;
    set.Names.resize(size_t(std::max(0, s.nchannels)));
    set.Alpha = s.alpha_channel;
    if (const OIIO::ParamValue* views = s.find_attribute("multiView");
        views && views->type().basetype == OIIO::TypeDesc::STRING) {
        const OIIO::ustring* names = static_cast<const OIIO::ustring*>(views->data());
        for (size_t i = 0; i < views->type().basevalues() * size_t(views->nvalues()); ++i)
            set.Views.push_back(names[i].string());
    } else if (const std::string view = s.get_string_attribute("view"); !view.empty()) {
        set.Views = {view};
    }
    return set;
}

// The parts of a file as the library numbers them: EXR parts or the
// subimages of other formats (pages of a TIFF file).
constexpr int MaxParts = 4096;

struct Part {
    OIIO::ImageSpec Spec;
    ChosenChannels Channels;
    bool Viewed = true;   // holds the chosen view, if one is chosen
};

std::string PartLabel(const OIIO::ImageInput& input, int index, const OIIO::ImageSpec& spec) {
    if (std::strcmp(input.format_name(), "openexr") != 0) return "subimage " + std::to_string(index);
    const std::string name = spec.get_string_attribute("name");
    return "part " + std::to_string(index) + (name.empty() ? "" : " '" + name + "'");
}

std::vector<Part> PartsOf(OIIO::ImageInput& input, const ImageReadChoice& choice) {
    std::vector<Part> parts;
    for (int i = 0; i < MaxParts && input.seek_subimage(i, 0); ++i) {
        Part part;
        part.Spec = input.spec();
        const ChannelSet channels = ChannelsOf(part.Spec);
        part.Viewed = choice.View.empty() ||
                      std::find(channels.Views.begin(), channels.Views.end(), choice.View) != channels.Views.end();
        part.Channels = ChooseChannels(channels, choice);
        parts.push_back(std::move(part));
    }
    return parts;
}

// The part the choice names, or the first that holds colour (in the chosen
// view). Throws Error naming the file and the part.
int ChoosePart(const OIIO::ImageInput& input, const std::vector<Part>& parts, const ImageReadChoice& choice,
               const std::string& path) {
    const auto label = [&](size_t i) { return PartLabel(input, int(i), parts[i].Spec); };
    if (!choice.Part.empty()) {
        int index = -1;
        const bool number = choice.Part.find_first_not_of("0123456789") == std::string::npos;
        for (size_t i = 0; i < parts.size() && index < 0; ++i)
            if (number ? choice.Part == std::to_string(i) : parts[i].Spec.get_string_attribute("name") == choice.Part)
                index = int(i);
        if (index < 0) {
            std::string list;
            for (size_t i = 0; i < parts.size() && i < 12; ++i) list += (i ? ", " : "") + label(i);
            throw BadFile(path, "has no part '" + choice.Part + "' (its parts: " + list +
                                    (parts.size() > 12 ? " and more" : "") + ")");
        }
        if (!parts[size_t(index)].Channels.Chosen())
            throw BadFile(path, (parts.size() > 1 ? label(size_t(index)) + " " : "") + parts[size_t(index)].Channels.Error);
        return index;
    }
    for (size_t i = 0; i < parts.size(); ++i)
        if (parts[i].Viewed && parts[i].Channels.Chosen()) return int(i);
    if (parts.size() == 1) throw BadFile(path, parts[0].Channels.Error);
    size_t shown = 0;
    while (shown + 1 < parts.size() && !parts[shown].Viewed) ++shown;
    throw BadFile(path, "has no part with colour channels" +
                            (choice.View.empty() ? std::string() : " in view '" + choice.View + "'") + "; " +
                            label(shown) + " " + parts[shown].Channels.Error);
}

// What the reader and the library hold while the frame is decoded: the
// host image, one band of decoded rows, and for tiled files the library's
// own row of whole tiles as the header declares them (it decodes into
// those before copying out what was asked for).
struct FrameBytes {
    uint64_t Host = 0, Band = 0, Library = 0;
    bool Fits = true;
    uint64_t Total() const { return Host + Band + Library; }
};

FrameBytes BytesOf(const OpenedFile& f, int32_t format) {
    const OIIO::ImageSpec& s = f.Spec;
    FrameBytes b;
    const uint64_t span = uint64_t(f.ChannelEnd - f.ChannelBegin);
    // Bands are counted in float, the widest type they are decoded in.
    b.Fits = Multiply(uint64_t(f.Frame.X1 - f.Frame.X0), uint64_t(f.Frame.Y1 - f.Frame.Y0), b.Host) &&
             Multiply(b.Host, 4 * uint64_t(BytesPerChannel(format)), b.Host) &&
             Multiply(uint64_t(s.width), uint64_t(f.BandRows), b.Band) && Multiply(b.Band, span * 4, b.Band);
    if (s.tile_width > 0) {
        const uint64_t across = (uint64_t(s.width) + uint64_t(s.tile_width) - 1) / uint64_t(s.tile_width);
        b.Fits = b.Fits && Multiply(uint64_t(s.tile_width), uint64_t(std::max(1, s.tile_height)), b.Library) &&
                 Multiply(b.Library, across * span * 4, b.Library);
    }
    b.Fits = b.Fits && b.Host + b.Band >= b.Host && b.Total() >= b.Host + b.Band;
    return b;
}

// What OpenEXR allocates for the tiles of a part as its header declares
// them. Its reader sets up a buffer of one whole tile per part as it opens
// the file, and the image library a row of whole tiles as it decodes, so a
// damaged header that declares tiles far larger than the image is refused
// here, before either library sees it.
void CheckExrTiles(const std::string& path, uint64_t maxBytes) {
    exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
    // Silent: the image library reports what is wrong with the file.
    init.error_handler_fn = [](exr_const_context_t, exr_result_t, const char*) {};
    exr_context_t context = nullptr;
    if (exr_start_read(&context, path.c_str(), &init) != EXR_ERR_SUCCESS) {
        exr_finish(&context);
        return;   // not an EXR file, or one the image library will refuse itself
    }
    int parts = 0;
    exr_get_count(context, &parts);
    for (int part = 0; part < parts; ++part) {
        exr_storage_t storage;
        uint32_t tileX = 0, tileY = 0;
        exr_tile_level_mode_t levels;
        exr_tile_round_mode_t rounding;
        exr_attr_box2i_t data;
        const exr_attr_chlist_t* channels = nullptr;
        if (exr_get_storage(context, part, &storage) != EXR_ERR_SUCCESS || storage != EXR_STORAGE_TILED ||
            exr_get_tile_descriptor(context, part, &tileX, &tileY, &levels, &rounding) != EXR_ERR_SUCCESS ||
            exr_get_data_window(context, part, &data) != EXR_ERR_SUCCESS ||
            exr_get_channels(context, part, &channels) != EXR_ERR_SUCCESS || !channels)
            continue;
        uint64_t pixelBytes = 0;
        for (int c = 0; c < channels->num_channels; ++c)
            pixelBytes += channels->entries[c].pixel_type == EXR_PIXEL_HALF ? 2 : 4;
        const uint64_t width = uint64_t(int64_t(data.max.x) - data.min.x + 1);
        const uint64_t across = tileX ? (width + tileX - 1) / tileX : 0;
        // One tile for OpenEXR, a row of them in float for the image library.
        uint64_t tile = 0, bytes = 0;
        const bool fits = Multiply(uint64_t(tileX), uint64_t(tileY), tile) &&
                          Multiply(tile, pixelBytes + across * 4 * uint64_t(channels->num_channels), bytes);
        if (!fits || bytes > maxBytes) {
            exr_finish(&context);
            throw BadFile(path, (parts > 1 ? "part " + std::to_string(part) + " " : std::string()) +
                                    "declares tiles of " + std::to_string(tileX) + " x " + std::to_string(tileY) +
                                    " pixels, which take " +
                                    (fits ? std::to_string(bytes) : std::string("more than 2^64")) +
                                    " bytes to decode, above the limit of " + std::to_string(maxBytes) +
                                    " bytes (--max-frame-bytes raises it)");
        }
    }
    exr_finish(&context);
}

// Opens the file by content, chooses the part and channels, reads the
// header and checks every claimed size against the limits. Nothing the
// header claims has been allocated yet.
OpenedFile OpenChecked(const std::string& path, const ImageLimits& limits) {
    CheckRegularFile(path);
    std::error_code ec;
    if (fs::file_size(path, ec) == 0 && !ec)
        throw BadFile(path, "is empty (0 bytes)");
    CheckExrTiles(path, limits.MaxBytes);

    OpenedFile f;
    f.Input = OpenInput(path, false);
    if (!f.Input)
        throw BadFile(path, "cannot read the image: " + Tidy(OIIO::geterror(), "unknown format"));
    const ImageReadChoice& choice = limits.Choice;
    const std::vector<Part> parts = PartsOf(*f.Input, choice);
    if (parts.empty())
        throw BadFile(path, "cannot read the image: " + Tidy(f.Input->geterror(), "no image in the file"));
    f.Subimage = ChoosePart(*f.Input, parts, choice, path);
    const Part& part = parts[size_t(f.Subimage)];
    f.Spec = part.Spec;
    const OIIO::ImageSpec& s = f.Spec;
    CheckSizes(s, limits, path);

    for (size_t i = 0; i < parts.size(); ++i)
        if (int(i) != f.Subimage) f.Info.Unread.push_back(PartLabel(*f.Input, int(i), parts[i].Spec));
    f.Info.Unread.insert(f.Info.Unread.end(), part.Channels.Unread.begin(), part.Channels.Unread.end());
    if (f.Input->seek_subimage(f.Subimage, 1)) f.Info.Unread.push_back("mip levels");
    if (!f.Input->seek_subimage(f.Subimage, 0))
        throw BadFile(path, "cannot read the image: " + Tidy(f.Input->geterror(), "the part went missing"));
    // Looking past the last part and level leaves a message that is no error.
    f.Input->geterror();

    const std::array<int, 4>& source = part.Channels.Source;
    f.ChannelBegin = s.nchannels;
    for (int c : source)
        if (c >= 0) {
            f.ChannelBegin = std::min(f.ChannelBegin, c);
            f.ChannelEnd = std::max(f.ChannelEnd, c + 1);
        }
    for (int k = 0; k < 4; ++k) f.Source[size_t(k)] = source[size_t(k)] >= 0 ? source[size_t(k)] - f.ChannelBegin : source[size_t(k)];

    const Window data = DataOf(s), display = DisplayOf(s);
    f.Frame = choice.DataWindow ? data : display;
    f.Info.DataOutside = !choice.DataWindow && !display.Contains(data);
    f.Info.NoData = !choice.DataWindow && Intersection(data, display).Empty();
    if (choice.DataWindow && (data.X1 - data.X0 > limits.MaxWidth || data.Y1 - data.Y0 > limits.MaxHeight))
        throw BadFile(path, "claims a data window of " + std::to_string(s.width) + " x " + std::to_string(s.height) +
                                " pixels, above the limit of " + LimitText(limits) + " (--max-image-size raises it)");

    // Tiles and bands never reach past the data window, whatever the header
    // declares.
    const uint64_t rowBytes = uint64_t(s.width) * uint64_t(f.ChannelEnd - f.ChannelBegin) * 4;
    f.BandRows = s.tile_width > 0 ? std::min<int64_t>(std::max(1, s.tile_height), s.height)
                                  : std::clamp<int64_t>(int64_t(DecodeBandBytes / rowBytes), 1, s.height);

    const int32_t format = HostFormatOf(s, source);
    const FrameBytes bytes = BytesOf(f, format);
    if (!bytes.Fits || bytes.Total() > limits.MaxBytes)
        throw BadFile(path, "needs " + (bytes.Fits ? std::to_string(bytes.Total()) : std::string("more than 2^64")) +
                                " bytes of pixels and decoding buffers, above the limit of " + std::to_string(limits.MaxBytes) +
                                " bytes (--max-frame-bytes raises it)");

    f.Info.Width = int(f.Frame.X1 - f.Frame.X0);
    f.Info.Height = int(f.Frame.Y1 - f.Frame.Y0);
    f.Info.Channels = s.nchannels;
    f.Info.HostFormat = format;
    f.Info.HostBytes = bytes.Host;
    // The library labels every netpbm file Rec709, as that format's grey and
    // colour maps are; a PFM file's floats are linear by convention and say
    // nothing of it, so they are left unlabelled, never "converted".
    const bool pfm = std::strcmp(f.Input->format_name(), "pnm") == 0 && s.format == OIIO::TypeDesc::FLOAT;
    if (!pfm) f.Info.ColorSpace = s.get_string_attribute("oiio:ColorSpace");
    // Scanline and tiled EXR, TIFF strips and tiles are read by blocks of
    // rows; the library decodes other formats from their first row.
    f.Info.RowAccess = std::strcmp(f.Input->format_name(), "openexr") == 0 ||
                       std::strcmp(f.Input->format_name(), "tiff") == 0;
    if (std::strcmp(f.Input->format_name(), "openexr") == 0 && s.tile_width == 0)
        f.Info.CarriedRows = CarriedRowsFor(s.get_string_attribute("compression"));
    return f;
}

// Whether the image keeps its four channels at the start of each pixel of
// group 0, one after the other in `type`, with no second group: then decoded
// pixels go straight into the host's storage.
bool StorageIsDirect(const Image& image, OIIO::TypeDesc type) {
    if (!detail::DirectReads()) return false;
    const BufferGroup& g = image.Group[0];
    if (!g.Base || !g.RowOffsets || image.Group[1].RowOffsets || image.Channels != 4) return false;
    if (size_t(BytesPerChannel(image.Format)) != type.size() || g.PixelStride != int64_t(4 * type.size()))
        return false;
    for (int32_t c : image.ChannelMap)
        if (c < 0 || c > 3) return false;
    return true;
}

template <class T>
T ValueOf(int source, const uint8_t* pixel, T one) {
    if (source == SourceOne) return one;
    if (source == SourceZero) return T(0);   // zero in every format, half too
    T v;
    std::memcpy(&v, pixel + size_t(source) * sizeof(T), sizeof(T));
    return v;
}

template <class T>
void CopyPixels(const uint8_t* from, int span, const int slotSource[4], T one, uint8_t* to, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        const uint8_t* pixel = from + size_t(i) * size_t(span) * sizeof(T);
        T out[4];
        for (int k = 0; k < 4; ++k) out[k] = ValueOf(slotSource[k], pixel, one);
        std::memcpy(to + i * 4 * sizeof(T), out, sizeof(out));
    }
}

// Puts one decoded row of `count` pixels into host row `row` from column `x`.
class RowSink {
public:
    RowSink(Image& image, int span, const std::array<int, 4>& source, bool direct)
        : image_(image), span_(span), direct_(direct) {
        std::copy(source.begin(), source.end(), recordSource_);
        for (int k = 0; k < 4; ++k)
            slotSource_[k] = recordSource_[image.ChannelMap[k]];
        if (!direct) floats_.resize(size_t(image.Width) * 4);
    }

    void Put(const uint8_t* from, int32_t x, int32_t row, int32_t count) {
        if (!direct_) {
            for (int32_t i = 0; i < count; ++i)
                for (int c = 0; c < 4; ++c)
                    floats_[size_t(i) * 4 + c] =
                        ValueOf(recordSource_[c], from + size_t(i) * size_t(span_) * sizeof(float), 1.0f);
            image_.WriteSpan(x, row, count, floats_.data());
            return;
        }
        const BufferGroup& g = image_.Group[0];
        uint8_t* to = g.Base + g.RowOffsets[row] + int64_t(x) * g.PixelStride;
        switch (image_.Format) {
        case Format_UInt8: CopyPixels<uint8_t>(from, span_, slotSource_, 255, to, count); break;
        case Format_UInt16: CopyPixels<uint16_t>(from, span_, slotSource_, 65535, to, count); break;
        case Format_Half: CopyPixels<uint16_t>(from, span_, slotSource_, 0x3C00, to, count); break;   // 1.0
        default: CopyPixels<float>(from, span_, slotSource_, 1.0f, to, count); break;
        }
    }

private:
    Image& image_;
    int span_;
    bool direct_;
    int recordSource_[4];
    int slotSource_[4];
    std::vector<float> floats_;
};

// The part of the data window that lies inside the frame, and for files
// read by rows inside the rows the image holds, in file coordinates.
Window ShownWindow(const OpenedFile& f, const Image& image) {
    Window shown = Intersection(DataOf(f.Spec), f.Frame);
    const HostApp::RowRange held = HostApp::StoredRows(&image);
    if (f.Info.RowAccess && held.Count() < image.Height) {
        // Only the file rows of the host rows the image holds.
        shown.Y0 = std::max(shown.Y0, f.Frame.Y1 - held.End);
        shown.Y1 = std::min(shown.Y1, f.Frame.Y1 - held.First);
    }
    return shown;
}

// EXR pixels decoded by OpenEXR itself straight into the storage, on its
// own thread pool for compressed files. False, with nothing decoded, where
// the file or the storage needs the image library's path.
bool ReadExrDirect(const OpenedFile& f, Image& image, const std::string& path) {
    if (!detail::OpenExrReads() ||
        std::strcmp(f.Input->format_name(), "openexr") != 0 || !StorageIsDirect(image, TypeOfFormat(image.Format)))
        return false;
    const HostApp::RowRange held = HostApp::StoredRows(&image);
    const Window shown = ShownWindow(f, image);
    if (shown.Empty() || held.Count() == 0) return true;   // nothing to read: all transparent
    ExrFrameRead read;
    read.Part = f.Subimage;
    for (size_t k = 0; k < 4; ++k) {
        const int source = f.Source[k];
        if (source >= 0) read.Channels[k] = f.Spec.channelnames[size_t(f.ChannelBegin + source)];
        read.Fill[k] = source == SourceOne ? 1.0f : 0.0f;
    }
    read.FrameX0 = f.Frame.X0;
    read.FrameY1 = f.Frame.Y1;
    read.Y0 = shown.Y0;
    read.Y1 = shown.Y1;
    // Two frames decode at once, one a core: the pool helps only where
    // there is decompression to share out.
    read.Threads = f.Spec.get_string_attribute("compression") == "none" ? 0 : ExrThreads();
    MarkWritten(image);
    if (!ReadExrFrame(path, read, image)) return false;
    detail::CountOpenExrDecode();
    return true;
}

// Decodes the part of the data window that lies inside the frame, band by
// band, into the image. Rows run top-down in the file, bottom-up in the
// host.
void ReadPixels(OpenedFile& f, Image& image, const std::string& path) {
    const OIIO::ImageSpec& s = f.Spec;
    const HostApp::RowRange held = HostApp::StoredRows(&image);
    const Window shown = ShownWindow(f, image);
    if (shown.Empty() || held.Count() == 0) return;   // nothing to read: all transparent

    const bool direct = StorageIsDirect(image, TypeOfFormat(image.Format));
    const OIIO::TypeDesc type = direct ? TypeOfFormat(image.Format) : OIIO::TypeDesc(OIIO::TypeDesc::FLOAT);
    const int span = f.ChannelEnd - f.ChannelBegin;
    const size_t pixelBytes = size_t(span) * type.size();
    const size_t rowBytes = size_t(s.width) * pixelBytes;

    // Tiled files are read in whole rows of tiles, which start at the data
    // window's top edge; scanline files from the first row that shows.
    const bool tiled = s.tile_width > 0;
    const int64_t step = f.BandRows;
    const int64_t first = tiled ? s.y + (shown.Y0 - s.y) / step * step : shown.Y0;
    std::vector<uint8_t> band(size_t(step) * rowBytes);

    if (direct) MarkWritten(image);
    RowSink sink(image, span, f.Source, direct);
    const int64_t lastHostRow = f.Frame.Y1 - 1;
    for (int64_t b0 = first; b0 < shown.Y1; b0 += step) {
        const int64_t b1 = tiled ? std::min<int64_t>(b0 + step, int64_t(s.y) + s.height) : std::min(b0 + step, shown.Y1);
        const bool ok = tiled ? f.Input->read_tiles(f.Subimage, 0, s.x, s.x + s.width, int(b0), int(b1), s.z, s.z + 1,
                                                    f.ChannelBegin, f.ChannelEnd, type, band.data())
                              : f.Input->read_scanlines(f.Subimage, 0, int(b0), int(b1), s.z, f.ChannelBegin,
                                                        f.ChannelEnd, type, band.data());
        if (!ok || f.Input->has_error())
            throw BadFile(path, "cannot read the pixels: " + Tidy(f.Input->geterror(), "read failed"));
        for (int64_t y = std::max(b0, shown.Y0); y < std::min(b1, shown.Y1); ++y) {
            const uint8_t* from = band.data() + size_t(y - b0) * rowBytes + size_t(shown.X0 - s.x) * pixelBytes;
            sink.Put(from, int32_t(shown.X0 - f.Frame.X0), int32_t(lastHostRow - y), int32_t(shown.X1 - shown.X0));
        }
    }
}

// The library's newer EXR reader decodes uncompressed files several times
// faster than its default one (and PIZ files slower).
void UseFasterExrReader(OpenedFile& f, const std::string& path) {
    if (f.Subimage == 0 && std::strcmp(f.Input->format_name(), "openexr") == 0 &&
        f.Spec.get_string_attribute("compression") == "none") {
        std::unique_ptr<OIIO::ImageInput> faster = OpenInput(path, true);
        if (faster && faster->spec().format == f.Spec.format && faster->spec().width == f.Spec.width &&
            faster->spec().height == f.Spec.height && faster->spec().nchannels == f.Spec.nchannels &&
            faster->spec().x == f.Spec.x && faster->spec().y == f.Spec.y &&
            faster->spec().channelnames == f.Spec.channelnames) {
            f.Input->close();
            f.Input = std::move(faster);
        }
    }
}

Image* ReadChecked(const std::string& path, const ImageLimits& limits, void* imageContext, const FrameRows* rows) {
    OpenedFile f = OpenChecked(path, limits);
    const ImageFileInfo& info = f.Info;
    // OpenEXR's decoding writes every pixel of the rows held where the data
    // window covers the frame; the image library's path is given an image
    // cleared first.
    const bool covered = DataOf(f.Spec).Contains(f.Frame) && std::strcmp(f.Input->format_name(), "openexr") == 0;
    HostRef<Image> hold = NewFrameImage(path, info.Width, info.Height, info.HostFormat, imageContext, rows, covered);
    if (!ReadExrDirect(f, *hold.Get(), path)) {
        if (covered) hold->Fill(0, 0, 0, 0);
        UseFasterExrReader(f, path);
        ReadPixels(f, *hold.Get(), path);
    }
    if (!f.Input->close())
        throw BadFile(path, "cannot read the image: " + Tidy(f.Input->geterror(), "close failed"));
    return hold.Release();
}

}  // namespace

ImageFileInfo ProbeImageFile(const std::string& path, const ImageLimits& limits) {
    try {
        OpenedFile f = OpenChecked(path, limits);
        f.Input->close();
        return f.Info;
    } catch (const std::bad_alloc&) {
        throw FrameOutOfMemory(path);
    }
}

Image* ReadImageFile(const std::string& path, const ImageLimits& limits, void* imageContext, const FrameRows* rows) {
    try {
        return ReadChecked(path, limits, imageContext, rows);
    } catch (const std::bad_alloc&) {
        throw FrameOutOfMemory(path);
    }
}

namespace {

struct OutputKind {
    int Channels;
    OIIO::TypeDesc Type;
    const char* Compression;   // null: the format's own
    bool RawAlpha;             // colour not divided by alpha on the way out
    const char* ColorSpace;    // what the format's pixels are held in
};

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

constexpr const char* ExrCodecs[] = {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"};

// The type and compression options apply to EXR files only.
void CheckExrOptions(const std::string& extension, const WriteOptions& options, const std::string& path) {
    if (extension != ".exr" && (!options.DataType.empty() || !options.Compression.empty()))
        throw BadFile(path, std::string("takes no ") + (options.DataType.empty() ? "--compression" : "-d") +
                                " (only .exr files do)");
    if (!options.DataType.empty() && options.DataType != "half" && options.DataType != "float")
        throw BadFile(path, "unknown data type '" + options.DataType + "' (use half or float)");
    if (!options.Compression.empty() && std::find(std::begin(ExrCodecs), std::end(ExrCodecs),
                                                  Lower(options.Compression)) == std::end(ExrCodecs))
        throw BadFile(path, "unknown compression '" + options.Compression + "' (use " + ExrCompressions() + ")");
}

// 8- and 16-bit files hold sRGB, float files scene-linear.
OutputKind KindOf(const std::string& extension, int32_t format, const WriteOptions& options, const std::string& path) {
    CheckExrOptions(extension, options, path);
    if (extension == ".exr")
        return {4, options.DataType == "half" ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::FLOAT,
                options.Compression.empty() ? "zip" : nullptr, false, "linear"};
    if (extension == ".tif" || extension == ".tiff")
        return format == Format_UInt8 ? OutputKind{4, OIIO::TypeDesc::UINT8, "zip", false, "sRGB"}
                                      : OutputKind{4, OIIO::TypeDesc::FLOAT, "zip", false, "linear"};
    if (extension == ".png")
        return {4, format == Format_UInt16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8, nullptr, true, "sRGB"};
    if (extension == ".jpg" || extension == ".jpeg")
        return {3, OIIO::TypeDesc::UINT8, nullptr, false, "sRGB"};
    if (extension == ".pfm")
        return {3, OIIO::TypeDesc::FLOAT, nullptr, false, "linear"};
    throw BadFile(path, "unknown output file type '" + extension + "' (use " + OutputTypes() + ")");
}

void CheckColorSpaceName(const OIIO::ColorConfig& config, const std::string& name, const std::string& path) {
    // Roles and aliases are accepted too; only a name the configuration
    // cannot turn into a transform is refused.
    const std::vector<std::string> names = config.getColorSpaceNames();
    const char* linear = config.getColorSpaceNameByRole("scene_linear");
    if (std::find(names.begin(), names.end(), name) == names.end() && !config.getColorSpaceNameByRole(name) &&
        !config.createColorProcessor(name, linear ? linear : "linear"))
        throw BadFile(path, "unknown colour space '" + name + "'");
}

// The conversion a write makes, and the colour space its pixels end in
// (empty: unknown, and the file says nothing).
struct ColorPlan {
    OIIO::ColorProcessorHandle Processor;
    std::string Label;
};

// An explicit conversion is made as asked; otherwise pixels in a known
// colour space are converted to the one the format holds.
ColorPlan ColorPlanFor(const WriteOptions& options, const char* target, const std::string& path) {
    ColorPlan plan;
    std::string from = options.ColorFrom, to = options.ColorTo;
    if (from.empty() && to.empty()) {
        if (options.ColorSpace.empty()) return plan;
        from = options.ColorSpace;
        to = target;
    }
    if (from.empty() || to.empty())
        throw BadFile(path, "a colour conversion needs both a source and a target colour space");
    OIIO::ColorConfig config;
    CheckColorSpaceName(config, from, path);
    CheckColorSpaceName(config, to, path);
    plan.Label = to;
    if (Lower(from) == Lower(to)) return plan;
    plan.Processor = config.createColorProcessor(from, to);
    if (!plan.Processor)
        throw BadFile(path, "cannot convert colour from '" + from + "' to '" + to +
                                "': " + Tidy(config.geterror(), "no such transform"));
    if (plan.Processor->isNoOp()) plan.Processor = nullptr;
    return plan;
}

}  // namespace

void CheckWriteOptions(const std::string& path, const WriteOptions& options) {
    const std::string extension = Lower(fs::path(path).extension().string());
    ColorPlanFor(options, KindOf(extension, Format_Float, options, path).ColorSpace, path);
}

void WriteImageFile(const Image& image, const std::string& path, const WriteOptions& options) {
    const fs::path target(path);
    const std::string extension = Lower(target.extension().string());
    const OutputKind kind = KindOf(extension, image.Format, options, path);
    const ColorPlan color = ColorPlanFor(options, kind.ColorSpace, path);
    const OIIO::ColorProcessorHandle& processor = color.Processor;
    RowConversion convert;
    if (processor)
        convert = [&](float* rgba, int32_t count) {
            const OIIO::stride_t pixel = 4 * sizeof(float);
            processor->apply(rgba, count, 1, 4, sizeof(float), pixel, pixel * count);
        };
    if (IsPfmPath(path)) {
        // The library reads PFM files but has no writer for them.
        WritePfmFile(image, path, convert);
        return;
    }

    // The temporary keeps the extension: the library picks the writer by it.
    PendingFile temporary(path, extension);
    if (extension == ".exr") {
        ExrFrameWrite how;
        how.Half = kind.Type == OIIO::TypeDesc::HALF;
        how.Compression = options.Compression.empty() ? std::string(kind.Compression) : Lower(options.Compression);
        WriteExrFrame(image, temporary, how, convert, path);
        temporary.Commit();
        return;
    }
    const fs::path& directory = temporary.Directory();
    const std::string temporaryName = temporary.Path().string();

    std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(temporaryName);
    if (!out)
        throw BadFile(path, "cannot write this file type: " + Tidy(OIIO::geterror(), "no writer"));
    OIIO::ImageSpec spec(image.Width, image.Height, kind.Channels, kind.Type);
    if (kind.Channels == 4) spec.alpha_channel = 3;
    if (kind.Compression) spec.attribute("compression", kind.Compression);
    if (!options.Compression.empty()) spec.attribute("compression", Lower(options.Compression));
    if (kind.RawAlpha) spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!color.Label.empty()) spec.attribute("oiio:ColorSpace", color.Label);
    // The EXR writer stamps the time unless told one: the same image makes
    // the same file, whether stitched in one pass or merged from bands.
    if (extension == ".exr") spec.attribute("DateTime", "");
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

BandFileInfo ProbeBandFile(const std::string& path) {
    CheckRegularFile(path);
    std::unique_ptr<OIIO::ImageInput> in = OpenInput(path, false);
    if (!in) throw BadFile(path, "is not a band file: " + Tidy(OIIO::geterror(), "unknown format"));
    const OIIO::ImageSpec& s = in->spec();
    const std::string band = s.get_string_attribute(BandAttribute);
    BandFileInfo info;
    char slash = 0, rest = 0;
    if (std::strcmp(in->format_name(), "openexr") != 0 || band.empty() ||
        std::sscanf(band.c_str(), "%d%c%d%c", &info.K, &slash, &info.N, &rest) != 3 || slash != '/')
        throw BadFile(path, "is not a band file of tessellon stitch --band (no " + std::string(BandAttribute) +
                                " attribute)");
    info.Shot = s.get_string_attribute("tessellon:shot");
    info.Origin = s.get_string_attribute("tessellon:origin");
    info.Format = BandFormatOf(s.get_string_attribute("tessellon:format"));
    info.ColorSpace = s.get_string_attribute("tessellon:colorspace");
    info.CanvasWidth = s.full_width;
    info.CanvasHeight = s.full_height;
    info.Top = s.y;
    info.End = s.y + s.height;
    if (info.Shot.empty() || info.Format == 0 || s.nchannels != 4 || s.full_x != 0 || s.full_y != 0 || s.x != 0 ||
        s.width != s.full_width || s.deep || s.tile_width > 0 || info.N <= 0 || info.K < 0 || info.K >= info.N ||
        info.Top < 0 || info.End > info.CanvasHeight)
        throw BadFile(path, "is not a band file of tessellon stitch --band (its header is not a band's)");
    in->close();
    return info;
}

void ReadBandFile(const std::string& path, const BandFileInfo& info, Image& canvas) {
    std::unique_ptr<OIIO::ImageInput> in = OpenInput(path, false);
    if (!in) throw BadFile(path, "cannot read the band: " + Tidy(OIIO::geterror(), "unknown format"));
    const size_t rowFloats = size_t(info.CanvasWidth) * 4;
    const int32_t bandRows = 64;
    std::vector<float> band(rowFloats * size_t(bandRows));
    for (int32_t y0 = info.Top; y0 < info.End; y0 += bandRows) {
        const int32_t y1 = std::min(info.End, y0 + bandRows);
        if (!in->read_scanlines(0, 0, y0, y1, 0, 0, 4, OIIO::TypeDesc::FLOAT, band.data()) || in->has_error())
            throw BadFile(path, "cannot read the band: " + Tidy(in->geterror(), "read failed"));
        for (int32_t y = y0; y < y1; ++y)
            canvas.WriteSpan(0, canvas.Height - 1 - y, canvas.Width, band.data() + size_t(y - y0) * rowFloats);
    }
    in->close();
}

}  // namespace tessellon::library

extern "C" const tessellon::ImageLibrary* TessellonImageLibrary() {
    namespace l = tessellon::library;
    static const tessellon::ImageLibrary table = {l::ProbeImageFile, l::ReadImageFile, l::WriteImageFile,
                                                  l::CheckWriteOptions, l::ProbeBandFile, l::ReadBandFile};
    return &table;
}
