// Images: creation tags, storage formats, pixel addressing, bulk access,
// fills, limits and memory.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <thread>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include "HostTestSupport.h"

namespace {

constexpr float Inf = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

struct Pixel {
    float c[4];
};

Pixel ReadAt(const Image* image, int32_t x, int32_t y) {
    PixelAccessor a(image);
    a.SetPosition(x, y);
    PixelRecord r;
    a.ReadPixel(r);
    return Pixel{{r.Chan[0], r.Chan[1], r.Chan[2], r.Chan[3]}};
}

void WriteAt(Image* image, int32_t x, int32_t y, const Pixel& p) {
    PixelAccessor a(image);
    a.SetPosition(x, y);
    PixelRecord r{};
    std::memcpy(r.Chan, p.c, sizeof p.c);
    a.WritePixel(r);
}

bool SameBits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

// What a value reads back as after one write, per format.
float RoundTrip(int32_t format, float value) {
    Held<Image> image(MakeImage(1, 1, format));
    WriteAt(image.Get(), 0, 0, Pixel{{value, value, value, value}});
    return ReadAt(image.Get(), 0, 0).c[0];
}

// The thread sanitizer's shadow memory grows with every page touched and is
// not handed back, so resident memory says nothing about an image there.
#if defined(__linux__) && !defined(__SANITIZE_THREAD__)
int64_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * 4096;
}
#endif

}  // namespace

using ImageTest = HostTest;

TEST_F(ImageTest, NewImageTakesShapeFromTags) {
    int context = 0;
    Held<Image> image(NewImage(TagList{Tag<IMG_Context>(&context), Tag<IMG_Width>(7), Tag<IMG_Height>(5),
                                       Tag<IMG_Channel>(2), Tag<IMG_Channel>(1), Tag<IMG_Channel>(0),
                                       Tag<IMG_Channel>(3), Tag<IMG_Format>(int32_t(Format_UInt16))}));
    ASSERT_TRUE(image) << HostApp::LastImageRefusal().Text;
    EXPECT_EQ(image->Width, 7);
    EXPECT_EQ(image->Height, 5);
    EXPECT_EQ(image->Format, Format_UInt16);
    EXPECT_EQ(image->Channels, 4);
    const int32_t map[] = {2, 1, 0, 3};
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(image->ChannelMap[k], map[k]);
    EXPECT_EQ(image->Context, &context);
    EXPECT_EQ(image->StorageBytes(), 7u * 5u * 4u * 2u);
    EXPECT_EQ(image->Group[0].PixelStride, 8);
    EXPECT_EQ(image->Group[1].RowOffsets, nullptr) << "no second buffer group";
    EXPECT_EQ(HostApp::LastImageRefusal().Text, "");

    // Like-image copies size, format, channels and context; other tags override.
    Held<Image> like(NewImage(TagList{Tag<IMG_Like>(image.Get())}));
    ASSERT_TRUE(like);
    EXPECT_EQ(like->Width, 7);
    EXPECT_EQ(like->Height, 5);
    EXPECT_EQ(like->Format, Format_UInt16);
    EXPECT_EQ(like->ChannelMap[0], 2);
    EXPECT_EQ(like->Context, &context);
    Held<Image> wider(NewImage(TagList{Tag<IMG_Like>(image.Get()), Tag<IMG_Width>(9), Tag<IMG_Format>(int32_t(Format_Half)),
                                       Tag<IMG_Context>(nullptr)}));
    ASSERT_TRUE(wider);
    EXPECT_EQ(wider->Width, 9);
    EXPECT_EQ(wider->Height, 5);
    EXPECT_EQ(wider->Format, Format_Half);
    EXPECT_EQ(wider->ChannelMap[2], 0);
    EXPECT_EQ(wider->Context, nullptr);

    // Without channel tags or like-image: record order, float.
    Held<Image> plain(NewImage(TagList{Tag<IMG_Width>(3), Tag<IMG_Height>(2)}));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->Format, Format_Float);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(plain->ChannelMap[k], k);
}

TEST_F(ImageTest, FreshPixelsAreTransparentInEveryFormat) {
    for (int32_t format : {Format_UInt8, Format_UInt16, Format_Half, Format_Float}) {
        for (int32_t side : {3, 600}) {   // calloc'd and mapped storage
            Held<Image> image(MakeImage(side, side, format, {2, 1, 0, 3}));
            ASSERT_TRUE(image);
            for (auto [x, y] : {std::pair{0, 0}, {side - 1, side - 1}, {side / 2, 1}}) {
                const Pixel p = ReadAt(image.Get(), x, y);
                for (float v : p.c)
                    EXPECT_EQ(v, 0.0f) << "format " << format << " side " << side;
            }
        }
    }
}

