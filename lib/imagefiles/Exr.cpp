#include "Exr.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <utility>
#include <vector>

#include <tinyexr.h>

#include "ChannelChoice.h"
#include "FileChecks.h"
#include "HostApp.h"
#include "HostSystem.h"
#include "PendingFile.h"

namespace tessellon {

namespace {

// A probe reads this much of the file first: headers are far shorter, and
// only a longer one makes it read the rest.
constexpr uint64_t ProbeBytes = uint64_t(1) << 20;

constexpr uint8_t Magic[4] = {0x76, 0x2f, 0x31, 0x01};

// tinyexr's header, freed however the reading ends.
class HeaderHold {
public:
    HeaderHold() { InitEXRHeader(&header_); }
    ~HeaderHold() { FreeEXRHeader(&header_); }
    HeaderHold(const HeaderHold&) = delete;
    HeaderHold& operator=(const HeaderHold&) = delete;
    EXRHeader& operator*() { return header_; }
    EXRHeader* operator->() { return &header_; }

private:
    EXRHeader header_;
};

class ImageHold {
public:
    ImageHold() { InitEXRImage(&image_); }
    ~ImageHold() { FreeEXRImage(&image_); }
    ImageHold(const ImageHold&) = delete;
    ImageHold& operator=(const ImageHold&) = delete;
    EXRImage& operator*() { return image_; }
    EXRImage* operator->() { return &image_; }

private:
    EXRImage image_;
};

std::string TakeMessage(const char* err, const char* fallback) {
    std::string text = err ? err : fallback;
    if (err) FreeEXRErrorMessage(err);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text.empty() ? std::string(fallback) : text;
}

// A window of the header in half-open 64-bit coordinates.
struct Box {
    int64_t X0 = 0, Y0 = 0, X1 = 0, Y1 = 0;
    int64_t Width() const { return X1 - X0; }
    int64_t Height() const { return Y1 - Y0; }
};

Box BoxOf(const EXRBox2i& b) { return {b.min_x, b.min_y, int64_t(b.max_x) + 1, int64_t(b.max_y) + 1}; }

// What the header claims, checked.
struct Layout {
    Box Display, Data;
    ChosenChannels Chosen;
    ImageFileInfo Info;
};

// Rows of one chunk of a scanline file, by compression.
int64_t RowsPerChunk(int compression) {
    switch (compression) {
    case TINYEXR_COMPRESSIONTYPE_ZIP: case TINYEXR_COMPRESSIONTYPE_ZFP: return 16;
    case TINYEXR_COMPRESSIONTYPE_PIZ: return 32;
    default: return 1;
    }
}

int64_t CeilDiv(int64_t a, int64_t b) { return (a + b - 1) / b; }

int RoundLog2(int64_t x, bool roundUp) {
    int log = 0;
    while ((int64_t(1) << (log + 1)) <= x) ++log;
    if (roundUp && (int64_t(1) << log) < x) ++log;
    return log;
}

// Tiles in each level along one side, as tinyexr counts them: a level's
// size is the top level's halved and rounded as the file says, at least 1.
std::vector<int64_t> TilesPerLevel(int64_t size, int64_t tile, int levels, bool roundUp) {
    std::vector<int64_t> tiles;
    for (int l = 0; l < levels; ++l) {
        int64_t level = size >> l;
        if (roundUp && (level << l) < size) ++level;
        tiles.push_back(CeilDiv(std::max<int64_t>(level, 1), tile));
    }
    return tiles;
}

// What tinyexr allocates to decode a tiled file: every tile of every level
// at the full tile size, all channels as 32-bit values, and its tables.
ByteCount TiledDecodeBytes(const EXRHeader& h, const Box& data, const std::string& path, const ImageLimits& limits) {
    const int64_t tw = h.tile_size_x, th = h.tile_size_y;
    if (tw <= 0 || th <= 0)
        throw BadFile(path, "claims tiles of " + std::to_string(tw) + " x " + std::to_string(th) + " pixels");
    if (tw > limits.MaxWidth || th > limits.MaxHeight)
        throw BadFile(path, "claims tiles of " + std::to_string(tw) + " x " + std::to_string(th) +
                                " pixels, above the limit of " + std::to_string(limits.MaxWidth) + " x " +
                                std::to_string(limits.MaxHeight) + " (--max-image-size raises it)");
    if (h.tile_level_mode < TINYEXR_TILE_ONE_LEVEL || h.tile_level_mode > TINYEXR_TILE_RIPMAP_LEVELS)
        throw BadFile(path, "claims an unknown tile level mode (" + std::to_string(h.tile_level_mode) + ")");
    const bool up = h.tile_rounding_mode == TINYEXR_TILE_ROUND_UP;
    int xLevels = 1, yLevels = 1;
    if (h.tile_level_mode == TINYEXR_TILE_MIPMAP_LEVELS)
        xLevels = yLevels = RoundLog2(std::max(data.Width(), data.Height()), up) + 1;
    else if (h.tile_level_mode == TINYEXR_TILE_RIPMAP_LEVELS) {
        xLevels = RoundLog2(data.Width(), up) + 1;
        yLevels = RoundLog2(data.Height(), up) + 1;
    }
    const std::vector<int64_t> nx = TilesPerLevel(data.Width(), tw, xLevels, up);
    const std::vector<int64_t> ny = TilesPerLevel(data.Height(), th, yLevels, up);
    ByteCount tiles;
    if (h.tile_level_mode == TINYEXR_TILE_RIPMAP_LEVELS) {
        for (int64_t y : ny)
            for (int64_t x : nx) tiles = tiles + ByteCount::Product({uint64_t(x), uint64_t(y)});
    } else {
        for (size_t l = 0; l < nx.size(); ++l) tiles = tiles + ByteCount::Product({uint64_t(nx[l]), uint64_t(ny[l])});
    }
    const ByteCount perTile = ByteCount::Product({uint64_t(tw), uint64_t(th), uint64_t(h.num_channels), 4}) +
                              ByteCount(sizeof(EXRTile) + sizeof(uint64_t) + sizeof(void*) * uint64_t(h.num_channels));
    return tiles.Overflowed() ? tiles : perTile * tiles.Value();
}

ByteCount ScanlineDecodeBytes(const EXRHeader& h, const Box& data, const std::string& path) {
    const int64_t chunks = CeilDiv(data.Height(), RowsPerChunk(h.compression_type));
    // tinyexr sizes its chunk table by the file's own count where it has one.
    if (h.chunk_count > 0 && h.chunk_count != chunks)
        throw BadFile(path, "claims " + std::to_string(h.chunk_count) + " chunks where its data window of " +
                                std::to_string(data.Height()) + " rows has " + std::to_string(chunks));
    return ByteCount::Product({uint64_t(data.Width()), uint64_t(data.Height()), uint64_t(h.num_channels), 4}) +
           ByteCount::Product({uint64_t(chunks), sizeof(uint64_t)});
}

// The views a multi-view file names in its "multiView" attribute, the
// default first: a list of strings, each a 32-bit length and its bytes.
std::vector<std::string> ViewsOf(const EXRHeader& h) {
    std::vector<std::string> views;
    for (int i = 0; i < h.num_custom_attributes; ++i) {
        const EXRAttribute& a = h.custom_attributes[i];
        if (std::strcmp(a.name, "multiView") != 0 || std::strcmp(a.type, "stringvector") != 0) continue;
        for (int64_t at = 0; at + 4 <= a.size;) {
            const uint8_t* p = a.value + at;
            const int64_t length = int64_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
            if (length > a.size - at - 4) break;
            views.emplace_back(reinterpret_cast<const char*>(p + 4), size_t(length));
            at += 4 + length;
        }
    }
    return views;
}

int32_t FormatOfType(int pixelType) {
    return pixelType == TINYEXR_PIXELTYPE_HALF ? Format_Half : Format_Float;
}

// The channels' common format, or float where they differ.
int32_t HostFormatOf(const EXRHeader& h, const ChosenChannels& chosen) {
    int type = -1;
    for (int source : chosen.Source) {
        if (source < 0) continue;
        if (type >= 0 && h.pixel_types[source] != type) return Format_Float;
        type = h.pixel_types[source];
    }
    return FormatOfType(type);
}

Layout CheckClaims(const EXRHeader& h, const std::string& path, const ImageLimits& limits) {
    Layout l;
    l.Display = BoxOf(h.display_window);
    l.Data = BoxOf(h.data_window);
    const ImageReadChoice& choice = limits.Choice;
    CheckSinglePart(path, choice);
    const Box& d = l.Display;
    const bool outside = l.Data.X0 < d.X0 || l.Data.Y0 < d.Y0 || l.Data.X1 > d.X1 || l.Data.Y1 > d.Y1;
    const bool none = l.Data.X1 <= d.X0 || l.Data.X0 >= d.X1 || l.Data.Y1 <= d.Y0 || l.Data.Y0 >= d.Y1;
    if (choice.DataWindow) l.Display = l.Data;   // the frame is the data window, overscan kept
    CheckImageSize(path, l.Display.Width(), l.Display.Height(), limits);
    CheckDataWindowSize(path, l.Data.Width(), l.Data.Height(), limits);
    CheckChannelCount(path, h.num_channels, limits);
    ChannelSet names;
    for (int c = 0; c < h.num_channels; ++c) {
        const EXRChannelInfo& channel = h.channels[c];
        if (channel.x_sampling != 1 || channel.y_sampling != 1)
            throw BadFile(path, std::string("has the sub-sampled channel '") + channel.name +
                                    "', which this build of tessellon cannot read");
        names.Names.emplace_back(channel.name);
    }
    names.Views = ViewsOf(h);
    l.Chosen = ChooseChannels(names, choice);
    if (!l.Chosen.Chosen())
        throw BadFile(path, l.Chosen.Error);

    const int32_t format = HostFormatOf(h, l.Chosen);
    const ByteCount host = ByteCount::Product({uint64_t(l.Display.Width()), uint64_t(l.Display.Height()), 4,
                                               uint64_t(BytesPerChannel(format))});
    const ByteCount decoded = h.tiled ? TiledDecodeBytes(h, l.Data, path, limits) : ScanlineDecodeBytes(h, l.Data, path);
    CheckPixelBytes(path, host + decoded, limits);

    l.Info.Width = int(l.Display.Width());
    l.Info.Height = int(l.Display.Height());
    l.Info.Channels = h.num_channels;
    l.Info.HostFormat = format;
    l.Info.HostBytes = host.Value();
    l.Info.Unread = l.Chosen.Unread;
    l.Info.DataOutside = !choice.DataWindow && outside;
    l.Info.NoData = !choice.DataWindow && none;
    return l;
}

void ParseHeader(const std::vector<uint8_t>& bytes, const std::string& path, EXRHeader& header) {
    EXRVersion version;
    if (ParseEXRVersionFromMemory(&version, bytes.data(), bytes.size()) != TINYEXR_SUCCESS)
        throw BadFile(path, "is not an EXR file of a version this build of tessellon reads");
    if (version.multipart)
        throw BadFile(path, "is a multi-part EXR file, which this build of tessellon cannot read");
    if (version.non_image)
        throw BadFile(path, "holds deep data, which cannot be read as an image");
    const char* err = nullptr;
    if (ParseEXRHeaderFromMemory(&header, &version, bytes.data(), bytes.size(), &err) != TINYEXR_SUCCESS)
        throw BadFile(path, "has a damaged EXR header: " + TakeMessage(err, "unreadable"));
}

// Where the decoded values of one channel lie: one plane of the data window,
// or level 0's tiles.
class DecodedPixels {
public:
    DecodedPixels(const EXRHeader& h, const EXRImage& image, const Box& data) : h_(h), image_(image), data_(data) {
        if (!h.tiled) return;
        tilesX_ = CeilDiv(data.Width(), h.tile_size_x);
        tiles_.assign(size_t(tilesX_ * CeilDiv(data.Height(), h.tile_size_y)), nullptr);
        for (int t = 0; t < image.num_tiles; ++t) {
            const EXRTile& tile = image.tiles[t];
            if (tile.level_x == 0 && tile.level_y == 0 && tile.offset_x >= 0 && tile.offset_x < tilesX_ &&
                tile.offset_y >= 0 && size_t(tile.offset_y * tilesX_ + tile.offset_x) < tiles_.size())
                tiles_[size_t(tile.offset_y * tilesX_ + tile.offset_x)] = &tile;
        }
    }

