// Image::Transform: turning about a centre with bilinear sampling.
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <tuple>

#include "HostTestSupport.h"

namespace {

TagList Turn(double degrees, double cx = 0.5, double cy = 0.5) {
    return TagList{Tag<XF_Angle>(degrees), Tag<XF_CentreX>(cx), Tag<XF_CentreY>(cy), Tag<XF_Filter>(0)};
}

std::vector<float> Pixels(const Image* image) {
    std::vector<float> all(size_t(image->Width) * image->Height * 4);
    for (int32_t y = 0; y < image->Height; ++y)
        image->ReadSpan(0, y, image->Width, all.data() + size_t(y) * image->Width * 4);
    return all;
}

const float* At(const std::vector<float>& pixels, const Image* image, int32_t x, int32_t y) {
    return pixels.data() + (size_t(y) * image->Width + x) * 4;
}

// A frame of distinct colours, fully opaque.
Image* OpaqueFrame(int32_t w, int32_t h, int32_t format = Format_Float, uint32_t seed = 1) {
    Image* image = MakeImage(w, h, format, {2, 1, 0, 3});
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    std::vector<float> row(size_t(w) * 4);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            row[4 * x] = value(random);
            row[4 * x + 1] = value(random);
            row[4 * x + 2] = value(random);
            row[4 * x + 3] = 1.0f;
        }
        image->WriteSpan(0, y, w, row.data());
    }
    return image;
}

// Where destination pixel (x, y) samples the source, by the documented formula.
void SourcePoint(double degrees, double cx, double cy, int32_t x, int32_t y, double& qx, double& qy) {
    const double a = degrees * std::numbers::pi / 180.0;
    const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
    qx = cx + std::cos(a) * dx + std::sin(a) * dy;
    qy = cy - std::sin(a) * dx + std::cos(a) * dy;
}

}  // namespace

using TransformTest = HostTest;

TEST_F(TransformTest, QuarterTurnsAreExactCopies) {
    // Square 9 x 9 about its centre: whole turns move pixel centres onto
    // pixel centres, so every value must arrive bit for bit. Counter-clockwise
    // with row 0 at the bottom: the right edge goes to the top.
    const int32_t n = 9;
    const struct { double angle; std::function<std::pair<int32_t, int32_t>(int32_t, int32_t)> from; } cases[] = {
        {0.0, [](int32_t x, int32_t y) { return std::pair{x, y}; }},
        {90.0, [](int32_t x, int32_t y) { return std::pair{y, n - 1 - x}; }},
        {180.0, [](int32_t x, int32_t y) { return std::pair{n - 1 - x, n - 1 - y}; }},
        {270.0, [](int32_t x, int32_t y) { return std::pair{n - 1 - y, x}; }},
        {-90.0, [](int32_t x, int32_t y) { return std::pair{n - 1 - y, x}; }},
        {450.0, [](int32_t x, int32_t y) { return std::pair{y, n - 1 - x}; }},
        {360.0, [](int32_t x, int32_t y) { return std::pair{x, y}; }},
        {-720.0, [](int32_t x, int32_t y) { return std::pair{x, y}; }},
    };
    for (int32_t format : {Format_Float, Format_Half, Format_UInt8}) {
        Held<Image> source(OpaqueFrame(n, n, format));
        const std::vector<float> src = Pixels(source.Get());
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "format " << format << ", " << c.angle << " degrees");
            Held<Image> dest(NewImage(TagList{Tag<IMG_Like>(source.Get())}));
            ASSERT_TRUE(source->Transform(dest.Get(), Turn(c.angle)));
            const std::vector<float> out = Pixels(dest.Get());
            int wrong = 0;
            for (int32_t y = 0; y < n; ++y)
                for (int32_t x = 0; x < n; ++x) {
                    const auto [sx, sy] = c.from(x, y);
                    wrong += std::memcmp(At(out, dest.Get(), x, y), At(src, source.Get(), sx, sy), 16) != 0;
                }
            EXPECT_EQ(wrong, 0);
        }
    }
    // The right edge's middle pixel lands on the top edge's middle at 90 degrees.
    Held<Image> marked(MakeImage(n, n));
    marked->WriteSpan(n - 1, n / 2, 1, std::vector<float>{1, 0, 0, 1}.data());
    Held<Image> turned(MakeImage(n, n));
    ASSERT_TRUE(marked->Transform(turned.Get(), Turn(90.0)));
    float top[4];
    turned->ReadSpan(n / 2, n - 1, 1, top);
    EXPECT_EQ(top[0], 1.0f);
}

