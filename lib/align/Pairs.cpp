// The motion between two frames: features for a first guess, then a robust
// refinement on the pixels.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>

#include "AlignDetail.h"

namespace tessellon::align {

namespace {

constexpr int MinFeatures = 8;
constexpr double LoweRatio = 0.8;
constexpr double RansacPixels = 2.0;   // at the feature level
constexpr int MinOverlapPixels = 64;
constexpr double MinAgreement = 0.2;
// The residuals' robust spread, as a share of the values' spread, above
// which a fit is taken for a false match.
constexpr double MaxScatter = 0.3;
// The least share of the frame two frames have in common after the fit.
constexpr double MinOverlap = 0.1;
constexpr int Iterations = 40;
constexpr double Converged = 1e-3;     // pixels at the level

std::string Count(size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// The rigid motion taking `from` onto `to` in the least-squares sense.
Motion FitRigid(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to, AlignModel model) {
    cv::Point2d cf, ct;
    for (size_t i = 0; i < from.size(); ++i) {
        cf += cv::Point2d(from[i]);
        ct += cv::Point2d(to[i]);
    }
    cf /= double(from.size());
    ct /= double(to.size());
    double dot = 0.0, cross = 0.0;
    for (size_t i = 0; i < from.size(); ++i) {
        const cv::Point2d p = cv::Point2d(from[i]) - cf, q = cv::Point2d(to[i]) - ct;
        dot += p.x * q.x + p.y * q.y;
        cross += p.x * q.y - p.y * q.x;
    }
    Motion m;
    if (model == AlignModel::Rigid && (dot != 0.0 || cross != 0.0)) m.Angle = std::atan2(cross, dot);
    const cv::Point2d turned = Motion{m.Angle, 0.0, 0.0}(cf);
    m.X = ct.x - turned.x;
    m.Y = ct.y - turned.y;
    return m;
}

// Matches that agree on one displacement within RansacPixels: every match
// is tried as the displacement (deterministic, and cheap for a few hundred).
std::vector<uchar> ShiftConsensus(const std::vector<cv::Point2f>& from, const std::vector<cv::Point2f>& to) {
    std::vector<uchar> best(from.size(), 0);
    size_t bestCount = 0;
    for (size_t i = 0; i < from.size(); ++i) {
        const cv::Point2f d = to[i] - from[i];
        std::vector<uchar> agree(from.size(), 0);
        size_t count = 0;
        for (size_t k = 0; k < from.size(); ++k) {
            const cv::Point2f e = to[k] - from[k] - d;
            if (e.x * e.x + e.y * e.y <= RansacPixels * RansacPixels) agree[k] = 1, ++count;
        }
        if (count > bestCount) bestCount = count, best = agree;
    }
    return best;
}

float Bilinear(const cv::Mat& image, double x, double y) {
    const int x0 = int(x), y0 = int(y);
    const float tx = float(x - x0), ty = float(y - y0);
    const float* r0 = image.ptr<float>(y0) + x0;
    const float* r1 = image.ptr<float>(y0 + 1) + x0;
    const float top = r0[0] + (r0[1] - r0[0]) * tx, bottom = r1[0] + (r1[1] - r1[0]) * tx;
    return top + (bottom - top) * ty;
}

struct LevelFit {
    bool Ok = false;
    Motion AToB;
    double Agreement = 0.0;
    std::string Reason;
};

// Tukey's weights for residuals scaled by their own median deviation, so
// that pixels of a moving object or of a highlight count for nothing.
// Returns the scale.
double RobustWeights(const std::vector<double>& residuals, double floor, std::vector<double>& weights) {
    std::vector<double> magnitude(residuals.size());
    for (size_t i = 0; i < residuals.size(); ++i) magnitude[i] = std::abs(residuals[i]);
    const size_t mid = magnitude.size() / 2;
    std::nth_element(magnitude.begin(), magnitude.begin() + std::ptrdiff_t(mid), magnitude.end());
    const double sigma = std::max(1.4826 * magnitude[mid], floor);
    const double c = 4.685 * sigma;
    weights.resize(residuals.size());
    for (size_t i = 0; i < residuals.size(); ++i) {
        const double u = residuals[i] / c;
        weights[i] = std::abs(u) < 1.0 ? (1.0 - u * u) * (1.0 - u * u) : 0.0;
    }
    return sigma;
}

// Inverse-compositional Gauss-Newton at one level: the template (frame a's
// pixels) against frame b's level picture, with a gain and an offset of
// b's brightness fitted at every step.
LevelFit FitLevel(const Template& t, const cv::Mat& target, Motion aToB, AlignModel model) {
    LevelFit fit;
    const double cx = 0.5 * (target.cols - 1), cy = 0.5 * (target.rows - 1);
    const double radius = std::hypot(cx, cy);
    const bool rigid = model == AlignModel::Rigid;
    const int n = rigid ? 3 : 2;
    std::vector<size_t> valid;
    std::vector<double> sampled, residual, weights;
    double gain = 1.0, offset = 0.0, scale = 0.0;
    for (int iteration = 0; iteration < Iterations; ++iteration) {
        valid.clear();
        sampled.clear();
        const double c = std::cos(aToB.Angle), s = std::sin(aToB.Angle);
        for (size_t i = 0; i < t.X.size(); ++i) {
            const double px = c * t.X[i] - s * t.Y[i] + aToB.X, py = s * t.X[i] + c * t.Y[i] + aToB.Y;
            if (!(px >= 0.0 && py >= 0.0 && px < target.cols - 1 && py < target.rows - 1)) continue;
            valid.push_back(i);
            sampled.push_back(Bilinear(target, px, py));
        }
        if (valid.size() < size_t(MinOverlapPixels)) {
            fit.Reason = "the frames barely overlap (" + Count(valid.size(), "textured pixel") + " in common)";
            return fit;
        }
        // Gain and offset: the value of a as a line in the value of b, over
        // the pixels that agreed last time.
        if (iteration > 0 && weights.size() == valid.size()) {
            double sw = 0, sv = 0, si = 0, svv = 0, svi = 0;
            for (size_t k = 0; k < valid.size(); ++k) {
                const double w = weights[k], v = sampled[k], value = t.Value[valid[k]];
                sw += w, sv += w * v, si += w * value, svv += w * v * v, svi += w * v * value;
            }
            const double var = svv * sw - sv * sv;
            if (sw > 0 && var > 1e-12 * sw * sw) {
                gain = (svi * sw - sv * si) / var;
                offset = (si - gain * sv) / sw;
            }
        }
        residual.resize(valid.size());
        for (size_t k = 0; k < valid.size(); ++k) residual[k] = gain * sampled[k] + offset - t.Value[valid[k]];
        scale = RobustWeights(residual, std::max(1e-3 * t.Spread, 1e-9), weights);

        double h[3][3] = {}, g[3] = {}, agree = 0.0;
        for (size_t k = 0; k < valid.size(); ++k) {
            const size_t i = valid[k];
            const double w = weights[k];
            if (w <= 0.0) continue;
            agree += w;
            double jac[3];
            int m = 0;
            if (rigid) jac[m++] = t.Gx[i] * -(t.Y[i] - cy) + t.Gy[i] * (t.X[i] - cx);
            jac[m++] = t.Gx[i];
            jac[m++] = t.Gy[i];
            for (int r = 0; r < n; ++r) {
                g[r] += w * jac[r] * residual[k];
                for (int q = 0; q < n; ++q) h[r][q] += w * jac[r] * jac[q];
            }
        }
        fit.Agreement = agree / double(valid.size());
        cv::Mat hm(n, n, CV_64F), gm(n, 1, CV_64F), delta;
        for (int r = 0; r < n; ++r) {
            gm.at<double>(r) = g[r];
            for (int q = 0; q < n; ++q) hm.at<double>(r, q) = h[r][q];
        }
        if (!cv::solve(hm, gm, delta, cv::DECOMP_CHOLESKY) || cv::determinant(hm) <= 0.0) {
            fit.Reason = "too little texture where the frames overlap";
            return fit;
        }
        const double dAngle = rigid ? delta.at<double>(0) : 0.0;
        const double dx = delta.at<double>(rigid ? 1 : 0), dy = delta.at<double>(rigid ? 2 : 1);
        // The step turns about the level's centre: R(d)(q - c) + c + (dx, dy).
        Motion step{dAngle, 0.0, 0.0};
        const cv::Point2d turned = step(cv::Point2d(cx, cy));
        step.X = cx + dx - turned.x;
        step.Y = cy + dy - turned.y;
        aToB = Compose(aToB, Inverse(step));
        if (!std::isfinite(aToB.X) || !std::isfinite(aToB.Y) || !std::isfinite(aToB.Angle)) {
            fit.Reason = "the refinement did not converge";
            return fit;
        }
        if (std::hypot(dx, dy) + std::abs(dAngle) * radius < Converged && iteration > 0) break;
    }
    if (fit.Agreement < MinAgreement) {
        fit.Reason = "only " + std::to_string(int(fit.Agreement * 100.0 + 0.5)) +
                     "% of the overlap agrees with one motion";
        return fit;
    }
    // Repeated texture (a row of windows, a fence) lets the weights settle
    // on a wrong motion too, with residuals as uniform as the right one's
    // but many times larger: the right motion leaves residuals of a few
    // percent of the picture's contrast (noise, resampling), a wrong one
    // more than half of it.
    if (scale > MaxScatter * t.Spread) {
        fit.Reason = "the pixels do not match where the motion puts them (they differ by " +
                     std::to_string(int(100.0 * scale / t.Spread + 0.5)) + "% of their contrast)";
        return fit;
    }
    fit.Ok = true;
    fit.AToB = aToB;
    return fit;
}

}  // namespace

Motion ToLevel(const Motion& full, double factor) {
    const double o = 0.5 * (factor - 1.0);
    const cv::Point2d turned = Motion{full.Angle, 0.0, 0.0}(cv::Point2d(o, o));
    return {full.Angle, (full.X + turned.x - o) / factor, (full.Y + turned.y - o) / factor};
}

Motion FromLevel(const Motion& level, double factor) {
    const double o = 0.5 * (factor - 1.0);
    const cv::Point2d turned = Motion{level.Angle, 0.0, 0.0}(cv::Point2d(o, o));
    return {level.Angle, factor * level.X + o - turned.x, factor * level.Y + o - turned.y};
}

double Overlap(const Motion& m, int width, int height) {
    const cv::Point2d c(0.5 * (width - 1), 0.5 * (height - 1));
    const cv::Point2d d = m(c) - c;
    return std::max(0.0, 1.0 - std::abs(d.x) / width) * std::max(0.0, 1.0 - std::abs(d.y) / height);
}

double CornerDistance(const Motion& a, const Motion& b, int width, int height) {
    double worst = 0.0;
    for (const cv::Point2d q : {cv::Point2d(0, 0), cv::Point2d(width - 1, 0), cv::Point2d(0, height - 1),
                                cv::Point2d(width - 1, height - 1)})
        worst = std::max(worst, cv::norm(a(q) - b(q)));
    return worst;
}

PairEstimate MatchFeatures(const FrameData& a, const FrameData& b, AlignModel model) {
    PairEstimate estimate;
    const size_t fewest = std::min(a.Keys.size(), b.Keys.size());
    if (fewest < size_t(MinFeatures)) {
        estimate.Reason = "too little texture (" + Count(fewest, "feature") + ")";
        return estimate;
    }
    std::vector<std::vector<cv::DMatch>> knn;
    cv::BFMatcher(cv::NORM_HAMMING).knnMatch(b.Descriptors, a.Descriptors, knn, 2);
    std::vector<cv::Point2f> fromB, toA;
    for (const std::vector<cv::DMatch>& m : knn) {
        if (m.size() < 2 || m[0].distance >= LoweRatio * m[1].distance) continue;
        fromB.push_back(b.Keys[size_t(m[0].queryIdx)].pt);
        toA.push_back(a.Keys[size_t(m[0].trainIdx)].pt);
    }
    if (fromB.size() < size_t(MinFeatures)) {
        estimate.Reason = "too few features match (" + std::to_string(fromB.size()) + ")";
        return estimate;
    }
    std::vector<uchar> inliers;
    if (model == AlignModel::Rigid) {
        const cv::Mat affine =
            cv::estimateAffinePartial2D(fromB, toA, inliers, cv::RANSAC, RansacPixels, 2000, 0.995, 10);
        if (affine.empty()) inliers.assign(fromB.size(), 0);
    } else {
        inliers = ShiftConsensus(fromB, toA);
    }
    std::vector<cv::Point2f> inB, inA;
    for (size_t i = 0; i < fromB.size(); ++i)
        if (inliers[i]) inB.push_back(fromB[i]), inA.push_back(toA[i]);
    if (inB.size() < size_t(MinFeatures)) {
        estimate.Reason = "only " + std::to_string(inB.size()) + " of " + Count(fromB.size(), "matched feature") +
                          " agree on one motion";
        return estimate;
    }
    estimate.Ok = true;
    estimate.BToA = FromLevel(FitRigid(inB, inA, model), double(1 << a.FeatureLevel));
    estimate.Confidence = double(inB.size()) / double(fromB.size());
    return estimate;
}

PairEstimate Refine(const FrameData& a, const FrameData& b, const Motion& guess, AlignModel model) {
    PairEstimate estimate;
    Motion aToB = Inverse(guess);
    for (int level = a.FeatureLevel; level >= 0; --level) {
        const double factor = double(1 << level);
        const LevelFit fit =
            FitLevel(a.Templates[size_t(level)], b.Levels[size_t(level)], ToLevel(aToB, factor), model);
        if (!fit.Ok) {
            estimate.Reason = fit.Reason;
            return estimate;
        }
        aToB = FromLevel(fit.AToB, factor);
        estimate.Confidence = fit.Agreement;
    }
    estimate.BToA = Inverse(aToB);
    const double overlap = Overlap(estimate.BToA, a.Width, a.Height);
    if (overlap < MinOverlap) {
        estimate.Reason = "the frames barely overlap (" + std::to_string(int(100.0 * overlap + 0.5)) +
                          "% of the frame in common)";
        return estimate;
    }
    estimate.Ok = true;
    return estimate;
}

PairEstimate EstimatePair(const FrameData& a, const FrameData& b, AlignModel model) {
    const PairEstimate guess = MatchFeatures(a, b, model);
    if (!guess.Ok) return guess;
    PairEstimate refined = Refine(a, b, guess.BToA, model);
    if (!refined.Ok) return refined;
    // The features are good to a pixel or two at their level; a refinement
    // that went further found another fit.
    const double allowed = 2.0 * double(1 << a.FeatureLevel) + 3.0;
    if (CornerDistance(guess.BToA, refined.BToA, a.Width, a.Height) > allowed) {
        refined.Ok = false;
        refined.Reason = "the pixels and the features disagree on the motion";
    }
    return refined;
}

}  // namespace tessellon::align
