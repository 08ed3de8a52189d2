// The street scene: hills, houses, trees and the road, drawn once for a shot.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

#include "ShotDetail.h"

namespace tessellon {

using namespace shots;

namespace {

// Hash noise: the same picture on every machine, no state.
uint32_t Hash(int32_t x, int32_t y, uint32_t seed) {
    uint32_t h = uint32_t(x) * 0x8da6b343u ^ uint32_t(y) * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

double Random01(int32_t x, int32_t y, uint32_t seed) { return double(Hash(x, y, seed) & 0xffffff) / 16777216.0; }

double ValueNoise(double x, double y, uint32_t seed) {
    const double fx = std::floor(x), fy = std::floor(y);
    const int32_t ix = int32_t(fx), iy = int32_t(fy);
    const double tx = SmoothStep(0.0, 1.0, x - fx), ty = SmoothStep(0.0, 1.0, y - fy);
    const double a = Random01(ix, iy, seed), b = Random01(ix + 1, iy, seed);
    const double c = Random01(ix, iy + 1, seed), d = Random01(ix + 1, iy + 1, seed);
    return (a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty;
}

double Fbm(double x, double y, uint32_t seed, int octaves = 4) {
    double sum = 0.0, amplitude = 0.5, total = 0.0;
    for (int i = 0; i < octaves; ++i) {
        sum += amplitude * ValueNoise(x, y, seed + uint32_t(i));
        total += amplitude;
        x *= 2.03;
        y *= 2.03;
        amplitude *= 0.5;
    }
    return sum / total;
}

// Heights in street units above the bottom of frame 0.
constexpr double GrassTop = 40.0;
constexpr double RoadTop = 120.0;
constexpr double KerbTop = 132.0;

double FarHills(double x) {
    return 330.0 + 70.0 * std::sin(x / 530.0 + 2.0) + 38.0 * std::sin(x / 190.0) + 40.0 * Fbm(x / 140.0, 0.5, 11, 5);
}

double NearHills(double x) {
    return 215.0 + 35.0 * std::sin(x / 310.0) + 22.0 * std::sin(x / 97.0 + 1.0) + 18.0 * Fbm(x / 80.0, 3.5, 21);
}

// A stretch of the street: a building, a few trees, or nothing.
struct Lot {
    double X0 = 0, X1 = 0;
    int Kind = 0;   // 0 building, 1 trees, 2 open
    double Height = 0;
    Rgb Wall, Roof;
    bool Gabled = false;
    uint32_t Seed = 0;
};

// Lots from street x = 0 until `extent`.
std::vector<Lot> MakeStreet(double extent) {
    static const Rgb walls[] = {{0.62f, 0.33f, 0.25f}, {0.86f, 0.79f, 0.63f}, {0.52f, 0.58f, 0.66f},
                                {0.78f, 0.52f, 0.36f}, {0.90f, 0.88f, 0.82f}, {0.45f, 0.47f, 0.42f}};
    static const Rgb roofs[] = {{0.45f, 0.16f, 0.12f}, {0.30f, 0.22f, 0.20f}, {0.25f, 0.28f, 0.33f}};
    std::vector<Lot> lots;
    double x = 0.0;
    for (int i = 0; x < extent; ++i) {
        Lot lot;
        lot.Seed = uint32_t(i) * 7919u + 17u;
        const double pick = Random01(i, 1, 5);
        lot.Kind = pick < 0.58 ? 0 : (pick < 0.9 ? 1 : 2);
        const double width = lot.Kind == 0 ? 110.0 + 130.0 * Random01(i, 2, 5) : 90.0 + 90.0 * Random01(i, 3, 5);
        lot.X0 = x + (lot.Kind == 0 ? 6.0 : 0.0);
        lot.X1 = x + width;
        lot.Height = lot.Kind == 0 ? 80.0 + 190.0 * Random01(i, 4, 5) : 0.0;
        lot.Wall = walls[Hash(i, 6, 5) % 6];
        lot.Roof = roofs[Hash(i, 7, 5) % 3];
        lot.Gabled = lot.Kind == 0 && lot.Height < 150.0;
        lots.push_back(lot);
        x += width;
    }
    return lots;
}

class Landscape {
public:
    explicit Landscape(double extent) : street_(MakeStreet(extent)) {}

    // The colour at street point (x, y), y up from frame 0's bottom,
    // front to back: the first layer that covers the point is the colour.
    // `near` and `far` are the hills' heights at x.
    Rgb At(double x, double y, double near, double far) const {
        if (y < GrassTop) {
            const double n = Fbm(x / 9.0, y / 4.0, 71, 3);
            if (Random01(int32_t(x), int32_t(y / 2), 73) > 0.985) return Rgb{0.95f, 0.85f, 0.30f};   // flowers
            return Mix(Rgb{0.20f, 0.40f, 0.12f}, Rgb{0.42f, 0.62f, 0.20f}, n);
        }
        if (y < RoadTop) {
            if (y > 78.0 && y < 83.0 && std::fmod(x, 90.0) < 48.0) return Rgb{0.92f, 0.90f, 0.78f};
            const float grain = float(0.08 * ValueNoise(x / 2.0, y / 2.0, 61));
            return Rgb{0.25f + grain, 0.25f + grain, 0.27f + grain};
        }
        if (y < KerbTop) {
            const Rgb kerb = Scale(Rgb{0.70f, 0.69f, 0.66f}, 0.9 + 0.15 * Random01(int32_t(x / 3), int32_t(y / 3), 51));
            return std::fmod(x, 48.0) < 1.5 ? Scale(kerb, 0.75) : kerb;
        }
        Rgb colour;
        if (Street(x, y, colour)) return colour;
        if (y < near) {
            const double n = Fbm(x / 25.0, y / 25.0, 41, 3);
            return Scale(Mix(Rgb{0.24f, 0.46f, 0.18f}, Rgb{0.40f, 0.60f, 0.22f}, n),
                         0.85 + 0.3 * ValueNoise(x / 3.0, y / 3.0, 43));
        }
        if (y < far) {
            const double haze = SmoothStep(140.0, 420.0, y);
            return Mix(Mix(Rgb{0.36f, 0.50f, 0.60f}, Rgb{0.52f, 0.62f, 0.74f}, haze), Rgb{0.30f, 0.42f, 0.50f},
                       0.35 * Fbm(x / 40.0, y / 40.0, 31, 3));
        }
        return Sky(x, y);
    }

private:
    Rgb Sky(double x, double y) const {
        Rgb colour = Mix(Rgb{0.78f, 0.86f, 0.93f}, Rgb{0.20f, 0.42f, 0.78f}, SmoothStep(250.0, 640.0, y));
        const double sunX = 820.0, sunY = 500.0;
        const double d = std::hypot(x - sunX, y - sunY);
        colour = Mix(colour, Rgb{1.0f, 0.93f, 0.70f}, 0.55 * std::exp(-d / 160.0));
        if (d < 38.0) colour = Mix(colour, Rgb{1.0f, 0.98f, 0.88f}, SmoothStep(38.0, 36.0, d));
        const double cloud = Fbm(x / 210.0, y / 55.0, 81, 5);
        const double cover = SmoothStep(0.52, 0.72, cloud) * SmoothStep(300.0, 420.0, y);
        const Rgb white = Mix(Rgb{0.78f, 0.80f, 0.86f}, Rgb{1.0f, 1.0f, 1.0f}, Fbm(x / 60.0, y / 30.0, 83));
        return Mix(colour, white, cover);
    }

    // Buildings and trees; false where they leave the point open.
    bool Street(double x, double y, Rgb& colour) const {
        if (y > KerbTop + 340.0) return false;
        const auto it = std::upper_bound(street_.begin(), street_.end(), x,
                                         [](double v, const Lot& lot) { return v < lot.X0; });
        const size_t at = size_t(std::max<std::ptrdiff_t>(0, (it - street_.begin()) - 1));
        bool hit = false;
        // Trees reach over the neighbouring lots: look at them, back to front.
        for (size_t i = at > 0 ? at - 1 : 0; i <= std::min(at + 1, street_.size() - 1); ++i)
            if (street_[i].Kind == 1) hit = Trees(street_[i], x, y, colour) || hit;
        const Lot& lot = street_[at];
        if (lot.Kind == 0) hit = Building(lot, x, y, colour) || hit;
        return hit;
    }

    static bool Building(const Lot& lot, double x, double y, Rgb& colour) {
        if (x < lot.X0 || x >= lot.X1) return false;
        const double top = KerbTop + lot.Height;
        const double h = y - KerbTop;
        if (y < top) {
            Rgb wall = Scale(lot.Wall, 0.88 + 0.2 * Fbm(x / 5.0, y / 5.0, lot.Seed, 2));
            const double u = x - lot.X0, w = lot.X1 - lot.X0;
            // Windows on a grid, some lit; a door on the ground floor.
            const double cellX = std::fmod(u - 12.0, 30.0), cellY = std::fmod(h - 34.0, 40.0);
            const int column = int((u - 12.0) / 30.0), row = int((h - 34.0) / 40.0);
            if (u > 12.0 && u < w - 18.0 && h > 34.0 && h < lot.Height - 14.0 && cellX < 16.0 && cellY < 22.0) {
                const bool lit = Random01(column, row, lot.Seed) > 0.7;
                wall = lit ? Rgb{0.98f, 0.86f, 0.50f} : Rgb{0.20f, 0.27f, 0.36f};
                if (!lit && cellY > 15.0) wall = Rgb{0.55f, 0.65f, 0.75f};   // sky in the glass
            }
            if (h < 28.0 && std::abs(u - w * 0.5) < 9.0) wall = Rgb{0.30f, 0.18f, 0.12f};
            if (!lot.Gabled && y > top - 7.0) wall = Scale(lot.Wall, 0.6);
            colour = wall;
            return true;
        }
        if (lot.Gabled) {
            const double half = (lot.X1 - lot.X0) * 0.5 + 6.0;
            const double centre = (lot.X0 + lot.X1) * 0.5;
            if (y - top < (half - std::abs(x - centre)) * 0.55) {
                colour = Scale(lot.Roof, 0.85 + 0.25 * Fbm(x / 4.0, y / 2.0, lot.Seed + 3, 2));
                return true;
            }
        }
        return false;
    }

    static bool Trees(const Lot& lot, double x, double y, Rgb& colour) {
        bool hit = false;
        for (int t = 0; t < 2; ++t) {
            const double cx = lot.X0 + (lot.X1 - lot.X0) * (0.3 + 0.4 * t) + 10.0 * Random01(t, 1, lot.Seed);
            const double r = 30.0 + 22.0 * Random01(t, 2, lot.Seed);
            const double trunkTop = KerbTop + 30.0 + 25.0 * Random01(t, 3, lot.Seed);
            if (std::abs(x - cx) < 5.0 && y < trunkTop + r * 0.5) {
                colour = Rgb{0.33f, 0.22f, 0.14f};
                hit = true;
            }
            const double cy = trunkTop + r * 0.8;
            if (std::hypot(x - cx, (y - cy) * 1.15) > r * 1.1) continue;
            const double d = std::hypot(x - cx, (y - cy) * 1.15) - r * (0.9 + 0.2 * Fbm(x / 12.0, y / 12.0, lot.Seed));
            if (d < 0.0) {
                const double shade = 0.6 + 0.5 * SmoothStep(cy - r, cy + r, y) * Fbm(x / 7.0, y / 7.0, lot.Seed + 9);
                colour = Scale(Rgb{0.16f, 0.42f, 0.14f}, shade);
                hit = true;
            }
        }
        return hit;
    }

    std::vector<Lot> street_;
};

}  // namespace

SceneLayout LayoutOf(const ShotSpec& shot) {
    // Enough scene beyond frame 0 for the corners of the most turned frame
    // and the drift; never less than the demo's 72 pixels.
    const double a = std::abs(shot.RollDegrees) * std::numbers::pi / 180.0;
    const double reachX = (1.0 - std::cos(a)) * shot.FrameWidth * 0.5 + std::sin(a) * shot.FrameHeight * 0.5;
    const double reachY = std::sin(a) * shot.FrameWidth * 0.5 + (1.0 - std::cos(a)) * shot.FrameHeight * 0.5;
    SceneLayout layout;
    layout.MarginX = std::max(72, int(std::ceil(reachX)) + 2);
    layout.MarginY = std::max(72, int(std::ceil(reachY)) + 2) + shot.DriftPixels;
    layout.Width = shot.FrameWidth + shot.Pan + 2 * layout.MarginX;
    layout.Height = shot.FrameHeight + 2 * layout.MarginY;
    return layout;
}

Scene DrawScene(const ShotSpec& shot, int threads) {
    CheckShot(shot);
    Scene scene;
    scene.Layout = LayoutOf(shot);
    const SceneLayout& at = scene.Layout;
    const double unit = StreetUnit(shot);
    const Landscape landscape(at.Width / unit);
    // The hills' outlines depend on x alone: worked out once per sample column.
    std::vector<double> near(size_t(at.Width) * 2), far(size_t(at.Width) * 2);
    for (size_t i = 0; i < near.size(); ++i) {
        const double x = (double(i) * 0.5 + 0.25 - at.MarginX) / unit;
        near[i] = NearHills(x);
        far[i] = FarHills(x);
    }
    scene.Pixels.resize(size_t(at.Width) * size_t(at.Height));
    std::atomic<int> nextRow{0};
    RunOnThreads(threads, [&] {
        for (int row; (row = nextRow.fetch_add(1)) < at.Height;) {
            for (int column = 0; column < at.Width; ++column) {
                Rgb sum;
                for (int s = 0; s < 4; ++s) {
                    const size_t sampleColumn = size_t(column) * 2 + size_t(s & 1);
                    const double x = (column + 0.25 + 0.5 * (s & 1) - at.MarginX) / unit;
                    const double y = (row + 0.25 + 0.5 * (s >> 1) - at.MarginY) / unit;
                    const Rgb c = landscape.At(x, y, near[sampleColumn], far[sampleColumn]);
                    sum = {sum.r + c.r, sum.g + c.g, sum.b + c.b};
                }
                scene.Pixels[size_t(row) * size_t(at.Width) + size_t(column)] = Scale(sum, 0.25);
            }
        }
    });
    return scene;
}

}  // namespace tessellon