TEST_F(TransformTest, OpaqueInteriorStaysExactlyOpaqueAndOutsideTransparent) {
    const int32_t w = 64, h = 48;
    Held<Image> source(OpaqueFrame(w, h));
    for (double angle : {7.3, 355.0, 0.001, 123.4567, 271.9, 45.0}) {
        for (auto [cx, cy] : {std::pair{0.5, 0.5}, {0.25, 0.8}}) {
            SCOPED_TRACE(testing::Message() << angle << " degrees about (" << cx << ", " << cy << ")");
            Held<Image> dest(NewImage(TagList{Tag<IMG_Like>(source.Get())}));
            dest->Fill(1, 1, 1, 1);   // stale content must not survive
            ASSERT_TRUE(source->Transform(dest.Get(), Turn(angle, cx, cy)));
            const std::vector<float> out = Pixels(dest.Get());
            int interior = 0, outside = 0, badInterior = 0, badOutside = 0, badEdge = 0;
            const double eps = 1e-6;
            for (int32_t y = 0; y < h; ++y) {
                for (int32_t x = 0; x < w; ++x) {
                    double qx, qy;
                    SourcePoint(angle, cx * w, cy * h, x, y, qx, qy);
                    const float* p = At(out, dest.Get(), x, y);
                    if (qx >= 0.5 + eps && qx <= w - 0.5 - eps && qy >= 0.5 + eps && qy <= h - 0.5 - eps) {
                        ++interior;
                        badInterior += p[3] != 1.0f;
                    } else if (qx < -0.5 - eps || qx > w + 0.5 + eps || qy < -0.5 - eps || qy > h + 0.5 + eps) {
                        ++outside;
                        badOutside += p[0] != 0.0f || p[1] != 0.0f || p[2] != 0.0f || p[3] != 0.0f;
                    } else {
                        badEdge += !(p[3] >= 0.0f && p[3] <= 1.0f);
                    }
                }
            }
            EXPECT_GT(interior, w * h / 4);
            EXPECT_EQ(badInterior, 0) << "interior alpha must be exactly 1.0";
            EXPECT_EQ(badOutside, 0) << "of " << outside << " pixels outside the turned frame";
            EXPECT_EQ(badEdge, 0);
        }
    }
}

TEST_F(TransformTest, SamplesWhereTheFormulaSays) {
    // Bilinear sampling reproduces a linear ramp: with value = column + 0.5
    // in channel 0 and row + 0.5 in channel 1, an interior destination pixel
    // reads the source point it maps to.
    const int32_t w = 40, h = 30;
    Held<Image> ramp(MakeImage(w, h));
    std::vector<float> row(size_t(w) * 4);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            row[4 * x] = float(x) + 0.5f;
            row[4 * x + 1] = float(y) + 0.5f;
            row[4 * x + 2] = 0.0f;
            row[4 * x + 3] = 1.0f;
        }
        ramp->WriteSpan(0, y, w, row.data());
    }
    for (double angle : {30.0, 7.3, 200.0, -45.0}) {
        for (auto [cx, cy] : {std::pair{0.5, 0.5}, {0.3, 0.6}}) {
            SCOPED_TRACE(testing::Message() << angle << " degrees about (" << cx << ", " << cy << ")");
            Held<Image> dest(MakeImage(w, h));
            ASSERT_TRUE(ramp->Transform(dest.Get(), Turn(angle, cx, cy)));
            const std::vector<float> out = Pixels(dest.Get());
            int checked = 0;
            double worst = 0.0;
            for (int32_t y = 0; y < h; ++y) {
                for (int32_t x = 0; x < w; ++x) {
                    double qx, qy;
                    SourcePoint(angle, cx * w, cy * h, x, y, qx, qy);
                    if (qx < 0.6 || qx > w - 0.6 || qy < 0.6 || qy > h - 0.6)
                        continue;
                    const float* p = At(out, dest.Get(), x, y);
                    worst = std::max({worst, std::abs(p[0] - qx), std::abs(p[1] - qy)});
                    ++checked;
                }
            }
            EXPECT_GT(checked, 100);
            EXPECT_LT(worst, 1e-4);
        }
    }
}

