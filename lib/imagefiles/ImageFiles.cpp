// The image-file façade on Linux. Plain EXR frames and EXR output go through
// OpenEXR alone; every other file, and every file with something wrong with
// it, goes to the OpenImageIO module (LibraryFiles.cpp), loaded the first
// time one needs it. Most runs then never bind the image library and the
// hundreds of libraries it brings, which takes longer than a short run.
#include "ImageFiles.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <new>

#include <OpenEXR/openexr.h>

#include "ExrFrames.h"
#include "FileChecks.h"
#include "HostApp.h"
#include "HostSystem.h"
#include "ImageLibrary.h"
#include "PendingFile.h"

namespace fs = std::filesystem;

namespace tessellon {

namespace detail {

namespace {
std::atomic<bool> directReads{true};
std::atomic<bool> openExrReads{true};
std::atomic<uint64_t> openExrDecodes{0};
std::atomic<uint64_t> plainExrHeaders{0};
}  // namespace

void SetDirectReads(bool on) { directReads.store(on, std::memory_order_relaxed); }
void SetOpenExrReads(bool on) { openExrReads.store(on, std::memory_order_relaxed); }
uint64_t OpenExrDecodes() { return openExrDecodes.load(std::memory_order_relaxed); }
bool DirectReads() { return directReads.load(std::memory_order_relaxed); }
bool OpenExrReads() { return openExrReads.load(std::memory_order_relaxed); }
void CountOpenExrDecode() { openExrDecodes.fetch_add(1, std::memory_order_relaxed); }
uint64_t PlainExrHeaders() { return plainExrHeaders.load(std::memory_order_relaxed); }

}  // namespace detail

namespace {

#if defined(TESSELLON_IMAGE_LIBRARY_LINKED)
// Sanitizer builds link the module's code in: their leak checker's thread
// tracer does not survive a library of threads loaded at run time.
const ImageLibrary* LoadLibrary() { return TessellonImageLibrary(); }
#else
// The module lies beside this library.
const ImageLibrary* LoadLibrary() {
    Dl_info self{};
    if (!dladdr(reinterpret_cast<void*>(&LoadLibrary), &self) || !self.dli_fname)
        NoImage("cannot find where the image library's module lies");
    const std::string module = (fs::path(self.dli_fname).parent_path() / "libTessellonImageLibrary.so").string();
    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char* failure = handle ? nullptr : dlerror();
    using Entry = const ImageLibrary* (*)();
    const Entry entry = handle ? reinterpret_cast<Entry>(dlsym(handle, "TessellonImageLibrary")) : nullptr;
    if (!entry)
        throw Error(ErrorKind::NoImage, module,
                    std::string("cannot load the image library's module: ") + (failure ? failure : "no entry point"));
    return entry();   // kept loaded for the life of the process
}
#endif

const ImageLibrary& Library() {
    static const ImageLibrary* library = LoadLibrary();
    return *library;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Multiply(uint64_t a, uint64_t b, uint64_t& product) { return !__builtin_mul_overflow(a, b, &product); }

// A rectangle of pixels in file coordinates (y down), half-open.
struct Window {
    int64_t X0 = 0, Y0 = 0, X1 = 0, Y1 = 0;
    int64_t Width() const { return X1 - X0; }
    int64_t Height() const { return Y1 - Y0; }
    bool Empty() const { return X0 >= X1 || Y0 >= Y1; }
    bool Contains(const Window& w) const { return w.X0 >= X0 && w.Y0 >= Y0 && w.X1 <= X1 && w.Y1 <= Y1; }
};

Window WindowOf(const exr_attr_box2i_t& box) {
    return {box.min.x, box.min.y, int64_t(box.max.x) + 1, int64_t(box.max.y) + 1};
}

Window Intersection(const Window& a, const Window& b) {
    return {std::max(a.X0, b.X0), std::max(a.Y0, b.Y0), std::min(a.X1, b.X1), std::min(a.Y1, b.Y1)};
}

// A scanline EXR frame the façade reads alone, as the module would read it.
struct PlainExr {
    ImageFileInfo Info;
    Window Data, Frame;
    bool Alpha = true;
    bool Uncompressed = false;
};

class ExrHeader {
public:
    explicit ExrHeader(const std::string& path) {
        exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
        // Silent: a file the façade does not read goes to the module, which says what is wrong with it.
        init.error_handler_fn = [](exr_const_context_t, exr_result_t, const char*) {};
        if (exr_start_read(&context_, path.c_str(), &init) != EXR_ERR_SUCCESS) exr_finish(&context_);
    }
    ~ExrHeader() { exr_finish(&context_); }
    ExrHeader(const ExrHeader&) = delete;
    ExrHeader& operator=(const ExrHeader&) = delete;

    exr_context_t Get() const { return context_; }

private:
    exr_context_t context_ = nullptr;
};

// Attributes that make the image library's reading of a header differ from
// what the façade makes of it: views, and the library's own.
bool PlainAttributes(exr_const_context_t context) {
    int32_t count = 0;
    if (exr_get_attribute_count(context, 0, &count) != EXR_ERR_SUCCESS) return false;
    for (int32_t i = 0; i < count; ++i) {
        const exr_attribute_t* attribute = nullptr;
        if (exr_get_attribute_by_index(context, 0, EXR_ATTR_LIST_FILE_ORDER, i, &attribute) != EXR_ERR_SUCCESS ||
            !attribute || !attribute->name)
            return false;
        const std::string name = attribute->name;
        if (name == "multiView" || name == "view" || name.rfind("oiio:", 0) == 0) return false;
    }
    return true;
}

// Whether the file is a single-part scanline EXR file of channels R, G, B
// and A (or R, G, B) all in half or all in float, that the limits let
// through: then `plain` is what the module would make of its header. False
// for everything else, which goes to the module.
bool ProbePlainExr(const std::string& path, const ImageLimits& limits, PlainExr& plain) {
    const ImageReadChoice& choice = limits.Choice;
    if (!detail::DirectReads() || !detail::OpenExrReads() || !choice.Part.empty() || !choice.View.empty() ||
        !choice.Layer.empty())
        return false;
    CheckRegularFile(path);
    const ExrHeader header(path);
    exr_const_context_t context = header.Get();
    int parts = 0;
    exr_storage_t storage;
    exr_compression_t compression;
    const exr_attr_chlist_t* channels = nullptr;
    exr_attr_box2i_t data, display;
    if (!context || exr_get_count(context, &parts) != EXR_ERR_SUCCESS || parts != 1 ||
        exr_get_storage(context, 0, &storage) != EXR_ERR_SUCCESS || storage != EXR_STORAGE_SCANLINE ||
        exr_get_compression(context, 0, &compression) != EXR_ERR_SUCCESS ||
        exr_get_channels(context, 0, &channels) != EXR_ERR_SUCCESS || !channels ||
        exr_get_data_window(context, 0, &data) != EXR_ERR_SUCCESS ||
        exr_get_display_window(context, 0, &display) != EXR_ERR_SUCCESS || !PlainAttributes(context))
        return false;

    // The channel list is sorted by name: A, B, G, R.
    const int n = channels->num_channels;
    static const char* const names[] = {"A", "B", "G", "R"};
    if (n != 3 && n != 4) return false;
    const exr_pixel_type_t type = channels->entries[0].pixel_type;
    for (int c = 0; c < n; ++c) {
        const exr_attr_chlist_entry_t& e = channels->entries[c];
        if (!e.name.str || std::string(e.name.str) != names[c + 4 - n] || e.pixel_type != type ||
            (type != EXR_PIXEL_HALF && type != EXR_PIXEL_FLOAT) || e.x_sampling != 1 || e.y_sampling != 1)
            return false;
    }
    plain.Alpha = n == 4;
    plain.Uncompressed = compression == EXR_COMPRESSION_NONE;
    plain.Data = WindowOf(data);
    const Window frameWindow = WindowOf(display);
    plain.Frame = choice.DataWindow ? plain.Data : frameWindow;

    // Sizes the module would refuse, it refuses itself.
    const auto within = [&](const Window& w) {
        return w.Width() > 0 && w.Height() > 0 && w.Width() <= limits.MaxWidth && w.Height() <= limits.MaxHeight;
    };
    if (!within(frameWindow) || !within(plain.Data) || n > limits.MaxChannels) return false;

    ChannelSet set;
    set.Names = {"R", "G", "B"};
    if (plain.Alpha) {
        set.Names.push_back("A");
        set.Alpha = 3;
    }
    const ChosenChannels chosen = ChooseChannels(set, choice);
    if (!chosen.Chosen()) return false;

    // What reading holds, counted as the module counts it: the image, and a
    // band of decoded rows in float.
    const int32_t format = type == EXR_PIXEL_HALF ? Format_Half : Format_Float;
    const uint64_t rowBytes = uint64_t(plain.Data.Width()) * uint64_t(n) * 4;
    const uint64_t bandRows = std::clamp<uint64_t>(DecodeBandBytes / rowBytes, 1, uint64_t(plain.Data.Height()));
    uint64_t host = 0, band = 0;
    if (!Multiply(uint64_t(plain.Frame.Width()), uint64_t(plain.Frame.Height()), host) ||
        !Multiply(host, 4 * uint64_t(BytesPerChannel(format)), host) || !Multiply(rowBytes, bandRows, band) ||
        host + band < host || host + band > limits.MaxBytes)
        return false;

    ImageFileInfo& info = plain.Info;
    info.Width = int(plain.Frame.Width());
    info.Height = int(plain.Frame.Height());
    info.Channels = n;
    info.HostFormat = format;
    info.HostBytes = host;
    info.Unread = chosen.Unread;
    info.DataOutside = !choice.DataWindow && !frameWindow.Contains(plain.Data);
    info.NoData = !choice.DataWindow && Intersection(plain.Data, frameWindow).Empty();
    info.ColorSpace = "Linear";   // what the image library calls every EXR file's pixels
    info.RowAccess = true;
    info.CarriedRows = CarriedRowsFor(compression);
    detail::plainExrHeaders.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// The frame decoded by OpenEXR straight into a new image's storage; null,
// with nothing kept, where the storage is not one it can decode into.
Image* ReadPlainExr(const std::string& path, const PlainExr& plain, void* imageContext, const FrameRows* rows) {
    const ImageFileInfo& info = plain.Info;
    // OpenEXR writes every pixel of the rows held where the data window
    // covers the frame; other images are cleared first.
    const bool covered = plain.Data.Contains(plain.Frame);
    HostRef<Image> hold = NewFrameImage(path, info.Width, info.Height, info.HostFormat, imageContext, rows, covered);
    Image& image = *hold.Get();
    const HostApp::RowRange held = HostApp::StoredRows(&image);
    Window shown = Intersection(plain.Data, plain.Frame);
    shown.Y0 = std::max(shown.Y0, plain.Frame.Y1 - held.End);
    shown.Y1 = std::min(shown.Y1, plain.Frame.Y1 - held.First);
    if (shown.Empty() || held.Count() == 0) return hold.Release();   // nothing to read: all transparent

    ExrFrameRead read;
    read.Channels = {"R", "G", "B", plain.Alpha ? "A" : ""};
    read.Fill = {0, 0, 0, 1};
    read.FrameX0 = plain.Frame.X0;
    read.FrameY1 = plain.Frame.Y1;
    read.Y0 = shown.Y0;
    read.Y1 = shown.Y1;
    // Two frames decode at once, one a core: the pool helps only where
    // there is decompression to share out.
    read.Threads = plain.Uncompressed ? 0 : ExrThreads();
    MarkWritten(image);
    if (!ReadExrFrame(path, read, image)) return nullptr;
    detail::CountOpenExrDecode();
    return hold.Release();
}

Image* ReadFrame(const std::string& path, const ImageLimits& limits, void* imageContext, const FrameRows* rows) {
    try {
        PlainExr plain;
        if (ProbePlainExr(path, limits, plain))
            if (Image* image = ReadPlainExr(path, plain, imageContext, rows)) return image;
    } catch (const std::bad_alloc&) {
        throw FrameOutOfMemory(path);
    }
    return Library().ReadImageFile(path, limits, imageContext, rows);
}

constexpr const char* ExrCodecs[] = {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"};

// Whether the façade writes the file itself: EXR whose pixels need no
// colour conversion, with a type and compression it knows.
bool PlainExrOutput(const std::string& path, const WriteOptions& options) {
    const std::string compression = Lower(options.Compression);
    return Lower(fs::path(path).extension().string()) == ".exr" && options.ColorFrom.empty() &&
           options.ColorTo.empty() && (options.ColorSpace.empty() || Lower(options.ColorSpace) == "linear") &&
           (options.DataType.empty() || options.DataType == "half" || options.DataType == "float") &&
           (compression.empty() ||
            std::find(std::begin(ExrCodecs), std::end(ExrCodecs), compression) != std::end(ExrCodecs));
}

// A string attribute of the header; empty where it has none.
std::string StringAttribute(exr_const_context_t context, const char* name) {
    int32_t length = 0;
    const char* text = nullptr;
    if (exr_attr_get_string(context, 0, name, &length, &text) != EXR_ERR_SUCCESS || !text || length < 0) return {};
    return std::string(text, size_t(length));
}

// Whether the file is a band file, read through OpenEXR alone; false for
// anything else, which the module refuses in its own words.
bool ProbePlainBand(const std::string& path, BandFileInfo& info) {
    if (!detail::OpenExrReads()) return false;
    CheckRegularFile(path);
    const ExrHeader header(path);
    exr_const_context_t context = header.Get();
    int parts = 0;
    exr_storage_t storage;
    const exr_attr_chlist_t* channels = nullptr;
    exr_attr_box2i_t data, display;
    if (!context || exr_get_count(context, &parts) != EXR_ERR_SUCCESS || parts != 1 ||
        exr_get_storage(context, 0, &storage) != EXR_ERR_SUCCESS || storage != EXR_STORAGE_SCANLINE ||
        exr_get_channels(context, 0, &channels) != EXR_ERR_SUCCESS || !channels || channels->num_channels != 4 ||
        exr_get_data_window(context, 0, &data) != EXR_ERR_SUCCESS ||
        exr_get_display_window(context, 0, &display) != EXR_ERR_SUCCESS)
        return false;
    const std::string band = StringAttribute(context, BandAttribute);
    char slash = 0, rest = 0;
    if (std::sscanf(band.c_str(), "%d%c%d%c", &info.K, &slash, &info.N, &rest) != 3 || slash != '/') return false;
    info.Shot = StringAttribute(context, "tessellon:shot");
    info.Origin = StringAttribute(context, "tessellon:origin");
    info.Format = BandFormatOf(StringAttribute(context, "tessellon:format"));
    info.ColorSpace = StringAttribute(context, "tessellon:colorspace");
    const Window frame = WindowOf(display), rows = WindowOf(data);
    info.CanvasWidth = int32_t(frame.Width());
    info.CanvasHeight = int32_t(frame.Height());
    info.Top = int32_t(rows.Y0);
    info.End = int32_t(rows.Y1);
    if (info.Shot.empty() || info.Format == 0 || frame.X0 != 0 || frame.Y0 != 0 || rows.X0 != 0 ||
        rows.Width() != frame.Width() || info.N <= 0 || info.K < 0 || info.K >= info.N || info.Top < 0 ||
        info.End > info.CanvasHeight)
        return false;
    detail::plainExrHeaders.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// The band's pixels decoded by OpenEXR straight into their rows of the
// canvas; false, with nothing written, where its storage needs the module.
bool ReadPlainBand(const std::string& path, const BandFileInfo& info, Image& canvas) {
    if (!detail::DirectReads() || !detail::OpenExrReads() || canvas.Width != info.CanvasWidth ||
        canvas.Height != info.CanvasHeight || info.End <= info.Top)
        return false;
    ExrFrameRead read;
    read.Channels = {"R", "G", "B", "A"};
    read.FrameY1 = info.CanvasHeight;
    read.Y0 = info.Top;
    read.Y1 = info.End;
    read.Threads = ExrThreads();
    // The canvas holds pixels from here on: one of the band's own, which the
    // decoding overwrites, goes through the host.
    const float clear[4] = {0, 0, 0, 0};
    canvas.WriteSpan(0, info.CanvasHeight - 1 - info.Top, 1, clear);
    return ReadExrFrame(path, read, canvas);
}

}  // namespace

void CarryRowsBetweenBands(uint64_t bytes) { CarryChunkRows(bytes); }

ImageFileInfo ProbeImageFile(const std::string& path, const ImageLimits& limits) {
    try {
        PlainExr plain;
        if (ProbePlainExr(path, limits, plain)) return plain.Info;
    } catch (const std::bad_alloc&) {
        throw FrameOutOfMemory(path);
    }
    return Library().ProbeImageFile(path, limits);
}

Image* ReadImageFile(const std::string& path, const ImageLimits& limits, void* imageContext) {
    return ReadFrame(path, limits, imageContext, nullptr);
}

Image* ReadImageFile(const std::string& path, const ImageLimits& limits, void* imageContext, const FrameRows& rows) {
    return ReadFrame(path, limits, imageContext, &rows);
}

const char* ExrCompressions() { return "none, rle, zips, zip, piz, pxr24, b44, b44a, dwaa or dwab"; }

void CheckWriteOptions(const std::string& path, const WriteOptions& options) {
    if (!PlainExrOutput(path, options)) Library().CheckWriteOptions(path, options);
}

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
    if (!PlainExrOutput(path, options)) {
        Library().WriteImageFile(image, path, options);
        return;
    }
    PendingFile temporary(path, ".exr");
    ExrFrameWrite how;
    how.Half = options.DataType == "half";
    how.Compression = options.Compression.empty() ? std::string("zip") : Lower(options.Compression);
    WriteExrFrame(image, temporary, how, {}, path);
    temporary.Commit();
}

bool IsLosslessCompression(const std::string& compression) {
    const std::string name = Lower(compression);
    return name.empty() || name == "none" || name == "rle" || name == "zips" || name == "zip" || name == "piz";
}

void WriteBandFile(const Image& canvas, const std::string& path, const BandFileInfo& info,
                   const std::string& compression) {
    if (!IsLosslessCompression(compression))
        throw BadFile(path, "a band keeps every bit: use none, rle, zips, zip or piz rather than '" + compression + "'");
    PendingFile temporary(path, ".exr");
    ExrFrameWrite how;
    how.Half = canvas.Format == Format_Half;
    how.Compression = compression.empty() ? std::string("zip") : Lower(compression);
    how.Top = info.Top;
    how.End = info.End;
    how.Attributes = {{BandAttribute, std::to_string(info.K) + "/" + std::to_string(info.N)},
                      {"tessellon:shot", info.Shot},
                      {"tessellon:canvas", std::to_string(info.CanvasWidth) + " x " + std::to_string(info.CanvasHeight)},
                      {"tessellon:origin", info.Origin},
                      {"tessellon:format", BandFormatName(info.Format)},
                      {"tessellon:colorspace", info.ColorSpace}};
    WriteExrFrame(canvas, temporary, how, {}, path);
    temporary.Commit();
}

BandFileInfo ProbeBandFile(const std::string& path) {
    BandFileInfo info;
    if (ProbePlainBand(path, info)) return info;
    return Library().ProbeBandFile(path);   // it says what is wrong with the file
}

void ReadBandFile(const std::string& path, const BandFileInfo& info, Image& canvas) {
    if (!ReadPlainBand(path, info, canvas)) Library().ReadBandFile(path, info, canvas);
}

}  // namespace tessellon
