// Band renders against the one-pass render of the same shot, through the
// plug-in: every band's rows bit for bit, for bands of one row (every
// boundary a frame's first or last row can have), and for a few counts
// that cut rows clamped onto the canvas's border and rows of turned frames.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Bands.h"
#include "ImageFiles.h"
#include "Plugins.h"
#include "Shot.h"
#include "StitchRender.h"

using namespace tessellon;
namespace fs = std::filesystem;

namespace {

class Quiet : public RenderEvents {
public:
    void PhaseBegan(Phase) override {}
    void PhaseEnded(Phase) override {}
    void FramesDecoded(int, int) override {}
    void ToolProgress(float) override {}
};

uint64_t NothingRead() { return 0; }

std::vector<float> Row(const Image& image, int32_t y) {
    std::vector<float> row(size_t(image.Width) * 4);
    image.ReadSpan(0, y, image.Width, row.data());
    return row;
}

struct Case {
    const char* Name;
    const char* Pattern;
    int32_t Format;
    int Method;
};

class BandRender : public ::testing::TestWithParam<Case> {
protected:
    // A panning, drifting, rolling shot; frame 4 is 10 rows taller than the
    // others, so that its rows beyond the canvas clamp onto the top row.
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("tessellon-bands-" + std::string(GetParam().Name) + "-" +
                                               std::to_string(::getpid()));
        fs::create_directories(folder_);
        ShotSpec shot;
        shot.FrameWidth = 40;
        shot.FrameHeight = 24;
        shot.FrameCount = 6;
        shot.Pan = 30;
        shot.DriftPixels = 5;
        shot.RollDegrees = 4.0;
        shot.Ball = false;
        shot.Format = GetParam().Format;
        WriteFrames(shot, DrawScene(shot, 1), folder_.string(), GetParam().Pattern, 1);
        WriteTrackFile(shot, (folder_ / "track.csv").string());

        ShotSpec tall = shot;
        tall.FrameHeight = shot.FrameHeight + 10;
        std::vector<float> rgba;
        DrawFrame(tall, DrawScene(tall, 1), 3, rgba);
        HostRef<Image> frame(NewImage({Tag<IMG_Width>(tall.FrameWidth), Tag<IMG_Height>(tall.FrameHeight),
                                       Tag<IMG_Format>(tall.Format)}));
        for (int y = 0; y < tall.FrameHeight; ++y)
            frame->WriteSpan(0, y, tall.FrameWidth, &rgba[size_t(y) * size_t(tall.FrameWidth) * 4]);
        WriteImageFile(*frame, (folder_ / FrameFileName(GetParam().Pattern, 4)).string());

        settings_.Frames = (folder_ / GetParam().Pattern).string();
        settings_.TrackPath = (folder_ / "track.csv").string();
        settings_.Method = GetParam().Method;
        settings_.Outputs = {(folder_ / "out.exr").string()};
        settings_.Threads = 2;
    }
    void TearDown() override { fs::remove_all(folder_); }

    fs::path folder_;
    StitchSettings settings_;
};

TEST_P(BandRender, EveryBandIsTheOnePassRendersRows) {
    const Plugins plugins({TESSELLON_MODULE_PATH}, "");
    const StitchPlan plan = MakeStitchPlan(settings_, 0);
    ASSERT_TRUE(plan.Turning);
    Quiet events;
    const RenderOutcome whole = RenderStitch(plan, settings_, plugins, events, &NothingRead);
    const int32_t height = whole.Picture->Height;
    ASSERT_EQ(height, plan.Canvas.Height);

    for (const int n : {1, 2, 3, 7, 11, int(height)}) {
        int32_t covered = 0;
        for (int k = 0; k < n; ++k) {
            const BandPlan band = PlanBand(plan, k, n);
            ASSERT_EQ(band.Rows.Top, covered) << k << "/" << n;
            covered = band.Rows.End;
            const RenderOutcome part = RenderStitch(plan, settings_, plugins, events, &NothingRead, &band);
            const Image& picture = *part.Picture;
            ASSERT_EQ(picture.Width, whole.Picture->Width);
            ASSERT_EQ(picture.Height, height);
            const HostApp::RowRange rows = HostRowsOf(band.Rows, height);
            EXPECT_EQ(HostApp::StoredRows(&picture), rows);
            for (int32_t y = rows.First; y < rows.End; ++y) {
                const std::vector<float> got = Row(picture, y), want = Row(*whole.Picture, y);
                ASSERT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0)
                    << "band " << k << "/" << n << ", canvas row " << height - 1 - y << " from the top";
            }
        }
        EXPECT_EQ(covered, height);
    }
}

INSTANTIATE_TEST_SUITE_P(Shots, BandRender,
                         ::testing::Values(Case{"exr_unique", "f.%04d.exr", Format_Float, FilterUnique},
                                           Case{"exr_median", "f.%04d.exr", Format_Half, FilterMedian},
                                           Case{"png_median", "f.%04d.png", Format_UInt8, FilterMedian}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.Name); });

// A band needs fewer rows of each frame than the whole canvas, the frames
// that cannot reach it none, and a turned frame the rows its turn reads.
TEST(BandPlan, FramesGiveOnlyTheRowsThatReachTheBand) {
    StitchPlan plan;
    plan.Layered = true;
    plan.StartFrame = 1;
    plan.Canvas = CanvasOf(10, 10, CanvasReach{0.0, 0.0, 0.0, 1.0});   // 10 x 20, the second frame above
    ImageFileInfo info;
    info.Width = info.Height = 10;
    info.HostFormat = Format_Float;
    plan.Frames = {PlannedFrame{1, "a", info}, PlannedFrame{2, "b", info}};
    Track track;
    track.HasAngle = true;
    track.Keys = {TrackKey{1, 0.5, 0.5, 0.0, 1}, TrackKey{2, 0.5, 1.5, 30.0, 2}};
    plan.TrackFile = track;

    const BandPlan top = PlanBand(plan, 0, 4), bottom = PlanBand(plan, 3, 4);
    EXPECT_EQ(top.Rows.Top, 0);
    EXPECT_EQ(top.Rows.End, 5);
    // The top band (host rows 15..19) holds the second frame's rows 5..9,
    // one to spare below; the first frame reaches only rows 0..9.
    EXPECT_EQ(top.Frames[0].Rows.Count(), 0);
    EXPECT_EQ(top.Frames[1].LikeRows, (HostApp::RowRange{4, 10}));
    const HostApp::RowRange turned = top.Frames[1].Rows;
    EXPECT_LT(turned.First, 4);
    EXPECT_EQ(turned.End, 10);
    EXPECT_EQ(bottom.Frames[0].Rows, (HostApp::RowRange{0, 6}));
    EXPECT_EQ(bottom.Frames[1].Rows.Count(), 0);
    EXPECT_LT(top.Memory.Total(), PlanBand(plan, 0, 1).Memory.Total());
}

}  // namespace
