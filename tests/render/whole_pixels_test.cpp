// Pixel tracks whose keys lie whole pixels from the reference: every placed
// key lands on exactly those pixels, on exactly the canvas they span.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "HostApp.h"
#include "StitchPlan.h"

using namespace tessellon;

namespace {

constexpr int W = 24, H = 16;
using Keys = std::vector<std::pair<int, int>>;   // (frame, shift from the reference)

// Plans frames 1 to 3 from `start` with a pixel track holding 5 on the other
// axis and putting each key its shift away from `r` along `axis`.
bool LandsExactly(TrackOrigin origin, int axis, int r, int start, const Keys& keys) {
    StitchInputs inputs;
    inputs.TrackFile = Track{};
    inputs.TrackFile->Path = "t.csv";
    for (int f = 1; f <= 3; ++f) {
        inputs.Found.push_back(f);
        inputs.Headers.push_back({f, "", ImageFileInfo{W, H, 4, Format_Float, W * H * 16}, ""});
    }
    for (auto [frame, s] : keys) {
        const double p = axis && origin == TrackOrigin::TopLeft ? r - s : r + s;   // rows run down
        inputs.TrackFile->Keys.push_back({frame, axis ? 5.0 : p, axis ? p : 5.0, 0.0, frame});
    }
    StitchSettings settings;
    settings.Start = start;
    settings.Units = TrackUnits::Pixels;
    settings.Origin = origin;
    const StitchPlan plan = PlanStitch(settings, inputs, uint64_t(1) << 33, uint64_t(1) << 34);

    std::vector<HostApp::Key> fitted;
    for (const TrackKey& k : plan.TrackFile->Keys) fitted.push_back({double(k.Frame), k.X, k.Y});
    const HostApp::KeyedValue ref = HostApp::ValueAt(fitted, start);
    int low = 0, high = 0;
    for (auto [frame, s] : keys)
        if (frame >= start) low = std::min(low, s), high = std::max(high, s);
    const CanvasGeometry& c = plan.Canvas;
    bool ok = c.Width == (axis ? W : W + high - low) && c.Height == (axis ? H + high - low : H);
    for (size_t k = 0; k < keys.size(); ++k) {
        if (keys[k].first < start) continue;   // never placed
        const TrackKey& key = plan.TrackFile->Keys[k];
        const double shift = axis ? LayerShift(key.Y, ref.Y, H) : LayerShift(key.X, ref.X, W);
        ok = ok && shift == keys[k].second;
        for (int x : {0, (axis ? H : W) - 1})
            ok = ok && (axis ? RowTarget(x, shift, c.Origin, c.Height) : ColumnTarget(x, shift, c.Origin, c.Width)) ==
                           x + keys[k].second - low;
    }
    return ok;
}

}  // namespace

TEST(WholePixels, EveryWholeOffsetLandsOnItsPixelOnTheCanvasItSpans) {
    int cases = 0, failed = 0;
    std::string first;   // the first case that fails
    for (TrackOrigin origin : {TrackOrigin::BottomLeft, TrackOrigin::TopLeft})
        for (int axis : {0, 1})
            for (int r = 0, size = axis ? H : W; r < size; ++r)
                for (int d = -size; d <= size; ++d)
                    for (int start : {1, 2}) {   // on key 1, or halfway between keys 1 and 3
                        const Keys keys = start == 1 ? Keys{{1, 0}, {2, d}, {3, -d / 2}} : Keys{{1, -d}, {3, d}};
                        ++cases;
                        if (!LandsExactly(origin, axis, r, start, keys) && failed++ == 0)
                            first = std::to_string(int(origin)) + " " + std::to_string(axis) + " " +
                                    std::to_string(start) + " " + std::to_string(r) + " " + std::to_string(d);
                    }
    EXPECT_EQ(failed, 0) << "of " << cases << " cases; the first (origin axis start reference offset): " << first;
}
