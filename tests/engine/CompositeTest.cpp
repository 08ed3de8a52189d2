// Row compositing: which layer pixels count and what they combine to.
#include <bit>
#include <algorithm>
#include <limits>
#include <random>

#include "EngineHarness.h"
#include "MedianOrder.h"
#include "ReferenceStitch.h"

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float Inf = std::numeric_limits<float>::infinity();

float Bits(uint32_t bits) { return std::bit_cast<float>(bits); }

// A canvas 3 x 2 and one layer per pixel value, each holding its value at
// (1, 1) and transparent black elsewhere; (1, 1) of the canvas starts as
// Marker so that "not written" shows.
const Rgba Marker{0.5f, 0.25f, 0.125f, 0.75f};

struct CompositeCase {
    const char* Name;
    float Filter;
    std::vector<Rgba> Layers;
    Rgba Expected;
};

}  // namespace

TEST_F(EngineTest, CompositeCombinesOnlyFullyOpaquePixels) {
    const CompositeCase cases[] = {
        {"unique: no layers", 0.0f, {}, Marker},
        {"median: no layers", 1.0f, {}, {0, 0, 0, 0}},
        {"unique: none opaque", 0.0f, {{1, 1, 1, 0.999f}, {1, 1, 1, 1.0001f}, {1, 1, 1, NaN}, {1, 1, 1, 0}}, Marker},
        {"median: none opaque", 1.0f, {{1, 1, 1, 0.999f}, {1, 1, 1, 1.0001f}, {1, 1, 1, NaN}}, {0, 0, 0, 0}},
        {"unique: first opaque as read", 0.0f,
         {{9, 9, 9, 0.5f}, {0.1f, -0.0f, NaN, 1}, {0.2f, 0.2f, 0.2f, 1}}, {0.1f, -0.0f, NaN, 1}},
        {"filter 0.5 is unique", 0.5f, {{0.9f, 0.9f, 0.9f, 1}, {0.1f, 0.1f, 0.1f, 1}, {0.2f, 0.2f, 0.2f, 1}},
         {0.9f, 0.9f, 0.9f, 1}},
        {"filter 2.0 is unique", 2.0f, {{0.9f, 0.9f, 0.9f, 1}, {0.1f, 0.1f, 0.1f, 1}, {0.2f, 0.2f, 0.2f, 1}},
         {0.9f, 0.9f, 0.9f, 1}},
        {"filter NaN is unique", NaN, {{0.9f, 0.9f, 0.9f, 1}, {0.1f, 0.1f, 0.1f, 1}}, {0.9f, 0.9f, 0.9f, 1}},
        {"median: one opaque among others", 1.0f,
         {{0.9f, 0.9f, 0.9f, 0.999f}, {0.1f, 0.3f, 0.7f, 1}, {0.8f, 0.8f, 0.8f, 1.0001f}}, {0.1f, 0.3f, 0.7f, 1}},
        {"median: two take the larger", 1.0f, {{0.8f, 0.2f, 5, 1}, {0.2f, 0.8f, -5, 1}}, {0.8f, 0.8f, 5, 1}},
        {"median: four take the third", 1.0f,
         {{0.4f, 4, 0, 1}, {0.1f, 3, 0, 1}, {0.3f, 2, 0, 1}, {0.2f, 1, 0, 1}}, {0.3f, 3, 0, 1}},
        {"median: channels by themselves", 1.0f,
         {{0.1f, 0.9f, 0.5f, 1}, {0.7f, 0.2f, 0.5f, 1}, {0.4f, 0.4f, 0.9f, 1}}, {0.4f, 0.4f, 0.5f, 1}},
        {"median: NaN after every number", 1.0f, {{NaN, NaN, 0.3f, 1}, {0.1f, -Inf, NaN, 1}, {0.2f, Inf, NaN, 1}},
         {0.2f, Inf, NaN, 1}},
        {"median: NaNs by their bits", 1.0f,
         {{Bits(0xFFC00000), 0, 0, 1}, {Bits(0x7FC00002), 0, 0, 1}, {0.3f, 0, 0, 1}, {Bits(0x7FC00001), 0, 0, 1}},
         {Bits(0x7FC00002), 0, 0, 1}},
        {"median: -0 before +0", 1.0f, {{-0.0f, 0.0f, -0.0f, 1}, {0.0f, -0.0f, -0.0f, 1}}, {0.0f, 0.0f, -0.0f, 1}},
        {"median: -0 in the middle", 1.0f, {{-0.0f, 1, 1, 1}, {0.0f, 1, 1, 1}, {-0.0f, 1, 1, 1}}, {-0.0f, 1, 1, 1}},
    };
    for (const CompositeCase& c : cases) {
        SCOPED_TRACE(c.Name);
        StitchJob job;
        job.Filter = c.Filter;
        job.Canvas = MakeImage(3, 2, Format_Float, [](int32_t, int32_t) { return Rgba{0, 0, 0, 0}; });
        job.Canvas->WriteSpan(1, 1, 1, Marker.data());
        for (const Rgba& value : c.Layers) {
            job.Layers.push_back(MakeImage(3, 2, Format_Float, [&](int32_t x, int32_t y) {
                return x == 1 && y == 1 ? value : Rgba{0, 0, 0, 0};
            }));
            job.Footprints.push_back(LayerFootprint{0, 3, 0, 2});
        }
        Host->Composite(job);
        const Rgba got = PixelAt(job.Canvas, 1, 1);
        EXPECT_TRUE(SameBits(got, c.Expected))
            << got[0] << " " << got[1] << " " << got[2] << " " << got[3];
        // Every other pixel has no opaque layer pixel.
        EXPECT_TRUE(SameBits(PixelAt(job.Canvas, 0, 0), Rgba{0, 0, 0, 0}));
        ReleaseJob(job);
    }
}

