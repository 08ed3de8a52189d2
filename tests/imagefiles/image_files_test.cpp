// Image files in and out of host images: formats, channel mapping, windows,
// damaged and hostile files, and writes that never leave half a file.
#include "ImageFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <OpenImageIO/half.h>
#include <OpenImageIO/imageio.h>

#include "ExrFrames.h"
#include "HostApp.h"
#include "HostSystem.h"
#include "ImageTestSupport.h"

namespace fs = std::filesystem;
using namespace tessellon;

namespace {

// The record of host pixel (x, y).
std::array<float, 4> At(const std::vector<float>& pixels, int width, int x, int y) {
    const float* p = pixels.data() + (size_t(y) * width + x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

struct ImageRef {
    Image* image = nullptr;
    explicit ImageRef(Image* i) : image(i) {}
    ~ImageRef() {
        if (image) image->Recycle();
    }
    Image* operator->() const { return image; }
};

Image* NewFloatImage(int width, int height, int32_t format = Format_Float) {
    return NewImage(TagList{Tag<IMG_Width>(width), Tag<IMG_Height>(height), Tag<IMG_Channel>(2),
                            Tag<IMG_Channel>(1), Tag<IMG_Channel>(0), Tag<IMG_Channel>(3),
                            Tag<IMG_Format>(format)});
}

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Stored channel values as the host reads them: 8- and 16-bit divided by
// their maximum (the library multiplies by the reciprocal, which can differ
// in the last bit).
std::vector<float> AsHostReads(OIIO::TypeDesc type, const void* stored, size_t count) {
    std::vector<float> out(count);
    for (size_t i = 0; i < count; ++i) {
        switch (type.basetype) {
        case OIIO::TypeDesc::UINT8: out[i] = float(static_cast<const uint8_t*>(stored)[i]) / 255.0f; break;
        case OIIO::TypeDesc::UINT16: out[i] = float(static_cast<const uint16_t*>(stored)[i]) / 65535.0f; break;
        case OIIO::TypeDesc::HALF: out[i] = float(static_cast<const half*>(stored)[i]); break;
        case OIIO::TypeDesc::FLOAT: out[i] = static_cast<const float*>(stored)[i]; break;
        default: OIIO::convert_pixel_values(type, static_cast<const uint8_t*>(stored) + i * type.size(),
                                            OIIO::TypeDesc::FLOAT, &out[i], 1);
        }
    }
    return out;
}

// Writes `data` (pixels of the data window, top row first, in `type`)
// with the library directly, so that the reader meets files made elsewhere.
// Alpha is stored as given, never divided out of the colour.
void WriteWithLibrary(const fs::path& path, OIIO::ImageSpec spec, OIIO::TypeDesc type, const void* data) {
    spec.attribute("oiio:UnassociatedAlpha", 1);
    auto out = OIIO::ImageOutput::create(path.string());
    ASSERT_TRUE(out) << OIIO::geterror();
    ASSERT_TRUE(out->open(path.string(), spec)) << out->geterror();
    ASSERT_TRUE(out->write_image(type, data)) << out->geterror();
    ASSERT_TRUE(out->close()) << out->geterror();
}

// A file read back with the library: its spec and float pixels.
struct LibraryImage {
    OIIO::ImageSpec spec;
    std::vector<float> pixels;
};

LibraryImage ReadWithLibrary(const fs::path& path) {
    LibraryImage result;
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path.string(), &config);
    EXPECT_TRUE(in) << OIIO::geterror();
    if (!in) return result;
    result.spec = in->spec();
    const size_t count = size_t(result.spec.image_pixels()) * result.spec.nchannels;
    std::vector<uint8_t> stored(count * result.spec.format.size());
    EXPECT_TRUE(in->read_image(0, 0, 0, result.spec.nchannels, result.spec.format, stored.data()));
    result.pixels = AsHostReads(result.spec.format, stored.data(), count);
    return result;
}

// PNG chunks with their CRC, for headers that claim what a test needs.
uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0xffffffffu) {
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return crc;
}

void PutBig32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(v >> shift));
}

void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& payload) {
    PutBig32(out, uint32_t(payload.size()));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), payload.begin(), payload.end());
    out.insert(out.end(), body.begin(), body.end());
    PutBig32(out, Crc32(body.data(), body.size()) ^ 0xffffffffu);
}

// An 8-bit RGBA PNG header claiming width x height, with a token IDAT.
std::vector<uint8_t> PngClaiming(uint32_t width, uint32_t height) {
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<uint8_t> ihdr;
    PutBig32(ihdr, width);
    PutBig32(ihdr, height);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});   // depth 8, RGBA, deflate, no filter, no interlace
    PutChunk(png, "IHDR", ihdr);
    PutChunk(png, "IDAT", {0x78, 0x9c, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01});
    PutChunk(png, "IEND", {});
    return png;
}

class ImageFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        dir_ = fs::temp_directory_path() /
               ("tessellon-image-files-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        detail::SetDirectReads(true);
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
        EXPECT_EQ(HostApp::LiveObjects(), 0) << "a host image was not given back";
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
};

// ---------------------------------------------------------------------------
// Formats: each file format's values arrive exactly, in the file's own format,
// the file's top row in host row H-1; the direct and the span paths agree.

struct FormatCase {
    const char* name;
    OIIO::TypeDesc type;
    int32_t hostFormat;
    // Stored value of channel c at (x, file row r), and what it reads as.
    std::function<void(int x, int r, int c, void* stored, float& expected)> value;
};

std::vector<FormatCase> FormatCases() {
    return {
        {"rgba8.png", OIIO::TypeDesc::UINT8, Format_UInt8,
         [](int x, int r, int c, void* stored, float& expected) {
             const uint8_t v = uint8_t(x * 37 + r * 11 + c * 70 + (x == 0 && r == 0 ? 255 : 0));
             *static_cast<uint8_t*>(stored) = v;
             expected = float(v) / 255.0f;
         }},
        {"rgba8.tif", OIIO::TypeDesc::UINT8, Format_UInt8,
         [](int x, int r, int c, void* stored, float& expected) {
             const uint8_t v = uint8_t(x * 13 + r * 71 + c * 50);
             *static_cast<uint8_t*>(stored) = v;
             expected = float(v) / 255.0f;
         }},
        {"rgba16.png", OIIO::TypeDesc::UINT16, Format_UInt16,
         [](int x, int r, int c, void* stored, float& expected) {
             const uint16_t v = uint16_t(x * 7919 + r * 104729 + c * 15485);
             *static_cast<uint16_t*>(stored) = v;
             expected = float(v) / 65535.0f;
         }},
        {"rgba-half.exr", OIIO::TypeDesc::HALF, Format_Half,
         [](int x, int r, int c, void* stored, float& expected) {
             const half v = half((x - 3) * 0.37f + r * 1.5f - c * 0.125f);
             *static_cast<half*>(stored) = v;
             expected = float(v);
         }},
        {"rgba-float.exr", OIIO::TypeDesc::FLOAT, Format_Float,
         [](int x, int r, int c, void* stored, float& expected) {
             const float v = (x - 3) * 0.1234567f + r * 2.75f - c * 1e-3f;
             *static_cast<float*>(stored) = v;
             expected = v;
         }},
        // Formats the host does not hold arrive as float.
        {"rgba32u.tif", OIIO::TypeDesc::UINT32, Format_Float,
         [](int x, int r, int c, void* stored, float& expected) {
             const uint32_t v = x == 1 && r == 1 ? 0xffffffffu : uint32_t(x * 1000 + r * 100 + c) << 20;
             *static_cast<uint32_t*>(stored) = v;
             expected = AsHostReads(OIIO::TypeDesc::UINT32, &v, 1)[0];
         }},
    };
}

