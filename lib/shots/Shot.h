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
    int32_t Format = Format_Float;  // host pixel format of the written frames
};

// Throws Error (bad input) for a shot that cannot be drawn: sides outside
// 2..65535, no frames, a negative pan or drift, a roll beyond 45 degrees,
// an unknown format.
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
    int ShiftX = 0, ShiftY = 0;
    double Roll = 0.0;   // degrees, counter-clockwise
};
Camera CameraAt(const ShotSpec& shot, int k);

// Frame k: the scene seen through the camera, with the ball and its
// shadow. `rgba` becomes FrameWidth * FrameHeight records of four floats,
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
// gets back the whole-pixel shift the frame was drawn with. Throws Error.
void WriteTrackFile(const ShotSpec& shot, const std::string& path);

}  // namespace tessellon
