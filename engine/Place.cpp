// Layer placement.
//
// Each sample's frame, turned by its change of angle since the first sample
// when that change is positive, is copied onto a transparent layer of the
// canvas's shape, shifted by its change of position. Frame pixel (x, y) goes
// to (trunc((dx + origin.x) + x), trunc((y + origin.y) + dy)), each axis
// clamped onto the canvas by itself; where several frame pixels reach one
// layer pixel, the one with the largest x, then the largest y, is what stays.
//
// The copy writes only the layer pixels some frame pixel reaches, once each,
// row by row, and records the rectangle they span as the layer's footprint:
// the layer's storage beyond that is never touched.
#include <algorithm>
#include <cmath>
#include <vector>

#include "StitchJob.h"

namespace {

// Clamps an already truncated target onto [0, size). NaN goes to 0.
int32_t ClampTarget(double target, int32_t size) {
    if (!(target >= 0.0)) return 0;
    if (target >= double(size)) return size - 1;
    return int32_t(target);
}

// One run of layer columns [Target, Target + Count) whose pixels come, in
// order, from the frame columns at Sources[First .. First + Count).
struct ColumnRun {
    int32_t Target = 0;
    int32_t First = 0;
    int32_t Count = 0;
};

// The turned copy of a frame, given back whichever way placing it ends.
struct Rotation {
    Image* Turned = nullptr;
    ~Rotation() {
        if (Turned) Turned->Recycle();
    }
};

// Copies `frame` onto `layer` at offsets (dx, dy) and returns the footprint.
LayerFootprint CopyFrame(const Image& frame, Image& layer, double dx, double dy, const CanvasOrigin& origin) {
    const int32_t w = frame.Width, h = frame.Height;
    const int32_t cw = layer.Width, ch = layer.Height;

    // The sums must be formed in this order: (dx + origin.x) + x for columns,
    // (y + origin.y) + dy for rows. Another order can round differently.
    const double columnBase = dx + origin.x;
    std::vector<int32_t> columnTarget(static_cast<size_t>(w));
    for (int32_t x = 0; x < w; ++x) columnTarget[size_t(x)] = ClampTarget(std::trunc(columnBase + double(x)), cw);
    std::vector<int32_t> rowTarget(static_cast<size_t>(h));
    for (int32_t y = 0; y < h; ++y) rowTarget[size_t(y)] = ClampTarget(std::trunc((double(y) + origin.y) + dy), ch);

    // Targets never decrease along an axis, so the last writer of a target is
    // the last source of its run of equal targets.
    std::vector<int32_t> sources;
    std::vector<ColumnRun> runs;
    for (int32_t x = 0; x < w; ++x) {
        if (x + 1 < w && columnTarget[size_t(x) + 1] == columnTarget[size_t(x)]) continue;
        const int32_t target = columnTarget[size_t(x)];
        if (runs.empty() || runs.back().Target + runs.back().Count != target)
            runs.push_back(ColumnRun{target, int32_t(sources.size()), 0});
        sources.push_back(x);
        ++runs.back().Count;
    }

    const int32_t firstSource = sources.front();
    const int32_t readCount = sources.back() - firstSource + 1;
    // A frame whose winning columns are one unbroken stretch lands as it is read.
    const bool direct = runs.size() == 1 && readCount == int32_t(sources.size());
    std::vector<float> row(size_t(readCount) * 4);
    std::vector<float> placed(direct ? 0 : sources.size() * 4);

    for (int32_t y = 0; y < h; ++y) {
        if (y + 1 < h && rowTarget[size_t(y) + 1] == rowTarget[size_t(y)]) continue;
        frame.ReadSpan(firstSource, y, readCount, row.data());
        if (direct) {
            layer.WriteSpan(runs.front().Target, rowTarget[size_t(y)], readCount, row.data());
            continue;
        }
        for (size_t j = 0; j < sources.size(); ++j)
            std::copy_n(&row[size_t(sources[j] - firstSource) * 4], 4, &placed[j * 4]);
        for (const ColumnRun& run : runs)
            layer.WriteSpan(run.Target, rowTarget[size_t(y)], run.Count, &placed[size_t(run.First) * 4]);
    }

    return LayerFootprint{columnTarget.front(), columnTarget.back() + 1, rowTarget.front(),
                          rowTarget.back() + 1};
}

}  // namespace

bool PlaceLayers(StitchJob& job, const ProgressReport& progress) {
    const size_t n = job.Samples.size();
    if (n == 0) return true;
    if (!job.Canvas || !job.ReferencePosition || !job.Layers.empty()) return false;
    // Reserved up front so that holding a new layer never needs memory.
    job.Layers.reserve(n);
    job.Footprints.reserve(n);
    const Point& reference = *job.ReferencePosition;

    for (size_t k = 0; k < n; ++k) {
        if (progress) progress(float(double(k) / double(n)));
        const FrameSample& sample = job.Samples[k];

        Image* layer = NewImage({Tag<IMG_Like>(job.Canvas)});
        if (!layer) return false;
        job.Layers.push_back(layer);
        job.Footprints.push_back(LayerFootprint{});

        Image* placed = sample.Frame;
        Rotation rotation;
        if (k > 0) {
            double a = sample.Angle - job.Samples[0].Angle;
            // One addition only: a change below -360 stays negative and is not turned.
            if (a < 0.0) a += 360.0;
            if (a > 0.0) {
                rotation.Turned = NewImage({Tag<IMG_Like>(sample.Frame)});
                if (!rotation.Turned) return false;
                sample.Frame->Transform(rotation.Turned, {
                    Tag<XF_Angle>(a),
                    Tag<XF_CentreX>(0.5),
                    Tag<XF_CentreY>(0.5),
                    Tag<XF_Filter>(0),
                });
                placed = rotation.Turned;
            }
        }

        // Kept as doubles: a frame far larger than the start image can shift
        // beyond 32 bits, and the clamping must still fold it onto the border.
        const double dx = std::trunc((sample.Position->X - reference.X) * double(placed->Width));
        const double dy = std::trunc((sample.Position->Y - reference.Y) * double(placed->Height));
        layer->Fill(0, 0, 0, 0);
        job.Footprints.back() = CopyFrame(*placed, *layer, dx, dy, job.Origin);
    }
    return true;
}