TEST_F(ImageTest, FormatRoundTrips) {
    const struct { int32_t format; float in; float out; } cases[] = {
        {Format_UInt8, 1.0f, 1.0f},
        {Format_UInt8, 0.0f, 0.0f},
        {Format_UInt8, 0.5f, 128.0f / 255.0f},
        {Format_UInt8, 0.2f, 51.0f / 255.0f},
        {Format_UInt8, 0.6f / 255.0f, 1.0f / 255.0f},   // to the nearest step
        {Format_UInt8, 0.4f / 255.0f, 0.0f},
        {Format_UInt8, -0.5f, 0.0f},
        {Format_UInt8, 7.0f, 1.0f},
        {Format_UInt8, Inf, 1.0f},
        {Format_UInt8, -Inf, 0.0f},
        {Format_UInt8, NaN, 0.0f},
        {Format_UInt16, 1.0f, 1.0f},
        {Format_UInt16, 0.5f, 32768.0f / 65535.0f},
        {Format_UInt16, 1e-5f, 1.0f / 65535.0f},
        {Format_UInt16, 2.0f, 1.0f},
        {Format_UInt16, -1.0f, 0.0f},
        {Format_UInt16, NaN, 0.0f},
        {Format_Half, 1.0f, 1.0f},
        {Format_Half, -2.0f, -2.0f},
        {Format_Half, 0.1f, 0.0999755859375f},
        {Format_Half, 65504.0f, 65504.0f},
        {Format_Half, 65519.0f, 65504.0f},
        {Format_Half, 65520.0f, Inf},
        {Format_Half, 1e9f, Inf},
        {Format_Half, -1e9f, -Inf},
        {Format_Half, Inf, Inf},
        {Format_Half, -Inf, -Inf},
        {Format_Half, 1.0f + 0x1p-11f, 1.0f},                // tie, to even
        {Format_Half, 1.0f + 3 * 0x1p-11f, 1.0f + 0x1p-9f},   // tie, to even
        {Format_Half, 1.0f + 0x1p-11f + 0x1p-20f, 1.0f + 0x1p-10f},
        {Format_Half, 0x1p-14f, 0x1p-14f},                   // smallest normal
        {Format_Half, 0x1p-24f, 0x1p-24f},                   // smallest subnormal
        {Format_Half, 5 * 0x1p-24f, 5 * 0x1p-24f},
        {Format_Half, 0x1p-25f, 0.0f},                       // tie, to even (zero)
        {Format_Half, 3 * 0x1p-25f, 2 * 0x1p-24f},           // tie, to even
        {Format_Half, 0x1p-25f + 0x1p-40f, 0x1p-24f},
        {Format_Half, 1023 * 0x1p-24f + 0x1p-25f, 0x1p-14f},   // rounds up into the normals
        {Format_Half, 1e-30f, 0.0f},
        {Format_Float, 0.1f, 0.1f},
        {Format_Float, -123.456f, -123.456f},
        {Format_Float, 1e-40f, 1e-40f},
        {Format_Float, Inf, Inf},
    };
    for (const auto& c : cases) {
        const float out = RoundTrip(c.format, c.in);
        EXPECT_TRUE(SameBits(out, c.out)) << "format " << c.format << ": " << c.in << " read back as " << out
                                          << ", expected " << c.out;
    }
    EXPECT_TRUE(std::signbit(RoundTrip(Format_Half, -0.0f)));
    EXPECT_TRUE(std::isnan(RoundTrip(Format_Half, NaN)));
    EXPECT_TRUE(std::isnan(RoundTrip(Format_Half, -NaN)));
    EXPECT_TRUE(std::isnan(RoundTrip(Format_Float, NaN)));
    EXPECT_TRUE(std::isnan(RoundTrip(Format_Half, std::bit_cast<float>(0x7f800001u)))) << "a NaN with a low payload";
}