    // How many pixels from file column x on, up to `end`, lie in one run:
    // the rest of the row, or of the tile.
    int64_t RunLength(int64_t x, int64_t end) const {
        if (!h_.tiled) return end - x;
        const int64_t tw = h_.tile_size_x;
        return std::min(end - x, tw - (x - data_.X0) % tw);
    }

    // The 32-bit values of `channel` in the run from file pixel (x, y); null
    // where the file has no tile.
    const uint32_t* Run(int channel, int64_t x, int64_t y) const {
        const int64_t dx = x - data_.X0, dy = y - data_.Y0;
        if (!h_.tiled)
            return reinterpret_cast<const uint32_t*>(image_.images[channel]) + dy * data_.Width() + dx;
        const int64_t tw = h_.tile_size_x, th = h_.tile_size_y;
        const EXRTile* tile = tiles_[size_t(dy / th * tilesX_ + dx / tw)];
        if (!tile) return nullptr;
        return reinterpret_cast<const uint32_t*>(tile->images[channel]) + (dy % th) * tw + dx % tw;
    }

private:
    const EXRHeader& h_;
    const EXRImage& image_;
    Box data_;
    int64_t tilesX_ = 0;
    std::vector<const EXRTile*> tiles_;
};

float ValueOf(uint32_t bits, bool unsignedInt) {
    if (unsignedInt) return float(double(bits) / 4294967295.0);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Writes the part of the data window inside the display window into the
// image, one host row at a time; the rest stays (0, 0, 0, 0).
void PutPixels(const EXRHeader& h, const EXRImage& decoded, const Layout& l, Image& image) {
    const int64_t x0 = std::max(l.Data.X0, l.Display.X0), x1 = std::min(l.Data.X1, l.Display.X1);
    const int64_t y0 = std::max(l.Data.Y0, l.Display.Y0), y1 = std::min(l.Data.Y1, l.Display.Y1);
    if (x0 >= x1 || y0 >= y1) return;
    const DecodedPixels pixels(h, decoded, l.Data);
    std::vector<float> rgba(size_t(x1 - x0) * 4);
    for (int64_t y = y0; y < y1; ++y) {
        for (int64_t x = x0; x < x1;) {
            const int64_t count = pixels.RunLength(x, x1);
            for (int k = 0; k < 4; ++k) {
                const int source = l.Chosen.Source[size_t(k)];
                const uint32_t* from = source >= 0 ? pixels.Run(source, x, y) : nullptr;
                const bool isUint = source >= 0 && h.pixel_types[source] == TINYEXR_PIXELTYPE_UINT;
                const float constant = source == SourceOne ? 1.0f : 0.0f;
                float* to = &rgba[size_t(x - x0) * 4 + size_t(k)];
                for (int64_t i = 0; i < count; ++i) to[i * 4] = from ? ValueOf(from[i], isUint) : constant;
            }
            x += count;
        }
        image.WriteSpan(int32_t(x0 - l.Display.X0), int32_t(l.Display.Y1 - 1 - y), int32_t(x1 - x0), rgba.data());
    }
}

}  // namespace

bool IsExrData(const uint8_t* bytes, size_t size) {
    return size >= sizeof Magic && std::memcmp(bytes, Magic, sizeof Magic) == 0;
}

ImageFileInfo ProbeExrFile(const std::string& path, const ImageLimits& limits) {
    std::vector<uint8_t> bytes = ReadFileBytes(path, ProbeBytes);
    HeaderHold header;
    try {
        ParseHeader(bytes, path, *header);
    } catch (const Error&) {
        if (bytes.size() < ProbeBytes) throw;
        // The header may go on past what was read.
        bytes = ReadFileBytes(path);
        HeaderHold whole;
        ParseHeader(bytes, path, *whole);
        return CheckClaims(*whole, path, limits).Info;
    }
    return CheckClaims(*header, path, limits).Info;
}

Image* ReadExrFile(const std::string& path, const ImageLimits& limits, void* imageContext) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    HeaderHold header;
    ParseHeader(bytes, path, *header);
    const Layout layout = CheckClaims(*header, path, limits);
    // Half values come out as floats (exactly), stored as half again by the host.
    for (int c = 0; c < header->num_channels; ++c)
        if (header->pixel_types[c] == TINYEXR_PIXELTYPE_HALF) header->requested_pixel_types[c] = TINYEXR_PIXELTYPE_FLOAT;

