#include "EngineHarness.h"

#include <cstring>

bool SameBits(const Rgba& a, const Rgba& b) { return std::memcmp(a.data(), b.data(), sizeof(Rgba)) == 0; }

Image* MakeImage(int32_t width, int32_t height, int32_t format,
                 const std::function<Rgba(int32_t x, int32_t y)>& paint) {
    Image* image = NewImage({
        Tag<IMG_Width>(width),
        Tag<IMG_Height>(height),
        Tag<IMG_Channel>(0),
        Tag<IMG_Channel>(1),
        Tag<IMG_Channel>(2),
        Tag<IMG_Channel>(3),
        Tag<IMG_Format>(format),
    });
    if (!image || !paint) return image;
    PixelAccessor pixels(image);
    PixelRecord record{};
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const Rgba value = paint(x, y);
            std::memcpy(record.Chan, value.data(), sizeof(Rgba));
            pixels.SetPosition(x, y);
            pixels.WritePixel(record);
        }
    return image;
}

Rgba PixelAt(const Image* image, int32_t x, int32_t y) {
    PixelAccessor pixels(image);
    pixels.SetPosition(x, y);
    PixelRecord record{};
    pixels.ReadPixel(record);
    Rgba value;
    std::memcpy(value.data(), record.Chan, sizeof(Rgba));
    return value;
}

std::vector<float> AllPixels(const Image* image) {
    std::vector<float> values;
    values.reserve(size_t(image->Width) * size_t(image->Height) * 4);
    for (int32_t y = 0; y < image->Height; ++y)
        for (int32_t x = 0; x < image->Width; ++x) {
            const Rgba value = PixelAt(image, x, y);
            values.insert(values.end(), value.begin(), value.end());
        }
    return values;
}

StitchHarness::StitchHarness() : ThreadedOperator(nullptr, ScriptVal(), TagList()) {
    // Declared with the tags the tool declares them with.
    TrackData = AddInput(HostID("Steady position", true), HostID("TrackData", true),
                         {Tag<LINK_DataType>(ID_Point), Tag<INP_Control>(ID_OffsetControl)});
    Angle = AddInput(HostID("Steady angle", true), HostID("Angle", true),
                     {Tag<LINK_DataType>(ID_Number), Tag<INP_Control>(ID_ScrewControl), Tag<INP_TravelLow>(0.0),
                      Tag<INP_TravelHigh>(360.0), Tag<INP_Default>(0.0)});
    Image_ = AddInput(HostID("Input", true), HostID("Input", true),
                      {Tag<LINK_DataType>(ID_Image), Tag<LINK_Main>(1)});
    Image_->SetImageSource([this](double time) -> Image* {
        const auto found = Frames.find(int32_t(time));
        if (found == Frames.end() || !found->second) return nullptr;
        found->second->Use();
        return found->second;
    });
}

StitchHarness::~StitchHarness() {
    for (auto& [frame, image] : Frames)
        if (image) image->Recycle();
}

void StitchHarness::ProcessChunk(Request*, int32_t chunk) {
    if (PlaceWhileCombining)
        PlaceAndCompositeRow(*running_, chunk);
    else
        CompositeRow(*running_, chunk);
}

void StitchHarness::BeginJob(StitchJob& job, int32_t start, float filter) const {
    Parameter* image = Image_->GetSource(start);
    job.StartImage = image && image->Kind() == ParamKind::Image ? static_cast<Image*>(image) : nullptr;
    job.ReferencePosition = static_cast<Point*>(TrackData->GetSource(start));
    job.Filter = filter;
}

bool StitchHarness::Prepare(StitchJob& job, int32_t start, int32_t end, float filter, std::vector<float>* progress) {
    BeginJob(job, start, filter);
    const ProgressReport report = progress ? Recorder(*progress) : ProgressReport();
    if (start < end) GatherFrames(job, Inputs(), start, end, report);
    if (!PlanCanvas(job, ImageContext)) return false;
    return bool(PlaceWhileCombining ? PlanLayers(job, report) : PlaceLayers(job, report));
}

void StitchHarness::Composite(const StitchJob& job) {
    running_ = &job;
    Request request(this, 0.0);
    DoMultiProcess(&request, job.Canvas->Height);
    running_ = nullptr;
}

ProgressReport Recorder(std::vector<float>& values) {
    return [&values](float fraction) { values.push_back(fraction); };
}

int64_t EngineTest::Leaked() const {
    int64_t held = 0;
    for (const auto& [frame, image] : Host->Frames) held += image ? 1 : 0;
    return HostApp::LiveObjects() - held;
}

Image* CoordinateFrame(int32_t width, int32_t height, float id, int32_t format) {
    return MakeImage(width, height, format, [id](int32_t x, int32_t y) { return Rgba{float(x), float(y), id, 1.0f}; });
}

void AddSample(StitchJob& job, Image* frame, double x, double y, double angle) {
    job.Samples.push_back(FrameSample{frame, Point::New(x, y), angle});
}