TEST_F(ImageTest, EveryStoredCodeSurvivesAFloatRoundTrip) {
    // Write each code's float back: every 8-bit, 16-bit and half code must
    // come back unchanged, 255 must read exactly 1.0.
    const struct { int32_t format; uint32_t codes; } cases[] = {
        {Format_UInt8, 256}, {Format_UInt16, 65536}, {Format_Half, 65536}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const int32_t width = int32_t(c.codes / 4);
        Held<Image> raw(MakeImage(width, 1, c.format));
        Held<Image> copy(MakeImage(width, 1, c.format));
        ASSERT_TRUE(raw && copy);
        const size_t bytes = raw->StorageBytes();
        for (uint32_t code = 0; code < c.codes; ++code) {
            if (c.format == Format_UInt8)
                raw->Group[0].Base[code] = uint8_t(code);
            else
                std::memcpy(raw->Group[0].Base + 2 * code, &code, 2);
        }
        std::vector<float> row(size_t(width) * 4);
        raw->ReadSpan(0, 0, width, row.data());
        copy->WriteSpan(0, 0, width, row.data());
        size_t differing = 0;
        for (uint32_t code = 0; code < c.codes; ++code) {
            uint32_t back = 0;
            std::memcpy(&back, copy->Group[0].Base + code * (bytes / c.codes), bytes / c.codes);
            const bool nanCode = c.format == Format_Half && (code & 0x7c00) == 0x7c00 && (code & 0x3ff) != 0;
            if (nanCode)
                EXPECT_TRUE(std::isnan(row[code])) << code;
            else if (back != code)
                ++differing;
        }
        EXPECT_EQ(differing, 0u);
        if (c.format == Format_UInt8) {
            EXPECT_EQ(row[255], 1.0f);
        }
        if (c.format == Format_UInt16) {
            EXPECT_EQ(row[65535], 1.0f);
        }
    }
}

TEST_F(ImageTest, PixelAccessorAddressesThroughRowOffsets) {
    // 8-bit, channels stored 2, 1, 0, 3: storage slot 0 holds record float 2.
    const int32_t width = 5, height = 3;
    Held<Image> image(MakeImage(width, height, Format_UInt8, {2, 1, 0, 3}));
    ASSERT_TRUE(image);
    const BufferGroup& g = image->Group[0];
    ASSERT_NE(g.RowOffsets, nullptr);
    EXPECT_EQ(g.PixelStride, 4);
    for (int32_t y = 0; y < height; ++y)
        EXPECT_EQ(g.RowOffsets[y], int64_t(y) * width * 4) << "row " << y << " (row 0 is stored first)";

    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            WriteAt(image.Get(), x, y,
                    Pixel{{float(10 * y + x) / 255.0f, float(100 + x) / 255.0f, float(200 + y) / 255.0f, 1.0f}});
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t* p = g.Base + y * width * 4 + x * 4;
            EXPECT_EQ(p[0], 200 + y);
            EXPECT_EQ(p[1], 100 + x);
            EXPECT_EQ(p[2], 10 * y + x);
            EXPECT_EQ(p[3], 255);
            const Pixel back = ReadAt(image.Get(), x, y);
            EXPECT_EQ(back.c[0], float(10 * y + x) / 255.0f);
            EXPECT_EQ(back.c[3], 1.0f);
        }
    }
}

TEST_F(ImageTest, FewerChannelsStoreOnlyThose) {
    // Two stored channels, alpha then red: green and blue, which no slot
    // holds, read 0.
    Held<Image> image(MakeImage(4, 2, Format_Float, {3, 0}));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->Channels, 2);
    EXPECT_EQ(image->Group[0].PixelStride, 8);
    WriteAt(image.Get(), 1, 1, Pixel{{0.25f, 0.5f, 0.75f, 0.125f}});
    const Pixel back = ReadAt(image.Get(), 1, 1);
    EXPECT_EQ(back.c[0], 0.25f);
    EXPECT_EQ(back.c[1], 0.0f);
    EXPECT_EQ(back.c[2], 0.0f);
    EXPECT_EQ(back.c[3], 0.125f);
    float stored[2];
    std::memcpy(stored, image->Group[0].Base + image->Group[0].RowOffsets[1] + 8, sizeof stored);
    EXPECT_EQ(stored[0], 0.125f);
    EXPECT_EQ(stored[1], 0.25f);
    // Without a stored alpha the record's alpha reads opaque.
    Held<Image> rgb(MakeImage(1, 1, Format_UInt8, {0, 1, 2}));
    ASSERT_TRUE(rgb);
    EXPECT_EQ(ReadAt(rgb.Get(), 0, 0).c[3], 1.0f);
}

