#include "StitchRender.h"

#include <climits>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <thread>

#include "HostApp.h"
#include "Plugins.h"
#include "Text.h"

namespace tessellon {

namespace {

// The render thread's phases as the host sees them pass: each step ends the
// phase before it.
class PhaseSteps {
public:
    explicit PhaseSteps(RenderEvents& events) : events_(events) {}
    void Begin(Phase phase) {
        End();
        current_ = phase;
        running_ = true;
        events_.PhaseBegan(phase);
    }
    void End() {
        if (running_) events_.PhaseEnded(current_);
        running_ = false;
    }
    bool In(Phase phase) const { return running_ && current_ == phase; }

private:
    RenderEvents& events_;
    Phase current_ = Phase::Gathering;
    bool running_ = false;
};

// The host's handlers and the frame source for one render, taken back
// whichever way it ends.
class RenderHooks {
public:
    RenderHooks(Input& frames, FrameCache& cache, RenderEvents& events, PhaseSteps& steps) : frames_(frames) {
        frames.SetImageSource([&cache](double time) -> Image* {
            if (!(time == std::trunc(time)) || time < double(INT32_MIN) || time > double(INT32_MAX)) return nullptr;
            return cache.Acquire(int32_t(time));
        });
        HostApp::SetProgressHandler([&events](Operator*, float fraction) { events.ToolProgress(fraction); });
        // The tool's first image on the render thread is its canvas: placing begins.
        HostApp::SetImageHandler([&steps, thread = std::this_thread::get_id()](const Image*) {
            if (std::this_thread::get_id() == thread && steps.In(Phase::Gathering)) steps.Begin(Phase::Placing);
        });
        HostApp::SetChunksHandler([&steps](Operator*, int32_t, bool done) {
            steps.Begin(done ? Phase::Releasing : Phase::Compositing);
        });
    }
    ~RenderHooks() {
        HostApp::SetProgressHandler(nullptr);
        HostApp::SetChunksHandler(nullptr);
        HostApp::SetImageHandler(nullptr);
        frames_.SetImageSource(nullptr);
    }
    RenderHooks(const RenderHooks&) = delete;
    RenderHooks& operator=(const RenderHooks&) = delete;

private:
    Input& frames_;
};

// The tool's inputs as the command line sets them: the range, the method,
// and the track's keys (or the inputs' defaults without a track).
void SetInputs(ToolInstance& tool, const StitchPlan& plan, const StitchSettings& settings) {
    tool.In("FilterMethod").SetValue(double(settings.Method));
    tool.In("StartFrame").SetValue(plan.StartValue);
    tool.In("EndFrame").SetValue(plan.EndValue);
    Input& position = tool.In("TrackData");
    Input& angle = tool.In("Angle");
    const Track* track = plan.TrackFile ? &*plan.TrackFile : nullptr;
    if (!track || track->Keys.empty()) {
        position.SetValue(0.5, 0.5);
        angle.SetValue(0.0);
        return;
    }
    for (const TrackKey& key : track->Keys) {
        position.SetKey(double(key.Frame), key.X, key.Y);
        if (track->HasAngle) angle.SetKey(double(key.Frame), key.Angle);
    }
    if (!track->HasAngle) angle.SetValue(0.0);
}

double FileBytes(const std::vector<FrameFile>& files) {
    double bytes = 0.0;
    for (const FrameFile& file : files) {
        std::error_code error;
        const uintmax_t size = std::filesystem::file_size(file.Path, error);
        if (!error) bytes += double(size);
    }
    return bytes;
}

void TakeCacheCounts(RenderCounts& counts, const FrameCache& cache) {
    counts.Requests = cache.Requests();
    counts.Waits = cache.Waits();
    counts.WaitSeconds = cache.WaitSeconds();
    counts.MostDecodes = cache.MostDecodesOfOneFile();
    counts.ReadSeconds = cache.ReadSeconds();
    counts.DecodeSeconds = cache.DecodeSeconds();
    counts.Frames = cache.Decoded();
}

// Why the render gave no picture, in the host's own words where it refused.
[[noreturn]] void NoPicture(const StitchPlan& plan, const HostApp::RenderResult& rendered,
                            const std::vector<BadFrame>& unreadable) {
    for (const BadFrame& bad : unreadable)
        if (bad.Frame == plan.StartFrame)
            NoImage("no image at the start frame " + std::to_string(plan.StartFrame) + ": " + bad.Reason);
    if (rendered.Failed) NoImage("the tool failed: " + rendered.Error);
    const HostApp::ImageRefusal refusal = HostApp::LastImageRefusal();
    const bool canvas = !refusal || (refusal.Width == plan.Canvas.Width && refusal.Height == plan.Canvas.Height);
    const std::string what = canvas ? "the canvas of " + SizeText(plan.Canvas.ExactWidth, plan.Canvas.ExactHeight)
                                    : "an image of " + SizeText(double(refusal.Width), double(refusal.Height));
    NoImage("the tool produced no image: the host refused " + what + " pixels" +
            (refusal.Text.empty() ? std::string() : ": " + refusal.Text));
}

std::vector<FrameFile> FilesOf(const StitchPlan& plan, const BandPlan* band) {
    std::vector<FrameFile> files = FramesToRead(plan);
    if (!band) return files;
    for (size_t i = 0; i < files.size(); ++i)
        files[i].Rows = FrameRows{band->Frames[i].Rows, band->Frames[i].LikeRows};
    return files;
}

}  // namespace

RenderOutcome RenderStitch(const StitchPlan& plan, const StitchSettings& settings, const Plugins& plugins,
                           RenderEvents& events, uint64_t (*bytesRead)(), const BandPlan* band) {
    ToolInstance tool(plugins.Find(StitchClass));
    SetInputs(tool, plan, settings);

    FrameCache::Options options;
    options.Limits = settings.Limits.Frames;
    options.Threads = settings.Threads;
    options.SkipBadFrames = settings.SkipBadFrames;
    options.ImageContext = tool.Op().ImageContext;
    options.Progress = [&events](int done, int total) { events.FramesDecoded(done, total); };
    options.Decoded = band ? nullptr : settings.Decoded;
    options.Inspect = settings.Inspect;
    FrameCache cache(FilesOf(plan, band), options);

    RenderOutcome outcome;
    RenderCounts& counts = outcome.Counts;
    counts.FileBytes = FileBytes(cache.Files());
    const uint64_t readBefore = bytesRead();
    const HostApp::TransformTotals turnedBefore = HostApp::Transforms();

    HostApp::RenderResult rendered;
    {
        PhaseSteps steps(events);
        RenderHooks hooks(tool.In("Input"), cache, events, steps);
        events.PhaseBegan(Phase::Reading);
        cache.Start();
        steps.Begin(Phase::Gathering);
        rendered = band ? HostApp::Render(&tool.Op(), &tool.Out("Output"), double(plan.StartFrame),
                                          HostRowsOf(band->Rows, plan.Canvas.Height))
                        : HostApp::Render(&tool.Op(), &tool.Out("Output"), double(plan.StartFrame));
        steps.End();
        cache.Finish();
        events.PhaseEnded(Phase::Reading);
    }
    counts.BytesRead = double(bytesRead() - readBefore);
    const HostApp::TransformTotals turned = HostApp::Transforms();
    counts.Turns = turned.Calls - turnedBefore.Calls;
    counts.TurnSeconds = turned.Seconds - turnedBefore.Seconds;
    TakeCacheCounts(counts, cache);
    HostRef<Parameter> output(rendered.Output);
    if (output && output->Kind() == ParamKind::Image) outcome.Picture.Reset(static_cast<Image*>(output.Release()));

    if (cache.Failed()) BadInput(cache.Failure().Reason + "; --skip-bad-frames passes over unreadable frames");
    outcome.Unreadable = cache.Skipped();
    outcome.Transparent = cache.TransparentFrames();
    cache.Release();
    if (!outcome.Picture) NoPicture(plan, rendered, outcome.Unreadable);
    return outcome;
}

}  // namespace tessellon
