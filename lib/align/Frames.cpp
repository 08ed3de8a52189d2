// A frame made ready for alignment: its pyramid, the pixels it lends the
// refinement and its features.
#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "AlignDetail.h"

namespace tessellon::align {

namespace {

// Features are found on a copy about 400 to 800 pixels wide: enough detail
// for a guess within a pixel or two there, and quick.
constexpr int FeatureWidth = 400;
// The pixels of strongest gradient the refinement works on, at most.
constexpr size_t TemplatePixels = 24000;
constexpr double SoftSigma = 1.0;

// The want-th largest of `values` (want at least 1). A sample puts a bound
// below about twice as many, and the rank is found among the values above
// it alone: the same value, for a fraction of the work on a large level.
float LargestAt(const std::vector<float>& values, size_t want) {
    constexpr size_t Step = 16;
    std::vector<float> above;
    if (values.size() >= 8 * want) {
        std::vector<float> sample;
        sample.reserve(values.size() / Step + 1);
        for (size_t i = 0; i < values.size(); i += Step) sample.push_back(values[i]);
        const size_t rank = std::min(sample.size() - 1, 2 * want / Step);
        std::nth_element(sample.begin(), sample.end() - std::ptrdiff_t(rank + 1), sample.end());
        const float bound = sample[sample.size() - rank - 1];
        for (const float v : values)
            if (v >= bound) above.push_back(v);
    }
    // Fewer above the bound than wanted (an unlucky sample): all of them.
    if (above.size() < want) above = values;
    std::nth_element(above.begin(), above.end() - std::ptrdiff_t(want), above.end());
    return above[above.size() - want];
}

// The refinement's pixels at one level: the strongest gradients, away from
// the border, at most TemplatePixels and at most a third of the picture.
Template MakeTemplate(const cv::Mat& level) {
    Template t;
    const int w = level.cols, h = level.rows;
    if (w < 8 || h < 8) return t;
    std::vector<float> strength;
    strength.reserve(size_t(w) * size_t(h));
    for (int y = 2; y < h - 2; ++y) {
        const float* row = level.ptr<float>(y);
        const float* up = level.ptr<float>(y + 1);
        const float* down = level.ptr<float>(y - 1);
        for (int x = 2; x < w - 2; ++x) {
            const float gx = 0.5f * (row[x + 1] - row[x - 1]), gy = 0.5f * (up[x] - down[x]);
            strength.push_back(gx * gx + gy * gy);
        }
    }
    const size_t want = std::min(TemplatePixels, strength.size() / 3);
    if (want == 0) return t;
    const float threshold = std::max(LargestAt(strength, want), 1e-12f);
    size_t k = 0;
    double sum = 0.0, sum2 = 0.0;
    for (int y = 2; y < h - 2; ++y) {
        const float* row = level.ptr<float>(y);
        const float* up = level.ptr<float>(y + 1);
        const float* down = level.ptr<float>(y - 1);
        for (int x = 2; x < w - 2; ++x, ++k) {
            if (strength[k] < threshold || t.X.size() >= want) continue;
            t.X.push_back(float(x));
            t.Y.push_back(float(y));
            t.Value.push_back(row[x]);
            t.Gx.push_back(0.5f * (row[x + 1] - row[x - 1]));
            t.Gy.push_back(0.5f * (up[x] - down[x]));
            sum += row[x];
            sum2 += double(row[x]) * row[x];
        }
    }
    const double n = double(t.X.size());
    if (n > 0) t.Spread = std::sqrt(std::max(0.0, sum2 / n - (sum / n) * (sum / n)));
    return t;
}

// The feature level as 8-bit, its 1st to 99th percentile stretched over
// 0..255, so that features do not depend on the exposure.
cv::Mat ToBytes(const cv::Mat& level) {
    std::vector<float> sample;
    for (int y = 0; y < level.rows; y += 3)
        for (int x = 0; x < level.cols; x += 3) sample.push_back(level.at<float>(y, x));
    const size_t lo = sample.size() / 100, hi = sample.size() - 1 - sample.size() / 100;
    std::nth_element(sample.begin(), sample.begin() + std::ptrdiff_t(lo), sample.end());
    const float low = sample[lo];
    std::nth_element(sample.begin(), sample.begin() + std::ptrdiff_t(hi), sample.end());
    const float high = sample[hi];
    const double scale = high > low ? 255.0 / double(high - low) : 1.0;
    cv::Mat bytes;
    level.convertTo(bytes, CV_8U, scale, -double(low) * scale);
    return bytes;
}

}  // namespace

FrameData PrepareFrame(int frame, const cv::Mat& grey) {
    FrameData data;
    data.Frame = frame;
    data.Width = grey.cols;
    data.Height = grey.rows;
    data.Levels.push_back(grey);
    int width = grey.cols, height = grey.rows;
    while (width / 2 >= FeatureWidth && height / 2 >= 16) {
        width /= 2;
        height /= 2;
        cv::Mat half;
        // Exactly half, so that level pixel k covers full pixels 2k and 2k + 1.
        const cv::Mat& above = data.Levels.back();
        cv::resize(above(cv::Rect(0, 0, width * 2, height * 2)), half, cv::Size(width, height), 0, 0,
                   cv::INTER_AREA);
        data.Levels.push_back(half);
    }
    data.FeatureLevel = int(data.Levels.size()) - 1;
    const cv::Mat bytes = ToBytes(data.Levels.back());
    // The refinement samples between pixels; detail near the pixel pitch
    // would pull its estimate towards whole pixels, so it works on a
    // slightly softened picture.
    for (cv::Mat& level : data.Levels) {
        cv::Mat soft;
        cv::GaussianBlur(level, soft, cv::Size(0, 0), SoftSigma, SoftSigma, cv::BORDER_REPLICATE);
        level = soft;
        data.Templates.push_back(MakeTemplate(level));
    }

    const int patch = std::clamp(std::min(bytes.cols, bytes.rows) / 6, 9, 31);
    cv::Ptr<cv::ORB> orb = cv::ORB::create(1500, 1.2f, 6, patch, 0, 2, cv::ORB::HARRIS_SCORE, patch, 12);
    orb->detectAndCompute(bytes, cv::noArray(), data.Keys, data.Descriptors);
    return data;
}

}  // namespace tessellon::align