TEST_F(ImageTest, SpansMatchPerPixelAccess) {
    const struct { int32_t format; std::vector<int32_t> channels; } cases[] = {
        {Format_Float, {}}, {Format_Float, {2, 1, 0, 3}}, {Format_Half, {2, 1, 0, 3}},
        {Format_UInt16, {}}, {Format_UInt8, {2, 1, 0, 3}}, {Format_UInt8, {3, 1}},
    };
    std::mt19937 random(7);
    std::uniform_real_distribution<float> value(-0.25f, 1.25f);
    const int32_t w = 37, h = 5;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.format << ", " << c.channels.size() << " channels");
        Held<Image> perPixel(MakeImage(w, h, c.format, c.channels));
        Held<Image> bySpan(MakeImage(w, h, c.format, c.channels));
        ASSERT_TRUE(perPixel && bySpan);
        std::vector<float> source(size_t(w) * 4);
        for (int32_t y = 0; y < h; ++y) {
            for (float& v : source)
                v = value(random);
            source[4] = NaN;
            source[9] = Inf;
            for (int32_t x = 0; x < w; ++x)
                WriteAt(perPixel.Get(), x, y, Pixel{{source[4 * x], source[4 * x + 1], source[4 * x + 2], source[4 * x + 3]}});
            bySpan->WriteSpan(0, y, w, source.data());
        }
        ASSERT_EQ(std::memcmp(perPixel->Group[0].Base, bySpan->Group[0].Base, perPixel->StorageBytes()), 0)
            << "WriteSpan stores what WritePixel stores";
        std::vector<float> span(size_t(w) * 4);
        for (int32_t y = 0; y < h; ++y) {
            bySpan->ReadSpan(3, y, w - 3, span.data());
            for (int32_t x = 3; x < w; ++x) {
                const Pixel p = ReadAt(bySpan.Get(), x, y);
                for (int k = 0; k < 4; ++k)
                    ASSERT_TRUE(SameBits(span[size_t(x - 3) * 4 + k], p.c[k])) << x << "," << y << " channel " << k;
            }
        }
    }
}

// Spans take vector paths for four-channel float and half rows; they must
// give what the pixel functions give for every half code (signalling NaNs
// included) and for floats of every kind.
TEST_F(ImageTest, SpansAgreeWithPixelsOnEveryHalfCodeAndOddFloats) {
    std::mt19937 random(11);
    std::vector<float> floats(size_t(1) << 16);
    for (float& f : floats) f = std::bit_cast<float>(uint32_t(random()));
    const float special[] = {0.0f, -0.0f, Inf, -Inf, NaN, 65519.996f, 65520.0f, 0x1p-25f, 0x1.8p-25f, 0x1p-149f,
                             std::bit_cast<float>(0x7f800001u), std::bit_cast<float>(0xffc00123u), 1.0f + 0x1p-11f};
    std::copy(std::begin(special), std::end(special), floats.begin());
    const int32_t width = int32_t(floats.size() / 4);
    for (const std::vector<int32_t>& channels : {std::vector<int32_t>{}, std::vector<int32_t>{2, 1, 0, 3}}) {
        for (const int32_t format : {Format_Half, Format_Float}) {
            SCOPED_TRACE(testing::Message() << "format " << format << ", order " << (channels.empty() ? "RGBA" : "BGRA"));
            Held<Image> raw(MakeImage(width, 1, format, channels));
            ASSERT_TRUE(raw);
            if (format == Format_Half)
                for (uint32_t code = 0; code < 65536; ++code) std::memcpy(raw->Group[0].Base + 2 * code, &code, 2);
            else
                std::memcpy(raw->Group[0].Base, floats.data(), raw->StorageBytes());
            std::vector<float> row(size_t(width) * 4);
            raw->ReadSpan(0, 0, width, row.data());
            size_t differing = 0;
            for (int32_t x = 0; x < width; ++x) {
                const Pixel p = ReadAt(raw.Get(), x, 0);
                for (int k = 0; k < 4; ++k) differing += !SameBits(row[size_t(x) * 4 + k], p.c[k]);
            }
            EXPECT_EQ(differing, 0u) << "ReadSpan against ReadPixel";

            Held<Image> bySpan(MakeImage(width, 1, format, channels));
            Held<Image> perPixel(MakeImage(width, 1, format, channels));
            ASSERT_TRUE(bySpan && perPixel);
            bySpan->WriteSpan(0, 0, width, floats.data());
            for (int32_t x = 0; x < width; ++x)
                WriteAt(perPixel.Get(), x, 0, Pixel{{floats[size_t(x) * 4], floats[size_t(x) * 4 + 1],
                                                     floats[size_t(x) * 4 + 2], floats[size_t(x) * 4 + 3]}});
            EXPECT_EQ(std::memcmp(bySpan->Group[0].Base, perPixel->Group[0].Base, bySpan->StorageBytes()), 0)
                << "WriteSpan against WritePixel";
        }
    }
}

