// The aligner against the generated shots' exact cameras: pans over one to
// four frame widths with drift and roll, noise, flicker, a large moving
// ball, 8-bit and float frames; and frames it must leave out.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "Align.h"
#include "Error.h"
#include "HostApp.h"
#include "HostSystem.h"
#include "Shot.h"

using namespace tessellon;

namespace {

// Frame k of the shot as the aligner gets it: through a host image of the
// shot's pixel format, so 8-bit frames are quantized as files would be.
cv::Mat GreyFrame(const ShotSpec& shot, const Scene& scene, int k) {
    std::vector<float> rgba;
    DrawFrame(shot, scene, k, rgba);
    HostRef<Image> image(NewImage({Tag<IMG_Width>(shot.FrameWidth), Tag<IMG_Height>(shot.FrameHeight),
                                   Tag<IMG_Channel>(0), Tag<IMG_Channel>(1), Tag<IMG_Channel>(2),
                                   Tag<IMG_Channel>(3), Tag<IMG_Format>(shot.Format)}));
    for (int y = 0; y < shot.FrameHeight; ++y)
        image->WriteSpan(0, y, shot.FrameWidth, &rgba[size_t(y) * size_t(shot.FrameWidth) * 4]);
    return GreyOf(*image);
}

std::vector<AlignFrame> Frames(const ShotSpec& shot) {
    const Scene scene = DrawScene(shot, 2);
    std::vector<AlignFrame> frames;
    for (int k = 0; k < shot.FrameCount; ++k) frames.push_back({shot.FirstFrame + k, GreyFrame(shot, scene, k)});
    return frames;
}

ShotSpec SmallShot(int pan, double roll) {
    ShotSpec shot;
    shot.FrameWidth = 256;
    shot.FrameHeight = 144;
    shot.FrameCount = 16;
    shot.Pan = pan;
    shot.DriftPixels = 7;
    shot.RollDegrees = roll;
    shot.Ball = false;
    shot.WholePixels = false;
    return shot;
}

struct Case {
    const char* Name;
    ShotSpec Shot;
    AlignModel Model;
};

ShotSpec With(ShotSpec shot, double noise, double flicker, double ball, int32_t format) {
    shot.Noise = noise;
    shot.Flicker = flicker;
    shot.Ball = ball > 0.0;
    shot.BallRadius = ball;
    shot.Format = format;
    return shot;
}

}  // namespace