TEST_F(EngineTest, CompositeReadsLayersOnlyWithinTheirFootprints) {
    // Three layers over one row of 8, each opaque exactly on its footprint;
    // the footprints overlap, and one pixel (7) is covered by none.
    struct Layer {
        int32_t X0, X1;
        float Value;
    };
    const Layer layers[] = {{2, 5, 0.3f}, {0, 3, 0.1f}, {4, 7, 0.2f}};
    const float unique[8] = {0.1f, 0.1f, 0.3f, 0.3f, 0.3f, 0.2f, 0.2f, -1};
    const float median[8] = {0.1f, 0.1f, 0.3f, 0.3f, 0.3f, 0.2f, 0.2f, 0};
    for (float filter : {0.0f, 1.0f}) {
        StitchJob job;
        job.Filter = filter;
        job.Canvas = MakeImage(8, 1, Format_Float, [](int32_t, int32_t) { return Rgba{-1, -1, -1, -1}; });
        for (const Layer& l : layers) {
            job.Layers.push_back(MakeImage(8, 1, Format_Float, [&](int32_t x, int32_t) {
                return x >= l.X0 && x < l.X1 ? Rgba{l.Value, l.Value, l.Value, 1} : Rgba{0, 0, 0, 0};
            }));
            job.Footprints.push_back(LayerFootprint{l.X0, l.X1, 0, 1});
        }
        Host->Composite(job);
        for (int32_t x = 0; x < 8; ++x) {
            const float v = filter == 1.0f ? median[x] : unique[x];
            const float a = x == 7 ? (filter == 1.0f ? 0.0f : -1.0f) : 1.0f;
            EXPECT_TRUE(SameBits(PixelAt(job.Canvas, x, 0), Rgba{v, v, v, a})) << "filter " << filter << " x " << x;
        }
        ReleaseJob(job);
    }
}

TEST_F(EngineTest, CompositeMedianOfManyLayersIsTheMiddleOfTheFullSort) {
    // 16 pixels side by side, each with its own values; ties, signed zeros,
    // infinities and NaNs of several bit patterns among them.
    std::mt19937 rng(7);
    const float specials[] = {NaN, -NaN, Bits(0x7FC12345), Bits(0x7F800001), Bits(0xFF800001),
                              -0.0f, 0.0f, Inf, -Inf, 0.25f, 0.5f};
    auto value = [&] {
        const uint32_t r = rng() % 100;
        return r < 22 ? specials[r % 11] : float(int32_t(rng() % 2001) - 1000) / 256.0f;
    };
    std::vector<int32_t> counts = {97, 130};
    for (int32_t n = 1; n <= 70; ++n) counts.push_back(n);
    for (int32_t n : counts) {
        SCOPED_TRACE(testing::Message() << n << " layers");
        StitchJob job;
        job.Filter = 1.0f;
        job.Canvas = MakeImage(16, 1, Format_Float, nullptr);
        std::vector<std::vector<Rgba>> pixels(16);
        for (int32_t i = 0; i < n; ++i) {
            std::vector<Rgba> row(16);
            for (int32_t x = 0; x < 16; ++x) {
                row[size_t(x)] = Rgba{value(), value(), value(), rng() % 8 ? 1.0f : 0.5f};
                pixels[size_t(x)].push_back(row[size_t(x)]);
            }
            job.Layers.push_back(MakeImage(16, 1, Format_Float, [&](int32_t x, int32_t) { return row[size_t(x)]; }));
            job.Footprints.push_back(LayerFootprint{0, 16, 0, 1});
        }
        Host->Composite(job);
        for (int32_t x = 0; x < 16; ++x) {
            Rgba expected{0, 0, 0, 0};
            std::vector<float> lists[3];
            for (const Rgba& p : pixels[size_t(x)])
                if (p[3] == 1.0f)
                    for (int c = 0; c < 3; ++c) lists[c].push_back(p[c]);
            if (!lists[0].empty()) {
                for (int c = 0; c < 3; ++c) {
                    std::stable_sort(lists[c].begin(), lists[c].end(), ReferenceBefore);
                    expected[size_t(c)] = lists[c][lists[c].size() / 2];
                }
                expected[3] = 1.0f;
            }
            EXPECT_TRUE(SameBits(PixelAt(job.Canvas, x, 0), expected)) << "x " << x;
        }
        ReleaseJob(job);
    }
}

TEST(MedianOrder, AgreesWithTheOrderWrittenOut) {
    const float values[] = {NaN, -NaN, Bits(0x7FC00001), Bits(0xFFFFFFFF), Bits(0x7F800001), -Inf, Inf,
                            -0.0f, 0.0f, 1.0f, -1.0f, std::numeric_limits<float>::denorm_min(),
                            -std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max(),
                            -std::numeric_limits<float>::max(), 0.5f};
    for (float a : values)
        for (float b : values) {
            EXPECT_EQ(MedianBefore(a, b), ReferenceBefore(a, b))
                << std::bit_cast<uint32_t>(a) << " " << std::bit_cast<uint32_t>(b);
            if (MedianKey(a) != MedianNaNKey) {
                EXPECT_EQ(std::bit_cast<uint32_t>(MedianValue(MedianKey(a))), std::bit_cast<uint32_t>(a));
            }
        }
}