TEST_F(ImageTest, SpansReachingOutsideTheImageAreClipped) {
    Held<Image> image(MakeImage(4, 2));
    ASSERT_TRUE(image);
    const float ones[4 * 8] = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7, 8, 8, 8, 8};
    image->WriteSpan(-2, 1, 8, ones);   // columns -2 .. 5: only 0 .. 3 land
    image->WriteSpan(0, 2, 4, ones);    // row outside: nothing
    std::vector<float> span(4 * 8, -1.0f);
    image->ReadSpan(-2, 1, 8, span.data());
    const float expected[8] = {0, 0, 3, 4, 5, 6, 0, 0};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(span[size_t(i) * 4], expected[i]) << i;
    image->ReadSpan(0, 0, 4, span.data());
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(span[size_t(i)], 0.0f);
    image->ReadSpan(0, -1, 2, span.data());
    EXPECT_EQ(span[0], 0.0f);
}

TEST_F(ImageTest, FillSetsEveryPixel) {
    for (int32_t format : {Format_UInt8, Format_UInt16, Format_Half, Format_Float}) {
        for (int32_t side : {3, 300}) {
            SCOPED_TRACE(testing::Message() << "format " << format << " side " << side);
            Held<Image> image(MakeImage(side, side + 1, format, {2, 1, 0, 3}));
            ASSERT_TRUE(image);
            image->Fill(1, 0, 0, 1);
            std::vector<float> row(size_t(side) * 4);
            bool all = true;
            for (int32_t y = 0; y < image->Height; ++y) {
                image->ReadSpan(0, y, side, row.data());
                for (int32_t x = 0; x < side; ++x)
                    all = all && row[4 * x] == 1.0f && row[4 * x + 1] == 0.0f && row[4 * x + 2] == 0.0f &&
                          row[4 * x + 3] == 1.0f;
            }
            EXPECT_TRUE(all);
            image->Fill(0, 0, 0, 0);
            bool clear = true;
            for (int32_t y = 0; y < image->Height; ++y) {
                image->ReadSpan(0, y, side, row.data());
                for (float v : row)
                    clear = clear && v == 0.0f;
            }
            EXPECT_TRUE(clear);
            image->Fill(2, 3, 4, 5);
            const Pixel p = ReadAt(image.Get(), side - 1, side);
            if (format == Format_UInt8 || format == Format_UInt16)
                EXPECT_EQ(p.c[0], 1.0f) << "clamped";
            else
                EXPECT_EQ(p.c[3], 5.0f);
        }
    }
}