TEST_F(ImageFilesTest, FormatsArriveExactlyWithTheTopRowLast) {
    constexpr int W = 7, H = 5;
    for (const FormatCase& fc : FormatCases()) {
        SCOPED_TRACE(fc.name);
        const size_t size = fc.type.size();
        std::vector<uint8_t> data(size_t(W) * H * 4 * size);
        std::vector<float> expected(size_t(W) * H * 4);
        for (int r = 0; r < H; ++r)
            for (int x = 0; x < W; ++x)
                for (int c = 0; c < 4; ++c) {
                    const size_t i = (size_t(r) * W + x) * 4 + c;
                    fc.value(x, r, c, data.data() + i * size, expected[i]);
                }
        WriteWithLibrary(Path(fc.name), OIIO::ImageSpec(W, H, 4, fc.type), fc.type, data.data());

        const ImageFileInfo info = ProbeImageFile(Path(fc.name), ImageLimits());
        EXPECT_EQ(info.Width, W);
        EXPECT_EQ(info.Height, H);
        EXPECT_EQ(info.Channels, 4);
        EXPECT_EQ(info.HostFormat, fc.hostFormat);

        std::vector<float> paths[2];
        for (bool direct : {true, false}) {
            detail::SetDirectReads(direct);
            ImageRef image(ReadImageFile(Path(fc.name), ImageLimits(), nullptr));
            ASSERT_TRUE(image.image);
            EXPECT_EQ(image->Width, W);
            EXPECT_EQ(image->Height, H);
            EXPECT_EQ(image->Format, fc.hostFormat);
            EXPECT_EQ(image->StorageBytes(), info.HostBytes);
            paths[direct] = Pixels(image.image);
        }
        for (int r = 0; r < H; ++r)
            for (int x = 0; x < W; ++x) {
                const auto got = At(paths[1], W, x, H - 1 - r);
                for (int c = 0; c < 4; ++c)
                    ASSERT_EQ(got[c], expected[(size_t(r) * W + x) * 4 + c]) << "x " << x << " row " << r << " c " << c;
            }
        EXPECT_EQ(0, std::memcmp(paths[0].data(), paths[1].data(), paths[0].size() * sizeof(float)))
            << "reading through spans differs from reading straight into storage";
    }
}

// ---------------------------------------------------------------------------
// Channel counts map by position; an alpha the file lacks is exactly one.

TEST_F(ImageFilesTest, ChannelCountsMapByPosition) {
    constexpr int W = 3, H = 2;
    struct Case {
        int channels;
        OIIO::TypeDesc type;
        const char* name;
        std::array<int, 4> source;   // file channel per record channel, -1: alpha one
    };
    const Case cases[] = {
        {1, OIIO::TypeDesc::FLOAT, "grey.exr", {0, 0, 0, -1}},
        {2, OIIO::TypeDesc::FLOAT, "grey-alpha.exr", {0, 0, 0, 1}},
        {3, OIIO::TypeDesc::FLOAT, "rgb.exr", {0, 1, 2, -1}},
        {4, OIIO::TypeDesc::FLOAT, "rgba.exr", {0, 1, 2, 3}},
        {7, OIIO::TypeDesc::FLOAT, "seven.exr", {0, 1, 2, 3}},
        {1, OIIO::TypeDesc::UINT8, "grey.png", {0, 0, 0, -1}},
        {2, OIIO::TypeDesc::UINT8, "grey-alpha.png", {0, 0, 0, 1}},
        {3, OIIO::TypeDesc::UINT8, "rgb.png", {0, 1, 2, -1}},
        {3, OIIO::TypeDesc::HALF, "rgb-half.exr", {0, 1, 2, -1}},
        {3, OIIO::TypeDesc::UINT16, "rgb16.png", {0, 1, 2, -1}},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        OIIO::ImageSpec spec(W, H, cs.channels, cs.type);
        if (cs.channels == 2) {
            spec.channelnames = {"Y", "A"};
            spec.alpha_channel = 1;
        }
        // Channel c of pixel i holds (i * 8 + c + 1) / 64: distinct and exact in every format.
        std::vector<float> file(size_t(W) * H * cs.channels);
        for (size_t i = 0; i < size_t(W) * H; ++i)
            for (int c = 0; c < cs.channels; ++c)
                file[i * cs.channels + c] = float(i * 8 + c + 1) / 64.0f;
        std::vector<uint8_t> stored(file.size() * cs.type.size());
        ASSERT_TRUE(OIIO::convert_pixel_values(OIIO::TypeDesc::FLOAT, file.data(), cs.type, stored.data(),
                                               int(file.size())));
        const std::vector<float> expected = AsHostReads(cs.type, stored.data(), file.size());
        WriteWithLibrary(Path(cs.name), spec, cs.type, stored.data());

        for (bool direct : {true, false}) {
            detail::SetDirectReads(direct);
            ImageRef image(ReadImageFile(Path(cs.name), ImageLimits(), nullptr));
            const std::vector<float> got = Pixels(image.image);
            for (int r = 0; r < H; ++r)
                for (int x = 0; x < W; ++x) {
                    const auto p = At(got, W, x, H - 1 - r);
                    const size_t i = size_t(r) * W + x;
                    for (int c = 0; c < 4; ++c) {
                        const float want = cs.source[c] < 0 ? 1.0f : expected[i * cs.channels + cs.source[c]];
                        ASSERT_EQ(p[c], want) << "direct " << direct << " pixel " << i << " channel " << c;
                    }
                }
        }
    }
}

// ---------------------------------------------------------------------------
// Data windows: the display window gives the size; data lands at its offset,
// the rest is transparent; data outside the display window is cut off.

TEST_F(ImageFilesTest, DataWindowIsPlacedInTheDisplayWindow) {
    struct Case {
        const char* name;
        int x, y, w, h;   // data window, file coordinates (y down)
        int tile;         // 0: scanlines
    };
    const Case cases[] = {
        {"inside.exr", 2, 1, 4, 3, 0},
        {"overhang.exr", -3, -2, 6, 4, 0},
        {"beyond.exr", 5, 4, 10, 10, 0},
        {"disjoint.exr", 20, 20, 3, 3, 0},
        {"tiled-inside.exr", 3, 2, 9, 7, 4},
        {"tiled-overhang.exr", -5, -6, 15, 14, 4},
    };
    constexpr int FX = 0, FY = 0, FW = 11, FH = 9;
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        OIIO::ImageSpec spec(cs.w, cs.h, 4, OIIO::TypeDesc::FLOAT);
        spec.x = cs.x;
        spec.y = cs.y;
        spec.full_x = FX;
        spec.full_y = FY;
        spec.full_width = FW;
        spec.full_height = FH;
        if (cs.tile) spec.tile_width = spec.tile_height = cs.tile;
        std::vector<float> data(size_t(cs.w) * cs.h * 4);
        for (int r = 0; r < cs.h; ++r)
            for (int x = 0; x < cs.w; ++x)
                for (int c = 0; c < 4; ++c)
                    data[(size_t(r) * cs.w + x) * 4 + c] = float(cs.x + x) + float(cs.y + r) * 100.0f + c * 0.25f + 1.0f;
        WriteWithLibrary(Path(cs.name), spec, OIIO::TypeDesc::FLOAT, data.data());

        ImageRef image(ReadImageFile(Path(cs.name), ImageLimits(), nullptr));
        ASSERT_EQ(image->Width, FW);
        ASSERT_EQ(image->Height, FH);
        const std::vector<float> got = Pixels(image.image);
        for (int hy = 0; hy < FH; ++hy)
            for (int hx = 0; hx < FW; ++hx) {
                const int fx = hx + FX, fy = FY + FH - 1 - hy;   // file coordinates
                const bool inData = fx >= cs.x && fx < cs.x + cs.w && fy >= cs.y && fy < cs.y + cs.h;
                const auto p = At(got, FW, hx, hy);
                for (int c = 0; c < 4; ++c) {
                    const float want = inData ? float(fx) + float(fy) * 100.0f + c * 0.25f + 1.0f : 0.0f;
                    ASSERT_EQ(p[c], want) << "host (" << hx << ", " << hy << ") channel " << c;
                }
            }
    }
}

// Frames larger than one decoding band arrive whole, rows in order, across
// band edges; the data window starts inside the display window.
TEST_F(ImageFilesTest, LargeFramesArriveAcrossBands) {
    constexpr int W = 1024, H = 1100;
    struct Case {
        const char* name;
        OIIO::TypeDesc type;
        int channels;
        int dataY;   // first data row
    };
    const Case cases[] = {
        {"large.png", OIIO::TypeDesc::UINT8, 4, 0},
        {"large.exr", OIIO::TypeDesc::FLOAT, 3, 37},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        OIIO::ImageSpec spec(W, H - cs.dataY, cs.channels, cs.type);
        spec.y = cs.dataY;
        spec.full_height = H;
        std::vector<float> data(size_t(W) * (H - cs.dataY) * cs.channels);
        for (size_t i = 0; i < data.size(); ++i) data[i] = float((i * 7 + i / 4093) % 256) / 255.0f;
        WriteWithLibrary(Path(cs.name), spec, OIIO::TypeDesc::FLOAT, data.data());
        const LibraryImage file = ReadWithLibrary(Path(cs.name));

        ImageRef image(ReadImageFile(Path(cs.name), ImageLimits(), nullptr));
        ASSERT_EQ(image->Height, H);
        const std::vector<float> got = Pixels(image.image);
        for (int fy = 0; fy < H; ++fy)
            for (int x = 0; x < W; ++x) {
                const auto p = At(got, W, x, H - 1 - fy);
                for (int c = 0; c < 4; ++c) {
                    float want = 0.0f;
                    if (fy >= cs.dataY) {
                        const size_t i = (size_t(fy - cs.dataY) * W + x) * cs.channels;
                        want = c < cs.channels ? file.pixels[i + c] : 1.0f;
                    }
                    ASSERT_EQ(p[c], want) << "file row " << fy << " x " << x << " c " << c;
                }
            }
    }
}

