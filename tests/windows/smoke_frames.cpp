// Helper of the Windows smoke test, built for the build machine.
//
//   smoke_frames frames DIR          writes the same six frames as
//                                    DIR/f.0001.pfm .., DIR/e.0001.exr .. and
//                                    DIR/p.0001.png .., the tracks
//                                    DIR/straight.csv, DIR/turned.csv, and
//                                    EXR files with damaged headers,
//                                    DIR/huge-window.exr, DIR/huge-tiles.exr
//   smoke_frames compare A B TOL     compares two PFM or EXR files value by
//                                    value; exit 0 when every value is within
//                                    TOL ("bits": identical bits)
//
// The PFM frames use every form a PFM reader must know: colour and grey,
// little- and big-endian, a scale other than 1; the EXR frames half and
// float, scanlines and tiles, each compression, and channels besides colour
// and alpha; the PNG frames grey, RGB and RGBA. Values are exact in binary
// (and in half), so that each system's reader must give the same floats.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <zlib.h>
#define TINYEXR_IMPLEMENTATION
#include <tinyexr.h>
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

namespace {

constexpr int Width = 64, Height = 48, Frames = 6;

struct Encoding {
    bool Grey;
    bool BigEndian;
    float Scale;   // magnitude written; values are stored divided by it
};

// Frame k is written with encodings[k - 1].
constexpr Encoding Encodings[Frames] = {
    {false, false, 1.0f}, {false, true, 1.0f}, {true, false, 1.0f},
    {false, false, 0.5f}, {false, true, 2.0f}, {false, false, 1.0f},
};

uint32_t Hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

// A scene wider than a frame, with texture, seen through a window that moves
// with the frame number; a bright block crosses it so that the two filter
// methods differ. Values are multiples of 1/1024.
float Scene(int frame, int x, int y, int channel) {
    const int sx = x + 6 * (frame - 1), sy = y + (frame % 3);
    float value = float(Hash(uint32_t(sx * 7919 + sy * 104729 + channel * 15485863)) % 1024) / 1024.0f;
    const int blockX = 10 + 8 * frame;
    if (x >= blockX && x < blockX + 6 && y >= 20 && y < 28) value = channel == 0 ? 4.0f : 0.0f;
    return value;
}

bool WriteFrame(const std::string& path, int frame, const Encoding& e) {
    std::ofstream out(path, std::ios::binary);
    const float scale = e.BigEndian ? e.Scale : -e.Scale;
    out << (e.Grey ? "Pf" : "PF") << "\n" << Width << " " << Height << "\n" << scale << "\n";
    const int channels = e.Grey ? 1 : 3;
    for (int y = 0; y < Height; ++y)   // bottom row first
        for (int x = 0; x < Width; ++x)
            for (int c = 0; c < channels; ++c) {
                uint32_t bits = std::bit_cast<uint32_t>(Scene(frame, x, y, c) / e.Scale);
                if (e.BigEndian) bits = (bits >> 24) | ((bits >> 8) & 0xff00U) | ((bits << 8) & 0xff0000U) | (bits << 24);
                out.write(reinterpret_cast<const char*>(&bits), 4);
            }
    return static_cast<bool>(out.flush());
}

struct ExrEncoding {
    int PixelType;     // TINYEXR_PIXELTYPE_*
    int Compression;   // TINYEXR_COMPRESSIONTYPE_*
    int Tile;          // 0: scanlines
    bool Extra;        // a depth channel and a layer besides A, B, G, R
};

constexpr ExrEncoding ExrEncodings[Frames] = {
    {TINYEXR_PIXELTYPE_HALF, TINYEXR_COMPRESSIONTYPE_ZIP, 0, false},
    {TINYEXR_PIXELTYPE_FLOAT, TINYEXR_COMPRESSIONTYPE_PIZ, 0, true},
    {TINYEXR_PIXELTYPE_HALF, TINYEXR_COMPRESSIONTYPE_ZIP, 16, false},
    {TINYEXR_PIXELTYPE_FLOAT, TINYEXR_COMPRESSIONTYPE_RLE, 0, false},
    {TINYEXR_PIXELTYPE_HALF, TINYEXR_COMPRESSIONTYPE_NONE, 0, true},
    {TINYEXR_PIXELTYPE_FLOAT, TINYEXR_COMPRESSIONTYPE_ZIPS, 20, false},
};

uint16_t HalfOf(float value) {   // exact for the scene's values
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    if ((bits & 0x7fffffffU) == 0) return uint16_t(bits >> 16);
    return uint16_t(((bits >> 16) & 0x8000U) | ((((bits >> 23) & 0xffU) - 112) << 10) | ((bits >> 13) & 0x3ffU));
}

// The frame in memory as an EXR file. Opaque but for the block, whose alpha
// is 0.5 so that alpha is seen to arrive; "Z" and "diffuse.R" hold values
// that would show wherever they were taken for colour or alpha.
std::vector<unsigned char> EncodeExr(int frame, const ExrEncoding& e) {
    const char* names[] = {"A", "B", "G", "R", "Z", "diffuse.R"};
    const int channels = e.Extra ? 6 : 4, bytes = e.PixelType == TINYEXR_PIXELTYPE_HALF ? 2 : 4;
    std::vector<std::vector<unsigned char>> planes(size_t(channels), std::vector<unsigned char>(Width * Height * 4));
    for (int y = 0; y < Height; ++y)   // top row first
        for (int x = 0; x < Width; ++x)
            for (int c = 0; c < channels; ++c) {
                const int sceneY = Height - 1 - y;
                float v = c == 0 ? (Scene(frame, x, sceneY, 0) == 4.0f ? 0.5f : 1.0f)
                        : c < 4  ? Scene(frame, x, sceneY, 3 - c)
                                 : 100.0f + float(c);
                unsigned char* to = planes[size_t(c)].data() + size_t(y * Width + x) * bytes;
                if (bytes == 2) {
                    const uint16_t h = HalfOf(v);
                    std::memcpy(to, &h, 2);
                } else {
                    std::memcpy(to, &v, 4);
                }
            }
    std::vector<EXRChannelInfo> info(static_cast<size_t>(channels));
    std::vector<int> types(size_t(channels), e.PixelType);
    std::vector<unsigned char*> images;
    for (int c = 0; c < channels; ++c) {
        std::strcpy(info[size_t(c)].name, names[c]);
        images.push_back(planes[size_t(c)].data());
    }
    EXRHeader header;
    InitEXRHeader(&header);
    header.num_channels = channels;
    header.channels = info.data();
    header.pixel_types = types.data();
    header.requested_pixel_types = types.data();
    header.compression_type = e.Compression;
    header.data_window = header.display_window = {0, 0, Width - 1, Height - 1};   // tiles are counted from it
    EXRImage image;
    InitEXRImage(&image);
    image.width = Width;
    image.height = Height;
    image.num_channels = channels;
    // Tiles hold their pixels at the full tile size, edge tiles too.
    std::vector<EXRTile> tiles;
    std::vector<std::vector<unsigned char>> tilePlanes;
    std::vector<std::vector<unsigned char*>> tileImages;
    if (e.Tile) {
        header.tiled = 1;
        header.tile_size_x = header.tile_size_y = e.Tile;
        const int nx = (Width + e.Tile - 1) / e.Tile, ny = (Height + e.Tile - 1) / e.Tile;
        tiles.resize(size_t(nx * ny));
        tileImages.resize(tiles.size());
        tilePlanes.reserve(tiles.size() * size_t(channels));
        for (int t = 0; t < nx * ny; ++t) {
            EXRTile& tile = tiles[size_t(t)];
            tile.offset_x = t % nx;
            tile.offset_y = t / nx;
            tile.width = std::min(e.Tile, Width - tile.offset_x * e.Tile);
            tile.height = std::min(e.Tile, Height - tile.offset_y * e.Tile);
            for (int c = 0; c < channels; ++c) {
                tilePlanes.emplace_back(size_t(e.Tile * e.Tile * bytes));
                for (int y = 0; y < tile.height; ++y)
                    std::memcpy(tilePlanes.back().data() + size_t(y * e.Tile * bytes),
                                planes[size_t(c)].data() + size_t(((tile.offset_y * e.Tile + y) * Width + tile.offset_x * e.Tile) * bytes),
                                size_t(tile.width * bytes));
                tileImages[size_t(t)].push_back(tilePlanes.back().data());
            }
            tile.images = tileImages[size_t(t)].data();
        }
        image.tiles = tiles.data();
        image.num_tiles = int(tiles.size());
    } else {
        image.images = images.data();
    }
    unsigned char* memory = nullptr;
    const char* err = nullptr;
    const size_t size = SaveEXRImageToMemory(&image, &header, &memory, &err);
    if (size == 0) {
        std::fprintf(stderr, "smoke_frames: cannot encode frame %d: %s\n", frame, err ? err : "?");
        return {};
    }
    std::vector<unsigned char> out(memory, memory + size);
    std::free(memory);
    return out;
}

bool WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return !bytes.empty() && out.flush();
}

