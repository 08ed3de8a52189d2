#include "WholePixels.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "Geometry.h"
#include "HostApp.h"

namespace tessellon {

namespace {

// A key the tool places, and its shift in pixels along x and y where that
// is a whole number; NaN where it is not (that axis is left alone). A key
// may be off by many units of its own (1 - y / height near 0 is rounded at
// the scale of 1), so each move along an axis is twice the one before.
struct Target {
    size_t Key;
    double Shift[2];
    double Units[2] = {1.0, 1.0};
};

// Beyond 32 bits no canvas can hold the shift, and the plan refuses it.
double WholeShift(double shift) {
    return std::abs(shift) < 2147483648.0 && shift == std::trunc(shift) ? shift
                                                                         : std::numeric_limits<double>::quiet_NaN();
}

HostApp::KeyedValue ValueOf(const Track& track, double frame) {
    std::vector<HostApp::Key> keys;
    keys.reserve(track.Keys.size());
    for (const TrackKey& key : track.Keys) keys.push_back(HostApp::Key{double(key.Frame), key.X, key.Y});
    return HostApp::ValueAt(keys, frame);
}

double& Along(TrackKey& key, int axis) { return axis == 0 ? key.X : key.Y; }
double Along(const HostApp::KeyedValue& value, int axis) { return axis == 0 ? value.X : value.Y; }

// `value` moved `units` units in the last place away from `reference`, the
// way `shift` points. The unit is that of the larger of the two, the scale
// their difference is rounded at: a key at 0 would otherwise creep by
// subnormals.
double Outward(double value, double reference, double shift, double units) {
    const double scale = std::max(std::abs(value), std::abs(reference));
    return value + std::copysign((std::nextafter(scale, HUGE_VAL) - scale) * units, shift);
}

bool IsPlaced(const std::vector<PlannedFrame>& placed, int32_t frame) {
    const auto at = std::lower_bound(placed.begin(), placed.end(), frame,
                                     [](const PlannedFrame& p, int32_t f) { return p.Frame < f; });
    return at != placed.end() && at->Frame == frame;
}

}  // namespace

void FitWholePixels(Track& track, const Track& pixels, int32_t referenceFrame, const std::vector<PlannedFrame>& placed,
                    int width, int height, TrackOrigin origin) {
    if (pixels.Keys.empty()) return;
    // Offsets are measured in pixels, from the reference as the host
    // interpolates it: between keys it is whole only where the keys make it so.
    const HostApp::KeyedValue start = ValueOf(pixels, double(referenceFrame));
    std::vector<Target> targets;
    double low[2] = {0.0, 0.0}, high[2] = {0.0, 0.0};
    for (size_t i = 0; i < pixels.Keys.size(); ++i) {
        const TrackKey& key = pixels.Keys[i];
        if (!IsPlaced(placed, key.Frame)) continue;
        const double dy = origin == TrackOrigin::TopLeft ? start.Y - key.Y : key.Y - start.Y;
        const Target target{i, {WholeShift(key.X - start.X), WholeShift(dy)}};
        if (std::isnan(target.Shift[0]) && std::isnan(target.Shift[1])) continue;
        targets.push_back(target);
        for (int a : {0, 1}) {
            if (std::isnan(target.Shift[a])) continue;
            low[a] = std::min(low[a], target.Shift[a]);
            high[a] = std::max(high[a], target.Shift[a]);
        }
    }
    if (targets.empty()) return;

    const int32_t sizes[2] = {width, height};
    // Moves double, so a few dozen rounds cover any rounding; a track that
    // does not settle by then keeps the division's values.
    Track fitted = track;
    for (int round = 0; round < 64; ++round) {
        // Moving a key next to the start frame moves the reference too.
        const HostApp::KeyedValue reference = ValueOf(fitted, double(referenceFrame));
        bool moved = false;
        CanvasReach reach;
        Target* farthest[2] = {nullptr, nullptr};
        for (Target& target : targets) {
            TrackKey& key = fitted.Keys[target.Key];
            double at[2] = {reference.X, reference.Y};   // a fractional axis takes no part
            for (int a : {0, 1}) {
                const double shift = target.Shift[a];
                if (std::isnan(shift)) continue;
                double& value = Along(key, a);
                const double from = Along(reference, a);
                if (LayerShift(value, from, sizes[a]) != shift) {
                    value = Outward(value, from, shift, target.Units[a]);
                    target.Units[a] *= 2.0;
                    moved = true;
                }
                at[a] = value;
                // The shift never falls as the value grows, so the extreme
                // shift's extreme value spans the canvas.
                const double end = high[a] > 0.0 ? high[a] : low[a];
                const double* far = farthest[a] ? &Along(fitted.Keys[farthest[a]->Key], a) : nullptr;
                if (shift != 0.0 && shift == end && (!far || (end > 0.0 ? value > *far : value < *far)))
                    farthest[a] = &target;
            }
            reach.Add(reference.X, reference.Y, at[0], at[1]);
        }
        if (moved) continue;
        // The shifts already put the origin at or past the farthest shift
        // back; only the sides, which sum 1 with the reaches, can come out
        // short.
        const CanvasGeometry canvas = CanvasOf(width, height, reach);
        const double sides[2] = {canvas.ExactWidth, canvas.ExactHeight};
        for (int a : {0, 1}) {
            Target* target = farthest[a];
            if (!target || sides[a] >= double(sizes[a]) + high[a] - low[a]) continue;
            double& value = Along(fitted.Keys[target->Key], a);
            value = Outward(value, Along(reference, a), target->Shift[a], target->Units[a]);
            target->Units[a] *= 2.0;
            moved = true;
        }
        if (!moved) {
            track = std::move(fitted);
            return;
        }
    }
}

}  // namespace tessellon
