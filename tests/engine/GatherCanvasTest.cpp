// Frame gathering and canvas geometry.
#include <cmath>
#include <limits>
#include <set>
#include <string>

#include "EngineHarness.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

struct GatherCase {
    const char* Name;
    int32_t Start, End;
    std::set<int32_t> Missing;
    std::vector<int32_t> Samples;
    std::vector<float> Progress;
};

}  // namespace

TEST_F(EngineTest, GatherFetchesEveryFrameOfTheRangeInOrder) {
    const GatherCase cases[] = {
        {"both ends included", 10, 12, {}, {10, 11, 12}, {0.0f, 0.5f, 1.0f}},
        {"missing frame mid-range", 10, 13, {11}, {10, 12, 13}, {0.0f, 1.0f / 3.0f, 2.0f / 3.0f, 1.0f}},
        {"only the start frame has an image", 4, 6, {5, 6}, {4}, {0.0f, 0.5f, 1.0f}},
        {"end before start", 20, 10, {}, {}, {}},
    };
    for (const GatherCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Host = std::make_unique<StitchHarness>();
        for (int32_t t = std::min(c.Start, c.End); t <= std::max(c.Start, c.End); ++t) {
            if (!c.Missing.count(t)) Host->Frames[t] = CoordinateFrame(4, 3, float(t));
            Host->SetPosition(t, 0.5 + 0.01 * t, 0.5 - 0.02 * t);
            Host->SetAngle(t, 3.0 * t);
        }
        StitchJob job;
        Host->BeginJob(job, c.Start, 0.0f);
        HostApp::SetFetchLogging(true);
        HostApp::ClearFetchLog();
        std::vector<float> progress;
        GatherFrames(job, Host->Inputs(), c.Start, c.End, Recorder(progress));
        const std::vector<HostApp::Fetch> fetches = HostApp::FetchLog();
        HostApp::SetFetchLogging(false);

        EXPECT_EQ(progress, c.Progress);
        ASSERT_EQ(job.Samples.size(), c.Samples.size());
        for (size_t i = 0; i < c.Samples.size(); ++i) {
            const int32_t t = c.Samples[i];
            EXPECT_EQ(job.Samples[i].Frame, Host->Frames[t]);
            EXPECT_EQ(job.Samples[i].Position->X, 0.5 + 0.01 * t);
            EXPECT_EQ(job.Samples[i].Position->Y, 0.5 - 0.02 * t);
            EXPECT_EQ(job.Samples[i].Angle, 3.0 * t);
            // The sample's position is its own object, not the reference position.
            EXPECT_NE(job.Samples[i].Position, job.ReferencePosition);
        }
        // Image, position, angle for every frame, whether it has an image or not.
        std::vector<std::string> expected, seen;
        for (int32_t t = c.Start; t <= c.End; ++t)
            for (const char* id : {"Input", "TrackData", "Angle"}) expected.push_back(id + std::string("@") + std::to_string(t));
        for (const HostApp::Fetch& f : fetches) seen.push_back(f.Input + "@" + std::to_string(int(f.Time)));
        EXPECT_EQ(seen, expected);

        if (c.End < c.Start) {
            // Nothing gathered: the canvas is the start image's size.
            ASSERT_TRUE(PlanCanvas(job, nullptr));
            EXPECT_EQ(job.Canvas->Width, 4);
            EXPECT_EQ(job.Canvas->Height, 3);
            EXPECT_EQ(job.Origin.x, 0.0);
            EXPECT_EQ(job.Origin.y, 0.0);
        }
        ReleaseJob(job);
        EXPECT_TRUE(job.Empty());
        EXPECT_EQ(Leaked(), 0);
    }
}

TEST_F(EngineTest, GatherLeavesOutFramesWithoutAFinitePosition) {
    // The host interpolates between keys, so a non-finite key may also spoil
    // the frame before it: what counts is the value the input delivers.
    for (int32_t t = 0; t <= 5; ++t) Host->Frames[t] = CoordinateFrame(4, 3, float(t));
    const double keys[][2] = {{0.5, 0.5}, {0.5, 0.5}, {0.6, 0.4}, {NaN, 0.5}, {0.5, Inf}, {0.45, 0.5}};
    for (int32_t t = 0; t <= 5; ++t) Host->SetPosition(t, keys[t][0], keys[t][1]);

    StitchJob job;
    Host->BeginJob(job, 0, 0.0f);
    GatherFrames(job, Host->Inputs(), 0, 5, nullptr);
    std::vector<Image*> expected;
    for (int32_t t = 0; t <= 5; ++t) {
        double x = 0, y = 0;
        Host->TrackData->PointAt(t, x, y);
        if (std::isfinite(x) && std::isfinite(y)) expected.push_back(Host->Frames[t]);
    }
    ASSERT_LE(expected.size(), 4u);
    std::vector<Image*> kept;
    for (const FrameSample& s : job.Samples) kept.push_back(s.Frame);
    EXPECT_EQ(kept, expected);

    ASSERT_TRUE(PlanCanvas(job, Host->ImageContext));
    EXPECT_TRUE(std::isfinite(job.Origin.x) && std::isfinite(job.Origin.y));
    ReleaseJob(job);
    EXPECT_EQ(Leaked(), 0);
}

