// The camera, the ball and the files of a shot.
#include "Shot.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <string>
#include <vector>

#include "Error.h"
#include "ImageFiles.h"
#include "ShotDetail.h"
#include "ShotTracks.h"
#include "Text.h"

namespace tessellon {

using namespace shots;

namespace {

// The ball for frame k, in scene pixels relative to frame 0.
struct Ball {
    double X = 0, Y = 0;   // centre
    double Lift = 0;       // above the road
    double Rise = 0;       // Lift against the shadow's fading height
    double Radius = 0, Lane = 0;
};

Ball BallAt(const ShotSpec& shot, int k) {
    const double unit = StreetUnit(shot);
    // It enters near the far end of the pan and crosses half of it in the
    // demo's 48 frames, bouncing every 5.5.
    const double across = double(shot.FrameWidth + shot.Pan);
    Ball ball;
    ball.Radius = shot.BallRadius * unit;
    ball.Lane = 62.0 * unit;
    ball.X = across * 0.9375 - across / 96.0 * k;
    ball.Lift = 110.0 * unit * std::abs(std::sin(std::numbers::pi * k / 5.5));
    ball.Y = ball.Lane + ball.Radius + ball.Lift;
    ball.Rise = ball.Lift / (140.0 * unit);
    return ball;
}

// Bilinear from the drawn scene at scene pixel (u, v); sample centres at +0.5.
Rgb SampleScene(const Scene& scene, double u, double v) {
    const int width = scene.Layout.Width;
    const int i = std::clamp(int(std::floor(u)), 0, width - 2);
    const int j = std::clamp(int(std::floor(v)), 0, scene.Layout.Height - 2);
    const float tu = float(u - i), tv = float(v - j);
    const Rgb& p00 = scene.Pixels[size_t(j) * size_t(width) + size_t(i)];
    const Rgb& p10 = scene.Pixels[size_t(j) * size_t(width) + size_t(i) + 1];
    const Rgb& p01 = scene.Pixels[size_t(j + 1) * size_t(width) + size_t(i)];
    const Rgb& p11 = scene.Pixels[size_t(j + 1) * size_t(width) + size_t(i) + 1];
    auto lerp = [](float p, float q, float t) { return p + (q - p) * t; };
    return {lerp(lerp(p00.r, p10.r, tu), lerp(p01.r, p11.r, tu), tv),
            lerp(lerp(p00.g, p10.g, tu), lerp(p01.g, p11.g, tu), tv),
            lerp(lerp(p00.b, p10.b, tu), lerp(p01.b, p11.b, tu), tv)};
}

// The ball and its shadow over colour `c` at scene point (sx, sy).
Rgb OverBall(const Ball& ball, int k, double sx, double sy, Rgb c) {
    const double lx = -0.45, ly = 0.6, lz = 0.66;   // light, towards the sun
    // The shadow on the road, fainter as the ball rises.
    const double shadow = std::hypot((sx - ball.X) / (ball.Radius * 1.2), (sy - ball.Lane) / (ball.Radius * 0.3));
    if (shadow < 1.0) c = Scale(c, 1.0 - 0.5 * (1.0 - ball.Rise) * SmoothStep(1.0, 0.6, shadow));

    const double dx = sx - ball.X, dy = sy - ball.Y;
    const double d = std::hypot(dx, dy);
    const double cover = std::clamp(ball.Radius - d + 0.5, 0.0, 1.0);
    if (cover <= 0.0) return c;
    const double nx = dx / ball.Radius, ny = dy / ball.Radius;
    const double nz = std::sqrt(std::max(0.0, 1.0 - nx * nx - ny * ny));
    const double diffuse = std::max(0.0, nx * lx + ny * ly + nz * lz);
    const double highlight = std::pow(std::max(0.0, 2.0 * diffuse * nz - lz), 24.0);
    Rgb red{float(0.85 * (0.18 + 0.82 * diffuse) + highlight), float(0.08 + 0.1 * diffuse + highlight),
            float(0.07 + 0.08 * diffuse + highlight)};
    // A white band, so the ball is seen to turn.
    if (std::abs(nx * 0.8 + ny * 0.6 + 0.25 * std::sin(k * 0.9)) < 0.12)
        red = Scale(Rgb{0.95f, 0.93f, 0.90f}, 0.3 + 0.7 * diffuse);
    return Mix(c, red, cover);
}

void WriteFrame(const ShotSpec& shot, const std::vector<float>& rgba, const std::string& path) {
    HostRef<Image> image(NewImage({Tag<IMG_Width>(shot.FrameWidth), Tag<IMG_Height>(shot.FrameHeight),
                                   Tag<IMG_Channel>(0), Tag<IMG_Channel>(1), Tag<IMG_Channel>(2),
                                   Tag<IMG_Channel>(3), Tag<IMG_Format>(shot.Format)}));
    if (!image) NoImage("the host made no frame image");
    for (int y = 0; y < shot.FrameHeight; ++y)
        image->WriteSpan(0, y, shot.FrameWidth, &rgba[size_t(y) * size_t(shot.FrameWidth) * 4]);
    WriteImageFile(*image, path);
}

// Sensor noise of unit deviation, a hash of the frame, the pixel and the
// channel (the sum of four uniform values: near enough to a normal one).
double Noise(int k, int x, int y, int channel) {
    uint32_t h = uint32_t(k) * 0x9e3779b9u ^ uint32_t(x) * 0x85ebca6bu ^ uint32_t(y) * 0xc2b2ae35u ^
                 uint32_t(channel) * 0x27d4eb2fu;
    double sum = 0.0;
    for (int i = 0; i < 4; ++i) {
        h ^= h >> 16;
        h *= 0x7feb352du;
        h ^= h >> 15;
        h *= 0x846ca68bu;
        h ^= h >> 16;
        sum += double(h & 0xffffff) / 16777216.0;
    }
    return (sum - 2.0) * std::sqrt(3.0);
}

}  // namespace

void CheckShot(const ShotSpec& shot) {
    auto side = [](int v) { return v >= 2 && v <= 65535; };
    if (!side(shot.FrameWidth) || !side(shot.FrameHeight))
        BadInput("a shot's frames are 2 to 65535 pixels a side, not " + std::to_string(shot.FrameWidth) + " x " +
                 std::to_string(shot.FrameHeight));
    if (shot.FrameCount < 1 || shot.FrameCount > 1000000 || shot.FirstFrame < -100000000 ||
        shot.FirstFrame > 100000000)
        BadInput("a shot needs 1 to 1000000 frames numbered within 100000000 of 0");
    if (shot.Pan < 0 || shot.Pan > 1048576 || shot.DriftPixels < 0 || shot.DriftPixels > 65535)
        BadInput("a shot's pan (0 to 1048576) and drift (0 to 65535) are whole pixels");
    if (!(std::abs(shot.RollDegrees) <= 45.0)) BadInput("a shot's roll is at most 45 degrees");
    if (!(shot.BallRadius >= 0.0 && shot.BallRadius <= 540.0) || !(shot.Noise >= 0.0 && shot.Noise <= 1.0) ||
        !(shot.Flicker >= 0.0 && shot.Flicker <= 0.5))
        BadInput("a shot's ball radius is 0 to 540, its noise 0 to 1 and its flicker 0 to 0.5");
    if (BytesPerChannel(shot.Format) == 0)
        BadInput("a shot's frames need a host pixel format, not " + std::to_string(shot.Format));
}

Camera CameraAt(const ShotSpec& shot, int k) {
    const double t = shot.FrameCount > 1 ? double(k) / double(shot.FrameCount - 1) : 0.0;
    Camera camera;
    camera.X = shot.Pan * t;
    camera.Y = shot.DriftPixels * std::sin(1.7 * std::numbers::pi * t);
    camera.ShiftX = int(std::lround(camera.X));
    camera.ShiftY = int(std::lround(camera.Y));
    if (shot.WholePixels) camera.X = camera.ShiftX, camera.Y = camera.ShiftY;
    camera.Roll = shot.RollDegrees * std::sin(std::numbers::pi * t);
    return camera;
}

void DrawFrame(const ShotSpec& shot, const Scene& scene, int k, std::vector<float>& rgba) {
    const Camera camera = CameraAt(shot, k);
    const Ball ball = BallAt(shot, k);
    const double a = camera.Roll * std::numbers::pi / 180.0;
    const double ca = std::cos(a), sa = std::sin(a);
    const double cx = shot.FrameWidth * 0.5, cy = shot.FrameHeight * 0.5;
    // A turned camera sees the scene turned the other way: frame point p
    // shows scene point centre + R(roll) (p - c).
    const double centreX = camera.X + cx, centreY = camera.Y + cy;
    const float gain = float(1.0 + shot.Flicker * std::sin(2.3 * k + 0.7));

    rgba.assign(size_t(shot.FrameWidth) * size_t(shot.FrameHeight) * 4, 1.0f);
    for (int y = 0; y < shot.FrameHeight; ++y) {
        for (int x = 0; x < shot.FrameWidth; ++x) {
            const double px = x + 0.5 - cx, py = y + 0.5 - cy;
            const double sx = centreX + ca * px - sa * py;
            const double sy = centreY + sa * px + ca * py;
            Rgb c = SampleScene(scene, sx + scene.Layout.MarginX - 0.5, sy + scene.Layout.MarginY - 0.5);
            if (shot.Ball) c = OverBall(ball, k, sx, sy, c);
            float* out = &rgba[(size_t(y) * size_t(shot.FrameWidth) + size_t(x)) * 4];
            out[0] = c.r * gain;
            out[1] = c.g * gain;
            out[2] = c.b * gain;
            if (shot.Noise > 0.0)
                for (int channel = 0; channel < 3; ++channel) out[channel] += float(shot.Noise * Noise(k, x, y, channel));
        }
    }
}

std::string FrameFileName(const std::string& pattern, int number) {
    auto refuse = [&] {
        BadInput("a frame name pattern needs one %d or %0Nd conversion (width up to 32): " + Quoted(pattern));
    };
    std::string name;
    int conversions = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            name += pattern[i];
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            name += '%';
            ++i;
            continue;
        }
        size_t j = i + 1;
        const bool zeros = j < pattern.size() && pattern[j] == '0';
        int width = 0;
        for (j += zeros ? 1 : 0; j < pattern.size() && std::isdigit((unsigned char)pattern[j]) && width <= 32; ++j)
            width = width * 10 + (pattern[j] - '0');
        if (j >= pattern.size() || pattern[j] != 'd' || width > 32 || conversions++ > 0) refuse();
        char digits[48];
        std::snprintf(digits, sizeof digits, zeros ? "%0*d" : "%*d", width, number);
        name += digits;
        i = j;
    }
    if (conversions != 1) refuse();
    return name;
}

