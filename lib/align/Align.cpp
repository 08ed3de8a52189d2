// The frames of a shot related pair by pair and placed by one adjustment.
#include "Align.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <numbers>
#include <thread>

#include "AlignDetail.h"
#include "Error.h"
#include "HostSystem.h"

namespace tessellon {

using namespace align;

namespace {

// Earlier frames a frame is tried against when its neighbour fails.
constexpr int FallbackFrames = 3;
// A key pair is related only where the frames overlap this much.
constexpr double KeyOverlap = 0.3;
// A key pair's refinement may move this far from the chain's prediction.
constexpr double KeyDrift = 8.0;

// A pair whose residual after the adjustment is above both of these is
// weighted away: pixels at the frame's corners, and times the pairs' median.
constexpr double OutlierPixels = 1.0;
constexpr double OutlierMedians = 4.0;
constexpr double OutlierWeight = 1e-6;
constexpr int AdjustRounds = 6;

int ThreadCount(int threads) { return threads > 0 ? threads : int(std::max(1u, std::thread::hardware_concurrency())); }

// The start frame's size, once it is checked.
cv::Size CheckFirst(const AlignFrame& first) {
    if (first.Grey.cols < 16 || first.Grey.rows < 16)
        BadInput("frames to align are at least 16 x 16 pixels, not " + std::to_string(first.Grey.cols) + " x " +
                 std::to_string(first.Grey.rows));
    return first.Grey.size();
}

void CheckFrame(const AlignFrame& f, const cv::Size& first) {
    if (f.Grey.type() != CV_32FC1)
        BadInput("frame " + std::to_string(f.Frame) + " to align is not a single-channel float picture");
    if (f.Grey.size() != first)
        BadInput("frame " + std::to_string(f.Frame) + " is " + std::to_string(f.Grey.cols) + " x " +
                 std::to_string(f.Grey.rows) + ", the start frame " + std::to_string(first.width) + " x " +
                 std::to_string(first.height));
}

void CheckFrames(const std::vector<AlignFrame>& frames) {
    if (frames.empty()) BadInput("no frames to align");
    const cv::Size size = CheckFirst(frames.front());
    for (const AlignFrame& f : frames) CheckFrame(f, size);
}

// Places frame j against the chain: its neighbour first, then a few frames
// placed before it. Returns whether it was placed; `reason` says why not.
bool PlaceInChain(int j, const std::vector<FrameData>& data, const std::vector<PairEstimate>& neighbour,
                  const std::vector<bool>& placed, AlignModel model, Pair& pair, std::string& reason) {
    if (placed[size_t(j - 1)] && neighbour[size_t(j)].Ok) {
        pair = {j - 1, j, neighbour[size_t(j)].BToA, neighbour[size_t(j)].Confidence};
        return true;
    }
    reason = placed[size_t(j - 1)]
                 ? "against frame " + std::to_string(data[size_t(j - 1)].Frame) + ": " + neighbour[size_t(j)].Reason
                 : "frame " + std::to_string(data[size_t(j - 1)].Frame) + " before it is not aligned";
    int tried = 0;
    for (int i = j - 2; i >= 0 && tried < FallbackFrames; --i) {
        if (!placed[size_t(i)]) continue;
        ++tried;
        const PairEstimate e = EstimatePair(data[size_t(i)], data[size_t(j)], model);
        if (e.Ok) {
            pair = {i, j, e.BToA, e.Confidence};
            return true;
        }
        reason += "; against frame " + std::to_string(data[size_t(i)].Frame) + ": " + e.Reason;
    }
    return false;
}

// Pairs of frame j with placed frames 2, 4, 8, ... before it that overlap
// it, refined from what the chain predicts.
std::vector<Pair> KeyPairs(int j, const std::vector<FrameData>& data, const std::vector<bool>& placed,
                           const std::vector<Motion>& pose, AlignModel model) {
    std::vector<Pair> pairs;
    const int width = data[0].Width, height = data[0].Height;
    for (int d = 2; j - d >= 0; d *= 2) {
        const int i = j - d;
        if (!placed[size_t(i)]) continue;
        const Motion predicted = Compose(Inverse(pose[size_t(i)]), pose[size_t(j)]);
        if (Overlap(predicted, width, height) < KeyOverlap) continue;
        const PairEstimate e = Refine(data[size_t(i)], data[size_t(j)], predicted, model);
        if (e.Ok && CornerDistance(predicted, e.BToA, width, height) <= KeyDrift)
            pairs.push_back({i, j, e.BToA, e.Confidence});
    }
    return pairs;
}

}  // namespace

namespace align {

namespace {

// The poses that best agree with every pair as weighted: angles first (they
// add up), then the shifts, which the angles turn.
std::vector<Motion> Solve(const std::vector<Pair>& pairs, const std::vector<double>& weight,
                          const std::vector<int>& node, int nodes) {
    std::vector<Edge> angles, xs, ys;
    for (size_t k = 0; k < pairs.size(); ++k)
        angles.push_back({node[size_t(pairs[k].I)], node[size_t(pairs[k].J)], pairs[k].JToI.Angle, weight[k]});
    const std::vector<double> angle = SolveDifferences(nodes, angles);
    for (size_t k = 0; k < pairs.size(); ++k) {
        const Pair& p = pairs[k];
        const cv::Point2d t = Motion{angle[size_t(node[size_t(p.I)])], 0.0, 0.0}(cv::Point2d(p.JToI.X, p.JToI.Y));
        xs.push_back({node[size_t(p.I)], node[size_t(p.J)], t.x, weight[k]});
        ys.push_back({node[size_t(p.I)], node[size_t(p.J)], t.y, weight[k]});
    }
    const std::vector<double> x = SolveDifferences(nodes, xs), y = SolveDifferences(nodes, ys);
    std::vector<Motion> pose(node.size());
    for (size_t k = 0; k < node.size(); ++k)
        if (node[k] >= 0) pose[k] = {angle[size_t(node[k])], x[size_t(node[k])], y[size_t(node[k])]};
    return pose;
}

}  // namespace

std::vector<Motion> Adjust(const std::vector<Pair>& pairs, const std::vector<bool>& placed, int width, int height) {
    std::vector<int> node(placed.size(), -1);
    int nodes = 0;
    for (size_t k = 0; k < placed.size(); ++k)
        if (placed[k]) node[k] = nodes++;
    // Least squares, then again with the pairs that disagree far more than
    // the rest weighted away, until no pair changes sides. A weight that
    // stays above zero keeps every frame connected.
    std::vector<double> weight(pairs.size(), 1.0), residual(pairs.size());
    std::vector<Motion> pose = Solve(pairs, weight, node, nodes);
    for (int round = 1; round < AdjustRounds && !pairs.empty(); ++round) {
        for (size_t k = 0; k < pairs.size(); ++k)
            residual[k] = CornerDistance(Compose(pose[size_t(pairs[k].I)], pairs[k].JToI), pose[size_t(pairs[k].J)],
                                         width, height);
        std::vector<double> sorted = residual;
        std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(sorted.size() / 2), sorted.end());
        const double limit = std::max(OutlierPixels, OutlierMedians * sorted[sorted.size() / 2]);
        bool changed = false;
        for (size_t k = 0; k < pairs.size(); ++k) {
            const double w = residual[k] > limit ? OutlierWeight : 1.0;
            changed |= w != weight[k];
            weight[k] = w;
        }
        if (!changed) break;
        pose = Solve(pairs, weight, node, nodes);
    }
    return pose;
}

FramePose PoseOf(const Motion& m, int width, int height) {
    // The tool turns about the centre and then shifts: m(p) = c + s + R (p - c).
    const cv::Point2d c(0.5 * (width - 1), 0.5 * (height - 1));
    const cv::Point2d shift = m(c) - c;
    FramePose pose;
    pose.Aligned = true;
    pose.ShiftX = shift.x;
    pose.ShiftY = shift.y;
    pose.Angle = m.Angle * 180.0 / std::numbers::pi;
    return pose;
}

void ParallelFor(int count, int threads, const std::function<void(int)>& work) {
    std::atomic<int> next{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    auto run = [&] {
        for (int i; (i = next.fetch_add(1)) < count;) {
            try {
                work(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failureMutex);
                if (!failure) failure = std::current_exception();
                next = count;
            }
        }
    };
    {
        std::vector<std::jthread> pool;
        for (int t = 1; t < std::min(threads, count); ++t) pool.emplace_back(run);
        run();
    }
    if (failure) std::rethrow_exception(failure);
}

std::vector<double> SolveDifferences(int nodes, const std::vector<Edge>& edges) {
    // Conjugate gradients on the graph's Laplacian without node 0, with the
    // nodes' degrees as the preconditioner.
    const size_t n = size_t(nodes);
    std::vector<double> x(n, 0.0), r(n, 0.0), degree(n, 0.0);
    for (const Edge& e : edges) {
        r[size_t(e.J)] += e.Weight * e.D;
        r[size_t(e.I)] -= e.Weight * e.D;
        degree[size_t(e.I)] += e.Weight;
        degree[size_t(e.J)] += e.Weight;
    }
    r[0] = 0.0;
    auto apply = [&](const std::vector<double>& v, std::vector<double>& out) {
        std::fill(out.begin(), out.end(), 0.0);
        for (const Edge& e : edges) {
            const double d = e.Weight * ((e.J == 0 ? 0.0 : v[size_t(e.J)]) - (e.I == 0 ? 0.0 : v[size_t(e.I)]));
            out[size_t(e.J)] += d;
            out[size_t(e.I)] -= d;
        }
        out[0] = 0.0;
    };
    std::vector<double> z(n), p(n), q(n);
    auto precondition = [&] {
        for (size_t k = 0; k < n; ++k) z[k] = degree[k] > 0.0 && k > 0 ? r[k] / degree[k] : 0.0;
    };
    precondition();
    p = z;
    double rz = 0.0, start = 0.0;
    for (size_t k = 0; k < n; ++k) rz += r[k] * z[k], start += r[k] * r[k];
    for (size_t iteration = 0; iteration < 4 * n + 10 && rz > 0.0; ++iteration) {
        apply(p, q);
        double pq = 0.0;
        for (size_t k = 0; k < n; ++k) pq += p[k] * q[k];
        if (pq <= 0.0) break;
        const double alpha = rz / pq;
        double rr = 0.0;
        for (size_t k = 0; k < n; ++k) {
            x[k] += alpha * p[k];
            r[k] -= alpha * q[k];
            rr += r[k] * r[k];
        }
        if (rr <= 1e-28 * start) break;
        precondition();
        double next = 0.0;
        for (size_t k = 0; k < n; ++k) next += r[k] * z[k];
        for (size_t k = 0; k < n; ++k) p[k] = z[k] + (next / rz) * p[k];
        rz = next;
    }
    return x;
}

}  // namespace align

AlignResult AlignFrames(const AlignSource& source, const AlignSettings& settings) {
    if (source.Count <= 0) BadInput("no frames to align");
    const int n = source.Count;
    const int threads = ThreadCount(settings.Threads);
    const int atOnce = std::max(1, settings.FramesAtOnce > 0 ? settings.FramesAtOnce : threads);

    // Frames come in batches of `atOnce`: each is prepared, related to the
    // frames before it (its neighbour, a few earlier ones if that fails, key
    // frames), and its pictures released before the next batch is loaded.
    std::vector<FrameData> data(static_cast<size_t>(n));
    std::vector<PairEstimate> neighbour(static_cast<size_t>(n));
    AlignResult result;
    result.Poses.resize(static_cast<size_t>(n));
    std::vector<bool> placed(static_cast<size_t>(n), false);
    std::vector<Motion> chain(static_cast<size_t>(n));
    std::vector<Pair> links;
    std::vector<std::vector<Pair>> keys(static_cast<size_t>(n));
    cv::Size size;
    for (int begin = 0; begin < n; begin += atOnce) {
        const int end = std::min(n, begin + atOnce);
        std::vector<AlignFrame> batch(static_cast<size_t>(end - begin));
        ParallelFor(end - begin, threads, [&](int k) { batch[size_t(k)] = source.Load(begin + k); });
        if (begin == 0) size = CheckFirst(batch[0]);
        for (const AlignFrame& f : batch) CheckFrame(f, size);
        ParallelFor(end - begin, threads, [&](int k) {
            AlignFrame& f = batch[size_t(k)];
            data[size_t(begin + k)] = PrepareFrame(f.Frame, f.Grey);
            f.Grey = cv::Mat();
        });
        batch.clear();
        const int first = std::max(begin, 1);
        ParallelFor(end - first, threads, [&](int k) {
            const int j = first + k;
            neighbour[size_t(j)] = EstimatePair(data[size_t(j) - 1], data[size_t(j)], settings.Model);
        });
        placed[0] = true;
        for (int j = first; j < end; ++j) {
            Pair pair;
            if (PlaceInChain(j, data, neighbour, placed, settings.Model, pair, result.Poses[size_t(j)].Reason)) {
                placed[size_t(j)] = true;
                chain[size_t(j)] = Compose(chain[size_t(pair.I)], pair.JToI);
                links.push_back(pair);
            }
        }
        ParallelFor(end - first, threads, [&](int k) {
            const int j = first + k;
            if (placed[size_t(j)]) keys[size_t(j)] = KeyPairs(j, data, placed, chain, settings.Model);
        });
        for (int j = begin; j < end; ++j) data[size_t(j)].Levels.clear();
        if (settings.Progress) settings.Progress(end, n);
    }

    const int width = size.width, height = size.height;
    std::vector<Pair> pairs = std::move(links);
    for (const std::vector<Pair>& more : keys) pairs.insert(pairs.end(), more.begin(), more.end());
    const std::vector<Motion> pose = Adjust(pairs, placed, width, height);
    std::vector<double> confidence(static_cast<size_t>(n), 0.0);
    confidence[0] = 1.0;
    for (const Pair& p : pairs) {
        confidence[size_t(p.J)] = std::max(confidence[size_t(p.J)], p.Confidence);
        const double residual =
            CornerDistance(Compose(pose[size_t(p.I)], p.JToI), pose[size_t(p.J)], width, height);
        result.WorstPairResidual = std::max(result.WorstPairResidual, residual);
    }
    result.Pairs = int(pairs.size());
    for (int k = 0; k < n; ++k) {
        FramePose& out = result.Poses[size_t(k)];
        const std::string reason = out.Reason;
        if (placed[size_t(k)]) out = PoseOf(pose[size_t(k)], width, height);
        out.Frame = data[size_t(k)].Frame;
        out.Confidence = confidence[size_t(k)];
        if (!placed[size_t(k)]) out.Reason = reason;
    }
    return result;
}

AlignResult AlignFrames(const std::vector<AlignFrame>& frames, const AlignSettings& settings) {
    CheckFrames(frames);
    return AlignFrames(AlignSource{int(frames.size()), [&frames](int k) { return frames[size_t(k)]; }}, settings);
}

cv::Mat GreyOf(const Image& image) {
    cv::Mat grey(image.Height, image.Width, CV_32F);
    std::vector<float> rgba(size_t(image.Width) * 4);
    for (int y = 0; y < image.Height; ++y) {
        image.ReadSpan(0, y, image.Width, rgba.data());
        float* out = grey.ptr<float>(y);
        for (int x = 0; x < image.Width; ++x) {
            const float* p = &rgba[size_t(x) * 4];
            out[x] = (p[0] + p[1] + p[2]) * (1.0f / 3.0f);
        }
    }
    return grey;
}

cv::Mat ReducedGreyOf(const Image& image, int factor, int firstRow, int endRow) {
    ReducedGrey grey(image.Width, image.Height, factor, firstRow, endRow);
    grey.Add(image, {firstRow, endRow});
    return grey.Take();
}

ReducedGrey::ReducedGrey(int width, int height, int factor, int firstRow, int endRow) {
    if (factor < 1) BadInput("a picture is reduced by a whole factor of at least 1, not " + std::to_string(factor));
    firstRow = std::clamp(firstRow, 0, height);
    endRow = std::clamp(endRow, firstRow, height);
    width_ = width;
    factor_ = factor;
    firstRow_ = firstRow;
    blocksLeft_ = (endRow - firstRow) / factor;
    scale_ = 1.0f / (3.0f * float(factor) * float(factor));
    grey_ = cv::Mat(blocksLeft_, width / factor, CV_32F, cv::Scalar(0.0f));
    rows_.resize(size_t(blocksLeft_) * size_t(factor));
    in_.assign(size_t(blocksLeft_), 0);
    seen_.assign(rows_.size(), false);
}

void ReducedGrey::Add(const Image& image, std::pair<int, int> rows) {
    const int used = grey_.cols * factor_;
    std::vector<float> rgba(size_t(width_) * 4);
    const int end = std::min(rows.second - firstRow_, int(rows_.size()));
    for (int y = std::max(rows.first - firstRow_, 0); y < end; ++y) {
        if (seen_[size_t(y)]) continue;
        seen_[size_t(y)] = true;
        image.ReadSpan(0, firstRow_ + y, width_, rgba.data());
        std::vector<float>& row = rows_[size_t(y)];
        row.resize(size_t(used));
        for (int x = 0; x < used; ++x) {
            const float* p = &rgba[size_t(x) * 4];
            row[size_t(x)] = (p[0] + p[1] + p[2]) * scale_;
        }
        if (++in_[size_t(y / factor_)] == factor_) Sum(y / factor_);
    }
}

void ReducedGrey::Sum(int block) {
    float* out = grey_.ptr<float>(block);
    for (int y = block * factor_; y < (block + 1) * factor_; ++y) {
        std::vector<float>& row = rows_[size_t(y)];
        const float* in = row.data();
        for (int x = 0; x < grey_.cols; ++x)
            for (int k = 0; k < factor_; ++k) out[x] += *in++;
        std::vector<float>().swap(row);
    }
    --blocksLeft_;
}

FramePose RelatePair(const AlignFrame& a, const AlignFrame& b, AlignModel model, int factor, int firstRow,
                     int fullWidth, int fullHeight) {
    CheckFrames({a, b});
    const PairEstimate e = EstimatePair(PrepareFrame(a.Frame, a.Grey), PrepareFrame(b.Frame, b.Grey), model);
    FramePose pose;
    if (!e.Ok) {
        pose.Frame = b.Frame;
        pose.Reason = e.Reason;
        return pose;
    }
    // From the reduced rows to the full frame: m(q) = R q + t in the rows'
    // coordinates is R (p - o) + t + o in the frame's, o = (0, firstRow).
    const Motion rows = FromLevel(e.BToA, double(factor));
    const cv::Point2d o(0.0, double(firstRow));
    const cv::Point2d t = cv::Point2d(rows.X, rows.Y) + o - Motion{rows.Angle, 0.0, 0.0}(o);
    pose = PoseOf(Motion{rows.Angle, t.x, t.y}, fullWidth, fullHeight);
    pose.Frame = b.Frame;
    pose.Confidence = e.Confidence;
    return pose;
}

std::vector<FramePose> RelateNeighbours(const std::vector<AlignFrame>& frames, const AlignSettings& settings) {
    CheckFrames(frames);
    const int n = int(frames.size());
    const int threads = ThreadCount(settings.Threads);
    const int width = frames[0].Grey.cols, height = frames[0].Grey.rows;
    std::vector<FrameData> data(static_cast<size_t>(n));
    ParallelFor(n, threads, [&](int k) { data[size_t(k)] = PrepareFrame(frames[size_t(k)].Frame, frames[size_t(k)].Grey); });
    std::vector<FramePose> poses(static_cast<size_t>(n));
    poses[0] = PoseOf(Motion(), width, height);
    poses[0].Confidence = 1.0;
    std::atomic<int> done{1};
    ParallelFor(n - 1, threads, [&](int k) {
        const PairEstimate e = EstimatePair(data[size_t(k)], data[size_t(k) + 1], settings.Model);
        FramePose& pose = poses[size_t(k) + 1];
        if (e.Ok) {
            pose = PoseOf(e.BToA, width, height);
            pose.Confidence = e.Confidence;
        } else {
            pose.Reason = e.Reason;
        }
        if (settings.Progress) settings.Progress(done.fetch_add(1) + 1, n);
    });
    for (int k = 0; k < n; ++k) poses[size_t(k)].Frame = frames[size_t(k)].Frame;
    return poses;
}

}  // namespace tessellon