TEST_F(TransformTest, FailuresLeaveTheDestinationTransparent) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct { const char* name; TagList tags; } cases[] = {
        {"NaN angle", Turn(nan)},
        {"infinite angle", Turn(inf)},
        {"negative infinite angle", Turn(-inf)},
        {"NaN centre", Turn(10.0, nan, 0.5)},
        {"unknown filter", TagList{Tag<XF_Angle>(10.0), Tag<XF_Filter>(3)}},
    };
    Held<Image> source(OpaqueFrame(16, 12));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Held<Image> dest(MakeImage(16, 12));
        dest->Fill(1, 1, 1, 1);
        EXPECT_FALSE(source->Transform(dest.Get(), c.tags));
        for (float v : Pixels(dest.Get()))
            ASSERT_EQ(v, 0.0f);
    }
    EXPECT_FALSE(source->Transform(nullptr, Turn(10.0)));
}

TEST_F(TransformTest, CallsAreCounted) {
    Held<Image> source(OpaqueFrame(16, 12));
    Held<Image> dest(MakeImage(16, 12));
    const HostApp::TransformTotals before = HostApp::Transforms();
    source->Transform(dest.Get(), Turn(10.0));
    source->Transform(dest.Get(), Turn(std::numeric_limits<double>::quiet_NaN()));
    const HostApp::TransformTotals after = HostApp::Transforms();
    EXPECT_EQ(after.Calls - before.Calls, 2) << "failed calls count too";
    EXPECT_GE(after.Seconds, before.Seconds);
}

TEST_F(TransformTest, ResultDoesNotDependOnWorkerCount) {
    Held<Image> source(OpaqueFrame(300, 200, Format_Half, 5));
    std::vector<std::vector<float>> results;
    for (int workers : {1, 2, 4}) {
        HostApp::SetWorkerCount(workers);
        Held<Image> dest(NewImage(TagList{Tag<IMG_Like>(source.Get())}));
        ASSERT_TRUE(source->Transform(dest.Get(), Turn(33.3, 0.4, 0.55)));
        results.push_back(Pixels(dest.Get()));
    }
    EXPECT_EQ(std::memcmp(results[0].data(), results[1].data(), results[0].size() * 4), 0);
    EXPECT_EQ(std::memcmp(results[0].data(), results[2].data(), results[0].size() * 4), 0);
}

TEST_F(TransformTest, DestinationOfAnotherSizeSharesTheSourceGrid) {
    Held<Image> source(OpaqueFrame(10, 8));
    Held<Image> dest(MakeImage(14, 5));
    ASSERT_TRUE(source->Transform(dest.Get(), Turn(0.0)));
    const std::vector<float> src = Pixels(source.Get()), out = Pixels(dest.Get());
    for (int32_t y = 0; y < 5; ++y) {
        for (int32_t x = 0; x < 14; ++x) {
            const float* p = At(out, dest.Get(), x, y);
            if (x < 10) {
                const float* s = At(src, source.Get(), x, y);
                for (int k = 0; k < 4; ++k)
                    EXPECT_NEAR(p[k], s[k], 1e-6) << x << "," << y;
            } else {
                EXPECT_EQ(p[3], 0.0f) << x << "," << y;
            }
        }
    }
}

TEST_F(TransformTest, TurningInPlaceEqualsTurningIntoAnotherImage) {
    Held<Image> a(OpaqueFrame(20, 16, Format_Float, 9));
    Held<Image> b(NewImage(TagList{Tag<IMG_Like>(a.Get())}));
    ASSERT_TRUE(a->Transform(b.Get(), Turn(21.0)));
    ASSERT_TRUE(a->Transform(a.Get(), Turn(21.0)));
    const std::vector<float> pa = Pixels(a.Get()), pb = Pixels(b.Get());
    EXPECT_EQ(std::memcmp(pa.data(), pb.data(), pa.size() * 4), 0);
}