TEST_F(ImageTest, RefusesWhatCannotBeMadeAndSaysWhy) {
    const struct {
        TagList tags;
        uint64_t limit;
        const char* reason;   // null: accepted
    } cases[] = {
        {{Tag<IMG_Width>(0), Tag<IMG_Height>(10)}, 8ull << 30, "image of 0 x 10 has no pixels"},
        {{Tag<IMG_Width>(-5), Tag<IMG_Height>(10)}, 8ull << 30, "image of -5 x 10 has no pixels"},
        {{Tag<IMG_Width>(10), Tag<IMG_Height>(-1)}, 8ull << 30, "has no pixels"},
        {{Tag<IMG_Height>(10)}, 8ull << 30, "image of 0 x 10 has no pixels"},
        {{Tag<IMG_Width>(2000000), Tag<IMG_Height>(1080)}, 8ull << 30,
         "image of 2000000 x 1080 exceeds the 1048576-pixel side limit"},
        {{Tag<IMG_Width>(10), Tag<IMG_Height>(1048577)}, 8ull << 30, "exceeds the 1048576-pixel side limit"},
        {{Tag<IMG_Width>(1048576), Tag<IMG_Height>(1)}, 8ull << 30, nullptr},
        {{Tag<IMG_Width>(1048576), Tag<IMG_Height>(1048576)}, 8ull << 30,
         "image of 1048576 x 1048576 needs 16 TiB, above the 8 GiB per-image limit"},
        {{Tag<IMG_Width>(1048576), Tag<IMG_Height>(140000)}, 8ull << 30, "needs 2.1 TiB, above the 8 GiB"},
        {{Tag<IMG_Width>(512), Tag<IMG_Height>(512)}, 1ull << 20, "needs 4 MiB, above the 1 MiB per-image limit"},
        {{Tag<IMG_Width>(256), Tag<IMG_Height>(256)}, 1ull << 20, nullptr},   // exactly the limit
        {{Tag<IMG_Width>(256), Tag<IMG_Height>(257), Tag<IMG_Format>(int32_t(Format_UInt8))}, 1ull << 18,
         "needs 257 KiB, above the 256 KiB"},
        {{Tag<IMG_Width>(4), Tag<IMG_Height>(4), Tag<IMG_Format>(7)}, 8ull << 30, "format code 7 is unknown"},
        {{Tag<IMG_Width>(4), Tag<IMG_Height>(4), Tag<IMG_Format>(0)}, 8ull << 30, "format code 0 is unknown"},
        {{Tag<IMG_Width>(4), Tag<IMG_Height>(4), Tag<IMG_Channel>(4), Tag<IMG_Channel>(1)}, 8ull << 30,
         "channel 0 is 4"},
        {{Tag<IMG_Width>(4), Tag<IMG_Height>(4), Tag<IMG_Channel>(0), Tag<IMG_Channel>(0)}, 8ull << 30,
         "channel 1 is 0"},
        {{Tag<IMG_Width>(4), Tag<IMG_Height>(4), Tag<IMG_Channel>(0), Tag<IMG_Channel>(1), Tag<IMG_Channel>(2),
          Tag<IMG_Channel>(3), Tag<IMG_Channel>(3)},
         8ull << 30, "5 channels"},
    };
    for (const auto& c : cases) {
        HostApp::SetImageByteLimit(c.limit);
        Image* image = NewImage(c.tags);
        if (c.reason == nullptr) {
            EXPECT_NE(image, nullptr) << HostApp::LastImageRefusal().Text;
            EXPECT_EQ(HostApp::LastImageRefusal().Text, "") << "a made image clears the reason";
            if (image)
                image->Recycle();
        } else {
            EXPECT_EQ(image, nullptr) << c.reason;
            EXPECT_NE(HostApp::LastImageRefusal().Text.find(c.reason), std::string::npos)
                << "reason: " << HostApp::LastImageRefusal().Text << "\nexpected: " << c.reason;
        }
        EXPECT_EQ(HostApp::LiveObjects(ParamKind::Image), 0);
    }
}

TEST_F(ImageTest, RefusalReasonBelongsToTheThread) {
    EXPECT_EQ(NewImage(TagList{Tag<IMG_Width>(0), Tag<IMG_Height>(1)}), nullptr);
    std::string other = "unset";
    std::thread([&] { other = HostApp::LastImageRefusal().Text; }).join();
    EXPECT_EQ(other, "");
    EXPECT_NE(HostApp::LastImageRefusal().Text, "");
}

#if defined(__linux__) && !defined(__SANITIZE_THREAD__)
TEST_F(ImageTest, SparseLargeImageCostsOnlyWrittenPixels) {
    const int64_t before = ResidentBytes();
    Held<Image> image(MakeImage(20000, 20000));
    ASSERT_TRUE(image) << HostApp::LastImageRefusal().Text;
    EXPECT_EQ(image->StorageBytes(), 20000ull * 20000ull * 16ull);
    image->Fill(0, 0, 0, 0);   // never written: no work, no pages

    std::vector<float> patch(100 * 4, 0.5f);
    for (int32_t y = 9000; y < 9100; ++y)
        image->WriteSpan(12000, y, 100, patch.data());
    const int64_t afterPatch = ResidentBytes();
    const int64_t patchCost = afterPatch - before;
    std::printf("[ measure  ] 20000 x 20000 float image, 100 x 100 written: resident +%.2f MiB\n",
                double(patchCost) / (1 << 20));
    RecordProperty("SparseResidentMiB", std::to_string(double(patchCost) / (1 << 20)));
    EXPECT_LT(patchCost, int64_t(64) << 20);
    EXPECT_EQ(ReadAt(image.Get(), 12050, 9050).c[2], 0.5f);
    EXPECT_EQ(ReadAt(image.Get(), 11999, 9050).c[2], 0.0f);

    // Writing 100 full rows makes ~30 MiB resident; clearing gives it back.
    std::vector<float> row(20000 * 4, 1.0f);
    for (int32_t y = 0; y < 100; ++y)
        image->WriteSpan(0, y, 20000, row.data());
    const int64_t afterRows = ResidentBytes();
    EXPECT_GT(afterRows - afterPatch, int64_t(25) << 20);
    image->Fill(0, 0, 0, 0);
    const int64_t afterClear = ResidentBytes();
    std::printf("[ measure  ] after 100 full rows: +%.2f MiB, after Fill(0): +%.2f MiB\n",
                double(afterRows - before) / (1 << 20), double(afterClear - before) / (1 << 20));
    EXPECT_LT(afterClear - before, int64_t(8) << 20);
    EXPECT_EQ(ReadAt(image.Get(), 12050, 9050).c[2], 0.0f);
    EXPECT_EQ(ReadAt(image.Get(), 5, 5).c[0], 0.0f);
}

