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
// the layer's storage beyond that is never touched. Rows of unturned frames
// may be copied later and on any thread (PlaceRow), so that a layer row is
// written where it is combined, while it is still in the cache.
#include <algorithm>
#include <vector>

#include "StitchJob.h"

namespace {

// Works out where each pixel of `frame`, shifted by (dx, dy), lands on a
// layer of cw x ch, keeping what the rows need to be copied one by one.
LayerSource SourceOf(const Image& frame, double dx, double dy, const CanvasOrigin& origin, int32_t cw, int32_t ch,
                     LayerFootprint& footprint) {
    const int32_t w = frame.Width, h = frame.Height;
    LayerSource source;
    source.Frame = &frame;

    std::vector<int32_t> columnTarget(static_cast<size_t>(w));
    for (int32_t x = 0; x < w; ++x) columnTarget[size_t(x)] = ColumnTarget(x, dx, origin, cw);
    footprint = LayerFootprint{columnTarget.front(), columnTarget.back() + 1, RowTarget(0, dy, origin, ch),
                               RowTarget(h - 1, dy, origin, ch) + 1};

    // Targets never decrease along an axis, so the last writer of a target is
    // the last source of its run of equal targets.
    for (int32_t x = 0; x < w; ++x) {
        if (x + 1 < w && columnTarget[size_t(x) + 1] == columnTarget[size_t(x)]) continue;
        const int32_t target = columnTarget[size_t(x)];
        if (source.Runs.empty() || source.Runs.back().Target + source.Runs.back().Count != target)
            source.Runs.push_back(ColumnRun{target, int32_t(source.Columns.size()), 0});
        source.Columns.push_back(x);
        ++source.Runs.back().Count;
    }
    source.Rows.assign(size_t(footprint.Y1 - footprint.Y0), -1);
    for (int32_t y = 0; y < h; ++y) source.Rows[size_t(RowTarget(y, dy, origin, ch) - footprint.Y0)] = y;
    return source;
}

// Scratch rows of one call, never kept beyond it.
struct RowBuffers {
    std::vector<float> Read, Placed;
};

// Copies the frame row that lands on layer row y, if any.
void CopyRow(const LayerSource& source, const LayerFootprint& footprint, Image& layer, int32_t y, RowBuffers& buffers) {
    if (y < footprint.Y0 || y >= footprint.Y1) return;
    const int32_t from = source.Rows[size_t(y - footprint.Y0)];
    if (from < 0) return;
    const int32_t firstSource = source.Columns.front();
    const int32_t readCount = source.Columns.back() - firstSource + 1;
    buffers.Read.resize(size_t(readCount) * 4);
    source.Frame->ReadSpan(firstSource, from, readCount, buffers.Read.data());

    // A frame whose winning columns are one unbroken stretch lands as it is read.
    if (source.Runs.size() == 1 && readCount == int32_t(source.Columns.size())) {
        layer.WriteSpan(source.Runs.front().Target, y, readCount, buffers.Read.data());
        return;
    }
    buffers.Placed.resize(source.Columns.size() * 4);
    for (size_t j = 0; j < source.Columns.size(); ++j)
        std::copy_n(&buffers.Read[size_t(source.Columns[j] - firstSource) * 4], 4, &buffers.Placed[j * 4]);
    for (const ColumnRun& run : source.Runs)
        layer.WriteSpan(run.Target, y, run.Count, &buffers.Placed[size_t(run.First) * 4]);
}

}  // namespace