// Images of the same four channels are turned straight from memory; the
// same bits as through the pixel functions, for float and half, NaN and
// all, into whole images and into ones holding some rows only.
TEST_F(TransformTest, FourChannelImagesTurnAsThroughThePixelFunctions) {
    const int32_t w = 37, h = 29;
    for (int32_t format : {Format_Float, Format_Half}) {
        Held<Image> source(MakeImage(w, h, format, {2, 1, 0, 3}));
        std::mt19937 random(format);
        std::uniform_real_distribution<float> value(-2.0f, 70000.0f);
        std::vector<float> row(size_t(w) * 4);
        for (int32_t y = 0; y < h; ++y) {
            for (float& v : row) v = value(random);
            row[size_t(y) % row.size()] = std::numeric_limits<float>::quiet_NaN();
            source->WriteSpan(0, y, w, row.data());
        }
        for (const auto& [first, end] : {std::pair{0, h}, {5, 17}}) {
            const auto rows = [&](std::vector<int32_t> channels) {
                TagList tags{Tag<IMG_Width>(w), Tag<IMG_Height>(h), Tag<IMG_Format>(format),
                             Tag<HostApp::IMG_FirstRow>(first), Tag<HostApp::IMG_EndRow>(end)};
                for (int32_t c : channels) tags.Add(Tag<IMG_Channel>(c));
                return NewImage(tags);
            };
            Held<Image> fast(rows({2, 1, 0, 3}));     // the source's channels
            Held<Image> slow(rows({0, 1, 2, 3}));     // others: through the pixel functions
            ASSERT_TRUE(source->Transform(fast.Get(), Turn(13.7, 0.45, 0.55)));
            ASSERT_TRUE(source->Transform(slow.Get(), Turn(13.7, 0.45, 0.55)));
            std::vector<float> a(size_t(w) * 4), b(size_t(w) * 4);
            for (int32_t y = first; y < end; ++y) {
                fast->ReadSpan(0, y, w, a.data());
                slow->ReadSpan(0, y, w, b.data());
                ASSERT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0)
                    << "format " << format << ", row " << y;
            }
        }
    }
}

// Every pixel's bits as the formula gives them, written out plainly: u and v
// in doubles, floored, the taps outside the source transparent, the lerps in
// floats. Angles below 90 degrees, whose sine and cosine need no reduction.
TEST_F(TransformTest, EveryPixelIsTheFormulasBitForBit) {
    const int32_t w = 53, h = 31;
    Held<Image> source(OpaqueFrame(w, h, Format_Float, 7));
    const std::vector<float> from = Pixels(source.Get());
    for (const double degrees : {0.01, 1.3, 2.0, 37.0, 89.9}) {
        for (const auto& [fx, fy, dw] : {std::tuple{0.5, 0.5, w}, {0.31, 0.62, w}, {0.5, 0.5, w + 6}}) {
            SCOPED_TRACE(testing::Message() << degrees << " degrees about (" << fx << ", " << fy << "), width " << dw);
            Held<Image> dest(MakeImage(dw, h + 3));
            ASSERT_TRUE(source->Transform(dest.Get(), Turn(degrees, fx, fy)));
            const std::vector<float> out = Pixels(dest.Get());
            const double radians = degrees * (std::numbers::pi / 180.0);
            const double s = std::sin(radians), c = std::cos(radians), cx = fx * w, cy = fy * h;
            const auto tap = [&](int32_t x, int32_t y, int k) {
                return x < 0 || y < 0 || x >= w || y >= h ? 0.0f : At(from, source.Get(), x, y)[k];
            };
            for (int32_t y = 0; y < dest->Height; ++y)
                for (int32_t x = 0; x < dw; ++x) {
                    const double px = x + 0.5 - cx, py = y + 0.5 - cy;
                    const double u = cx + c * px + s * py - 0.5, v = cy - s * px + c * py - 0.5;
                    const int32_t x0 = int32_t(std::floor(u)), y0 = int32_t(std::floor(v));
                    const float tx = float(u - std::floor(u)), ty = float(v - std::floor(v));
                    for (int k = 0; k < 4; ++k) {
                        const float bottom = tap(x0, y0, k) + (tap(x0 + 1, y0, k) - tap(x0, y0, k)) * tx;
                        const float top = tap(x0, y0 + 1, k) + (tap(x0 + 1, y0 + 1, k) - tap(x0, y0 + 1, k)) * tx;
                        const float expect = bottom + (top - bottom) * ty;
                        ASSERT_EQ(std::bit_cast<uint32_t>(At(out, dest.Get(), x, y)[k]), std::bit_cast<uint32_t>(expect))
                            << "pixel (" << x << ", " << y << ") channel " << k;
                    }
                }
        }
    }
}
