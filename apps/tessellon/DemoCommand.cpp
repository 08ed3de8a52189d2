#include "DemoCommand.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "HostSystem.h"
#include "ImageFiles.h"
#include "Messages.h"
#include "StitchCommand.h"

namespace tessellon {

namespace fs = std::filesystem;

namespace {

// The shot.
constexpr int FrameWidth = 960;
constexpr int FrameHeight = 540;
constexpr int FrameCount = 48;
constexpr int FirstFrame = 1;
constexpr int Pan = 1920;            // the camera's travel to the right, in pixels
constexpr int DriftPixels = 12;      // the largest vertical drift
constexpr double RollDegrees = 3.0;  // the largest roll
constexpr int MarginX = 72;          // scene beyond the frames, for the roll's corners
constexpr int MarginY = 72 + DriftPixels;
constexpr int SceneWidth = FrameWidth + Pan + 2 * MarginX;
constexpr int SceneHeight = FrameHeight + 2 * MarginY;

struct Rgb {
    float r = 0, g = 0, b = 0;
};

Rgb Mix(Rgb a, Rgb b, double t) {
    const float f = float(std::clamp(t, 0.0, 1.0));
    return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

Rgb Scale(Rgb a, double s) { return {float(a.r * s), float(a.g * s), float(a.b * s)}; }

double SmoothStep(double e0, double e1, double x) {
    const double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

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

// Heights above the bottom of the frame at rest (scene row minus MarginY).
constexpr double GrassTop = 40.0;
constexpr double RoadTop = 120.0;
constexpr double KerbTop = 132.0;
constexpr double BallLane = 62.0;

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

std::vector<Lot> MakeStreet() {
    static const Rgb walls[] = {{0.62f, 0.33f, 0.25f}, {0.86f, 0.79f, 0.63f}, {0.52f, 0.58f, 0.66f},
                                {0.78f, 0.52f, 0.36f}, {0.90f, 0.88f, 0.82f}, {0.45f, 0.47f, 0.42f}};
    static const Rgb roofs[] = {{0.45f, 0.16f, 0.12f}, {0.30f, 0.22f, 0.20f}, {0.25f, 0.28f, 0.33f}};
    std::vector<Lot> lots;
    double x = 0.0;
    for (int i = 0; x < SceneWidth; ++i) {
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

class Scene {
public:
    Scene() : street_(MakeStreet()) {}

    // The colour at scene point (x, y), y up from the frame's bottom at rest,
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

// The scene drawn once, 2 x 2 samples per pixel, row 0 at the bottom.
std::vector<Rgb> DrawScene(int threads) {
    const Scene scene;
    // The hills' outlines depend on x alone: worked out once per sample column.
    std::vector<double> near(size_t(SceneWidth) * 2), far(size_t(SceneWidth) * 2);
    for (size_t i = 0; i < near.size(); ++i) {
        const double x = double(i) * 0.5 + 0.25 - MarginX;
        near[i] = NearHills(x);
        far[i] = FarHills(x);
    }
    std::vector<Rgb> pixels(size_t(SceneWidth) * SceneHeight);
    std::atomic<int> nextRow{0};
    auto work = [&] {
        for (int row; (row = nextRow.fetch_add(1)) < SceneHeight;) {
            for (int column = 0; column < SceneWidth; ++column) {
                Rgb sum;
                for (int s = 0; s < 4; ++s) {
                    const size_t sampleColumn = size_t(column) * 2 + size_t(s & 1);
                    const double x = column + 0.25 + 0.5 * (s & 1) - MarginX;
                    const double y = row + 0.25 + 0.5 * (s >> 1) - MarginY;
                    const Rgb c = scene.At(x, y, near[sampleColumn], far[sampleColumn]);
                    sum = {sum.r + c.r, sum.g + c.g, sum.b + c.b};
                }
                pixels[size_t(row) * SceneWidth + size_t(column)] = Scale(sum, 0.25);
            }
        }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    return pixels;
}

// Where the camera is for frame k (0-based): its left edge and bottom in
// the scene, relative to frame 0, and its roll.
struct Camera {
    int ShiftX = 0, ShiftY = 0;
    double Roll = 0.0;   // degrees, counter-clockwise
};

Camera CameraAt(int k) {
    const double t = double(k) / double(FrameCount - 1);
    Camera camera;
    camera.ShiftX = int(std::lround(Pan * t));
    camera.ShiftY = int(std::lround(DriftPixels * std::sin(1.7 * std::numbers::pi * t)));
    camera.Roll = RollDegrees * std::sin(std::numbers::pi * t);
    return camera;
}

// The ball for frame k: centre and height above the road, in scene pixels
// relative to the frame at rest.
struct Ball {
    double X = 0, Y = 0, Lift = 0;
    static constexpr double Radius = 30.0;
};

Ball BallAt(int k) {
    Ball ball;
    ball.X = 2700.0 - 30.0 * k;
    ball.Lift = 110.0 * std::abs(std::sin(std::numbers::pi * k / 5.5));
    ball.Y = BallLane + Ball::Radius + ball.Lift;
    return ball;
}

// Frame k: the scene seen through the camera, with the ball and its shadow.
void DrawFrame(int k, const std::vector<Rgb>& scene, std::vector<float>& rgba) {
    const Camera camera = CameraAt(k);
    const Ball ball = BallAt(k);
    const double a = camera.Roll * std::numbers::pi / 180.0;
    const double ca = std::cos(a), sa = std::sin(a);
    const double cx = FrameWidth * 0.5, cy = FrameHeight * 0.5;
    // A turned camera sees the scene turned the other way: frame point p
    // shows scene point centre + R(roll) (p - c).
    const double centreX = camera.ShiftX + cx, centreY = camera.ShiftY + cy;
    const double lx = -0.45, ly = 0.6, lz = 0.66;   // light, towards the sun

    rgba.assign(size_t(FrameWidth) * FrameHeight * 4, 1.0f);
    for (int y = 0; y < FrameHeight; ++y) {
        for (int x = 0; x < FrameWidth; ++x) {
            const double px = x + 0.5 - cx, py = y + 0.5 - cy;
            const double sx = centreX + ca * px - sa * py;
            const double sy = centreY + sa * px + ca * py;
            // Bilinear from the drawn scene; sample centres at +0.5.
            const double u = sx + MarginX - 0.5, v = sy + MarginY - 0.5;
            const int i = std::clamp(int(std::floor(u)), 0, SceneWidth - 2);
            const int j = std::clamp(int(std::floor(v)), 0, SceneHeight - 2);
            const float tu = float(u - i), tv = float(v - j);
            const Rgb& p00 = scene[size_t(j) * SceneWidth + size_t(i)];
            const Rgb& p10 = scene[size_t(j) * SceneWidth + size_t(i) + 1];
            const Rgb& p01 = scene[size_t(j + 1) * SceneWidth + size_t(i)];
            const Rgb& p11 = scene[size_t(j + 1) * SceneWidth + size_t(i) + 1];
            auto lerp = [](float p, float q, float t) { return p + (q - p) * t; };
            Rgb c{lerp(lerp(p00.r, p10.r, tu), lerp(p01.r, p11.r, tu), tv),
                  lerp(lerp(p00.g, p10.g, tu), lerp(p01.g, p11.g, tu), tv),
                  lerp(lerp(p00.b, p10.b, tu), lerp(p01.b, p11.b, tu), tv)};

            // The shadow on the road, fainter as the ball rises.
            const double shadow = std::hypot((sx - ball.X) / (Ball::Radius * 1.2), (sy - BallLane) / (Ball::Radius * 0.3));
            if (shadow < 1.0) c = Scale(c, 1.0 - 0.5 * (1.0 - ball.Lift / 140.0) * SmoothStep(1.0, 0.6, shadow));

            const double dx = sx - ball.X, dy = sy - ball.Y;
            const double d = std::hypot(dx, dy);
            const double cover = std::clamp(Ball::Radius - d + 0.5, 0.0, 1.0);
            if (cover > 0.0) {
                const double nx = dx / Ball::Radius, ny = dy / Ball::Radius;
                const double nz = std::sqrt(std::max(0.0, 1.0 - nx * nx - ny * ny));
                const double diffuse = std::max(0.0, nx * lx + ny * ly + nz * lz);
                const double highlight = std::pow(std::max(0.0, 2.0 * diffuse * nz - lz), 24.0);
                Rgb red{float(0.85 * (0.18 + 0.82 * diffuse) + highlight), float(0.08 + 0.1 * diffuse + highlight),
                        float(0.07 + 0.08 * diffuse + highlight)};
                // A white band, so the ball is seen to turn.
                if (std::abs(nx * 0.8 + ny * 0.6 + 0.25 * std::sin(k * 0.9)) < 0.12)
                    red = Scale(Rgb{0.95f, 0.93f, 0.90f}, 0.3 + 0.7 * diffuse);
                c = Mix(c, red, cover);
            }
            float* out = &rgba[(size_t(y) * FrameWidth + size_t(x)) * 4];
            out[0] = c.r;
            out[1] = c.g;
            out[2] = c.b;
            out[3] = 1.0f;
        }
    }
}

void WriteFrame(const std::vector<float>& rgba, const std::string& path) {
    Image* image = NewImage({Tag<IMG_Width>(FrameWidth), Tag<IMG_Height>(FrameHeight), Tag<IMG_Channel>(0),
                             Tag<IMG_Channel>(1), Tag<IMG_Channel>(2), Tag<IMG_Channel>(3),
                             Tag<IMG_Format>(int32_t(Format_Float))});
    if (!image) NoImage("the host made no frame image");
    struct Held {
        Image* image;
        ~Held() { image->Recycle(); }
    } held{image};
    for (int y = 0; y < FrameHeight; ++y) image->WriteSpan(0, y, FrameWidth, &rgba[size_t(y) * FrameWidth * 4]);
    WriteImageFile(*image, path);
}

// The tracked position: the camera's shift in fractions of the frame. The
// tool shifts frame k by trunc((position - reference) * size) pixels, so the
// value is moved by at most a few units in the last place until that
// truncation gives back the whole-pixel shift the frame was drawn with.
double TrackValue(int shift, int size) {
    double value = 0.5 + double(shift) / double(size);
    const double away = shift >= 0 ? HUGE_VAL : -HUGE_VAL;
    while (std::trunc((value - 0.5) * double(size)) != double(shift)) value = std::nextafter(value, away);
    return value;
}

void WriteTrack(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "# Tessellon demo shot: the camera's position and roll per frame.\n"
        << "# Normalized units (fractions of the " << FrameWidth << " x " << FrameHeight
        << " frame), origin bottom-left, y up, angle in degrees counter-clockwise.\n"
        << "frame,x,y,angle\n";
    char line[160];
    for (int k = 0; k < FrameCount; ++k) {
        const Camera camera = CameraAt(k);
        std::snprintf(line, sizeof line, "%d,%.17g,%.17g,%.17g\n", FirstFrame + k,
                      TrackValue(camera.ShiftX, FrameWidth), TrackValue(camera.ShiftY, FrameHeight), camera.Roll);
        out << line;
    }
    out.close();
    if (!out) BadInput("cannot write the track file " + Quoted(path));
}

double SecondsSince(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

}  // namespace

void RunDemo(const DemoSettings& settings, const Plugins& plugins) {
    const auto begin = std::chrono::steady_clock::now();
    const fs::path root(settings.OutputDir.empty() ? std::string(".") : settings.OutputDir);
    const fs::path shot = root / "shot";
    std::error_code error;
    fs::create_directories(shot, error);
    if (error) BadInput("cannot make the folder " + Quoted(shot.string()) + ": " + error.message());
    const int threads = settings.Threads > 0 ? settings.Threads : int(std::max(1u, std::thread::hardware_concurrency()));
    auto say = [&](const std::string& text) {
        if (!settings.Quiet) std::printf("tessellon demo: %s\n", text.c_str()), std::fflush(stdout);
    };

    say("drawing a street scene of " + std::to_string(SceneWidth) + " x " + std::to_string(SceneHeight) + " pixels");
    const std::vector<Rgb> scene = DrawScene(threads);

    say("filming " + std::to_string(FrameCount) + " frames of " + std::to_string(FrameWidth) + " x " +
        std::to_string(FrameHeight) + ": a pan of " + std::to_string(Pan) + " pixels, a drift of up to " +
        std::to_string(DriftPixels) + ", a roll of up to " + std::to_string(int(RollDegrees)) +
        " degrees, a red ball bouncing through");
    std::atomic<int> next{0};
    std::string failure;
    std::mutex failureMutex;
    auto film = [&] {
        std::vector<float> rgba;
        for (int k; (k = next.fetch_add(1)) < FrameCount;) {
            char name[32];
            std::snprintf(name, sizeof name, "frame.%04d%s", FirstFrame + k, FloatImageExtension());
            try {
                DrawFrame(k, scene, rgba);
                WriteFrame(rgba, (shot / name).string());
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> lock(failureMutex);
                if (failure.empty()) failure = e.what();
                next = FrameCount;
            }
        }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i) pool.emplace_back(film);
    film();
    for (std::thread& t : pool) t.join();
    if (!failure.empty()) BadInput("cannot write the demo frames: " + failure);

    const std::string track = (shot / "track.csv").string();
    WriteTrack(track);
    const std::string floats = FloatImageExtension(), picture = PictureExtension();
    const std::string pattern = (shot / ("frame.%04d" + floats)).string();
    char last[32];
    std::snprintf(last, sizeof last, "frame.%04d%s", FirstFrame + FrameCount - 1, floats.c_str());
    say("wrote " + (shot / ("frame.0001" + floats)).string() + " .. " + last + " and the track " + track);

    StitchSettings stitch;
    stitch.Frames = pattern;
    stitch.TrackPath = track;
    stitch.Threads = settings.Threads;
    stitch.Quiet = settings.Quiet;

    stitch.Method = 1;
    stitch.Outputs = {(root / ("median" + floats)).string()};
    if (picture != floats) stitch.Outputs.push_back((root / ("median" + picture)).string());
    say("tessellon stitch --frames " + pattern + " --track " + track + " --method median --output " +
        stitch.Outputs[0] + (picture != floats ? " (and " + picture + ")" : std::string()));
    RunStitch(stitch, plugins);

    stitch.Method = 0;
    stitch.Outputs = {(root / ("unique" + picture)).string()};
    say("tessellon stitch --frames " + pattern + " --track " + track + " --method unique --output " +
        stitch.Outputs[0]);
    RunStitch(stitch, plugins);

    char done[64];
    std::snprintf(done, sizeof done, "done in %.1f s", SecondsSince(begin));
    say(std::string(done) + "; the median (" + (root / ("median" + picture)).string() +
        ") shows the street without the ball, the first opaque pixels (" + (root / ("unique" + picture)).string() +
        ") keep pieces of it");
}

}  // namespace tessellon