StitchStatus PlanLayers(StitchJob& job, const ProgressReport& progress) {
    const size_t n = job.Samples.size();
    if (n == 0) return StitchStatus{};
    if (!job.Canvas || !job.ReferencePosition) return StitchStatus{StitchRefusal::NoCanvas};
    if (!job.Layers.empty()) return StitchStatus{StitchRefusal::AlreadyPlanned};
    // Reserved up front so that holding a new layer never needs memory.
    job.Layers.reserve(n);
    job.Footprints.reserve(n);
    job.Sources.reserve(n);
    const Point& reference = *job.ReferencePosition;
    const int32_t cw = job.Canvas->Width, ch = job.Canvas->Height;
    RowBuffers buffers;

    for (size_t k = 0; k < n; ++k) {
        if (progress) progress(float(double(k) / double(n)));
        const FrameSample& sample = job.Samples[k];

        Image* layer = NewImage({Tag<IMG_Like>(job.Canvas)});
        if (!layer)
            return StitchStatus{StitchRefusal::HostRefusedLayer, double(job.Canvas->Width),
                                double(job.Canvas->Height), k};
        job.Layers.push_back(layer);
        job.Footprints.push_back(LayerFootprint{});
        job.Sources.push_back(LayerSource{});
        layer->Fill(0, 0, 0, 0);

        const double turn = k > 0 ? TurnOf(sample.Angle, job.Samples[0].Angle) : 0.0;
        if (turn <= 0.0) {
            const double dx = LayerShift(sample.Position->X, reference.X, sample.Frame->Width);
            const double dy = LayerShift(sample.Position->Y, reference.Y, sample.Frame->Height);
            job.Sources.back() = SourceOf(*sample.Frame, dx, dy, job.Origin, cw, ch, job.Footprints.back());
            continue;
        }

        // A turned frame lands at once: its turned copy is given back before
        // the next frame is turned.
        HostRef<Image> turned(NewImage({Tag<IMG_Like>(sample.Frame)}));
        if (!turned)
            return StitchStatus{StitchRefusal::HostRefusedTurn, double(sample.Frame->Width),
                                double(sample.Frame->Height), k};
        sample.Frame->Transform(turned.Get(), {
            Tag<XF_Angle>(turn),
            Tag<XF_CentreX>(0.5),
            Tag<XF_CentreY>(0.5),
            Tag<XF_Filter>(0),
        });
        const double dx = LayerShift(sample.Position->X, reference.X, turned->Width);
        const double dy = LayerShift(sample.Position->Y, reference.Y, turned->Height);
        LayerFootprint& footprint = job.Footprints.back();
        const LayerSource source = SourceOf(*turned, dx, dy, job.Origin, cw, ch, footprint);
        for (int32_t y = footprint.Y0; y < footprint.Y1; ++y) CopyRow(source, footprint, *layer, y, buffers);
    }
    return StitchStatus{};
}

void PlaceRow(const StitchJob& job, int32_t y) {
    RowBuffers buffers;
    for (size_t k = 0; k < job.Sources.size(); ++k)
        if (job.Sources[k].Frame) CopyRow(job.Sources[k], job.Footprints[k], *job.Layers[k], y, buffers);
}

void PlaceLayerRow(const StitchJob& job, size_t k, int32_t y) {
    RowBuffers buffers;
    if (k < job.Sources.size() && job.Sources[k].Frame)
        CopyRow(job.Sources[k], job.Footprints[k], *job.Layers[k], y, buffers);
}

void ReadPlacedSpan(const StitchJob& job, size_t k, int32_t x, int32_t y, int32_t count, std::vector<float>& scratch,
                    float* rgba) {
    std::fill(rgba, rgba + 4 * int64_t(std::max(count, 0)), 0.0f);
    const LayerSource& source = job.Sources[k];
    const LayerFootprint& footprint = job.Footprints[k];
    if (count <= 0 || y < footprint.Y0 || y >= footprint.Y1) return;
    const int32_t from = source.Rows[size_t(y - footprint.Y0)];
    if (from < 0) return;
    const int32_t end = x + count;
    // Runs lie in target order; those before x are passed over.
    auto run = std::partition_point(source.Runs.begin(), source.Runs.end(),
                                    [&](const ColumnRun& r) { return r.Target + r.Count <= x; });
    for (; run != source.Runs.end() && run->Target < end; ++run) {
        const int32_t a = std::max(x, run->Target), b = std::min(end, run->Target + run->Count);
        const int32_t* columns = &source.Columns[size_t(run->First + (a - run->Target))];
        const int32_t n = b - a, first = columns[0], span = columns[n - 1] - first + 1;
        float* out = rgba + 4 * int64_t(a - x);
        // A run of unbroken frame columns is read where it lands.
        if (span == n) {
            source.Frame->ReadSpan(first, from, n, out);
            continue;
        }
        scratch.resize(size_t(span) * 4);
        source.Frame->ReadSpan(first, from, span, scratch.data());
        for (int32_t j = 0; j < n; ++j) std::copy_n(&scratch[size_t(columns[j] - first) * 4], 4, out + 4 * int64_t(j));
    }
}

StitchStatus PlaceLayers(StitchJob& job, const ProgressReport& progress) {
    const StitchStatus planned = PlanLayers(job, progress);
    if (!planned || !job.Canvas) return planned;
    for (int32_t y = 0; y < job.Canvas->Height; ++y) PlaceRow(job, y);
    return planned;
}
