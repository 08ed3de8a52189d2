// What the scene and the frames share inside the shots library.
#pragma once

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

#include "Shot.h"

namespace tessellon::shots {

// Frame pixels per street unit: the street was laid out for 540 rows.
inline double StreetUnit(const ShotSpec& shot) { return shot.FrameHeight / 540.0; }

inline Rgb Mix(Rgb a, Rgb b, double t) {
    const float f = float(std::clamp(t, 0.0, 1.0));
    return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

inline Rgb Scale(Rgb a, double s) { return {float(a.r * s), float(a.g * s), float(a.b * s)}; }

inline double SmoothStep(double e0, double e1, double x) {
    const double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

// Runs `work` on `threads` threads, this one among them; jthreads, so that
// nothing is left running when a thread cannot be started.
inline void RunOnThreads(int threads, const std::function<void()>& work) {
    std::vector<std::jthread> pool;
    for (int i = 1; i < threads; ++i) pool.emplace_back(work);
    work();
}

}  // namespace tessellon::shots
