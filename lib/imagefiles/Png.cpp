#include "Png.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include <stb_image.h>
#include <zlib.h>

#include "ChannelChoice.h"
#include "FileChecks.h"
#include "HostApp.h"
#include "HostSystem.h"
#include "PendingFile.h"

namespace tessellon {

namespace {

constexpr uint8_t Signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// The signature and the IHDR chunk up to its colour type.
constexpr size_t HeaderBytes = 26;

uint32_t BigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

struct PngHeader {
    int64_t Width = 0, Height = 0;
    int Channels = 0;   // as decoded: a palette gives 3, or 4 with transparency
    bool Sixteen = false;
};

PngHeader ParseHeader(const std::vector<uint8_t>& bytes, const std::string& path) {
    if (bytes.size() < HeaderBytes || !IsPngData(bytes.data(), bytes.size()) ||
        std::memcmp(bytes.data() + 12, "IHDR", 4) != 0)
        throw BadFile(path, "is not a PNG file (it has no PNG signature and header)");
    PngHeader h;
    h.Width = BigEndian32(bytes.data() + 16);
    h.Height = BigEndian32(bytes.data() + 20);
    const int depth = bytes[24], type = bytes[25];
    static constexpr int ChannelsOfType[7] = {1, 0, 3, 3, 2, 0, 4};
    if (type > 6 || ChannelsOfType[type] == 0)
        throw BadFile(path, "has the unknown PNG colour type " + std::to_string(type));
    if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16)
        throw BadFile(path, "has the unknown PNG bit depth " + std::to_string(depth));
    h.Channels = ChannelsOfType[type];
    h.Sixteen = depth == 16;
    return h;
}

ChannelSet NamesOf(int channels);

ImageFileInfo CheckClaims(const PngHeader& h, const std::string& path, const ImageLimits& limits) {
    CheckImageSize(path, h.Width, h.Height, limits);
    CheckChannelCount(path, h.Channels, limits);
    CheckSinglePart(path, limits.Choice);
    // A PNG file has no layers or views: asking for one is refused here,
    // before any pixel is read.
    const ChosenChannels chosen = ChooseChannels(NamesOf(int(std::min<int64_t>(h.Channels, 4))), limits.Choice);
    if (!chosen.Chosen()) throw BadFile(path, chosen.Error);
    const uint64_t sampleBytes = h.Sixteen ? 2 : 1;
    const ByteCount host = ByteCount::Product({uint64_t(h.Width), uint64_t(h.Height), 4, sampleBytes});
    // The decoder holds the inflated rows and its output at once, each at
    // most four samples a pixel.
    const ByteCount decoded = host * 2 + ByteCount(uint64_t(h.Height));
    CheckPixelBytes(path, host + decoded, limits);
    ImageFileInfo info;
    info.Width = int(h.Width);
    info.Height = int(h.Height);
    info.Channels = h.Channels;
    info.HostFormat = h.Sixteen ? Format_UInt16 : Format_UInt8;
    info.HostBytes = host.Value();
    return info;
}

// The channel names of a decoded PNG pixel, as ChooseChannels reads them.
ChannelSet NamesOf(int channels) {
    switch (channels) {
    case 1: return {{"Y"}, -1, {}};
    case 2: return {{"Y", "A"}, -1, {}};
    case 3: return {{"R", "G", "B"}, -1, {}};
    default: return {{"R", "G", "B", "A"}, -1, {}};
    }
}

template <class T>
void PutPixels(const T* samples, int channels, const ChosenChannels& chosen, float scale, Image& image) {
    const size_t w = size_t(image.Width);
    std::vector<float> rgba(w * 4);
    for (int32_t row = 0; row < image.Height; ++row) {
        const T* in = samples + size_t(row) * w * size_t(channels);
        for (size_t x = 0; x < w; ++x)
            for (size_t k = 0; k < 4; ++k) {
                const int source = chosen.Source[k];
                rgba[x * 4 + k] = source >= 0 ? float(in[x * size_t(channels) + size_t(source)]) / scale
                                              : source == SourceOne ? 1.0f : 0.0f;
            }
        image.WriteSpan(0, image.Height - 1 - row, image.Width, rgba.data());
    }
}

// The PNG filter (0 none, 1 sub, 2 up, 3 average, 4 Paeth) of one byte.
uint8_t Filtered(int filter, uint8_t value, uint8_t left, uint8_t up, uint8_t upLeft) {
    switch (filter) {
    case 1: return uint8_t(value - left);
    case 2: return uint8_t(value - up);
    case 3: return uint8_t(value - (left + up) / 2);
    case 4: {
        const int p = left + up - upLeft, pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - upLeft);
        return uint8_t(value - (pa <= pb && pa <= pc ? left : pb <= pc ? up : upLeft));
    }
    default: return value;
    }
}