TEST_F(EngineTest, GatherReadsMissingPositionAndAngleAsTheDefaults) {
    Host->Frames[1] = CoordinateFrame(4, 3, 1);
    Host->Frames[2] = CoordinateFrame(4, 3, 2);
    StitchJob job;
    GatherFrames(job, FrameInputs{Host->Image_, nullptr, nullptr}, 1, 2, nullptr);
    ASSERT_EQ(job.Samples.size(), 2u);
    for (const FrameSample& s : job.Samples) {
        EXPECT_EQ(s.Position->X, 0.5);
        EXPECT_EQ(s.Position->Y, 0.5);
        EXPECT_EQ(s.Angle, 0.0);
    }
    ReleaseJob(job);
    EXPECT_EQ(Leaked(), 0);
}

namespace {

struct CanvasCase {
    const char* Name;
    int32_t W, H;
    double RefX, RefY;
    std::vector<std::array<double, 2>> Positions;
    StitchRefusal Why;
    int32_t Width, Height;
    double OriginX, OriginY;
    int32_t SampleWidth = 0;   // frames of another size than the start image
};

}  // namespace

TEST_F(EngineTest, CanvasGrowsByTheFarthestReachOnEachSide) {
    const CanvasCase cases[] = {
        {"all at the reference", 100, 80, 0.5, 0.5, {{0.5, 0.5}, {0.5, 0.5}}, StitchRefusal::None, 100, 80, 0, 0},
        {"no samples", 720, 576, 0.3, 0.9, {}, StitchRefusal::None, 720, 576, 0, 0},
        {"one side", 100, 80, 0.5, 0.5, {{0.75, 0.5}, {0.5, 0.5}}, StitchRefusal::None, 125, 80, 0, 0},
        {"both sides, fractional origin", 100, 80, 0.5, 0.5, {{0.375, 0.5}, {0.75, 0.5}}, StitchRefusal::None, 137, 80, 12.5, 0},
        {"truncated, not rounded", 800, 10, 0.5, 0.5, {{0.69997, 0.5}}, StitchRefusal::None, 959, 10, 0, 0},
        {"both sides in y", 100, 80, 0.5, 0.5, {{0.5, 0.25}, {0.5, 0.625}}, StitchRefusal::None, 100, 110, 0, 20},
        {"awkward doubles", 100, 10, 0.3404636058122348, 0.5,
         {{0.8004636058122347, 0.5}, {0.2504636058122348, 0.5}}, StitchRefusal::None, 154, 10, 8.999999999999996, 0},
        {"other frame sizes", 720, 576, 0.5, 0.5, {{0.75, 0.5}, {0.5, 0.25}}, StitchRefusal::None, 900, 720, 0, 144, 1000},
        {"beyond 32 bits", 100, 80, 0.5, 0.5, {{1e9, 0.5}}, StitchRefusal::CanvasSize, 0, 0, 0, 0},
        {"beyond the host's limit", 100, 80, 0.5, 0.5, {{0.5, 5e6}}, StitchRefusal::HostRefusedCanvas, 0, 0, 0, 0},
        {"reference not finite", 100, 80, NaN, 0.5, {{0.5, 0.5}}, StitchRefusal::ReferenceNotFinite, 0, 0, 0, 0},
    };
    for (const CanvasCase& c : cases) {
        SCOPED_TRACE(c.Name);
        StitchJob job;
        job.StartImage = CoordinateFrame(c.W, c.H, 0, Format_Half);
        job.ReferencePosition = Point::New(c.RefX, c.RefY);
        for (const auto& p : c.Positions)
            AddSample(job, CoordinateFrame(c.SampleWidth ? c.SampleWidth : c.W, c.H, 1), p[0], p[1]);

        int marker = 0;
        const StitchStatus planned = PlanCanvas(job, &marker);
        ASSERT_EQ(planned.Why, c.Why) << planned.Text();
        if (planned) {
            ASSERT_NE(job.Canvas, nullptr);
            EXPECT_EQ(job.Canvas->Width, c.Width);
            EXPECT_EQ(job.Canvas->Height, c.Height);
            EXPECT_EQ(job.Origin.x, c.OriginX);
            EXPECT_EQ(job.Origin.y, c.OriginY);
            EXPECT_EQ(job.Canvas->Format, Format_Half);
            EXPECT_EQ(job.Canvas->Context, &marker);
            EXPECT_EQ(job.Canvas->Channels, 4);
            const int32_t channels[4] = {2, 1, 0, 3};
            for (int k = 0; k < 4; ++k) EXPECT_EQ(job.Canvas->ChannelMap[k], channels[k]);
            EXPECT_TRUE(SameBits(PixelAt(job.Canvas, c.Width - 1, c.Height - 1), Rgba{0, 0, 0, 0}));
        } else {
            EXPECT_EQ(job.Canvas, nullptr);
            // Nothing to place and nothing made for it.
            EXPECT_EQ(PlaceLayers(job, nullptr).Why, StitchRefusal::NoCanvas);
            EXPECT_TRUE(job.Layers.empty());
        }
        ReleaseJob(job);
        EXPECT_EQ(HostApp::LiveObjects(), 0);
    }
}

TEST_F(EngineTest, CanvasTakesTheDefaultReferenceWhenTheHostHasNone) {
    StitchJob job;
    job.StartImage = CoordinateFrame(10, 10, 0);
    AddSample(job, CoordinateFrame(10, 10, 1), 0.25, 0.75);
    ASSERT_TRUE(PlanCanvas(job, nullptr));
    ASSERT_NE(job.ReferencePosition, nullptr);
    EXPECT_EQ(job.Canvas->Width, 12);
    EXPECT_EQ(job.Canvas->Height, 12);
    EXPECT_EQ(job.Origin.x, 2.5);
    EXPECT_EQ(job.Origin.y, 0.0);
    ReleaseJob(job);
}
