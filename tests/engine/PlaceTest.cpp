// Layer placement: where frame pixels land, turning, and failures.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "EngineHarness.h"

namespace {

// Cases along one axis; the other axis is 2 pixels and stays in place.
struct AxisCase {
    const char* Name;
    bool Rows;                    // along y instead of x
    int32_t Size;                 // start image width (height for rows)
    double Ref;
    std::vector<double> At;       // sample positions along the axis
    std::vector<int32_t> Sizes;   // sample frame sizes along the axis (Size when empty)
    size_t Checked;               // the sample whose layer is looked at
    int32_t CanvasSize;
    std::vector<std::pair<int32_t, int32_t>> Lands;   // frame index -> canvas index that keeps it
    int32_t Low, High;            // footprint along the axis
    std::vector<int32_t> Gaps = {};   // canvas indices inside the footprint that no frame index reaches
};

// Builds the job, plans and places; the layers are ready to look at.
void PlaceRow(StitchJob& job, int32_t w, int32_t h, double refX, double refY,
              const std::vector<std::array<double, 2>>& positions, const std::vector<int32_t>& widths = {},
              const std::vector<int32_t>& heights = {}) {
    job.StartImage = CoordinateFrame(w, h, -1);
    job.ReferencePosition = Point::New(refX, refY);
    for (size_t i = 0; i < positions.size(); ++i)
        AddSample(job, CoordinateFrame(widths.empty() ? w : widths[i], heights.empty() ? h : heights[i], float(i)),
                  positions[i][0], positions[i][1]);
    ASSERT_TRUE(PlanCanvas(job, nullptr));
    ASSERT_TRUE(PlaceLayers(job, nullptr));
    ASSERT_EQ(job.Layers.size(), positions.size());
    ASSERT_EQ(job.Footprints.size(), positions.size());
}

}  // namespace

TEST_F(EngineTest, PlacementLandsByTruncationAndClampsOntoTheBorder) {
    const double awkward[] = {0.3404636058122348, 0.8004636058122347, 0.2504636058122348};
    const AxisCase cases[] = {
        {"left shift lands at x", false, 100, 0.5, {0.5, 0.375, 0.75}, {}, 1, 137, {{0, 0}, {50, 50}, {99, 99}}, 0, 100},
        {"right shift reaches the last column", false, 100, 0.5, {0.5, 0.375, 0.75}, {}, 2, 137, {{0, 37}, {99, 136}}, 37, 137},
        {"reference frame at the truncated origin", false, 100, 0.5, {0.5, 0.375, 0.75}, {}, 0, 137,
         {{0, 12}, {99, 111}}, 12, 112},
        {"last column folded onto the border", false, 100, awkward[0], {awkward[1], awkward[2]}, {}, 0, 154,
         {{0, 55}, {97, 152}, {99, 153}}, 55, 154},
        {"sum order decides columns", false, 100, awkward[0], {awkward[1], awkward[2]}, {}, 1, 154,
         {{0, 0}, {24, 24}, {31, 31}, {32, 33}, {99, 100}}, 0, 101, {32}},
        {"last row folded onto the border", true, 100, awkward[0], {awkward[1], awkward[2]}, {}, 0, 154,
         {{0, 55}, {97, 152}, {99, 153}}, 55, 154},
        {"sum order decides rows", true, 100, awkward[0], {awkward[1], awkward[2]}, {}, 1, 154,
         {{0, 0}, {23, 23}, {24, 25}, {99, 100}}, 0, 101, {24}},
        {"wider frame than the canvas", false, 720, 0.5, {0.5}, {800}, 0, 720, {{0, 0}, {718, 718}, {799, 719}}, 0, 720},
        {"taller frame than the canvas", true, 80, 0.5, {0.5, 0.5}, {80, 100}, 1, 80, {{0, 0}, {78, 78}, {99, 79}}, 0, 80},
    };
    for (const AxisCase& c : cases) {
        SCOPED_TRACE(c.Name);
        StitchJob job;
        std::vector<std::array<double, 2>> positions;
        for (double at : c.At) positions.push_back(c.Rows ? std::array<double, 2>{0.5, at} : std::array<double, 2>{at, 0.5});
        if (c.Rows)
            PlaceRow(job, 2, c.Size, 0.5, c.Ref, positions, {}, c.Sizes);
        else
            PlaceRow(job, c.Size, 2, c.Ref, 0.5, positions, c.Sizes);
        if (HasFatalFailure()) {
            ReleaseJob(job);
            return;
        }
        ASSERT_EQ(c.Rows ? job.Canvas->Height : job.Canvas->Width, c.CanvasSize);
        const Image* layer = job.Layers[c.Checked];
        // (along, across) -> pixel of the layer
        auto at = [&](int32_t along, int32_t across) {
            return c.Rows ? PixelAt(layer, across, along) : PixelAt(layer, along, across);
        };
        for (const auto& [from, to] : c.Lands)
            for (int32_t across = 0; across < 2; ++across) {
                const Rgba expected = c.Rows ? Rgba{float(across), float(from), float(c.Checked), 1}
                                             : Rgba{float(from), float(across), float(c.Checked), 1};
                EXPECT_TRUE(SameBits(at(to, across), expected)) << "frame " << from << " on canvas " << to;
            }
        const LayerFootprint& f = job.Footprints[c.Checked];
        EXPECT_EQ(c.Rows ? f.Y0 : f.X0, c.Low);
        EXPECT_EQ(c.Rows ? f.Y1 : f.X1, c.High);
        EXPECT_EQ(c.Rows ? f.X0 : f.Y0, 0);
        EXPECT_EQ(c.Rows ? f.X1 : f.Y1, 2);
        // Outside the footprint, and where the rounding of the sums skips a
        // column or row, the layer stays transparent black.
        for (int32_t i = 0; i < c.CanvasSize; ++i)
            if (i < c.Low || i >= c.High || std::find(c.Gaps.begin(), c.Gaps.end(), i) != c.Gaps.end()) {
                EXPECT_TRUE(SameBits(at(i, 1), Rgba{0, 0, 0, 0})) << i;
            }
        ReleaseJob(job);
    }
}