// Streams rows through zlib into IDAT chunks.
class PngStream {
public:
    PngStream(std::ofstream& out, const std::string& path) : out_(out), path_(path) {
        if (deflateInit(&z_, Z_DEFAULT_COMPRESSION) != Z_OK)
            throw BadFile(path, "cannot write: the compressor did not start");
    }
    ~PngStream() { deflateEnd(&z_); }
    PngStream(const PngStream&) = delete;
    PngStream& operator=(const PngStream&) = delete;

    void Chunk(const char type[4], const uint8_t* data, size_t size) {
        uint8_t head[8] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)};
        std::memcpy(head + 4, type, 4);
        uLong crc = crc32(0, head + 4, 4);
        if (size) crc = crc32(crc, data, uInt(size));   // a null buffer would restart the sum
        const uint8_t tail[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
        out_.write(reinterpret_cast<const char*>(head), 8);
        out_.write(reinterpret_cast<const char*>(data), std::streamsize(size));
        out_.write(reinterpret_cast<const char*>(tail), 4);
    }

    void Deflate(const uint8_t* data, size_t size, bool finish) {
        z_.next_in = const_cast<Bytef*>(data);
        z_.avail_in = uInt(size);
        for (;;) {
            z_.next_out = buffer_.data();
            z_.avail_out = uInt(buffer_.size());
            const int status = deflate(&z_, finish ? Z_FINISH : Z_NO_FLUSH);
            if (status == Z_STREAM_ERROR)
                throw BadFile(path_, "cannot write: the compressor failed");
            const size_t produced = buffer_.size() - z_.avail_out;
            if (produced) Chunk("IDAT", buffer_.data(), produced);
            if (finish ? status == Z_STREAM_END : z_.avail_out != 0) return;
        }
    }

private:
    std::ofstream& out_;
    std::string path_;
    z_stream z_{};
    std::array<uint8_t, 1 << 16> buffer_;
};

// One row's bytes, filtered the way that leaves the smallest sum of
// magnitudes (the usual heuristic), after its filter byte.
void FilterRow(const std::vector<uint8_t>& row, const std::vector<uint8_t>& above, size_t pixelBytes,
               std::vector<uint8_t>& out) {
    long best = LONG_MAX;
    std::vector<uint8_t> trial(row.size() + 1);
    for (int filter = 0; filter < 5; ++filter) {
        trial[0] = uint8_t(filter);
        long sum = 0;
        for (size_t i = 0; i < row.size(); ++i) {
            const uint8_t left = i >= pixelBytes ? row[i - pixelBytes] : 0;
            const uint8_t upLeft = i >= pixelBytes ? above[i - pixelBytes] : 0;
            trial[i + 1] = Filtered(filter, row[i], left, above[i], upLeft);
            sum += std::abs(int(int8_t(trial[i + 1])));
        }
        if (sum < best) {
            best = sum;
            out.swap(trial);
            trial.resize(row.size() + 1);
        }
    }
}

uint16_t Quantize(float value, float max) {
    if (!(value > 0.0f)) return 0;   // also NaN
    if (value >= 1.0f) return uint16_t(max);
    return uint16_t(value * max + 0.5f);
}

}  // namespace

bool IsPngData(const uint8_t* bytes, size_t size) {
    return size >= sizeof Signature && std::memcmp(bytes, Signature, sizeof Signature) == 0;
}

