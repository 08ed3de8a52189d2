// Canvas geometry.
//
// The canvas is the start image grown by the farthest reach of the samples'
// positions from the reference position on each side, in fractions of the
// start image's size; its size is truncated toward zero, its origin kept
// fractional (Geometry.h). A canvas that cannot be made (a size that is not
// finite or does not fit a 32-bit integer, or one the host refuses) leaves
// the job without a canvas and holding nothing new.
#include <cmath>

#include "StitchJob.h"

StitchStatus PlanCanvas(StitchJob& job, void* imageContext) {
    const Image* start = job.StartImage;
    if (!start) return StitchStatus{StitchRefusal::NoStartImage};
    if (job.Canvas) return StitchStatus{StitchRefusal::AlreadyPlanned};
    // The reference position reads as the input's default when the host had none.
    if (!job.ReferencePosition) job.ReferencePosition = Point::New(0.5, 0.5);
    const Point& reference = *job.ReferencePosition;
    if (!std::isfinite(reference.X) || !std::isfinite(reference.Y))
        return StitchStatus{StitchRefusal::ReferenceNotFinite};

    CanvasReach reach;
    for (const FrameSample& sample : job.Samples)
        reach.Add(reference.X, reference.Y, sample.Position->X, sample.Position->Y);
    const CanvasGeometry geometry = CanvasOf(start->Width, start->Height, reach);
    StitchStatus refused{StitchRefusal::CanvasSize, geometry.ExactWidth, geometry.ExactHeight};
    if (!geometry.Representable()) return refused;

    Image* canvas = NewImage({
        Tag<IMG_Context>(imageContext),
        Tag<IMG_Width>(geometry.Width),
        Tag<IMG_Height>(geometry.Height),
        Tag<IMG_Channel>(StoredChannels[0]),
        Tag<IMG_Channel>(StoredChannels[1]),
        Tag<IMG_Channel>(StoredChannels[2]),
        Tag<IMG_Channel>(StoredChannels[3]),
        Tag<IMG_Format>(start->Format),
    });
    if (!canvas) {
        // The host application has the host's own words for why.
        refused.Why = StitchRefusal::HostRefusedCanvas;
        return refused;
    }
    canvas->Fill(0, 0, 0, 0);

    job.Canvas = canvas;
    job.Origin = geometry.Origin;
    return StitchStatus{};
}
