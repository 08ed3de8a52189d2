// The aligner's pieces on their own: the fit of one pair of generated
// frames, and the adjustment over pairs given exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "Align.h"
#include "AlignDetail.h"
#include "Shot.h"

using namespace tessellon;
using namespace tessellon::align;

namespace {

// Frame k's grey picture, (r + g + b) / 3 as GreyOf makes it.
cv::Mat Grey(const ShotSpec& shot, const Scene& scene, int k) {
    std::vector<float> rgba;
    DrawFrame(shot, scene, k, rgba);
    cv::Mat grey(shot.FrameHeight, shot.FrameWidth, CV_32F);
    for (int y = 0; y < shot.FrameHeight; ++y)
        for (int x = 0; x < shot.FrameWidth; ++x) {
            const float* p = &rgba[(size_t(y) * size_t(shot.FrameWidth) + size_t(x)) * 4];
            grey.at<float>(y, x) = (p[0] + p[1] + p[2]) / 3.0f;
        }
    return grey;
}

// The camera of frame k as a motion of its pixels into the start frame's.
Motion CameraMotion(const ShotSpec& shot, int k) {
    const Camera camera = CameraAt(shot, k);
    const Motion turn{camera.Roll * std::numbers::pi / 180.0, 0.0, 0.0};
    const cv::Point2d c(0.5 * (shot.FrameWidth - 1), 0.5 * (shot.FrameHeight - 1));
    const cv::Point2d t = c + cv::Point2d(camera.X, camera.Y) - turn(c);
    return {turn.Angle, t.x, t.y};
}

ShotSpec Pan(int perFrame, double roll, int frames = 12) {
    ShotSpec shot;
    shot.FrameWidth = 256;
    shot.FrameHeight = 144;
    shot.FrameCount = frames;
    shot.Pan = perFrame * (frames - 1);
    shot.DriftPixels = 5;
    shot.RollDegrees = roll;
    shot.Ball = false;
    shot.WholePixels = false;
    return shot;
}

struct PairCase {
    const char* Name;
    ShotSpec Shot;
    int A, B;
    AlignModel Model;
    bool Related;   // false: refused, and refused as well when refined from the exact motion
};

}  // namespace

TEST(AlignPieces, PairFitRecoversShiftAndTurnAndRefusesFramesApart) {
    ShotSpec ball = Pan(24, 8.0);
    ball.Ball = true;
    ball.BallRadius = 120.0;
    const std::vector<PairCase> cases = {
        {"shift of 64 px", Pan(64, 0.0), 3, 4, AlignModel::Shift, true},
        {"shift and turn", Pan(24, 8.0), 3, 4, AlignModel::Rigid, true},
        {"three frames apart, turned", Pan(24, 8.0), 2, 5, AlignModel::Rigid, true},
        {"a quarter of the frame in common", Pan(64, 2.0), 2, 5, AlignModel::Rigid, true},
        {"a ball through the frames", ball, 9, 10, AlignModel::Rigid, true},
        {"a twentieth of the frame in common", Pan(61, 0.0), 0, 4, AlignModel::Rigid, false},
        {"one frame width apart", Pan(64, 2.0), 0, 4, AlignModel::Rigid, false},
        {"five frames apart", Pan(64, 2.0), 1, 6, AlignModel::Rigid, false},
        {"five frames apart, shift", Pan(64, 0.0), 1, 6, AlignModel::Shift, false},
        {"far apart on the street", Pan(64, 2.0), 0, 11, AlignModel::Rigid, false},
    };
    std::vector<std::pair<ShotSpec, Scene>> scenes;   // drawn once for the cases that share them
    for (const PairCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto same = [&c](const auto& s) {
            return s.first.Pan == c.Shot.Pan && s.first.RollDegrees == c.Shot.RollDegrees;
        };
        auto drawn = std::find_if(scenes.begin(), scenes.end(), same);
        if (drawn == scenes.end()) drawn = scenes.insert(scenes.end(), {c.Shot, DrawScene(c.Shot, 2)});
        const Scene& scene = drawn->second;
        const cv::Mat a = Grey(c.Shot, scene, c.A), b = Grey(c.Shot, scene, c.B);
        if (c.Shot.Ball) {
            // The case holds only if the ball is in the frames and moves.
            ShotSpec still = c.Shot;
            still.Ball = false;
            const cv::Mat moved = cv::abs(b - Grey(still, scene, c.B)) > 0.05f;
            ASSERT_GT(cv::countNonZero(moved), a.total() / 10);
        }
        const FrameData fa = PrepareFrame(c.A, a), fb = PrepareFrame(c.B, b);
        const PairEstimate e = EstimatePair(fa, fb, c.Model);
        const Motion exact = Compose(Inverse(CameraMotion(c.Shot, c.A)), CameraMotion(c.Shot, c.B));
        EXPECT_EQ(e.Ok, c.Related) << e.Reason;
        if (!c.Related) {
            EXPECT_FALSE(e.Reason.empty());
            // As a key pair is refined from the chain's prediction.
            const PairEstimate r = Refine(fa, fb, exact, c.Model);
            EXPECT_FALSE(r.Ok);
            EXPECT_NE(r.Reason.find("overlap"), std::string::npos) << r.Reason;
            continue;
        }
        if (!e.Ok) continue;
        const FramePose want = PoseOf(exact, c.Shot.FrameWidth, c.Shot.FrameHeight);
        const FramePose got = PoseOf(e.BToA, c.Shot.FrameWidth, c.Shot.FrameHeight);
        EXPECT_NEAR(got.ShiftX, want.ShiftX, 0.1);
        EXPECT_NEAR(got.ShiftY, want.ShiftY, 0.1);
        EXPECT_NEAR(got.Angle, want.Angle, c.Model == AlignModel::Shift ? 0.0 : 0.02);
        EXPECT_GT(e.Confidence, 0.5);
    }
}

