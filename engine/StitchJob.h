// The stitching engine's working set and the operations on it.
//
// One render request fills a StitchJob in four steps, each a plain function:
//   GatherFrames  - fetch image, tracked position and angle of every frame of
//                   the range and keep a FrameSample for each frame that has
//                   an image;
//   PlanCanvas    - work out the canvas size and origin and make the
//                   transparent canvas;
//   PlaceLayers   - put every sample's frame, turned and shifted, on a
//                   transparent layer of its own (PlanLayers, then PlaceRow
//                   for every row);
//   CompositeRow  - combine the layers into one canvas row (run for every row,
//                   rows on any threads at once);
// and ReleaseJob gives back every host object the job still holds.
//
// The engine reaches the host only through HostSystem: inputs, images and
// their pixel access. It knows nothing of files, threads or command lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Geometry.h"
#include "HostSystem.h"

enum class FilterMethod { UniquePixels, Median };

// "FilterMethod" is held as a 32-bit float: exactly 1.0 selects the median,
// every other value (0, 0.5, 2.0, NaN) the first opaque pixel.
inline FilterMethod FilterMethodOf(float value) {
    return value == 1.0f ? FilterMethod::Median : FilterMethod::UniquePixels;
}

// One frame of the range that has an image.
struct FrameSample {
    Image* Frame = nullptr;      // one reference held
    Point* Position = nullptr;   // one reference held; fractions of the frame size
    double Angle = 0.0;          // degrees
};

// The inputs a request reads frames from.
struct FrameInputs {
    Input* Frames = nullptr;      // "Input", the image input
    Input* TrackData = nullptr;   // "TrackData", a point
    Input* Angle = nullptr;       // "Angle", a number
};

using ProgressReport = std::function<void(float fraction)>;

// Why a step made nothing, with the figures involved. Where the host refused
// an image, the host application has the host's own reason.
enum class StitchRefusal {
    None,
    NoStartImage,         // the job has no start image
    AlreadyPlanned,       // the job already holds a canvas or layers
    ReferenceNotFinite,   // the reference position is NaN or infinite
    CanvasSize,           // a canvas side is not finite or beyond 32 bits
    HostRefusedCanvas,    // NewImage gave no canvas
    NoCanvas,             // samples to place but no canvas
    HostRefusedLayer,     // NewImage gave no layer
    HostRefusedTurn,      // NewImage gave no image to turn a frame into
};

struct StitchStatus {
    StitchRefusal Why = StitchRefusal::None;
    double Width = 0.0, Height = 0.0;   // the canvas or image asked for, before truncation
    size_t Sample = 0;                  // the sample whose layer or turn was refused

    explicit operator bool() const { return Why == StitchRefusal::None; }
    // One line for people: "the host made no canvas of 4000 x 2000 pixels".
    std::string Text() const;
};

// One run of layer columns [Target, Target + Count) whose pixels come, in
// order, from the frame columns at Columns[First .. First + Count).
struct ColumnRun {
    int32_t Target = 0;
    int32_t First = 0;
    int32_t Count = 0;
};

// Where the pixels of a layer whose rows are still to be copied come from.
struct LayerSource {
    const Image* Frame = nullptr;   // the sample's frame; none when the layer is placed
    std::vector<int32_t> Columns;   // the frame columns that stay, in target order
    std::vector<ColumnRun> Runs;
    std::vector<int32_t> Rows;      // per footprint row, the frame row that lands there (-1: none)
};

struct StitchJob {
    Image* StartImage = nullptr;          // one reference held, or none
    Point* ReferencePosition = nullptr;   // one reference held
    float Filter = 0.0f;                  // the "FilterMethod" value
    std::vector<FrameSample> Samples;     // ascending frame order
    Image* Canvas = nullptr;              // one reference held until handed to the request
    CanvasOrigin Origin;
    std::vector<Image*> Layers;           // layer i belongs to sample i
    std::vector<LayerFootprint> Footprints;   // footprint i belongs to layer i
    std::vector<LayerSource> Sources;         // source i belongs to layer i

    bool Empty() const {
        return !StartImage && !ReferencePosition && Samples.empty() && !Canvas && Layers.empty();
    }
};

// Fetches every frame t in [start, end] in ascending order: progress
// (t - start) / (end - start), then image, position and angle. Frames without
// an image, or whose position is not finite, are left out (what was fetched
// for them is given back). A missing position or angle reads as the input's
// default. Reports nothing and fetches nothing when end < start; a range of
// one frame reports 1.0.
void GatherFrames(StitchJob& job, const FrameInputs& inputs, int32_t start, int32_t end,
                  const ProgressReport& progress);

// Works out the canvas from the start image and the samples' positions
// (CanvasReach and CanvasOf, Geometry.h) and makes it, transparent, like the
// start image. A job without a reference position is given the input's
// default, (0.5, 0.5). Refuses, making nothing, when the job has no start
// image or already has a canvas, and refuses, holding no canvas, when the
// reference position is not finite, the size does not fit a 32-bit integer
// or the host makes no image of that size.
StitchStatus PlanCanvas(StitchJob& job, void* imageContext);

// Makes one layer per sample (progress k / n before sample k) and copies the
// sample's frame onto it, turned by its change of angle and shifted by its
// change of position (LayerShift, TurnOf, ColumnTarget and RowTarget,
// Geometry.h). Refuses when the host makes no layer or no turned image, or
// when there are samples but no canvas; the layers made so far stay in the
// job for ReleaseJob. Only the layer pixels that frame pixels reach are
// written; Footprints records where they lie.
StitchStatus PlaceLayers(StitchJob& job, const ProgressReport& progress);

// PlaceLayers in two steps. PlanLayers makes the layers, records their
// footprints and places the turned frames; the rows of the other layers are
// left to PlaceRow, which copies every such layer's row y. PlaceRow writes
// only row y of the layers and is safe to run for different rows at once;
// PlaceRow(y) before CompositeRow(y) combines row y as PlaceLayers would.
StitchStatus PlanLayers(StitchJob& job, const ProgressReport& progress);
void PlaceRow(const StitchJob& job, int32_t y);
// PlaceRow for layer k alone.
void PlaceLayerRow(const StitchJob& job, size_t k, int32_t y);

// Combines the layers into canvas row y by the job's filter method; the
// median picks from the order of MedianOrder.h (NaN after every number).
// Writes only row y of the canvas; safe to run for different rows at once,
// and the result does not depend on which threads run which rows.
void CompositeRow(const StitchJob& job, int32_t y);

// PlaceRow(y) then CompositeRow(y), with the same canvas row bit for bit,
// but the rows of unturned layers are read straight from their frames and
// never written: such a layer's storage stays untouched, so a render makes
// no page of it. Where the layer's pixel format would change a value, the
// row passes through a one-row image like the layer, which changes it
// alike. Safe to run for different rows at once.
void PlaceAndCompositeRow(const StitchJob& job, int32_t y);

// Columns [x, x + count) of row y of layer k, an unturned frame's, as
// PlaceRow would copy them from the frame, in floats before they are stored
// (transparent where no frame pixel lands). `scratch` is working room.
void ReadPlacedSpan(const StitchJob& job, size_t k, int32_t x, int32_t y, int32_t count, std::vector<float>& scratch,
                    float* rgba);

// Gives back, for each sample in order, its image, its layer and its
// position; then any layers beyond the samples, the start image and the
// reference position; and the canvas if the job still holds it. Leaves the
// job empty.
void ReleaseJob(StitchJob& job);