// Frame k as PNG: grey, RGB or RGBA in turn (8-bit; the block, at 4.0,
// clips to white).
bool WritePng(const std::string& path, int frame) {
    const int channels = frame % 3 == 0 ? 1 : frame % 3 == 1 ? 3 : 4;
    std::vector<unsigned char> pixels(size_t(Width * Height * channels));
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x)
            for (int c = 0; c < channels; ++c) {
                const float v = c == 3 ? 0.75f : Scene(frame, x, Height - 1 - y, c);
                pixels[size_t((y * Width + x) * channels + c)] = (unsigned char)(std::min(v, 1.0f) * 255.0f + 0.5f);
            }
    return stbi_write_png(path.c_str(), Width, Height, channels, pixels.data(), Width * channels) != 0;
}

// An EXR frame whose header claims `window` as its data window (max x and
// y) or `tile` as its tile size: in either case more bytes than a frame may
// take, though every size lies within the limits and tinyexr's own bounds.
bool WriteDamaged(const std::string& path, bool tiled, int32_t claim) {
    std::vector<unsigned char> bytes = EncodeExr(1, {TINYEXR_PIXELTYPE_FLOAT, TINYEXR_COMPRESSIONTYPE_NONE, tiled ? 16 : 0, false});
    const std::string key = tiled ? std::string("tiles\0tiledesc\0", 15) : std::string("dataWindow\0box2i\0", 17);
    const auto at = std::search(bytes.begin(), bytes.end(), key.begin(), key.end());
    if (at == bytes.end()) return false;
    unsigned char* value = &*at + key.size() + 4;
    std::memcpy(value + (tiled ? 0 : 8), &claim, 4);
    std::memcpy(value + (tiled ? 4 : 12), &claim, 4);
    return WriteBytes(path, bytes);
}