    ImageHold decoded;
    const char* err = nullptr;
    if (LoadEXRImageFromMemory(&*decoded, &*header, bytes.data(), bytes.size(), &err) != TINYEXR_SUCCESS)
        throw BadFile(path, "cannot read the pixels: " + TakeMessage(err, "decoding failed"));

    const ImageFileInfo& info = layout.Info;
    HostRef<Image> hold = NewFrameImage(path, info.Width, info.Height, info.HostFormat, imageContext);
    PutPixels(*header, *decoded, layout, *hold.Get());
    return hold.Release();
}

void WriteExrFile(const Image& image, const std::string& path, const ExrWrite& how) {
    PendingFile temporary(path, ".exr");
    const size_t w = size_t(image.Width), h = size_t(image.Height);
    // Channels in the order EXR writers keep them, by name: A, B, G, R.
    static constexpr const char* Names[4] = {"A", "B", "G", "R"};
    static constexpr int RecordChannel[4] = {3, 2, 1, 0};
    std::vector<std::vector<float>> planes(4, std::vector<float>(w * h));
    std::vector<float> row(w * 4);
    for (size_t y = 0; y < h; ++y) {
        image.ReadSpan(0, int32_t(h - 1 - y), int32_t(w), row.data());
        for (int c = 0; c < 4; ++c)
            for (size_t x = 0; x < w; ++x) planes[size_t(c)][y * w + x] = row[x * 4 + size_t(RecordChannel[c])];
    }

    EXRChannelInfo channels[4] = {};
    int pixelTypes[4], requested[4];
    unsigned char* images[4];
    for (int c = 0; c < 4; ++c) {
        std::strcpy(channels[c].name, Names[c]);
        pixelTypes[c] = TINYEXR_PIXELTYPE_FLOAT;
        requested[c] = how.Half ? TINYEXR_PIXELTYPE_HALF : TINYEXR_PIXELTYPE_FLOAT;
        images[c] = reinterpret_cast<unsigned char*>(planes[size_t(c)].data());
    }
    EXRHeader header;
    InitEXRHeader(&header);
    header.num_channels = 4;
    header.channels = channels;
    header.pixel_types = pixelTypes;
    header.requested_pixel_types = requested;
    header.compression_type = how.Compression;
    EXRImage exr;
    InitEXRImage(&exr);
    exr.images = images;
    exr.width = image.Width;
    exr.height = image.Height;
    exr.num_channels = 4;

    unsigned char* memory = nullptr;
    const char* err = nullptr;
    const size_t size = SaveEXRImageToMemory(&exr, &header, &memory, &err);
    const std::unique_ptr<unsigned char, decltype(&std::free)> encoded(memory, &std::free);
    if (size == 0)
        throw BadFile(path, "cannot write: " + TakeMessage(err, "encoding failed"));
    {
        std::ofstream out(temporary.Path(), std::ios::binary);
        if (!out)
            throw BadFile(path, "cannot create a file in '" + temporary.Directory().string() + "'");
        out.write(reinterpret_cast<const char*>(memory), std::streamsize(size));
        if (!out.flush())
            throw BadFile(path, "cannot write the file in '" + temporary.Directory().string() + "'");
    }
    temporary.Commit();
}

}  // namespace tessellon