TEST(Align, RecoversTheCameraOfGeneratedShots) {
    // A ball of radius 180 street units covers a fifth of the frame.
    const std::vector<Case> cases = {
        {"one frame width, rigid", SmallShot(256, 0.0), AlignModel::Rigid},
        {"one frame width, shift", SmallShot(256, 0.0), AlignModel::Shift},
        {"two widths, roll 10", SmallShot(512, 10.0), AlignModel::Rigid},
        {"four widths, roll -10, noise", With(SmallShot(1024, -10.0), 0.01, 0.0, 0.0, Format_Float), AlignModel::Rigid},
        {"flicker of 10%", With(SmallShot(512, 4.0), 0.0, 0.1, 0.0, Format_Float), AlignModel::Rigid},
        {"a ball over a fifth of the frame", With(SmallShot(384, 3.0), 0.005, 0.0, 180.0, Format_Float),
         AlignModel::Rigid},
        {"8-bit, noise and flicker", With(SmallShot(512, 6.0), 0.01, 0.1, 0.0, Format_UInt8), AlignModel::Rigid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        AlignSettings settings;
        settings.Model = c.Model;
        const AlignResult result = AlignFrames(Frames(c.Shot), settings);
        ASSERT_EQ(result.Poses.size(), size_t(c.Shot.FrameCount));
        double sum = 0.0, worst = 0.0, worstAngle = 0.0;
        for (int k = 0; k < c.Shot.FrameCount; ++k) {
            const FramePose& pose = result.Poses[size_t(k)];
            const Camera camera = CameraAt(c.Shot, k);
            ASSERT_TRUE(pose.Aligned) << "frame " << k << ": " << pose.Reason;
            EXPECT_EQ(pose.Frame, c.Shot.FirstFrame + k);
            const double error = std::hypot(pose.ShiftX - camera.X, pose.ShiftY - camera.Y);
            sum += error * error;
            worst = std::max(worst, error);
            worstAngle = std::max(worstAngle, std::abs(pose.Angle - camera.Roll));
            // The whole pixels the tool shifts by, as an exact track gives them.
            for (const auto& [estimated, exact] : {std::pair(pose.ShiftX, camera.X), std::pair(pose.ShiftY, camera.Y)}) {
                const double fromWhole = std::abs(exact - std::round(exact));
                const double apart = std::abs(std::trunc(estimated) - std::trunc(exact));
                EXPECT_LE(apart, fromWhole >= 0.2 ? 0.0 : 1.0) << "frame " << k << ": " << estimated << " for " << exact;
            }
            EXPECT_GT(pose.Confidence, 0.3) << "frame " << k;
        }
        const double rms = std::sqrt(sum / c.Shot.FrameCount);
        std::printf("[ figures  ] %-34s rms %.3f px, worst %.3f px, angle %.4f deg\n", c.Name, rms, worst, worstAngle);
        EXPECT_LE(rms, 0.1);
        EXPECT_LE(worst, 0.5);
        EXPECT_LE(worstAngle, c.Model == AlignModel::Shift ? 0.0 : 0.02);
    }
}

TEST(Align, LeavesOutFramesItCannotRelateAndPlacesTheRest) {
    ShotSpec shot = SmallShot(256, 2.0);
    shot.FrameCount = 10;
    std::vector<AlignFrame> frames = Frames(shot);
    frames[4].Grey.setTo(0.5f);          // no texture at all
    frames[7].Grey = frames[7].Grey.t();  // a picture of something else, same size after a crop
    frames[7].Grey = cv::Mat(frames[7].Grey, cv::Rect(0, 0, shot.FrameWidth - 112, shot.FrameHeight)).clone();
    cv::resize(frames[7].Grey, frames[7].Grey, cv::Size(shot.FrameWidth, shot.FrameHeight));
    const AlignResult result = AlignFrames(frames, AlignSettings());
    for (int k = 0; k < shot.FrameCount; ++k) {
        const FramePose& pose = result.Poses[size_t(k)];
        SCOPED_TRACE("frame " + std::to_string(k) + ": " + pose.Reason);
        if (k == 4 || k == 7) {
            EXPECT_FALSE(pose.Aligned);
            EXPECT_FALSE(pose.Reason.empty());
            continue;
        }
        ASSERT_TRUE(pose.Aligned);
        const Camera camera = CameraAt(shot, k);
        EXPECT_NEAR(pose.ShiftX, camera.X, 0.5);
        EXPECT_NEAR(pose.ShiftY, camera.Y, 0.5);
    }
    EXPECT_NE(result.Poses[4].Reason.find("texture"), std::string::npos);
}

TEST(Align, RefusesFramesItCannotWorkOn) {
    const cv::Mat grey(64, 64, CV_32F, cv::Scalar(0.5f));
    const std::vector<std::pair<std::vector<AlignFrame>, const char*>> refused = {
        {{}, "no frames"},
        {{{1, cv::Mat(8, 64, CV_32F)}}, "at least 16 x 16"},
        {{{1, grey}, {2, cv::Mat(64, 64, CV_8U)}}, "frame 2 to align is not a single-channel float"},
        {{{1, grey}, {2, cv::Mat(64, 32, CV_32F)}}, "frame 2 is 32 x 64, the start frame 64 x 64"},
    };
    for (const auto& [frames, message] : refused) {
        try {
            AlignFrames(frames, AlignSettings());
            ADD_FAILURE() << "accepted: " << message;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

// A pair measured on reduced copies of some rows (as stitch's track check
// measures it) is the pair measured on the whole frames, in the whole
// frame's pixels.
TEST(Align, RelatesAPairOnReducedRowsInTheFullFramesPixels) {
    ShotSpec shot = SmallShot(1024, 4.0);
    shot.FrameWidth = 512;
    shot.FrameHeight = 288;
    shot.FrameCount = 8;
    const Scene scene = DrawScene(shot, 2);
    std::vector<HostRef<Image>> images;
    for (const int k : {2, 3}) {
        std::vector<float> rgba;
        DrawFrame(shot, scene, k, rgba);
        images.emplace_back(NewImage({Tag<IMG_Width>(shot.FrameWidth), Tag<IMG_Height>(shot.FrameHeight),
                                      Tag<IMG_Channel>(0), Tag<IMG_Channel>(1), Tag<IMG_Channel>(2),
                                      Tag<IMG_Channel>(3), Tag<IMG_Format>(shot.Format)}));
        for (int y = 0; y < shot.FrameHeight; ++y)
            images.back()->WriteSpan(0, y, shot.FrameWidth, &rgba[size_t(y) * size_t(shot.FrameWidth) * 4]);
    }
    const int w = shot.FrameWidth, h = shot.FrameHeight;
    const std::vector<FramePose> whole =
        RelateNeighbours({{2, GreyOf(*images[0])}, {3, GreyOf(*images[1])}}, AlignSettings());
    ASSERT_TRUE(whole[1].Aligned) << whole[1].Reason;
    struct Case {
        int Factor, FirstRow, EndRow;
    };
    for (const Case c : {Case{1, 0, h}, Case{2, 0, h}, Case{2, h / 3, 2 * h / 3}, Case{3, 40, h - 17}}) {
        SCOPED_TRACE("factor " + std::to_string(c.Factor) + ", rows " + std::to_string(c.FirstRow));
        const AlignFrame a{2, ReducedGreyOf(*images[0], c.Factor, c.FirstRow, c.EndRow)};
        const AlignFrame b{3, ReducedGreyOf(*images[1], c.Factor, c.FirstRow, c.EndRow)};
        EXPECT_EQ(a.Grey.cols, w / c.Factor);
        EXPECT_EQ(a.Grey.rows, (c.EndRow - c.FirstRow) / c.Factor);
        // Rows coming in bands of 37, the top band first, each overlapping
        // the one before by 3 rows: the same picture bit for bit.
        ReducedGrey pieces(w, h, c.Factor, c.FirstRow, c.EndRow);
        for (int end = h; end > 0; end -= 37) {
            EXPECT_EQ(pieces.Done(), end <= c.FirstRow);
            pieces.Add(*images[0], {std::max(0, end - 37), std::min(h, end + 3)});
        }
        ASSERT_TRUE(pieces.Done());
        const cv::Mat banded = pieces.Take();
        ASSERT_EQ(banded.size(), a.Grey.size());
        EXPECT_EQ(std::memcmp(banded.data, a.Grey.data, a.Grey.total() * sizeof(float)), 0);
        const FramePose pose = RelatePair(a, b, AlignModel::Rigid, c.Factor, c.FirstRow, w, h);
        ASSERT_TRUE(pose.Aligned) << pose.Reason;
        EXPECT_EQ(pose.Frame, 3);
        EXPECT_NEAR(pose.ShiftX, whole[1].ShiftX, 0.15 * c.Factor);
        EXPECT_NEAR(pose.ShiftY, whole[1].ShiftY, 0.15 * c.Factor);
        EXPECT_NEAR(pose.Angle, whole[1].Angle, 0.05);
    }
}