ImageFileInfo ProbePngFile(const std::string& path, const ImageLimits& limits) {
    return CheckClaims(ParseHeader(ReadFileBytes(path, HeaderBytes), path), path, limits);
}

Image* ReadPngFile(const std::string& path, const ImageLimits& limits, void* imageContext) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    const PngHeader header = ParseHeader(bytes, path);
    const ImageFileInfo info = CheckClaims(header, path, limits);
    if (bytes.size() > size_t(INT_MAX))
        throw BadFile(path, "is larger than 2 GiB, more than this build of tessellon reads as PNG");

    int w = 0, h = 0, channels = 0;
    using Samples = std::unique_ptr<void, decltype(&stbi_image_free)>;
    Samples samples(header.Sixteen ? static_cast<void*>(stbi_load_16_from_memory(bytes.data(), int(bytes.size()), &w, &h, &channels, 0))
                                   : static_cast<void*>(stbi_load_from_memory(bytes.data(), int(bytes.size()), &w, &h, &channels, 0)),
                    &stbi_image_free);
    if (!samples)
        throw BadFile(path, std::string("cannot read the pixels: ") + stbi_failure_reason());
    if (w != info.Width || h != info.Height || channels < 1 || channels > 4)
        throw BadFile(path, "cannot read the pixels: the decoder gave " + std::to_string(w) + " x " +
                                std::to_string(h) + " pixels of " + std::to_string(channels) + " channels");
    const ChosenChannels chosen = ChooseChannels(NamesOf(channels), limits.Choice);
    if (!chosen.Chosen()) throw BadFile(path, chosen.Error);

    HostRef<Image> hold = NewFrameImage(path, info.Width, info.Height, info.HostFormat, imageContext);
    if (header.Sixteen)
        PutPixels(static_cast<const uint16_t*>(samples.get()), channels, chosen, 65535.0f, *hold.Get());
    else
        PutPixels(static_cast<const uint8_t*>(samples.get()), channels, chosen, 255.0f, *hold.Get());
    return hold.Release();
}

void WritePngFile(const Image& image, const std::string& path) {
    PendingFile temporary(path, ".png");
    {
        std::ofstream out(temporary.Path(), std::ios::binary);
        if (!out)
            throw BadFile(path, "cannot create a file in '" + temporary.Directory().string() + "'");
        const bool sixteen = image.Format == Format_UInt16;
        const size_t sampleBytes = sixteen ? 2 : 1, pixelBytes = 4 * sampleBytes;
        const float max = sixteen ? 65535.0f : 255.0f;
        out.write(reinterpret_cast<const char*>(Signature), sizeof Signature);
        PngStream png(out, path);
        const uint32_t w = uint32_t(image.Width), h = uint32_t(image.Height);
        const uint8_t ihdr[13] = {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w),
                                  uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h),
                                  uint8_t(sixteen ? 16 : 8), 6, 0, 0, 0};   // RGBA, deflate, adaptive filters, no interlace
        png.Chunk("IHDR", ihdr, sizeof ihdr);

        std::vector<float> rgba(size_t(w) * 4);
        std::vector<uint8_t> row(size_t(w) * pixelBytes), above(row.size(), 0), filtered;
        for (int32_t y = image.Height - 1; y >= 0 && out; --y) {
            image.ReadSpan(0, y, image.Width, rgba.data());
            for (size_t i = 0; i < rgba.size(); ++i) {
                const uint16_t value = Quantize(rgba[i], max);
                if (sixteen) {
                    row[i * 2] = uint8_t(value >> 8);
                    row[i * 2 + 1] = uint8_t(value);
                } else {
                    row[i] = uint8_t(value);
                }
            }
            FilterRow(row, above, pixelBytes, filtered);
            png.Deflate(filtered.data(), filtered.size(), false);
            above.swap(row);
        }
        png.Deflate(nullptr, 0, true);
        png.Chunk("IEND", nullptr, 0);
        if (!out.flush())
            throw BadFile(path, "cannot write the file in '" + temporary.Directory().string() + "'");
    }
    temporary.Commit();
}

}  // namespace tessellon