// A frame read into memory a released image held, not cleared for it where
// the file covers it, is still exactly the file: every pixel of the rows it
// holds written, the rows outside the data window transparent.
TEST_F(ImageFilesTest, FramesInMemoryTakenAgainAreExactlyTheirFiles) {
    constexpr int W = 1024, H = 600;
    struct Keeping {
        Keeping() { HostApp::KeepReleasedImageMemory(uint64_t(1) << 30); }
        ~Keeping() { HostApp::KeepReleasedImageMemory(0); }
    } keeping;
    for (const int dataY : {0, 37}) {
        SCOPED_TRACE(dataY);
        OIIO::ImageSpec spec(W, H - dataY, 3, OIIO::TypeDesc::FLOAT);
        spec.y = dataY;
        spec.full_height = H;
        std::vector<float> data(size_t(W) * (H - dataY) * 3);
        for (size_t i = 0; i < data.size(); ++i) data[i] = float(i % 509) / 509.0f;
        WriteWithLibrary(Path("kept.exr"), spec, OIIO::TypeDesc::FLOAT, data.data());
        const FrameRows band{{100, 400}, {100, 400}};
        for (const FrameRows* rows : {static_cast<const FrameRows*>(nullptr), &band}) {
            {
                // Junk in every byte, given back for the frame to take.
                ImageRef junk(NewImage(TagList{Tag<IMG_Width>(W), Tag<IMG_Height>(H),
                                               Tag<IMG_Channel>(StoredChannels[0]), Tag<IMG_Channel>(StoredChannels[1]),
                                               Tag<IMG_Channel>(StoredChannels[2]), Tag<IMG_Channel>(StoredChannels[3]),
                                               Tag<IMG_Format>(int32_t(Format_Float))}));
                const std::vector<float> seven(size_t(W) * 4, 7.0f);
                for (int y = 0; y < H; ++y) junk->WriteSpan(0, y, W, seven.data());
            }
            ImageRef image(rows ? ReadImageFile(Path("kept.exr"), ImageLimits(), nullptr, *rows)
                                : ReadImageFile(Path("kept.exr"), ImageLimits(), nullptr));
            const std::vector<float> got = Pixels(image.image);
            for (int fy = 0; fy < H; ++fy)
                for (int x = 0; x < W; ++x) {
                    const int y = H - 1 - fy;
                    const bool held = !rows || (y >= rows->Rows.First && y < rows->Rows.End);
                    const auto p = At(got, W, x, y);
                    for (int c = 0; c < 4; ++c) {
                        float want = 0.0f;
                        if (held && fy >= dataY) want = c < 3 ? data[(size_t(fy - dataY) * W + x) * 3 + c] : 1.0f;
                        ASSERT_EQ(p[c], want) << "file row " << fy << " x " << x << " c " << c;
                    }
                }
        }
    }
}

// ---------------------------------------------------------------------------
// Values a float file holds pass through reading and writing unchanged.

TEST_F(ImageFilesTest, NonFiniteAndOutOfRangeValuesPassThrough) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> values = {nan, inf, -inf, -0.5f, 7.25f, 1e30f, -0.0f, 1.0f,
                                       0.25f, nan, 2.0f, -3.0f, 1e-40f, inf, 0.5f, 65504.0f};
    for (OIIO::TypeDesc type : {OIIO::TypeDesc(OIIO::TypeDesc::FLOAT), OIIO::TypeDesc(OIIO::TypeDesc::HALF)}) {
        SCOPED_TRACE(type.c_str());
        std::vector<uint8_t> stored(values.size() * type.size());
        OIIO::convert_pixel_values(OIIO::TypeDesc::FLOAT, values.data(), type, stored.data(), int(values.size()));
        std::vector<float> expected(values.size());
        OIIO::convert_pixel_values(type, stored.data(), OIIO::TypeDesc::FLOAT, expected.data(), int(values.size()));
        WriteWithLibrary(Path("odd.exr"), OIIO::ImageSpec(2, 2, 4, type), type, stored.data());

        ImageRef image(ReadImageFile(Path("odd.exr"), ImageLimits(), nullptr));
        WriteImageFile(*image.image, Path("odd-out.exr"));
        const LibraryImage back = ReadWithLibrary(Path("odd-out.exr"));
        const std::vector<float> got = Pixels(image.image);
        for (int r = 0; r < 2; ++r)
            for (int x = 0; x < 2; ++x)
                for (int c = 0; c < 4; ++c) {
                    const size_t i = (size_t(r) * 2 + x) * 4 + c;
                    const float read = At(got, 2, x, 1 - r)[c];
                    const float written = back.pixels[i];
                    if (std::isnan(expected[i])) {
                        EXPECT_TRUE(std::isnan(read)) << i;
                        EXPECT_TRUE(std::isnan(written)) << i;
                    } else {
                        EXPECT_EQ(read, expected[i]) << i;
                        EXPECT_EQ(written, expected[i]) << i;
                        EXPECT_EQ(std::signbit(written), std::signbit(expected[i])) << i;
                    }
                }
    }
}

// ---------------------------------------------------------------------------
// Damaged, hostile and missing files: an error naming the file, before any
// pixel is allocated, and no image left behind.

TEST_F(ImageFilesTest, BadFilesAreRefusedNamingTheFile) {
    // Whole files to damage.
    std::vector<float> ramp(64 * 64 * 4);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(i % 97) / 97.0f;
    WriteWithLibrary(Path("whole.exr"), OIIO::ImageSpec(64, 64, 4, OIIO::TypeDesc::FLOAT), OIIO::TypeDesc::FLOAT,
                     ramp.data());
    WriteWithLibrary(Path("whole.png"), OIIO::ImageSpec(64, 64, 4, OIIO::TypeDesc::UINT8), OIIO::TypeDesc::FLOAT,
                     ramp.data());
    const std::vector<uint8_t> exr = ReadBytes(Path("whole.exr"));
    const std::vector<uint8_t> png = ReadBytes(Path("whole.png"));
    std::vector<uint8_t> noise(4096);
    uint32_t seed = 12345;
    for (uint8_t& b : noise) b = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);

    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
        bool probeFails;                 // the header alone is bad
        std::vector<std::string> words;  // expected in the message
    };
    const Case cases[] = {
        {"empty.png", [](const fs::path& p) { WriteBytes(p, {}); }, true, {"empty"}},
        {"noise.exr", [&](const fs::path& p) { WriteBytes(p, noise); }, true, {"cannot read"}},
        {"noise.png", [&](const fs::path& p) { WriteBytes(p, noise); }, true, {"cannot read"}},
        {"missing.exr", [](const fs::path&) {}, true, {"no such file"}},
        {"folder.exr", [](const fs::path& p) { fs::create_directory(p); }, true, {"directory"}},
        {"pipe.png", [](const fs::path& p) { ::mkfifo(p.c_str(), 0600); }, true, {"not a regular file"}},
        {"half-gone.exr", [&](const fs::path& p) { WriteBytes(p, {exr.begin(), exr.begin() + exr.size() / 2}); },
         false, {"cannot read"}},
        {"tail-gone.exr", [&](const fs::path& p) { WriteBytes(p, {exr.begin(), exr.end() - 16}); }, false,
         {"cannot read"}},
        {"half-gone.png", [&](const fs::path& p) { WriteBytes(p, {png.begin(), png.begin() + png.size() / 2}); },
         false, {"cannot read"}},
        {"header-only.png", [&](const fs::path& p) { WriteBytes(p, {png.begin(), png.begin() + 33}); }, true,
         {"cannot read"}},
        {"huge.png", [](const fs::path& p) { WriteBytes(p, PngClaiming(100000, 100000)); }, true,
         {"100000 x 100000", "65535", "--max-image-size"}},
        {"tall.png", [](const fs::path& p) { WriteBytes(p, PngClaiming(1, 0x80000000u)); }, true, {"cannot read"}},
        {"zero-width.png", [](const fs::path& p) { WriteBytes(p, PngClaiming(0, 16)); }, true, {"cannot read"}},
        {"tall-but-legal.png", [](const fs::path& p) { WriteBytes(p, PngClaiming(1, 70000)); }, true,
         {"1 x 70000", "--max-image-size"}},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        const std::string path = Path(cs.name);
        cs.make(path);
        const auto check = [&](const Error& e) {
            EXPECT_EQ(e.Where().File, path);
            const std::string what = e.what();
            EXPECT_EQ(what.rfind(path + ": ", 0), 0u) << what;
            for (const std::string& word : cs.words)
                EXPECT_NE(what.find(word), std::string::npos) << "'" << word << "' missing from: " << what;
        };
        if (cs.probeFails) {
            try {
                ProbeImageFile(path, ImageLimits());
                ADD_FAILURE() << "probe accepted " << cs.name;
            } catch (const Error& e) {
                check(e);
            }
        } else {
            EXPECT_NO_THROW(ProbeImageFile(path, ImageLimits()));
        }
        try {
            Image* image = ReadImageFile(path, ImageLimits(), nullptr);
            image->Recycle();
            ADD_FAILURE() << "read accepted " << cs.name;
        } catch (const Error& e) {
            check(e);
        }
        EXPECT_EQ(HostApp::LiveObjects(), 0);
    }
}

