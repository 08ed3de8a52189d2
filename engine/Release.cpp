// Giving back a job's host objects.
//
// Per sample, in ascending order: its image, its layer, its position; then
// layers that have no sample, the start image, the reference position and a
// canvas that was not handed on. Each object is given back exactly once and
// the job is left empty, so a second call gives back nothing.
#include "StitchJob.h"

void ReleaseJob(StitchJob& job) {
    for (size_t i = 0; i < job.Samples.size(); ++i) {
        FrameSample& sample = job.Samples[i];
        if (sample.Frame) sample.Frame->Recycle();
        if (i < job.Layers.size() && job.Layers[i]) job.Layers[i]->Recycle();
        if (sample.Position) sample.Position->Recycle();
    }
    for (size_t i = job.Samples.size(); i < job.Layers.size(); ++i)
        if (job.Layers[i]) job.Layers[i]->Recycle();
    job.Samples.clear();
    job.Layers.clear();
    job.Footprints.clear();
    job.Sources.clear();

    if (job.StartImage) job.StartImage->Recycle();
    job.StartImage = nullptr;
    if (job.ReferencePosition) job.ReferencePosition->Recycle();
    job.ReferencePosition = nullptr;
    if (job.Canvas) job.Canvas->Recycle();
    job.Canvas = nullptr;
    job.Origin = CanvasOrigin{};
}
