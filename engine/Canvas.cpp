// Canvas geometry.
//
// The canvas is the start image grown by the farthest reach of the samples'
// positions from the reference position on each side, in fractions of the
// start image's size; its size is truncated toward zero, its origin kept
// fractional. A canvas that cannot be made (a size that is not finite or
// does not fit a 32-bit integer, or one the host refuses) leaves the job
// without a canvas and holding nothing new.
#include <algorithm>
#include <cmath>

#include "StitchJob.h"

namespace {

// Truncates a canvas side; 0 when it is not finite or does not fit an int32.
int32_t CanvasSide(double side) {
    if (!(side >= 1.0 && side < 2147483648.0)) return 0;
    return int32_t(side);
}

}  // namespace

bool PlanCanvas(StitchJob& job, void* imageContext) {
    const Image* start = job.StartImage;
    if (!start || job.Canvas) return false;
    // The reference position reads as the input's default when the host had none.
    if (!job.ReferencePosition) job.ReferencePosition = Point::New(0.5, 0.5);
    const Point& reference = *job.ReferencePosition;
    if (!std::isfinite(reference.X) || !std::isfinite(reference.Y)) return false;

    double lx = 0.0, hx = 0.0, ly = 0.0, hy = 0.0;
    for (const FrameSample& sample : job.Samples) {
        lx = std::max(lx, reference.X - sample.Position->X);
        hx = std::max(hx, sample.Position->X - reference.X);
        ly = std::max(ly, reference.Y - sample.Position->Y);
        hy = std::max(hy, sample.Position->Y - reference.Y);
    }

    const int32_t width = CanvasSide(double(start->Width) * (lx + hx + 1.0));
    const int32_t height = CanvasSide(double(start->Height) * (ly + hy + 1.0));
    if (width == 0 || height == 0) return false;

    Image* canvas = NewImage({
        Tag<IMG_Context>(imageContext),
        Tag<IMG_Width>(width),
        Tag<IMG_Height>(height),
        Tag<IMG_Channel>(2),
        Tag<IMG_Channel>(1),
        Tag<IMG_Channel>(0),
        Tag<IMG_Channel>(3),
        Tag<IMG_Format>(start->Format),
    });
    if (!canvas) return false;
    canvas->Fill(0, 0, 0, 0);

    job.Canvas = canvas;
    job.Origin = CanvasOrigin{double(start->Width) * lx, double(start->Height) * ly};
    return true;
}