TEST_F(ImageFilesTest, FilesAreReadByContentNotByName) {
    const uint8_t pixels[2 * 2 * 4] = {10, 20, 30, 255, 40, 50, 60, 128, 70, 80, 90, 0, 100, 110, 120, 255};
    WriteWithLibrary(Path("frame.png"), OIIO::ImageSpec(2, 2, 4, OIIO::TypeDesc::UINT8), OIIO::TypeDesc::UINT8,
                     pixels);
    fs::rename(Path("frame.png"), Path("frame.exr"));
    EXPECT_EQ(ProbeImageFile(Path("frame.exr"), ImageLimits()).HostFormat, Format_UInt8);
    ImageRef image(ReadImageFile(Path("frame.exr"), ImageLimits(), nullptr));
    const std::vector<float> got = Pixels(image.image);
    // Unassociated alpha stays as the file holds it: colour is not multiplied by it.
    EXPECT_EQ(At(got, 2, 1, 1), (std::array<float, 4>{40 / 255.0f, 50 / 255.0f, 60 / 255.0f, 128 / 255.0f}));
    EXPECT_EQ(At(got, 2, 0, 0), (std::array<float, 4>{70 / 255.0f, 80 / 255.0f, 90 / 255.0f, 0.0f}));
    EXPECT_EQ(At(got, 2, 1, 0)[3], 1.0f);
}

// Each limit refuses on its own, naming the figure and the option.
TEST_F(ImageFilesTest, LimitsAreCheckedBeforeReading) {
    std::vector<float> zeros(size_t(20) * 10 * 4, 0.5f);
    WriteWithLibrary(Path("wide.exr"), OIIO::ImageSpec(20, 10, 4, OIIO::TypeDesc::HALF), OIIO::TypeDesc::FLOAT,
                     zeros.data());
    OIIO::ImageSpec window(20, 10, 4, OIIO::TypeDesc::HALF);
    window.full_width = 4;
    window.full_height = 4;
    WriteWithLibrary(Path("big-data.exr"), window, OIIO::TypeDesc::FLOAT, zeros.data());

    struct Case {
        const char* file;
        ImageLimits limits;
        std::vector<std::string> words;   // empty: accepted
    };
    const auto limits = [](int64_t w, int64_t h, int channels, uint64_t bytes) {
        ImageLimits l;
        l.MaxWidth = w;
        l.MaxHeight = h;
        l.MaxChannels = channels;
        l.MaxBytes = bytes;
        return l;
    };
    // The frame's bytes: the host image (half) and one band of rows decoded
    // in float, 20 x 10 pixels of four channels each.
    constexpr uint64_t Host = 20 * 10 * 4 * 2, Band = 20 * 10 * 4 * 4;
    const Case cases[] = {
        {"wide.exr", limits(20, 10, 4, Host + Band), {}},
        {"wide.exr", limits(19, 10, 4, 1 << 20), {"20 x 10", "19 x 10", "--max-image-size"}},
        {"wide.exr", limits(20, 9, 4, 1 << 20), {"20 x 10", "20 x 9", "--max-image-size"}},
        {"wide.exr", limits(20, 10, 3, 1 << 20), {"4 channels", "limit of 3", "--max-channels"}},
        {"wide.exr", limits(20, 10, 4, Host + Band - 1), {"4800 bytes", "4799", "--max-frame-bytes"}},
        {"big-data.exr", limits(16, 16, 4, 1 << 20), {"data window of 20 x 10", "--max-image-size"}},
        {"big-data.exr", limits(20, 10, 4, 4 * 4 * 4 * 2 + Band - 1), {"3328 bytes"}},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(std::string(cs.file) + " " + (cs.words.empty() ? "accepted" : cs.words[0]));
        if (cs.words.empty()) {
            EXPECT_EQ(ProbeImageFile(Path(cs.file), cs.limits).HostBytes, Host);
            ImageRef image(ReadImageFile(Path(cs.file), cs.limits, nullptr));
            EXPECT_EQ(image->StorageBytes(), Host);
            continue;
        }
        for (bool probe : {true, false}) {
            try {
                if (probe)
                    ProbeImageFile(Path(cs.file), cs.limits);
                else
                    ImageRef held(ReadImageFile(Path(cs.file), cs.limits, nullptr));
                ADD_FAILURE() << "accepted";
            } catch (const Error& e) {
                for (const std::string& word : cs.words)
                    EXPECT_NE(std::string(e.what()).find(word), std::string::npos) << e.what();
            }
        }
    }
}

TEST_F(ImageFilesTest, HostRefusalIsReportedWithItsReason) {
    std::vector<float> pixels(size_t(64) * 64 * 4, 0.25f);
    WriteWithLibrary(Path("frame.exr"), OIIO::ImageSpec(64, 64, 4, OIIO::TypeDesc::FLOAT), OIIO::TypeDesc::FLOAT,
                     pixels.data());
    const uint64_t saved = HostApp::ImageByteLimit();
    HostApp::SetImageByteLimit(1024);
    try {
        ImageRef held(ReadImageFile(Path("frame.exr"), ImageLimits(), nullptr));
        ADD_FAILURE() << "the host's limit was ignored";
    } catch (const Error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("64 x 64"), std::string::npos) << what;
        EXPECT_NE(what.find(HostApp::LastImageRefusal().Text), std::string::npos) << what;
        EXPECT_FALSE(HostApp::LastImageRefusal().Text.empty());
    }
    HostApp::SetImageByteLimit(saved);
}

// Frames are read from several threads at once by the host; each result is
// the same as read alone.
TEST_F(ImageFilesTest, ConcurrentReadsMatchSingleReads) {
    constexpr int Files = 8, W = 96, H = 80;
    const auto name = [&](int f) {
        std::string file = std::to_string(f);
        file += f % 2 ? ".png" : ".exr";
        return Path(file);
    };
    for (int f = 0; f < Files; ++f) {
        std::vector<float> pixels(size_t(W) * H * 3);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = float((i * (f + 3)) % 251) / 250.0f;
        const OIIO::TypeDesc type = f % 2 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::HALF;
        WriteWithLibrary(name(f), OIIO::ImageSpec(W, H, 3, type), OIIO::TypeDesc::FLOAT, pixels.data());
    }
    std::vector<std::vector<float>> alone(Files), together(Files);
    for (int f = 0; f < Files; ++f) {
        ImageRef image(ReadImageFile(name(f), ImageLimits(), nullptr));
        alone[f] = Pixels(image.image);
    }
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round)
                for (int f = t; f < Files; f += 4) {
                    try {
                        ImageRef image(ReadImageFile(name(f), ImageLimits(), nullptr));
                        together[f] = Pixels(image.image);
                    } catch (...) {
                        ++failures;
                    }
                }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    for (int f = 0; f < Files; ++f)
        EXPECT_EQ(0, std::memcmp(alone[f].data(), together[f].data(), alone[f].size() * sizeof(float))) << f;
}

// ---------------------------------------------------------------------------
// Writing: the format per extension, the host's top row first, values as
// they are, and a failed write leaves nothing.