// An image said to be written whole has its memory at once, all of it
// reading as zero still, where a sparse one has none until written.
TEST_F(ImageTest, AnImageExpectedDenseIsResidentBeforeItIsWritten) {
    const int64_t before = ResidentBytes();
    Held<Image> sparse(MakeImage(2000, 1000));
    EXPECT_LT(ResidentBytes() - before, int64_t(4) << 20);
    Held<Image> dense(MakeImage(2000, 1000));
    HostApp::ExpectDense(dense.Get());
    EXPECT_GT(ResidentBytes() - before, int64_t(28) << 20);
    EXPECT_EQ(ReadAt(dense.Get(), 1999, 999).c[3], 0.0f);
    EXPECT_EQ(ReadAt(dense.Get(), 0, 0).c[0], 0.0f);
}

// Kept memory: a released image's pages go to the next image of about its
// size, read as zero there, and what cannot be taken is handed back rather
// than held beside a fresh image.
TEST_F(ImageTest, KeptMemoryIsTakenAgainZeroedAndNeverHeldBesideFreshMemory) {
    struct Keeping {
        Keeping() { HostApp::KeepReleasedImageMemory(uint64_t(1) << 30); }
        ~Keeping() { HostApp::KeepReleasedImageMemory(0); }
    } keeping;
    const int64_t before = ResidentBytes();
    std::vector<float> row(2000 * 4, 1.0f);
    {
        Held<Image> first(MakeImage(2000, 1000));
        for (int32_t y = 0; y < 1000; ++y) first->WriteSpan(0, y, 2000, row.data());
    }
    const int64_t kept = ResidentBytes();
    EXPECT_GT(kept - before, int64_t(28) << 20) << "the written pages were handed back, not kept";

    // A row taller: the same storage, every pixel zero, no fresh pages.
    {
        Held<Image> second(MakeImage(2000, 1001));
        std::vector<float> read(2000 * 4);
        bool zero = true;
        for (int32_t y = 0; y < 1001 && zero; ++y) {
            second->ReadSpan(0, y, 2000, read.data());
            zero = std::all_of(read.begin(), read.end(), [](float v) { return v == 0.0f; });
        }
        EXPECT_TRUE(zero);
        for (int32_t y = 0; y < 1001; ++y) second->WriteSpan(0, y, 2000, row.data());
        EXPECT_LT(ResidentBytes() - kept, int64_t(2) << 20);
    }

    // Far larger and sparse: nothing kept fits, so the kept pages go back
    // before the fresh image takes any.
    {
        Held<Image> layer(MakeImage(6000, 6000));
        std::vector<float> patch(100 * 4, 0.5f);
        for (int32_t y = 0; y < 100; ++y) layer->WriteSpan(0, y, 100, patch.data());
        EXPECT_LT(ResidentBytes() - before, int64_t(8) << 20);
        EXPECT_EQ(ReadAt(layer.Get(), 50, 50).c[0], 0.5f);
        EXPECT_EQ(ReadAt(layer.Get(), 5000, 5000).c[0], 0.0f);
    }
    HostApp::KeepReleasedImageMemory(0);
#if !defined(__SANITIZE_ADDRESS__)
    // The address sanitizer's shadow of the pages touched stays resident.
    EXPECT_LT(ResidentBytes() - before, int64_t(4) << 20);
#endif
}

// The frames of a thin band are small, yet they too take the pages that
// the band before gave back: a fresh page is a fault, and under some
// virtual machines far dearer than the pixels written into it.
TEST_F(ImageTest, SmallImagesTakeKeptMemoryAgain) {
    struct Keeping {
        Keeping() { HostApp::KeepReleasedImageMemory(uint64_t(1) << 30); }
        ~Keeping() { HostApp::KeepReleasedImageMemory(0); }
    } keeping;
    std::vector<float> row(2000 * 4, 1.0f);
    auto band = [&] {   // 60 frames of 24 rows, 750 KiB each
        std::vector<Held<Image>> frames;
        for (int k = 0; k < 60; ++k) {
            frames.emplace_back(MakeImage(2000, 24));
            HostApp::ExpectDense(frames.back().Get());
            for (int32_t y = 0; y < 24; ++y) frames.back()->WriteSpan(0, y, 2000, row.data());
        }
    };
    band();
    struct rusage before {}, after {};
    getrusage(RUSAGE_SELF, &before);
    for (int bands = 0; bands < 4; ++bands) band();
    getrusage(RUSAGE_SELF, &after);
    // Fresh storage would be some 45 MiB a band, over 11,000 faults of 4 KiB.
    EXPECT_LT(after.ru_minflt - before.ru_minflt, 2000) << "the later bands' frames came fresh from the system";
}