TEST_F(EngineTest, PlacementCopiesTransparentPixelsAsTheyAre) {
    StitchJob job;
    job.StartImage = CoordinateFrame(6, 4, 0);
    job.ReferencePosition = Point::New(0.5, 0.5);
    AddSample(job, MakeImage(6, 4, Format_Float, [](int32_t x, int32_t y) {
                  return Rgba{0.25f * x, -0.5f * y, 0.125f, (x + y) % 2 ? 0.0f : 0.5f};
              }), 0.5, 0.5);
    ASSERT_TRUE(PlanCanvas(job, nullptr));
    ASSERT_TRUE(PlaceLayers(job, nullptr));
    EXPECT_EQ(AllPixels(job.Layers[0]), AllPixels(job.Samples[0].Frame));
    ReleaseJob(job);
}

TEST_F(EngineTest, PlacementTurnsByThePositiveChangeOfAngleOnly) {
    struct Case {
        double First, Angle, Turn;   // Turn 0: placed as it is
    };
    const Case cases[] = {{10, 5, 355}, {10, 10, 0}, {350, 10, 20}, {10, -400, 0}, {0, 370, 370}, {45, 135, 90}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.First << " then " << c.Angle);
        auto paint = [](int32_t x, int32_t y) { return Rgba{float(x * x), float(y) + 0.5f, float(x * y), 1}; };
        StitchJob job;
        job.StartImage = MakeImage(16, 12, Format_Float, paint);
        job.ReferencePosition = Point::New(0.5, 0.5);
        AddSample(job, MakeImage(16, 12, Format_Float, paint), 0.5, 0.5, c.First);
        AddSample(job, MakeImage(16, 12, Format_Float, paint), 0.5, 0.5, c.Angle);
        ASSERT_TRUE(PlanCanvas(job, nullptr));
        ASSERT_TRUE(PlaceLayers(job, nullptr));

        // The first sample is never turned.
        EXPECT_EQ(AllPixels(job.Layers[0]), AllPixels(job.Samples[0].Frame));
        const std::vector<float> placed = AllPixels(job.Layers[1]);
        if (c.Turn == 0) {
            EXPECT_EQ(placed, AllPixels(job.Samples[1].Frame));
        } else {
            Image* turned = NewImage({Tag<IMG_Like>(job.Samples[1].Frame)});
            job.Samples[1].Frame->Transform(turned, {Tag<XF_Angle>(c.Turn), Tag<XF_CentreX>(0.5),
                                                     Tag<XF_CentreY>(0.5), Tag<XF_Filter>(0)});
            const std::vector<float> expected = AllPixels(turned);
            turned->Recycle();
            EXPECT_EQ(std::memcmp(placed.data(), expected.data(), placed.size() * sizeof(float)), 0);
            EXPECT_NE(placed, AllPixels(job.Samples[1].Frame));
        }
        ReleaseJob(job);
        EXPECT_EQ(HostApp::LiveObjects(), 0);
    }
}

