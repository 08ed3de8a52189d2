// Tracked shots made from nothing: a street scene filmed by a camera that
// pans across it with a small vertical drift and a slow roll while a red
// ball bounces through, the frames written as image files and the camera's
// exact track beside them. The demo, the tests and the benchmarks share it.
//
// Everything is a pure function of the ShotSpec: the same shot gives the
// same bytes on every run, whatever the number of threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "HostSystem.h"

namespace tessellon {

// The demo's shot by default; tests make small ones (96 x 54, 6 frames).
// The street is drawn to the frame's height, so a small frame sees the
// same street as the demo's 540 rows, only smaller.
struct ShotSpec {
    int FrameWidth = 960;
    int FrameHeight = 540;
    int FrameCount = 48;
    int FirstFrame = 1;            // the number of frame 0's file and track key
    int Pan = 1920;                // the camera's travel to the right, in pixels
    int DriftPixels = 12;          // the largest vertical drift
    double RollDegrees = 3.0;      // the largest roll
    bool Ball = true;              // a red ball bounces through, right to left
    double BallRadius = 30.0;      // in the street's units (the frame is 540 of them high)
    int32_t Format = Format_Float;  // host pixel format of the written frames
    bool WholePixels = true;       // false: the camera's shifts keep their fractions
    double Noise = 0.0;            // sensor noise: the standard deviation added to each channel
    double Flicker = 0.0;          // exposure: frame k's light times 1 + Flicker * f(k), f within [-1, 1]
};

// Throws Error (bad input) for a shot that cannot be drawn: sides outside
// 2..65535, no frames, a negative pan or drift, a roll beyond 45 degrees,
// an unknown format, a negative ball radius or noise, flicker outside 0..0.5.
void CheckShot(const ShotSpec& shot);

struct Rgb {
    float r = 0, g = 0, b = 0;
};

// The drawn scene covers every frame, with margins for the roll's corners
// and the drift. Scene pixel (MarginX, MarginY) is frame 0's bottom-left.
struct SceneLayout {
    int Width = 0, Height = 0;
    int MarginX = 0, MarginY = 0;
};
SceneLayout LayoutOf(const ShotSpec& shot);

// The scene drawn once, 2 x 2 samples per pixel, row 0 at the bottom.
struct Scene {
    SceneLayout Layout;
    std::vector<Rgb> Pixels;   // Layout.Width * Layout.Height
};
// Throws Error (bad input) for a shot CheckShot refuses.
Scene DrawScene(const ShotSpec& shot, int threads);

// Where the camera is for frame k (0-based): its left edge and bottom in
// the scene, relative to frame 0, and its roll.
struct Camera {
    int ShiftX = 0, ShiftY = 0;   // X and Y rounded to whole pixels
    double X = 0.0, Y = 0.0;      // the shift as the frame is drawn: whole pixels unless !WholePixels
    double Roll = 0.0;            // degrees, counter-clockwise
};
Camera CameraAt(const ShotSpec& shot, int k);

// Frame k: the scene seen through the camera, with the ball and its
// shadow, the exposure's flicker and the sensor's noise (the same on every
// run). `rgba` becomes FrameWidth * FrameHeight records of four floats,
// row 0 at the bottom, alpha 1.
void DrawFrame(const ShotSpec& shot, const Scene& scene, int k, std::vector<float>& rgba);

// The file name of frame `number` under a pattern with one printf-style
// conversion ("frame.%04d.exr"; "%d" or "%0Nd", and "%%" for a percent
// sign). Throws Error (bad input) for any other pattern.
std::string FrameFileName(const std::string& pattern, int number);

// Draws every frame of the shot on `threads` threads and writes it into
// `folder`, which must exist, as FrameFileName(namePattern, FirstFrame + k)
// in the shot's pixel format, the extension choosing the file type.
// Throws Error naming the first frame that failed.
void WriteFrames(const ShotSpec& shot, const Scene& scene, const std::string& folder,
                 const std::string& namePattern, int threads);

// Writes the camera's track as CSV "frame,x,y,angle": positions in fractions
// of the frame, origin bottom-left, y up, angles in degrees counter-clockwise.
// A tool that shifts frame k by trunc((position - frame 0's) * size) pixels
// gets back the whole-pixel shift the frame was drawn with (for a shot of
// whole pixels; otherwise the positions are 0.5 + X / width and so on).
// Throws Error.
void WriteTrackFile(const ShotSpec& shot, const std::string& path);

}  // namespace tessellon