bool WriteTracks(const std::string& dir) {
    std::ofstream straight(dir + "/straight.csv"), turned(dir + "/turned.csv");
    straight << "frame,x,y\n";
    turned << "frame,x,y,angle\n";
    for (int k = 1; k <= Frames; ++k) {
        const double x = 0.5 + 6.0 * (k - 1) / Width, y = 0.5 + double(k % 3) / Height;
        straight << k << "," << x << "," << y << "\n";
        turned << k << "," << x << "," << y << "," << 1.5 * (k - 1) - 3.0 << "\n";
    }
    return straight.flush() && turned.flush();
}

struct Pfm {
    int Width = 0, Height = 0, Channels = 0;
    std::vector<float> Values;
};

// An EXR file as RGBA floats in the same form.
bool ReadExr(const std::string& path, Pfm& image) {
    float* rgba = nullptr;
    const char* err = nullptr;
    if (LoadEXR(&rgba, &image.Width, &image.Height, path.c_str(), &err) != TINYEXR_SUCCESS) {
        std::printf("%s: %s\n", path.c_str(), err ? err : "cannot read");
        return false;
    }
    image.Channels = 4;
    image.Values.assign(rgba, rgba + size_t(image.Width) * size_t(image.Height) * 4);
    std::free(rgba);
    return true;
}

