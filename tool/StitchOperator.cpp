#include "StitchOperator.h"

#include <cmath>
#include <limits>

#include "HostWindows.h"

namespace {

constexpr const char* AboutText =
    "Tessellon 1.0\n"
    "https://www.orvandel.example/tessellon\n"
    "tessellon@orvandel.example\n"
    "by Orvandel\n"
    "\n"
    "\n"
    "Tessellon is a temporal plugin that generates a stitched image from a number of images.";

constexpr const char* AboutCaption = "About this filter";

// The combo entries are appended in the order of the enum: entry k stands for
// the value k.
static_assert(static_cast<int>(FilterMethod::UniquePixels) == 0);
static_assert(static_cast<int>(FilterMethod::Median) == 1);

// A number parameter's value, or `fallback` when the host gave none or a
// parameter of another kind.
double NumberOf(const Parameter* param, double fallback) {
    if (!param || param->Kind() != ParamKind::Number)
        return fallback;
    return static_cast<const Number*>(param)->Value;
}

// Frame numbers truncate toward zero. A value beyond the 32-bit range clamps
// to its end and NaN reads as frame 0, so no parameter value can make the
// conversion undefined.
int32_t FrameOf(const Parameter* param) {
    const double value = NumberOf(param, 0.0);
    if (std::isnan(value))
        return 0;
    if (value <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    if (value >= 2147483648.0)
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

// The image the input yields at `time`, or null. Anything that is not an
// image is given back at once.
Image* ImageAt(Input* input, double time) {
    Parameter* param = input->GetSource(time);
    if (param && param->Kind() != ParamKind::Image) {
        param->Recycle();
        return nullptr;
    }
    return static_cast<Image*>(param);
}

// The "TrackData" value at `time`. When the host yields none (or something
// that is not a point), the input's default, the frame's centre, stands in,
// as it does for every other frame of the range.
Point* PositionAt(Input* input, double time) {
    Parameter* param = input->GetSource(time);
    if (param && param->Kind() == ParamKind::Point)
        return static_cast<Point*>(param);
    if (param)
        param->Recycle();
    return Point::New(0.5, 0.5);
}

}  // namespace

StitchOperator::StitchOperator(const Registry* registry, const ScriptVal& table, const TagList& tags)
    : ThreadedOperator(registry, table, tags) {
    InFilterMethod = AddInput(HostID("Filter method", true), HostID("FilterMethod", true),
                              {Tag<LINK_DataType>(ID_Number), Tag<INP_Control>(ID_ComboControl),
                               Tag<INP_ComboEntry>("None (unique pixels)"), Tag<INP_ComboEntry>("Median"),
                               Tag<INP_ComboStyle>(1), Tag<INP_RangeHigh>(1.0), Tag<INP_RangeLow>(0.0),
                               Tag<INP_Default>(0.0), Tag<INP_NotifyChanged>(1), Tag<INP_ControlScale>(1.0)});

    const TagList frameTags{Tag<LINK_DataType>(ID_Number), Tag<INP_Control>(ID_SliderControl),
                            Tag<INP_RangeLow>(0.0), Tag<INP_RangeHigh>(1000.0),
                            Tag<INP_Default>(0.0), Tag<INP_Integer>(1)};
    InStartFrame = AddInput(HostID("Start frame", true), HostID("StartFrame", true), frameTags);
    InEndFrame = AddInput(HostID("End frame", true), HostID("EndFrame", true), frameTags);

    InTrackData = AddInput(HostID("Steady position", true), HostID("TrackData", true),
                           {Tag<LINK_DataType>(ID_Point), Tag<INP_Control>(ID_OffsetControl)});

    InAngle = AddInput(HostID("Steady angle", true), HostID("Angle", true),
                       {Tag<LINK_DataType>(ID_Number), Tag<INP_Control>(ID_ScrewControl),
                        Tag<INP_TravelLow>(0.0), Tag<INP_TravelHigh>(360.0), Tag<INP_Default>(0.0)});

    InImage = AddInput(HostID("Input", true), HostID("Input", true),
                       {Tag<LINK_DataType>(ID_Image), Tag<LINK_Main>(1)});

    OutImage = AddOutput(HostID("Output", true), HostID("Output", true),
                         {Tag<LINK_DataType>(ID_Image), Tag<LINK_Main>(1)});

    InAbout = AddInput(HostID("About", true), HostID("About", true),
                       {Tag<INP_Control>(ID_ButtonControl), Tag<INP_NotifyChanged>(1)});
}

StitchOperator::~StitchOperator() = default;

void StitchOperator::Process(Request* request) {
    // Whichever way the render ends, also by an exception out of a chunk,
    // the job gives back what it holds through ReleaseJob alone.
    try {
        Render(request);
    } catch (...) {
        ReleaseJob(CurrentJob);
        throw;
    }
    ReleaseJob(CurrentJob);
}

void StitchOperator::Render(Request* request) {
    const int32_t start = FrameOf(request->GetInputData(InStartFrame, 0));
    const int32_t end = FrameOf(request->GetInputData(InEndFrame, 0));

    StitchJob& job = CurrentJob;
    job.StartImage = ImageAt(InImage, start);
    job.Filter = static_cast<float>(NumberOf(request->GetInputData(InFilterMethod, 0), 0.0));
    job.ReferencePosition = PositionAt(InTrackData, start);

    if (start == end || !job.StartImage) {
        request->SetOutputData(OutImage, job.StartImage);
        job.StartImage = nullptr;
        return;
    }

    const ProgressReport progress = [this](float fraction) { SetProgress(fraction); };
    if (start < end)
        GatherFrames(job, FrameInputs{InImage, InTrackData, InAngle}, start, end, progress);

    // A canvas or layer the host cannot make leaves nothing to show: the
    // output is none rather than a partly built picture.
    if (!PlanCanvas(job, ImageContext) || !PlanLayers(job, progress)) {
        request->SetOutputData(OutImage, nullptr);
        return;
    }

    DoMultiProcess(request, job.Canvas->Height);

    request->SetOutputData(OutImage, job.Canvas);
    job.Canvas = nullptr;
}

void StitchOperator::NotifyChanged(Input* input, Parameter* param, double time, TagList* tags) {
    // NaN fails the comparison, so a value that is not a number never opens
    // the box.
    if (param && input == InAbout && param->Kind() == ParamKind::Number &&
        static_cast<const Number*>(param)->Value >= 0.5)
        MessageBoxA(nullptr, AboutText, AboutCaption, MB_OK);
    Operator::NotifyChanged(input, param, time, tags);
}

void StitchOperator::ProcessChunk(Request*, int32_t chunk) {
    // Only rows of a running request's canvas exist; a chunk outside them
    // (or a call with no request running) has nothing to write.
    const Image* canvas = CurrentJob.Canvas;
    if (!canvas || chunk < 0 || chunk >= canvas->Height)
        return;
    PlaceAndCompositeRow(CurrentJob, chunk);
}