TEST_F(ImageFilesTest, WritesEachFormatAsStated) {
    constexpr int W = 5, H = 3;
    struct Case {
        const char* name;
        int32_t hostFormat;
        int channels;
        OIIO::TypeDesc::BASETYPE type;
        const char* compression;   // null: not checked
        float tolerance;           // 0: exact
    };
    const Case cases[] = {
        {"out.exr", Format_Float, 4, OIIO::TypeDesc::FLOAT, "zip", 0},
        {"half.exr", Format_Half, 4, OIIO::TypeDesc::FLOAT, "zip", 0},
        {"out8.tif", Format_UInt8, 4, OIIO::TypeDesc::UINT8, "zip", 0},
        {"outf.tiff", Format_Float, 4, OIIO::TypeDesc::FLOAT, "zip", 0},
        {"out8.png", Format_UInt8, 4, OIIO::TypeDesc::UINT8, nullptr, 0},
        {"out16.png", Format_UInt16, 4, OIIO::TypeDesc::UINT16, nullptr, 0},
        {"outf.png", Format_Float, 4, OIIO::TypeDesc::UINT8, nullptr, 0.5f / 255},
        {"out.jpg", Format_UInt8, 3, OIIO::TypeDesc::UINT8, nullptr, 0.06f},
        {"OUT.JPEG", Format_UInt8, 3, OIIO::TypeDesc::UINT8, nullptr, 0.06f},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        ImageRef image(NewFloatImage(W, H, cs.hostFormat));
        // Lossy files get a flat colour, which they keep within a few steps.
        std::vector<float> rgba(size_t(W) * H * 4);
        for (size_t i = 0; i < rgba.size(); ++i)
            rgba[i] = cs.tolerance > 0.01f ? float(i % 4) * 0.25f + 0.1f : float((i * 37) % 256) / 255.0f;
        for (int y = 0; y < H; ++y) {
            rgba[(size_t(y) * W) * 4 + 3] = 1.0f;
            image->WriteSpan(0, y, W, rgba.data() + size_t(y) * W * 4);
        }
        const std::vector<float> held = Pixels(image.image);
        WriteImageFile(*image.image, Path(cs.name));
        EXPECT_EQ(Listing(), std::vector<std::string>{cs.name}) << "a temporary file was left behind";

        const LibraryImage back = ReadWithLibrary(Path(cs.name));
        EXPECT_EQ(back.spec.width, W);
        EXPECT_EQ(back.spec.height, H);
        EXPECT_EQ(back.spec.nchannels, cs.channels);
        EXPECT_EQ(back.spec.format.basetype, cs.type);
        if (cs.compression) {
            EXPECT_EQ(back.spec.get_string_attribute("compression"), cs.compression);
        }
        for (int r = 0; r < H; ++r)
            for (int x = 0; x < W; ++x)
                for (int c = 0; c < cs.channels; ++c) {
                    const float want = At(held, W, x, H - 1 - r)[c];
                    const float got = back.pixels[(size_t(r) * W + x) * cs.channels + c];
                    if (cs.tolerance == 0)
                        ASSERT_EQ(got, want) << "x " << x << " row " << r << " c " << c;
                    else
                        ASSERT_NEAR(got, want, cs.tolerance) << "x " << x << " row " << r << " c " << c;
                }
        fs::remove(Path(cs.name));
    }
}

TEST_F(ImageFilesTest, WrittenFilesReadBackAsWritten) {
    // Semi-transparent pixels keep their colour through PNG and TIFF: nothing
    // is divided or multiplied by alpha on the way out or in.
    constexpr int W = 4, H = 2;
    for (int32_t format : {Format_UInt8, Format_UInt16, Format_Float}) {
        for (const char* name : {"a.png", "a.tif", "a.exr"}) {
            SCOPED_TRACE(std::string(name) + " format " + std::to_string(format));
            ImageRef image(NewFloatImage(W, H, format));
            const float row[W * 4] = {0.2f, 0.4f, 0.6f, 0.5f, 1, 1, 1, 0, 0.8f, 0.1f, 0, 0.25f, 0, 0, 0, 1};
            for (int y = 0; y < H; ++y) image->WriteSpan(0, y, W, row);
            WriteImageFile(*image.image, Path(name));
            ImageRef back(ReadImageFile(Path(name), ImageLimits(), nullptr));
            const bool exact = std::string(name) == "a.exr" || format == Format_UInt8 ||
                               (format == Format_UInt16 && std::string(name) == "a.png");
            const std::vector<float> want = Pixels(image.image), got = Pixels(back.image);
            for (size_t i = 0; i < want.size(); ++i)
                if (exact)
                    ASSERT_EQ(got[i], want[i]) << i;
                else
                    ASSERT_NEAR(got[i], want[i], 0.501 / 255) << i;
        }
    }
}

TEST_F(ImageFilesTest, ZipChunksDecodeToEveryBitWritten) {
    // An odd width and a last chunk of 9 lines; smooth rows that deflate,
    // rows of noise (NaN and infinity patterns among them) that do not and
    // are stored as they are, straight from the storage and converted.
    constexpr int W = 37, H = 41;
    uint32_t state = 12345;
    const auto noise = [&] {
        state = state * 1664525u + 1013904223u;
        return state;
    };
    for (int32_t format : {Format_Float, Format_Half, Format_UInt8}) {
        ImageRef image(NewFloatImage(W, H, format));
        for (int y = 0; y < H; ++y) {
            std::vector<float> row(W * 4);
            for (int i = 0; i < W * 4; ++i) {
                const uint32_t bits = noise();
                float value = 0;
                std::memcpy(&value, &bits, 4);
                row[size_t(i)] = y % 3 == 0 ? (format == Format_UInt8 ? float(bits & 255) / 255 : value)
                                            : float(i % 7) / 8 + float(y) / 64;
            }
            image->WriteSpan(0, y, W, row.data());
        }
        // Half storage written as float too: converted as it is compressed.
        std::vector<const char*> types = {format == Format_Half ? "half" : "float"};
        if (format == Format_Half) types.push_back("float");
        for (const auto& [compression, type] : {std::pair{"zip", types[0]}, std::pair{"zips", types[0]},
                                                 std::pair{"zip", types.back()}, std::pair{"zips", types.back()}}) {
            SCOPED_TRACE(std::string(compression) + " " + type + " format " + std::to_string(format));
            WriteOptions options;
            options.Compression = compression;
            options.DataType = type;
            WriteImageFile(*image.image, Path("z.exr"), options);
            auto in = OIIO::ImageInput::open(Path("z.exr"));
            ASSERT_TRUE(in);
            EXPECT_EQ(in->spec().get_string_attribute("compression"), compression);
            EXPECT_EQ(in->spec().format, std::string(type) == "half" ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::FLOAT);
            in->close();
            ImageRef back(ReadImageFile(Path("z.exr"), ImageLimits(), nullptr));
            const std::vector<float> want = Pixels(image.image), got = Pixels(back.image);
            ASSERT_EQ(got.size(), want.size());
            EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0);
        }
    }
}

TEST_F(ImageFilesTest, FailedWritesLeaveNothing) {
    ImageRef image(NewFloatImage(8, 8));
    fs::create_directory(dir_ / "taken.exr");
    WriteBytes(dir_ / "plain-file", {1, 2, 3});
    struct Case {
        std::string path;
        WriteOptions options;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {Path("out.bmpx"), {}, {"unknown output file type", ".bmpx"}},
        {Path("no-extension"), {}, {"unknown output file type"}},
        {Path("missing-dir/out.exr"), {}, {"missing-dir", "does not exist"}},
        {Path("plain-file/out.exr"), {}, {"plain-file", "does not exist"}},
        {Path("taken.exr"), {}, {"directory"}},
        {Path("conv.exr"), {"linear", "no-such-space"}, {"no-such-space"}},
        {Path("conv.exr"), {"no-such-space", "sRGB"}, {"no-such-space"}},
        {Path("conv.exr"), {"linear", ""}, {"colour"}},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.path);
        try {
            WriteImageFile(*image.image, cs.path, cs.options);
            ADD_FAILURE() << "write accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.Where().File, cs.path);
            for (const std::string& word : cs.words)
                EXPECT_NE(std::string(e.what()).find(word), std::string::npos) << e.what();
        }
        EXPECT_EQ(Listing(), (std::vector<std::string>{"plain-file", "taken.exr"}));
    }
}