TEST_F(EngineTest, PlacementReportsProgressBeforeEachSample) {
    StitchJob job;
    std::vector<float> progress;
    job.StartImage = CoordinateFrame(4, 4, 0);
    job.ReferencePosition = Point::New(0.5, 0.5);
    for (int i = 0; i < 3; ++i) AddSample(job, CoordinateFrame(4, 4, float(i)), 0.5, 0.5);
    ASSERT_TRUE(PlanCanvas(job, nullptr));
    ASSERT_TRUE(PlaceLayers(job, Recorder(progress)));
    EXPECT_EQ(progress, (std::vector<float>{0.0f, float(1.0 / 3.0), float(2.0 / 3.0)}));
    ReleaseJob(job);

    // No samples: nothing made, nothing reported.
    progress.clear();
    job.StartImage = CoordinateFrame(4, 4, 0);
    job.ReferencePosition = Point::New(0.5, 0.5);
    ASSERT_TRUE(PlanCanvas(job, nullptr));
    EXPECT_TRUE(PlaceLayers(job, Recorder(progress)));
    EXPECT_TRUE(progress.empty());
    EXPECT_TRUE(job.Layers.empty());
    ReleaseJob(job);
}

TEST_F(EngineTest, PlacementStopsCleanlyWhenTheHostMakesNoImage) {
    struct Case {
        const char* Name;
        int32_t SecondFrame;   // side of the second frame
        double SecondAngle;
        size_t Layers;         // layers held when placing stops
        StitchRefusal Why;
        size_t Sample;         // the sample it stopped at
    };
    // Canvas and layers take 8 x 8 x 16 bytes; the limit lets them be made
    // (or not) and refuses the turned copy of a 64 x 64 frame.
    const Case cases[] = {
        {"no layer", 8, 0.0, 0, StitchRefusal::HostRefusedLayer, 0},
        {"no turned frame", 64, 90.0, 2, StitchRefusal::HostRefusedTurn, 1},
    };
    const uint64_t limit = HostApp::ImageByteLimit();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        StitchJob job;
        job.StartImage = CoordinateFrame(8, 8, 0);
        job.ReferencePosition = Point::New(0.5, 0.5);
        AddSample(job, CoordinateFrame(8, 8, 0), 0.5, 0.5);
        AddSample(job, CoordinateFrame(c.SecondFrame, c.SecondFrame, 1), 0.5, 0.5, c.SecondAngle);
        ASSERT_TRUE(PlanCanvas(job, nullptr));
        HostApp::SetImageByteLimit(c.Layers ? 4096 : 512);
        const StitchStatus placed = PlaceLayers(job, nullptr);
        HostApp::SetImageByteLimit(limit);
        EXPECT_EQ(placed.Why, c.Why) << placed.Text();
        EXPECT_EQ(placed.Sample, c.Sample);
        EXPECT_EQ(job.Layers.size(), c.Layers);
        ReleaseJob(job);
        EXPECT_EQ(HostApp::LiveObjects(), 0);
    }
}