void WriteFrames(const ShotSpec& shot, const Scene& scene, const std::string& folder,
                 const std::string& namePattern, int threads) {
    CheckShot(shot);
    const SceneLayout layout = LayoutOf(shot);
    if (scene.Layout.Width != layout.Width || scene.Layout.Height != layout.Height ||
        scene.Layout.MarginX != layout.MarginX || scene.Layout.MarginY != layout.MarginY ||
        scene.Pixels.size() != size_t(layout.Width) * size_t(layout.Height))
        BadInput("the scene was drawn for another shot");
    FrameFileName(namePattern, shot.FirstFrame);   // refuses a bad pattern before any work
    std::atomic<int> next{0};
    std::string failure;
    std::mutex failureMutex;
    RunOnThreads(std::max(1, threads), [&] {
        std::vector<float> rgba;
        for (int k; (k = next.fetch_add(1)) < shot.FrameCount;) {
            try {
                const std::string name = FrameFileName(namePattern, shot.FirstFrame + k);
                DrawFrame(shot, scene, k, rgba);
                WriteFrame(shot, rgba, (std::filesystem::path(folder) / name).string());
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> lock(failureMutex);
                if (failure.empty()) failure = e.what();
                next = shot.FrameCount;
            }
        }
    });
    if (!failure.empty()) BadInput("cannot write the shot's frames: " + failure);
}

void WriteTrackFile(const ShotSpec& shot, const std::string& path) { WriteShotTrack(shot, TrackFormat::Csv, path); }

}  // namespace tessellon