TEST_F(ImageFilesTest, UnwritableDirectoryIsNamed) {
    ImageRef image(NewFloatImage(4, 4));
    // Permissions do not bind the superuser; no one creates files in /proc.
    fs::path locked = "/proc";
    if (::geteuid() != 0) {
        locked = dir_ / "locked";
        fs::create_directory(locked);
        fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    }
    const fs::path out = locked / "tessellon-unwritable.exr";
    try {
        WriteImageFile(*image.image, out.string());
        ADD_FAILURE() << "write accepted";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot create a file in '" + locked.string() + "'"), std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(fs::exists(out));
    if (locked != "/proc") {
        fs::permissions(locked, fs::perms::owner_all);
        EXPECT_TRUE(fs::is_empty(locked));
    }
}

TEST_F(ImageFilesTest, WriteReplacesAnExistingFileWhole) {
    ImageRef small(NewFloatImage(2, 2)), large(NewFloatImage(64, 32));
    const float one[4] = {1, 1, 1, 1};
    small->WriteSpan(0, 0, 1, one);
    WriteImageFile(*large.image, Path("out.exr"));
    WriteImageFile(*small.image, Path("out.exr"));
    EXPECT_EQ(Listing(), std::vector<std::string>{"out.exr"});
    ImageRef back(ReadImageFile(Path("out.exr"), ImageLimits(), nullptr));
    EXPECT_EQ(back->Width, 2);
    EXPECT_EQ(Pixels(back.image), Pixels(small.image));
}

TEST_F(ImageFilesTest, ColourConversionOnlyWhenAsked) {
    ImageRef image(NewFloatImage(3, 1));
    const float row[12] = {0.5f, 0.18f, 0.0f, 0.5f, 1.0f, 0.0031308f, 0.25f, 1.0f, 2.0f, -0.5f, 0.75f, 0.0f};
    image->WriteSpan(0, 0, 3, row);
    WriteImageFile(*image.image, Path("same.exr"), {"linear", "linear"});
    WriteImageFile(*image.image, Path("srgb.exr"), {"linear", "sRGB"});
    const LibraryImage same = ReadWithLibrary(Path("same.exr"));
    const LibraryImage srgb = ReadWithLibrary(Path("srgb.exr"));
    ASSERT_EQ(same.pixels.size(), 12u);
    ASSERT_EQ(srgb.pixels.size(), 12u);
    const auto encode = [](float v) {
        return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1 / 2.4f) - 0.055f;
    };
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(same.pixels[i], row[i]) << i;
        if (i % 4 == 3) {
            EXPECT_EQ(srgb.pixels[i], row[i]) << "alpha is not converted";
        } else if (row[i] >= 0 && row[i] <= 1) {
            EXPECT_NEAR(srgb.pixels[i], encode(row[i]), 2e-3) << i;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// EXR decoded by OpenEXR straight into storage gives the image library's
// pixels bit for bit: every codec, scanline and tiled, half and float, data
// windows inside, across and outside the frame, and the rows of a band.

TEST_F(ImageFilesTest, OpenExrDecodingMatchesTheImageLibrary) {
    constexpr int W = 37, H = 45;   // odd sizes: partial chunks and tiles
    struct Window { int x, y, w, h; };
    const Window windows[] = {{0, 0, W, H}, {3, 5, 20, 30}, {-4, -6, W + 9, H + 3}, {W + 2, 0, 4, 4}};
    const HostApp::RowRange bands[] = {{0, H}, {7, 26}, {40, H}};
    int files = 0;
    for (const char* codec : {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "dwaa"})
        for (const OIIO::TypeDesc type : {OIIO::TypeDesc::HALF, OIIO::TypeDesc::FLOAT})
            for (const bool tiled : {false, true})
                for (const Window& wnd : windows) {
                    OIIO::ImageSpec spec(wnd.w, wnd.h, 3 + (files % 2), type);   // every other file without alpha
                    spec.x = wnd.x;
                    spec.y = wnd.y;
                    spec.full_width = W;
                    spec.full_height = H;
                    spec.attribute("compression", codec);
                    if (tiled) spec.tile_width = 16, spec.tile_height = 8;
                    std::vector<float> data(size_t(wnd.w) * wnd.h * size_t(spec.nchannels));
                    for (size_t i = 0; i < data.size(); ++i) data[i] = float(i % 97) * 0.37f - 9.0f + (i % 13 == 0 ? 1e6f : 0.0f);
                    const std::string name = Path("f" + std::to_string(files++) + ".exr");
                    WriteWithLibrary(name, spec, OIIO::TypeDesc::FLOAT, data.data());
                    for (const HostApp::RowRange& band : bands) {
                        SCOPED_TRACE(std::string(codec) + (tiled ? " tiled " : " scanline ") + type.c_str() + " window " +
                                     std::to_string(wnd.x) + "," + std::to_string(wnd.y) + " rows " +
                                     std::to_string(band.First) + "-" + std::to_string(band.End));
                        std::vector<float> got[2];
                        const uint64_t decodes = detail::OpenExrDecodes();
                        const uint64_t ours = detail::UncompressedExrReads();
                        for (const bool openExr : {false, true}) {
                            detail::SetOpenExrReads(openExr);
                            ImageRef image(ReadImageFile(name, ImageLimits(), nullptr, FrameRows{band, band}));
                            ASSERT_TRUE(image.image);
                            got[openExr] = Pixels(image.image);
                        }
                        // Windows inside the frame's columns that show in the band go through OpenEXR.
                        const bool shows = wnd.x >= 0 && wnd.x + wnd.w <= W && H - band.End < wnd.y + wnd.h &&
                                           H - band.First > wnd.y;
                        EXPECT_EQ(detail::OpenExrDecodes() - decodes, shows ? 1u : 0u);
                        const bool uncompressed = shows && !tiled && std::strcmp(codec, "none") == 0;
                        EXPECT_EQ(detail::UncompressedExrReads() - ours, uncompressed ? 1u : 0u);
                        ASSERT_EQ(0, std::memcmp(got[0].data(), got[1].data(), got[0].size() * sizeof(float)));
                    }
                }
    detail::SetOpenExrReads(true);
}

// Band after band, each band's rows below the one before's with a row to
// spare either side, the rows of a compressed chunk two bands share are
// decoded once and kept for the second: every band reads as the whole frame,
// and a file written anew between two bands is read anew.
TEST_F(ImageFilesTest, BandsTakeTheRowsOfTheChunkTheyShareFromTheBandBefore) {
    constexpr int W = 23, H = 300, N = 7;
    CarryRowsBetweenBands(uint64_t(64) << 20);
    int files = 0;
    for (const char* codec : {"zip", "piz", "dwab"})
        for (const OIIO::TypeDesc type : {OIIO::TypeDesc::HALF, OIIO::TypeDesc::FLOAT}) {
            SCOPED_TRACE(std::string(codec) + " " + type.c_str());
            const std::string name = Path("c" + std::to_string(files) + ".exr");
            const std::string copy = Path("c" + std::to_string(files++) + "-whole.exr");
            // The frame as a whole read gives it, read from a file of its own.
            const auto write = [&](float offset) {
                OIIO::ImageSpec spec(W, H, 4, type);
                spec.attribute("compression", codec);
                std::vector<float> data(size_t(W) * H * 4);
                for (size_t i = 0; i < data.size(); ++i) data[i] = float(i % 89) * 0.25f + offset;
                WriteWithLibrary(name, spec, OIIO::TypeDesc::FLOAT, data.data());
                WriteWithLibrary(copy, spec, OIIO::TypeDesc::FLOAT, data.data());
                ImageRef whole(ReadImageFile(copy, ImageLimits(), nullptr));
                return Pixels(whole.image);
            };
            std::vector<float> expect = write(0.0f);
            const uint64_t carried = detail::CarriedExrReads();
            for (int k = 0; k < N; ++k) {
                if (k == 4) expect = write(1.0f);
                const int top = k * H / N, end = (k + 1) * H / N;   // rows from the top
                const HostApp::RowRange rows{std::max(0, H - end - 1), std::min(H, H - top + 1)};
                ImageRef band(ReadImageFile(name, ImageLimits(), nullptr, FrameRows{rows, rows}));
                const std::vector<float> got = Pixels(band.image);
                for (int32_t y = rows.First; y < rows.End; ++y)
                    ASSERT_EQ(0, std::memcmp(got.data() + size_t(y) * W * 4, expect.data() + size_t(y) * W * 4,
                                             size_t(W) * 4 * sizeof(float)))
                        << "band " << k << ", host row " << y;
            }
            // Every band but the first takes rows from the one before,
            // except the one after the file changed.
            EXPECT_EQ(detail::CarriedExrReads() - carried, uint64_t(N - 2));
        }
    CarryRowsBetweenBands(0);
}

// What the process has read from files so far ("rchar"), page cache or not.
uint64_t ProcessBytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return 0;
}

// A band of an uncompressed file reads its own chunks once and not much
// more, however far the file goes on past them, small bands and bands of
// more than one run of chunks, thread after thread.
TEST_F(ImageFilesTest, ABandOfAnUncompressedFileReadsItsRowsAlone) {
    constexpr int W = 1000, H = 600;
    OIIO::ImageSpec spec(W, H, 4, OIIO::TypeDesc::FLOAT);
    spec.attribute("compression", "none");
    std::vector<float> data(size_t(W) * H * 4);
    for (size_t i = 0; i < data.size(); ++i) data[i] = float(i % 1013) * 0.5f;
    const std::string name = Path("tall.exr");
    WriteWithLibrary(name, spec, OIIO::TypeDesc::FLOAT, data.data());
    if (ProcessBytesRead() == 0) GTEST_SKIP() << "the system does not say what a process reads";
    for (const auto& [top, Rows] : {std::pair{0, 40}, {280, 40}, {H - 40, 40}, {150, 300}}) {
        SCOPED_TRACE(std::to_string(Rows) + " file rows from " + std::to_string(top));
        const HostApp::RowRange rows{H - top - Rows, H - top};
        const uint64_t before = ProcessBytesRead();
        std::vector<float> got;
        std::thread([&] {
            ImageRef band(ReadImageFile(name, ImageLimits(), nullptr, FrameRows{rows, rows}));
            got = Pixels(band.image);
        }).join();
        const uint64_t read = ProcessBytesRead() - before;
        const uint64_t bandBytes = uint64_t(Rows) * W * 16;
        EXPECT_GE(read, bandBytes);
        EXPECT_LT(read, bandBytes + bandBytes / 4 + 64 * 1024);
        for (int32_t y = rows.First; y < rows.End; ++y)
            ASSERT_EQ(0, std::memcmp(got.data() + size_t(y) * W * 4, data.data() + size_t(H - 1 - y) * W * 4,
                                     size_t(W) * 4 * sizeof(float)))
                << "host row " << y;
    }
}

// Plain scanline EXR headers are read through OpenEXR alone, giving what the
// image library makes of them field by field, the same smallest byte limit
// included; files with more to them go to the library.
TEST_F(ImageFilesTest, PlainExrHeadersReadAsTheLibraryReadsThem) {
    constexpr int W = 33, H = 20;
    struct Case {
        const char* what;
        int channels;
        OIIO::TypeDesc type;
        int x, y, w, h;
        bool dataWindow;
        bool plain;
        std::vector<std::string> names = {};
        bool chromaticities = false;
        int tile = 0;
    };
    const std::vector<Case> cases = {
        {"rgba half", 4, OIIO::TypeDesc::HALF, 0, 0, W, H, false, true},
        {"rgb float", 3, OIIO::TypeDesc::FLOAT, 0, 0, W, H, false, true},
        {"window inside", 4, OIIO::TypeDesc::FLOAT, 3, 4, 20, 9, false, true},
        {"window across", 4, OIIO::TypeDesc::HALF, -5, -2, W + 8, H + 1, false, true},
        {"window outside", 3, OIIO::TypeDesc::HALF, W + 2, 0, 5, 5, false, true},
        {"data window read", 4, OIIO::TypeDesc::FLOAT, -5, 3, W + 8, 10, true, true},
        {"chromaticities", 4, OIIO::TypeDesc::HALF, 0, 0, W, H, false, true, {}, true},
        {"depth channel", 4, OIIO::TypeDesc::HALF, 0, 0, W, H, false, false, {"R", "G", "B", "Z"}},
        {"tiled", 4, OIIO::TypeDesc::HALF, 0, 0, W, H, false, false, {}, false, 16},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.what);
        OIIO::ImageSpec spec(cs.w, cs.h, cs.channels, cs.type);
        spec.x = cs.x;
        spec.y = cs.y;
        spec.full_width = W;
        spec.full_height = H;
        if (!cs.names.empty()) spec.channelnames = cs.names, spec.alpha_channel = -1;
        if (cs.tile) spec.tile_width = spec.tile_height = cs.tile;
        if (cs.chromaticities) {
            const float rec709[8] = {0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f, 0.3127f, 0.329f};
            spec.attribute("chromaticities", OIIO::TypeDesc(OIIO::TypeDesc::FLOAT, 8), rec709);
        }
        const std::vector<float> data(size_t(cs.w) * cs.h * size_t(cs.channels), 0.5f);
        WriteWithLibrary(Path("p.exr"), spec, OIIO::TypeDesc::FLOAT, data.data());
        ImageLimits limits;
        limits.Choice.DataWindow = cs.dataWindow;
        ImageFileInfo info[2];
        uint64_t smallest[2];
        for (const bool alone : {false, true}) {
            detail::SetOpenExrReads(alone);
            const uint64_t headers = detail::PlainExrHeaders();
            info[alone] = ProbeImageFile(Path("p.exr"), limits);
            EXPECT_EQ(detail::PlainExrHeaders() - headers, alone && cs.plain ? 1u : 0u);
            uint64_t low = 1, high = uint64_t(1) << 32;   // refused at low, read at high
            while (high - low > 1) {
                ImageLimits l = limits;
                l.MaxBytes = (low + high) / 2;
                try {
                    ProbeImageFile(Path("p.exr"), l);
                    high = l.MaxBytes;
                } catch (const Error&) {
                    low = l.MaxBytes;
                }
            }
            smallest[alone] = high;
        }
        detail::SetOpenExrReads(true);
        const ImageFileInfo &library = info[0], &alone = info[1];
        EXPECT_EQ(alone.Width, library.Width);
        EXPECT_EQ(alone.Height, library.Height);
        EXPECT_EQ(alone.Channels, library.Channels);
        EXPECT_EQ(alone.HostFormat, library.HostFormat);
        EXPECT_EQ(alone.HostBytes, library.HostBytes);
        EXPECT_EQ(alone.Unread, library.Unread);
        EXPECT_EQ(alone.DataOutside, library.DataOutside);
        EXPECT_EQ(alone.NoData, library.NoData);
        EXPECT_EQ(alone.ColorSpace, library.ColorSpace);
        EXPECT_EQ(alone.RowAccess, library.RowAccess);
        EXPECT_EQ(smallest[1], smallest[0]);
        // At the smallest limit the library allows, the plain file is still read alone.
        ImageLimits tight = limits;
        tight.MaxBytes = smallest[0];
        const uint64_t headers = detail::PlainExrHeaders();
        ProbeImageFile(Path("p.exr"), tight);
        EXPECT_EQ(detail::PlainExrHeaders() - headers, cs.plain ? 1u : 0u);
    }
}