#if defined(__linux__)
namespace {

// Resident memory of this process, in bytes.
uint64_t ResidentBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    unsigned long long size = 0, resident = 0;
    if (statm) {
        if (std::fscanf(statm, "%llu %llu", &size, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return uint64_t(resident) * 4096u;
}

}  // namespace

TEST_F(EngineTest, LayersAndCanvasTakeMemoryOnlyWhereFramesLand) {
    // Two 100 x 100 frames at opposite corners of an 8000 x 4000 canvas:
    // the canvas and each layer span 512 MB, the frames 160 KB each.
    StitchJob job;
    job.StartImage = CoordinateFrame(100, 100, 0);
    job.ReferencePosition = Point::New(0.5, 0.5);
    AddSample(job, CoordinateFrame(100, 100, 0), 0.5, 0.5);
    AddSample(job, CoordinateFrame(100, 100, 1), 79.5, 39.5);
    const uint64_t before = ResidentBytes();
    ASSERT_TRUE(PlanCanvas(job, nullptr));
    ASSERT_EQ(job.Canvas->Width, 8000);
    ASSERT_EQ(job.Canvas->Height, 4000);
    ASSERT_TRUE(PlaceLayers(job, nullptr));
    Host->Composite(job);   // unique pixels: only opaque pixels are written
    EXPECT_LT(ResidentBytes() - before, uint64_t(64) << 20);
    EXPECT_TRUE(SameBits(PixelAt(job.Canvas, 7999, 3999), Rgba{99, 99, 1, 1}));
    EXPECT_TRUE(SameBits(PixelAt(job.Canvas, 4000, 2000), Rgba{0, 0, 0, 0}));
    ReleaseJob(job);
}

// Placed as they are combined, unturned frames are read from the frames:
// their layers take no memory, in a half canvas too, whose layers would
// hold the float frames' values as halves.
TEST_F(EngineTest, LayersReadFromTheirFramesTakeNoMemory) {
    for (const int32_t canvasFormat : {Format_Float, Format_Half}) {
        SCOPED_TRACE(canvasFormat == Format_Float ? "float canvas" : "half canvas");
        Host = std::make_unique<StitchHarness>();
        Host->PlaceWhileCombining = true;
        Host->Frames[0] = CoordinateFrame(1000, 1000, 0, canvasFormat);
        Host->SetPosition(0, 0.5, 0.5);
        for (int32_t t = 1; t <= 4; ++t) {
            Host->Frames[t] = CoordinateFrame(1000, 1000, float(t) + 1.0f / 4096);
            Host->SetPosition(t, 0.5 + 0.1 * t, 0.5);
        }
        StitchJob job;
        const uint64_t before = ResidentBytes();
        ASSERT_TRUE(Host->Prepare(job, 0, 4, 1.0f));
        Host->Composite(job);
        // Each layer would take 8 or 16 MB. Under the sanitizers their
        // shadow memory counts too.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        EXPECT_LT(double(ResidentBytes() - before), double(job.Canvas->StorageBytes()) + double(4 << 20));
#else
        (void)before;
#endif
        const float id = canvasFormat == Format_Float ? 4.0f + 1.0f / 4096 : 4.0f;   // as a half layer rounds it
        const Rgba last = PixelAt(job.Canvas, job.Canvas->Width - 1, 500);
        EXPECT_TRUE(SameBits(last, Rgba{999, 500, id, 1})) << job.Canvas->Width << ": " << last[0] << " " << last[1] << " " << last[2];
        ReleaseJob(job);
    }
}
#endif

// Rows placed one by one, in any order and with a turned frame among them,
// give the layers that placing every frame at once gives.
TEST_F(EngineTest, RowsPlacedInAnyOrderGiveTheSameLayers) {
    const double awkward[] = {0.3404636058122348, 0.8004636058122347, 0.2504636058122348};
    auto build = [&](StitchJob& job) {
        job.StartImage = CoordinateFrame(100, 60, -1);
        job.ReferencePosition = Point::New(awkward[0], awkward[0]);
        AddSample(job, CoordinateFrame(100, 60, 0), awkward[0], awkward[0]);
        AddSample(job, CoordinateFrame(100, 60, 1), awkward[1], awkward[2]);
        AddSample(job, CoordinateFrame(100, 60, 2), awkward[2], awkward[1], 7.0);
        ASSERT_TRUE(PlanCanvas(job, nullptr));
    };
    StitchJob whole, rows;
    build(whole);
    build(rows);
    ASSERT_TRUE(PlaceLayers(whole, nullptr));
    ASSERT_TRUE(PlanLayers(rows, nullptr));
    const int32_t w = rows.Canvas->Width, h = rows.Canvas->Height;
    ASSERT_NE(h % 37, 0);   // then stepping by 37 visits every row once
    for (int32_t k = 0; k < h; ++k) PlaceRow(rows, (k * 37) % h);
    std::vector<float> a(size_t(w) * 4), b(size_t(w) * 4);
    for (size_t i = 0; i < whole.Layers.size(); ++i)
        for (int32_t y = 0; y < h; ++y) {
            whole.Layers[i]->ReadSpan(0, y, w, a.data());
            rows.Layers[i]->ReadSpan(0, y, w, b.data());
            ASSERT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0) << "layer " << i << " row " << y;
        }
    ReleaseJob(whole);
    ReleaseJob(rows);
    EXPECT_EQ(HostApp::LiveObjects(), 0);
}
