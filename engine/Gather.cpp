// Frame gathering.
//
// Every frame of the range is fetched once, image first, then position, then
// angle, in ascending frame order, and progress is reported before each
// frame, also for frames that turn out to have nothing. A frame becomes a
// sample only with an image and a finite position; whatever else was fetched
// for it is given back before the next frame is fetched, so a frame never
// holds a reference that no one will give back.
#include <cmath>

#include "StitchJob.h"

namespace {

// Takes `param` as a T when it is of that kind; gives anything else back.
template <class T>
T* TakeAs(Parameter* param, ParamKind kind) {
    if (!param) return nullptr;
    if (param->Kind() != kind) {
        param->Recycle();
        return nullptr;
    }
    return static_cast<T*>(param);
}

Parameter* FetchAttrs(Input* input, double time) {
    return input ? input->GetSourceAttrs(time, nullptr, REQF_SourceValue, REQF_SourceValue, TagList())
                 : nullptr;
}

}  // namespace

void GatherFrames(StitchJob& job, const FrameInputs& inputs, int32_t start, int32_t end,
                  const ProgressReport& progress) {
    if (end < start) return;
    // Formed in 64 bits: a range from INT32_MIN to INT32_MAX has no 32-bit length.
    const int64_t length = int64_t(end) - int64_t(start);
    for (int64_t t = start; t <= end; ++t) {
        if (progress) {
            // Single precision, as the host's progress is: the last frame reports exactly 1.0.
            progress(length == 0 ? 1.0f : float(t - start) / float(length));
        }
        const double time = double(t);

        HostRef<Image> image(inputs.Frames ? TakeAs<Image>(inputs.Frames->GetSource(time), ParamKind::Image)
                                           : nullptr);
        // A missing position or angle reads as the input's default.
        HostRef<Point> position(TakeAs<Point>(FetchAttrs(inputs.TrackData, time), ParamKind::Point));
        if (!position) position.Reset(Point::New(0.5, 0.5));
        double angle = 0.0;
        if (const HostRef<Number> number{TakeAs<Number>(FetchAttrs(inputs.Angle, time), ParamKind::Number)})
            angle = number->Value;

        // A position that is not finite has no place on any canvas: the frame is
        // left out as if it had no image. What is left out is given back here,
        // image first, before the next frame is fetched.
        if (image && std::isfinite(position->X) && std::isfinite(position->Y)) {
            job.Samples.push_back(FrameSample{image.Get(), position.Get(), angle});
            (void)image.Release();
            (void)position.Release();
        }
        image.Reset();
    }
}