// Band files, those the image library wrote before included, are read
// through OpenEXR alone as the library reads them, header and pixels.
TEST_F(ImageFilesTest, BandFilesReadAsTheLibraryReadsThem) {
    constexpr int W = 29, H = 40;
    BandFileInfo info;
    info.Shot = "shot-1";
    info.K = 1;
    info.N = 3;
    info.CanvasWidth = W;
    info.CanvasHeight = H;
    info.Origin = "12.5 -3";
    info.ColorSpace = "Linear";
    info.Top = 13;
    info.End = 26;
    for (const int32_t format : {Format_Float, Format_Half}) {
        info.Format = format;
        ImageRef canvas(NewFloatImage(W, H, format));
        std::vector<float> band;   // the band's rows, top first
        for (int r = 0; r < H; ++r) {
            std::vector<float> row(W * 4);
            for (int i = 0; i < W * 4; ++i) row[size_t(i)] = float((r * 31 + i) % 23) / 8 - 1;
            canvas->WriteSpan(0, H - 1 - r, W, row.data());
            if (r >= info.Top && r < info.End) band.insert(band.end(), row.begin(), row.end());
        }
        WriteBandFile(*canvas.image, Path("ours.exr"), info, "zip");
        OIIO::ImageSpec spec(W, info.End - info.Top, 4, format == Format_Half ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::FLOAT);
        spec.y = info.Top;
        spec.full_width = W;
        spec.full_height = H;
        spec.attribute("compression", "zip");
        spec.attribute("tessellon:band", "1/3");
        spec.attribute("tessellon:shot", info.Shot);
        spec.attribute("tessellon:canvas", "29 x 40");
        spec.attribute("tessellon:origin", info.Origin);
        spec.attribute("tessellon:format", format == Format_Half ? "half" : "float");
        spec.attribute("tessellon:colorspace", info.ColorSpace);
        WriteWithLibrary(Path("library.exr"), spec, OIIO::TypeDesc::FLOAT, band.data());
        for (const char* file : {"ours.exr", "library.exr"})
            for (const bool alone : {false, true}) {
                SCOPED_TRACE(std::string(file) + (alone ? " alone" : " through the library") + " format " +
                             std::to_string(format));
                detail::SetOpenExrReads(alone);
                const uint64_t headers = detail::PlainExrHeaders();
                const BandFileInfo got = ProbeBandFile(Path(file));
                EXPECT_EQ(detail::PlainExrHeaders() - headers, alone ? 1u : 0u);
                EXPECT_EQ(got.Shot, info.Shot);
                EXPECT_EQ(got.K, info.K);
                EXPECT_EQ(got.N, info.N);
                EXPECT_EQ(got.CanvasWidth, W);
                EXPECT_EQ(got.CanvasHeight, H);
                EXPECT_EQ(got.Origin, info.Origin);
                EXPECT_EQ(got.Format, format);
                EXPECT_EQ(got.ColorSpace, info.ColorSpace);
                EXPECT_EQ(got.Top, info.Top);
                EXPECT_EQ(got.End, info.End);
                ImageRef back(NewFloatImage(W, H, format));
                ReadBandFile(Path(file), got, *back.image);
                const std::vector<float> want = Pixels(canvas.image), pixels = Pixels(back.image);
                for (int y = 0; y < H; ++y) {
                    const bool inBand = H - 1 - y >= info.Top && H - 1 - y < info.End;
                    for (int i = 0; i < W * 4; ++i)
                        ASSERT_EQ(pixels[size_t(y) * W * 4 + i], inBand ? want[size_t(y) * W * 4 + i] : 0.0f)
                            << "row " << y;
                }
            }
        detail::SetOpenExrReads(true);
    }
}