// Storage never written is not kept: it would take the room of written
// storage and hand the next image fresh pages all the same.
TEST_F(ImageTest, OnlyWrittenMemoryIsKept) {
    HostApp::KeepReleasedImageMemory(uint64_t(40) << 20);   // room for one image
    std::vector<float> row(2000 * 4, 1.0f);
    {
        Held<Image> unwritten(MakeImage(2000, 1000));
        Held<Image> written(MakeImage(2000, 1000));
        for (int32_t y = 0; y < 1000; ++y) written->WriteSpan(0, y, 2000, row.data());
        unwritten.Reset();   // released first, as the layers of a band are
    }
    const int64_t kept = ResidentBytes();
    {
        Held<Image> next(MakeImage(2000, 1000));
        for (int32_t y = 0; y < 1000; ++y) next->WriteSpan(0, y, 2000, row.data());
        EXPECT_LT(ResidentBytes() - kept, int64_t(2) << 20) << "the next image was given fresh pages";
    }
    HostApp::KeepReleasedImageMemory(0);
}
#endif

TEST_F(ImageTest, RefusalCarriesTheFigures) {
    const uint64_t limit = HostApp::ImageByteLimit();
    HostApp::SetImageByteLimit(uint64_t(1) << 20);
    EXPECT_EQ(NewImage(TagList{Tag<IMG_Width>(1024), Tag<IMG_Height>(512)}), nullptr);
    HostApp::ImageRefusal refusal = HostApp::LastImageRefusal();
    HostApp::SetImageByteLimit(limit);
    EXPECT_EQ(refusal.Kind, HostApp::RefusalKind::ByteLimit);
    EXPECT_EQ(refusal.Width, 1024);
    EXPECT_EQ(refusal.Height, 512);
    EXPECT_EQ(refusal.Bytes, uint64_t(1024) * 512 * 16);
    EXPECT_EQ(refusal.Limit, uint64_t(1) << 20);

    EXPECT_EQ(NewImage(TagList{Tag<IMG_Width>(MaxImageSide + 1), Tag<IMG_Height>(1)}), nullptr);
    refusal = HostApp::LastImageRefusal();
    EXPECT_EQ(refusal.Kind, HostApp::RefusalKind::SideLimit);
    EXPECT_EQ(refusal.Limit, uint64_t(MaxImageSide));
    Held<Image> made(MakeImage(2, 2));
    EXPECT_FALSE(HostApp::LastImageRefusal()) << "a made image clears the refusal";
}

#if defined(__linux__) && !defined(__SANITIZE_THREAD__)
TEST_F(ImageTest, ResidentEstimateBoundsWhatABlockCosts) {
    // A layer-like image with one frame-sized block written in its middle.
    const int32_t w = 6000, h = 600, bw = 1000;
    const double estimate = HostApp::ResidentBytes(w, h, Format_Float, bw, h);
    EXPECT_EQ(HostApp::ResidentBytes(w, h, Format_Float, w, h), double(w) * h * 16 + h * 8.0)
        << "a block as wide as the image costs its whole storage and the row table";
    EXPECT_LT(estimate, double(w) * h * 16 / 4);

    const int64_t before = ResidentBytes();
    Held<Image> image(MakeImage(w, h));
    std::vector<float> row(size_t(bw) * 4, 0.25f);
    for (int32_t y = 0; y < h; ++y) image->WriteSpan(2500, y, bw, row.data());
    const double cost = double(ResidentBytes() - before);
#if !defined(__SANITIZE_ADDRESS__)
    // Under the address sanitizer its shadow of the pages touched, and of
    // its own bookkeeping, comes on top and varies from run to run.
    EXPECT_LE(cost, estimate * 1.15 + double(1 << 20)) << "the estimate plans for what the block touches";
#endif
    EXPECT_GE(cost, estimate * 0.8);
}
#endif
