// What the pieces of the aligner share: rigid motions, a frame's pyramid,
// features and refinement pixels, and the estimate of one pair.
#pragma once

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "Align.h"

namespace tessellon::align {

// q' = R(Angle) q + (X, Y) in pixel index coordinates (pixel (i, j) at
// (i, j)), Angle in radians, counter-clockwise with y up.
struct Motion {
    double Angle = 0.0, X = 0.0, Y = 0.0;

    cv::Point2d operator()(cv::Point2d q) const {
        const double c = std::cos(Angle), s = std::sin(Angle);
        return {c * q.x - s * q.y + X, s * q.x + c * q.y + Y};
    }
};

// (a then b)(q) = a(b(q)).
inline Motion Compose(const Motion& a, const Motion& b) {
    const cv::Point2d t = a(cv::Point2d(b.X, b.Y));
    return {a.Angle + b.Angle, t.x, t.y};
}

inline Motion Inverse(const Motion& m) {
    const double c = std::cos(m.Angle), s = std::sin(m.Angle);
    return {-m.Angle, -(c * m.X + s * m.Y), -(-s * m.X + c * m.Y)};
}

// A motion at full resolution seen at a level `factor` times smaller, whose
// pixel k covers full pixels [factor k, factor (k + 1)), and back.
Motion ToLevel(const Motion& full, double factor);
Motion FromLevel(const Motion& level, double factor);

// The share of a width x height frame that a motion leaves over the frame,
// as if it only shifted the frame's centre.
double Overlap(const Motion& m, int width, int height);

// The largest distance between where two motions take the corners of a
// width x height frame.
double CornerDistance(const Motion& a, const Motion& b, int width, int height);

// The pixels a frame lends the refinement when it is the reference at one
// level: those of strongest gradient, with their values and gradients.
struct Template {
    std::vector<float> X, Y, Value, Gx, Gy;
    double Spread = 0.0;   // the values' standard deviation
};

struct FrameData {
    int Frame = 0;
    int Width = 0, Height = 0;           // the full picture's
    // [0] the full picture, each next half as large. Only a pair's later
    // frame (b) lends its levels, so they are released once the frame's
    // pairs with the frames before it are related; the rest stays.
    std::vector<cv::Mat> Levels;
    std::vector<Template> Templates;     // one per level
    int FeatureLevel = 0;                // the level the features are found on
    std::vector<cv::KeyPoint> Keys;
    cv::Mat Descriptors;
};

// Builds the pyramid, the templates and the features of one frame.
FrameData PrepareFrame(int frame, const cv::Mat& grey);

// One pair: frame b's motion into frame a's coordinates (b-coordinates to
// a-coordinates), or why there is none.
struct PairEstimate {
    bool Ok = false;
    Motion BToA;
    double Confidence = 0.0;
    std::string Reason;
};

// The first guess from the features alone, at full resolution.
PairEstimate MatchFeatures(const FrameData& a, const FrameData& b, AlignModel model);

// Refines a guess on every level from the features' down to the full
// picture, with a as the reference. Refuses a fit whose residuals are not
// small against the pictures' contrast (a false match on repeated texture)
// or that leaves less than a tenth of the frame in common.
PairEstimate Refine(const FrameData& a, const FrameData& b, const Motion& guess, AlignModel model);

// Features, then refinement; the refinement must stay near the features.
PairEstimate EstimatePair(const FrameData& a, const FrameData& b, AlignModel model);

// Weighted least squares over a graph: values x (x[0] = 0) that best
// satisfy x[j] - x[i] = d for every edge. Every node must connect to node 0
// through edges of positive weight.
struct Edge {
    int I = 0, J = 0;
    double D = 0.0;
    double Weight = 1.0;
};
std::vector<double> SolveDifferences(int nodes, const std::vector<Edge>& edges);

// Two frames related: frame J's motion into frame I's coordinates (indices
// into the frames, I before J).
struct Pair {
    int I = 0, J = 0;
    Motion JToI;
    double Confidence = 0.0;
};

// The poses against frame 0 of the `placed` frames (the others' are the
// identity) that best agree with every pair of width x height frames. A
// pair that disagrees with the rest by far more than they disagree among
// themselves (a wrong link of the chain that key pairs contradict) is
// weighted away; a frame's only pair is always kept. Every pair joins two
// placed frames, and every placed frame connects to frame 0.
std::vector<Motion> Adjust(const std::vector<Pair>& pairs, const std::vector<bool>& placed, int width, int height);

// The pose a motion gives a width x height frame: its shift at the frame's
// centre (the tool turns about the centre, then shifts) and its angle.
FramePose PoseOf(const Motion& m, int width, int height);

// Runs work(i) for i in [0, count) on `threads` threads (this one among
// them); the first exception is thrown again here after all have ended.
void ParallelFor(int count, int threads, const std::function<void(int)>& work);

}  // namespace tessellon::align