// Nine frames moving 20 px and 0.5 degrees a frame, related to their
// neighbours and to key frames 2, 4 and 8 back, every pair exact but one.
TEST(AlignPieces, AdjustmentOutvotesAWrongLinkAndPlacesOnlyLinkedFrames) {
    const int n = 9;
    std::vector<Motion> truth;
    for (int k = 0; k < n; ++k) truth.push_back({0.5 * k * std::numbers::pi / 180.0, 20.0 * k, 1.5 * k});
    const auto pair = [&](int i, int j) { return Pair{i, j, Compose(Inverse(truth[size_t(i)]), truth[size_t(j)]), 1.0}; };
    std::vector<Pair> exact;
    for (int j = 1; j < n; ++j)
        for (int d = 1; j - d >= 0; d *= 2) exact.push_back(pair(j - d, j));
    struct Case {
        const char* Name;
        int WrongJ;          // the neighbour link (WrongJ - 1, WrongJ) is off by 6 px and 1 degree; 0: none
        int Unlinked;        // a frame not placed, its pairs left out; -1: none
    };
    for (const Case c : {Case{"all pairs exact", 0, -1}, Case{"one wrong link", 5, -1},
                         Case{"a wrong link at the start", 1, -1}, Case{"one frame not placed", 0, 6},
                         Case{"both", 3, 6}}) {
        SCOPED_TRACE(c.Name);
        std::vector<Pair> pairs;
        for (Pair p : exact) {
            if (p.I == c.Unlinked || p.J == c.Unlinked) continue;
            if (p.J == c.WrongJ && p.I == p.J - 1) p.JToI = Compose(p.JToI, Motion{0.017, 6.0, -6.0});
            pairs.push_back(p);
        }
        std::vector<bool> placed(n, true);
        if (c.Unlinked >= 0) placed[size_t(c.Unlinked)] = false;
        const std::vector<Motion> pose = Adjust(pairs, placed, 256, 144);
        ASSERT_EQ(pose.size(), size_t(n));
        for (int k = 0; k < n; ++k) {
            if (!placed[size_t(k)]) continue;
            EXPECT_LE(CornerDistance(pose[size_t(k)], truth[size_t(k)], 256, 144), 0.01) << "frame " << k;
        }
    }
}

// A frame whose only pairs fail is left out by the whole aligner, with its
// reason, and the frames after it are placed through the frames before it.
TEST(AlignPieces, FrameOfAnotherPartOfTheStreetIsLeftOut) {
    // Frame 11 is four frame widths on from frame 7.
    const ShotSpec shot = Pan(64, 2.0);
    const Scene scene = DrawScene(shot, 2);
    std::vector<AlignFrame> frames;
    for (int k = 0; k < 8; ++k) frames.push_back({k, Grey(shot, scene, k == 4 ? 11 : k)});
    const AlignResult result = AlignFrames(frames, AlignSettings());
    for (int k = 0; k < 8; ++k) {
        const FramePose& pose = result.Poses[size_t(k)];
        SCOPED_TRACE("frame " + std::to_string(k) + ": " + pose.Reason);
        if (k == 4) {
            EXPECT_FALSE(pose.Aligned);
            EXPECT_FALSE(pose.Reason.empty());
            continue;
        }
        ASSERT_TRUE(pose.Aligned);
        const FramePose want = PoseOf(CameraMotion(shot, k), shot.FrameWidth, shot.FrameHeight);
        EXPECT_NEAR(pose.ShiftX, want.ShiftX, 0.2);
        EXPECT_NEAR(pose.ShiftY, want.ShiftY, 0.2);
    }
}