// Uncompressed scanline files, read by our own reader, give the image
// library's pixels bit for bit: grey, mixed types, unread channels between
// the read ones, another part, widths that leave a remainder of pixels.
TEST_F(ImageFilesTest, UncompressedExrMatchesTheImageLibrary) {
    using T = OIIO::TypeDesc;
    struct Case {
        const char* what;
        std::vector<std::string> channels;
        std::vector<T> types;   // one per channel
        int width;
        int parts = 1;          // the last part is read
    };
    const std::vector<Case> cases = {
        {"grey float", {"Y"}, {T::FLOAT}, 37},
        {"grey half", {"Y"}, {T::HALF}, 21},
        {"mixed types", {"R", "G", "B", "A"}, {T::HALF, T::FLOAT, T::HALF, T::FLOAT}, 19},
        {"unread channels", {"R", "G", "B", "Z", "A", "diffuse.R"}, {T::FLOAT, T::FLOAT, T::FLOAT, T::HALF, T::FLOAT,
                                                                     T::FLOAT}, 13},
        {"second part", {"R", "G", "B", "A"}, {T::FLOAT, T::FLOAT, T::FLOAT, T::FLOAT}, 11, 2},
        {"width 1", {"R", "G", "B"}, {T::HALF, T::HALF, T::HALF}, 1},
        {"width 9 half", {"R", "G", "B", "A"}, {T::HALF, T::HALF, T::HALF, T::HALF}, 9},
        {"width 7 float", {"R", "G", "B", "A"}, {T::FLOAT, T::FLOAT, T::FLOAT, T::FLOAT}, 7},
    };
    constexpr int H = 6;
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.what);
        std::vector<OIIO::ImageSpec> specs;
        for (int p = 0; p < cs.parts; ++p) {
            OIIO::ImageSpec spec(cs.width, H, int(cs.channels.size()), T::FLOAT);
            spec.channelnames = cs.channels;
            spec.channelformats = cs.types;
            spec.attribute("compression", "none");
            spec.attribute("name", "part" + std::to_string(p));
            specs.push_back(spec);
        }
        const std::string name = Path("u.exr");
        auto out = OIIO::ImageOutput::create(name);
        ASSERT_TRUE(out->open(name, int(specs.size()), specs.data())) << out->geterror();
        for (int p = 0; p < cs.parts; ++p) {
            if (p) {
                ASSERT_TRUE(out->open(name, specs[size_t(p)], OIIO::ImageOutput::AppendSubimage));
            }
            std::vector<float> data(size_t(cs.width) * H * cs.channels.size());
            for (size_t i = 0; i < data.size(); ++i) data[i] = float(p * 1000) + float(i) * 0.37f - 3.0f;
            ASSERT_TRUE(out->write_image(T::FLOAT, data.data())) << out->geterror();
        }
        ASSERT_TRUE(out->close());
        ImageLimits limits;
        limits.Choice.Part = std::to_string(cs.parts - 1);
        std::vector<float> got[2];
        const uint64_t ours = detail::UncompressedExrReads();
        for (const bool openExr : {false, true}) {
            detail::SetOpenExrReads(openExr);
            ImageRef image(ReadImageFile(name, limits, nullptr));
            ASSERT_TRUE(image.image);
            got[openExr] = Pixels(image.image);
        }
        EXPECT_EQ(detail::UncompressedExrReads() - ours, 1u);
        // The file's first sample: red (or grey) of the top row's first pixel.
        EXPECT_EQ(got[1][size_t(H - 1) * cs.width * 4], float((cs.parts - 1) * 1000) - 3.0f) << "the part asked for";
        ASSERT_EQ(got[0].size(), got[1].size());
        ASSERT_EQ(0, std::memcmp(got[0].data(), got[1].data(), got[0].size() * sizeof(float)));
    }
    detail::SetOpenExrReads(true);
}

// A damaged uncompressed file is refused, naming it, before any pixel of
// the storage is written: truncated, a chunk at another chunk's place, a
// chunk leader with the wrong row or size. An offset that points outside
// the file or into its header is rebuilt from the leaders, as OpenEXR's
// library does, and gives the file's pixels.
TEST_F(ImageFilesTest, DamagedUncompressedExrIsRefusedBeforeWriting) {
    constexpr int W = 5, H = 9;
    OIIO::ImageSpec spec(W, H, 4, OIIO::TypeDesc::FLOAT);
    spec.attribute("compression", "none");
    std::vector<float> data(size_t(W) * H * 4);
    for (size_t i = 0; i < data.size(); ++i) data[i] = float(i) * 0.5f;
    const std::string good = Path("good.exr");
    WriteWithLibrary(good, spec, OIIO::TypeDesc::FLOAT, data.data());
    ImageRef expected(ReadImageFile(good, ImageLimits(), nullptr));
    const std::vector<uint8_t> bytes = ReadBytes(good);
    // The chunk table: H offsets, the first pointing just past the table.
    const auto get64 = [&](size_t at) {
        uint64_t v = 0;
        std::memcpy(&v, bytes.data() + at, 8);
        return v;
    };
    size_t table = 0;
    while (table + 8 <= bytes.size() && get64(table) != table + 8 * H) ++table;
    ASSERT_LT(table + 8 * H, bytes.size());
    const uint64_t chunk4 = get64(table + 8 * 4), chunk5 = get64(table + 8 * 5);
    const auto put = [](std::vector<uint8_t>& b, uint64_t at, auto value) {
        std::memcpy(b.data() + at, &value, sizeof value);
    };

    struct Damage {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> apply;
        const char* words;   // null: read whole
    };
    const Damage damages[] = {
        {"truncated", [](std::vector<uint8_t>& b) { b.erase(b.end() - 7, b.end()); }, "chunk of row 8"},
        {"cut in half", [](std::vector<uint8_t>& b) { b.resize(b.size() / 2); }, "cannot read the pixels"},
        {"offset at the next chunk", [&](std::vector<uint8_t>& b) { put(b, table + 8 * 4, chunk5); }, "chunk of row 4"},
        {"leader's row", [&](std::vector<uint8_t>& b) { put(b, chunk4, int32_t(5)); }, "chunk of row 4"},
        {"leader's size", [&](std::vector<uint8_t>& b) { put(b, chunk4 + 4, int32_t(W * 16 - 4)); },
         "76 bytes, not the 80"},
        {"offset outside", [&](std::vector<uint8_t>& b) { put(b, table + 8 * 4, uint64_t(b.size() + 64)); }, nullptr},
        {"offset in the header", [&](std::vector<uint8_t>& b) { put(b, table + 8 * 4, uint64_t(8)); }, nullptr},
    };
    for (const Damage& cs : damages)
        for (const bool mapped : {false, true}) {
            SCOPED_TRACE(std::string(cs.what) + (mapped ? " mapped" : " read"));
            std::vector<uint8_t> damaged = bytes;
            cs.apply(damaged);
            const std::string name = Path("bad.exr");
            WriteBytes(name, damaged);
            ImageRef image(NewFloatImage(W, H));
            const std::vector<float> before(size_t(W) * H * 4, -7.0f);
            for (int y = 0; y < H; ++y) image->WriteSpan(0, y, W, before.data());
            ExrFrameRead read;
            read.Channels = {"R", "G", "B", "A"};
            read.FrameY1 = read.Y1 = H;
            read.Mapped = mapped;
            const uint64_t ours = detail::UncompressedExrReads();
            if (!cs.words) {
                EXPECT_TRUE(ReadExrFrame(name, read, *image.image));
                EXPECT_EQ(detail::UncompressedExrReads() - ours, 1u);
                EXPECT_EQ(Pixels(image.image), Pixels(expected.image));
                continue;
            }
            try {
                ReadExrFrame(name, read, *image.image);
                ADD_FAILURE() << "accepted";
            } catch (const Error& e) {
                EXPECT_EQ(e.Where().File, name);
                EXPECT_NE(e.Message().find("cannot read the pixels"), std::string::npos) << e.what();
                EXPECT_NE(e.Message().find(cs.words), std::string::npos) << e.what();
            }
            EXPECT_EQ(detail::UncompressedExrReads(), ours);
            EXPECT_EQ(Pixels(image.image), before) << "pixels written";
            try {
                ImageRef whole(ReadImageFile(name, ImageLimits(), nullptr));
                ADD_FAILURE() << "accepted";
            } catch (const Error& e) {
                EXPECT_EQ(e.Where().File, name);
            }
        }
}