bool ReadPfm(const std::string& path, Pfm& pfm) {
    if (path.size() > 4 && path.substr(path.size() - 4) == ".exr") return ReadExr(path, pfm);
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    double scale = 0;
    if (!(in >> magic >> pfm.Width >> pfm.Height >> scale) || (magic != "PF" && magic != "Pf") || scale == 0)
        return false;
    in.get();
    pfm.Channels = magic == "PF" ? 3 : 1;
    pfm.Values.resize(size_t(pfm.Width) * size_t(pfm.Height) * size_t(pfm.Channels));
    for (float& value : pfm.Values) {
        uint32_t bits = 0;
        if (!in.read(reinterpret_cast<char*>(&bits), 4)) return false;
        if (scale > 0) bits = (bits >> 24) | ((bits >> 8) & 0xff00U) | ((bits << 8) & 0xff0000U) | (bits << 24);
        value = std::bit_cast<float>(bits) * float(std::fabs(scale));
    }
    return true;
}

int Compare(const std::string& a, const std::string& b, const std::string& limit) {
    const bool bits = limit == "bits";
    const double tolerance = bits ? 0.0 : std::strtod(limit.c_str(), nullptr);
    Pfm pa, pb;
    if (!ReadPfm(a, pa) || !ReadPfm(b, pb)) {
        std::printf("cannot read %s or %s as PFM\n", a.c_str(), b.c_str());
        return 1;
    }
    if (pa.Width != pb.Width || pa.Height != pb.Height || pa.Channels != pb.Channels) {
        std::printf("%s is %d x %d x %d, %s is %d x %d x %d\n", a.c_str(), pa.Width, pa.Height, pa.Channels,
                    b.c_str(), pb.Width, pb.Height, pb.Channels);
        return 1;
    }
    size_t over = 0, unequal = 0;
    double largest = 0;
    for (size_t i = 0; i < pa.Values.size(); ++i) {
        const float x = pa.Values[i], y = pb.Values[i];
        if (std::isnan(x) && std::isnan(y)) continue;
        if (std::bit_cast<uint32_t>(x) != std::bit_cast<uint32_t>(y)) ++unequal;
        const double difference = std::isnan(x) || std::isnan(y) ? INFINITY : std::fabs(double(x) - double(y));
        largest = std::fmax(largest, difference);
        if (!(difference <= tolerance)) ++over;
    }
    std::printf("%d x %d x %d values: %zu differ in their bits, largest difference %.3g, %zu above %.3g\n", pa.Width,
                pa.Height, pa.Channels, unequal, largest, over, tolerance);
    return over == 0 && (!bits || unequal == 0) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "frames" && argc == 3) {
        const std::string dir = argv[2];
        for (int k = 1; k <= Frames; ++k) {
            char name[32];
            std::snprintf(name, sizeof name, "/f.%04d.pfm", k);
            if (!WriteFrame(dir + name, k, Encodings[k - 1])) {
                std::fprintf(stderr, "smoke_frames: cannot write %s%s\n", dir.c_str(), name);
                return 2;
            }
        }
        for (int k = 1; k <= Frames; ++k) {
            char exr[32], png[32];
            std::snprintf(exr, sizeof exr, "/e.%04d.exr", k);
            std::snprintf(png, sizeof png, "/p.%04d.png", k);
            if (!WriteBytes(dir + exr, EncodeExr(k, ExrEncodings[k - 1])) || !WritePng(dir + png, k)) {
                std::fprintf(stderr, "smoke_frames: cannot write %s%s or %s%s\n", dir.c_str(), exr, dir.c_str(), png);
                return 2;
            }
        }
        if (!WriteDamaged(dir + "/huge-window.exr", false, 60000) || !WriteDamaged(dir + "/huge-tiles.exr", true, 60000)) {
            std::fprintf(stderr, "smoke_frames: cannot write the damaged files in %s\n", dir.c_str());
            return 2;
        }
        if (!WriteTracks(dir)) {
            std::fprintf(stderr, "smoke_frames: cannot write the tracks in %s\n", dir.c_str());
            return 2;
        }
        return 0;
    }
    if (command == "compare" && argc == 5) return Compare(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "usage: smoke_frames frames DIR | smoke_frames compare A B TOLERANCE|bits\n");
    return 2;
}
