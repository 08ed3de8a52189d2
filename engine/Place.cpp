// Layer placement.
//
// Each sample's frame, turned by its change of angle since the first sample
// when that change is positive, is copied onto a transparent layer of the
// canvas's shape, shifted by its change of position. Frame pixel (x, y) goes
// to (ColumnTarget(x), RowTarget(y)) of Geometry.h, each axis clamped onto
// the canvas by itself; where several frame pixels reach one layer pixel,
// the one with the largest x, then the largest y, is what stays.
//
// The copy writes only the layer pixels some frame pixel reaches, once each,
// row by row, and records the rectangle they span as the layer's footprint:
// the layer's storage beyond that is never touched.
#include <algorithm>
#include <vector>

#include "StitchJob.h"

namespace {

// One run of layer columns [Target, Target + Count) whose pixels come, in
// order, from the frame columns at Sources[First .. First + Count).
struct ColumnRun {
    int32_t Target = 0;
    int32_t First = 0;
    int32_t Count = 0;
};

// Copies `frame` onto `layer` at offsets (dx, dy) and returns the footprint.
LayerFootprint CopyFrame(const Image& frame, Image& layer, double dx, double dy, const CanvasOrigin& origin) {
    const int32_t w = frame.Width, h = frame.Height;
    const int32_t cw = layer.Width, ch = layer.Height;

    std::vector<int32_t> columnTarget(static_cast<size_t>(w));
    for (int32_t x = 0; x < w; ++x) columnTarget[size_t(x)] = ColumnTarget(x, dx, origin, cw);
    std::vector<int32_t> rowTarget(static_cast<size_t>(h));
    for (int32_t y = 0; y < h; ++y) rowTarget[size_t(y)] = RowTarget(y, dy, origin, ch);

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

StitchStatus PlaceLayers(StitchJob& job, const ProgressReport& progress) {
    const size_t n = job.Samples.size();
    if (n == 0) return StitchStatus{};
    if (!job.Canvas || !job.ReferencePosition) return StitchStatus{StitchRefusal::NoCanvas};
    if (!job.Layers.empty()) return StitchStatus{StitchRefusal::AlreadyPlanned};
    // Reserved up front so that holding a new layer never needs memory.
    job.Layers.reserve(n);
    job.Footprints.reserve(n);
    const Point& reference = *job.ReferencePosition;

    for (size_t k = 0; k < n; ++k) {
        if (progress) progress(float(double(k) / double(n)));
        const FrameSample& sample = job.Samples[k];

        Image* layer = NewImage({Tag<IMG_Like>(job.Canvas)});
        if (!layer)
            return StitchStatus{StitchRefusal::HostRefusedLayer, double(job.Canvas->Width),
                                double(job.Canvas->Height), k};
        job.Layers.push_back(layer);
        job.Footprints.push_back(LayerFootprint{});

        const Image* placed = sample.Frame;
        HostRef<Image> turned;
        const double turn = k > 0 ? TurnOf(sample.Angle, job.Samples[0].Angle) : 0.0;
        if (turn > 0.0) {
            turned.Reset(NewImage({Tag<IMG_Like>(sample.Frame)}));
            if (!turned)
                return StitchStatus{StitchRefusal::HostRefusedTurn, double(sample.Frame->Width),
                                    double(sample.Frame->Height), k};
            sample.Frame->Transform(turned.Get(), {
                Tag<XF_Angle>(turn),
                Tag<XF_CentreX>(0.5),
                Tag<XF_CentreY>(0.5),
                Tag<XF_Filter>(0),
            });
            placed = turned.Get();
        }

        const double dx = LayerShift(sample.Position->X, reference.X, placed->Width);
        const double dy = LayerShift(sample.Position->Y, reference.Y, placed->Height);
        layer->Fill(0, 0, 0, 0);
        job.Footprints.back() = CopyFrame(*placed, *layer, dx, dy, job.Origin);
    }
    return StitchStatus{};
}
