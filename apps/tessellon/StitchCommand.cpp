#include "StitchCommand.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "FrameCache.h"
#include "HostApp.h"
#include "ImageFiles.h"
#include "Messages.h"
#include "Plugins.h"
#include "Progress.h"
#include "Sequence.h"
#include "System.h"

namespace tessellon {

namespace fs = std::filesystem;

namespace {

constexpr int FilterUnique = 0;
constexpr int FilterMedian = 1;

std::string Number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

bool SamePath(const fs::path& a, const fs::path& b) {
    std::error_code error;
    if (fs::exists(a, error) && fs::exists(b, error)) {
        const bool same = fs::equivalent(a, b, error);
        if (!error) return same;
    }
    const fs::path ca = fs::weakly_canonical(a, error);
    if (error) return false;
    const fs::path cb = fs::weakly_canonical(b, error);
    return !error && ca == cb;
}

fs::path FolderOf(const fs::path& path) {
    return path.parent_path().empty() ? fs::path(".") : path.parent_path();
}

// The outputs must be files of a known type in folders that exist and take
// new files, so that a run never does its work only to fail at the end.
void CheckOutput(const std::string& output) {
    if (output.empty()) BadInput("--output is empty");
    if (!IsOutputType(output))
        BadInput("cannot write " + Quoted(output) + ": unknown output file type (use " + OutputTypes() + ")");
    const fs::path target(output);
    const fs::path folder = FolderOf(target);
    std::error_code error;
    if (!fs::is_directory(folder, error))
        BadInput("cannot write " + Quoted(output) + ": " + Quoted(folder.string()) +
                 (fs::exists(folder, error) ? " is not a folder" : " does not exist"));
    if (fs::is_directory(target, error)) BadInput("cannot write " + Quoted(output) + ": it is a folder");
    // Tried rather than asked: permissions, read-only mounts and a root user
    // all have their say, and only making a file hears them all.
    std::string probe = (folder / ".tessellon-write-XXXXXX").string();
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        BadInput("cannot write " + Quoted(output) + ": the folder " + Quoted(folder.string()) +
                 " takes no new files (" + std::error_code(errno, std::generic_category()).message() + ")");
    ::close(fd);
    ::unlink(probe.c_str());
}

// An output that is one of the inputs would destroy it.
void CheckNotInput(const std::string& output, const FrameSequence& sequence, const std::vector<int>& found,
                   const std::string& trackPath) {
    const fs::path target(output);
    if (!trackPath.empty() && SamePath(target, trackPath))
        BadInput("the output " + Quoted(output) + " is the track file; choose another output name");
    int frame = 0;
    const fs::path sequenceFolder = sequence.Directory.empty() ? fs::path(".") : fs::path(sequence.Directory);
    if (MatchFrame(sequence, target.filename().string(), frame) && SamePath(FolderOf(target), sequenceFolder))
        BadInput("the output " + Quoted(output) + " is frame " + std::to_string(frame) + " of the input sequence " +
                 Quoted(sequence.Pattern) + "; choose another output name");
    // Another name for an input file (a link, "./", "..") is the same file too.
    for (int f : found)
        if (SamePath(target, FramePath(sequence, f)))
            BadInput("the output " + Quoted(output) + " is the input frame " + Quoted(FramePath(sequence, f)) +
                     "; choose another output name");
}

int32_t FrameOf(double value, const char* option) {
    if (!std::isfinite(value) || std::trunc(value) < double(INT32_MIN) || std::trunc(value) > double(INT32_MAX))
        BadInput(std::string(option) + " " + Number(value) + " is not a frame number");
    return int32_t(std::trunc(value));
}

// The frames of [first, last] that `found` lacks, as ranges for messages,
// without listing the range one frame at a time.
std::string MissingText(const std::vector<int>& found, int64_t first, int64_t last, size_t& count) {
    std::string text;
    count = 0;
    auto add = [&](int64_t a, int64_t b) {
        if (a > b) return;
        count += size_t(b - a + 1);
        if (!text.empty()) text += ", ";
        text += FrameRangeText(a, b);
    };
    int64_t next = first;
    for (int f : found) {
        if (f < first || f > last) continue;
        add(next, int64_t(f) - 1);
        next = int64_t(f) + 1;
    }
    add(next, last);
    return text;
}

// The value of the track at `frame`, as the host's keyed inputs give it:
// linear between keys, held outside them. Also the key that weighs most.
struct TrackSample {
    double X = 0.5, Y = 0.5;
    const TrackKey* Before = nullptr;
    const TrackKey* After = nullptr;
};

TrackSample SampleTrack(const Track* track, double frame) {
    TrackSample sample;
    if (!track || track->Keys.empty()) return sample;
    const std::vector<TrackKey>& keys = track->Keys;
    if (!(frame > double(keys.front().Frame))) {
        sample.X = keys.front().X;
        sample.Y = keys.front().Y;
        sample.Before = sample.After = &keys.front();
        return sample;
    }
    if (frame >= double(keys.back().Frame)) {
        sample.X = keys.back().X;
        sample.Y = keys.back().Y;
        sample.Before = sample.After = &keys.back();
        return sample;
    }
    const auto next = std::upper_bound(keys.begin(), keys.end(), frame,
                                       [](double t, const TrackKey& k) { return t < double(k.Frame); });
    const TrackKey& a = *(next - 1);
    const TrackKey& b = *next;
    sample.Before = &a;
    if (frame == double(a.Frame)) {
        sample.X = a.X;
        sample.Y = a.Y;
        sample.After = &a;
        return sample;
    }
    const double f = (frame - double(a.Frame)) / (double(b.Frame) - double(a.Frame));
    sample.X = a.X + (b.X - a.X) * f;
    sample.Y = a.Y + (b.Y - a.Y) * f;
    sample.After = &b;
    return sample;
}

// The canvas the tool will ask for, worked out the way it does.
struct CanvasPlan {
    double Width = 0.0, Height = 0.0;   // before truncation
    int64_t W = 0, H = 0;
    int BytesPerPixel = 16;
};

struct PlannedFrame {
    int Frame = 0;
    ImageFileInfo Info;
};

std::string SizeText(double w, double h) { return Number(std::trunc(w)) + " x " + Number(std::trunc(h)); }

CanvasPlan PlanCanvasAhead(const std::vector<PlannedFrame>& frames, const ImageFileInfo& start, int32_t startFrame,
                           int32_t endFrame, const Track* track, const RenderLimits& limits, uint64_t imageBytes) {
    CanvasPlan plan;
    plan.BytesPerPixel = 4 * std::max(1, BytesPerChannel(start.HostFormat));
    const TrackSample reference = SampleTrack(track, double(startFrame));
    const double maxSide = double(std::min<int64_t>(limits.MaxCanvasSide, MaxImageSide));

    double lx = 0.0, hx = 0.0, ly = 0.0, hy = 0.0;
    auto check = [&](int frame, const TrackSample* at) {
        const double w = double(start.Width) * (lx + hx + 1.0);
        const double h = double(start.Height) * (ly + hy + 1.0);
        std::string why;
        const double bytes = std::trunc(w) * std::trunc(h) * double(plan.BytesPerPixel);
        if (!(w < maxSide + 1.0) || !(h < maxSide + 1.0))
            why = "beyond the largest side of " + std::to_string(int64_t(maxSide)) + " pixels (--max-canvas-size)";
        else if (bytes > double(imageBytes))
            why = "which needs " + ByteText(bytes) + ", beyond the largest image of " + ByteText(double(imageBytes)) +
                  " that the host makes (--max-image-bytes)";
        if (why.empty()) {
            plan.Width = w;
            plan.Height = h;
            return;
        }
        if (!at || lx + hx + ly + hy == 0.0)
            BadInput("the start frame's size asks for a canvas of " + SizeText(w, h) + " pixels, " + why);
        std::string where, source;
        if (at->Before) {
            // Of the keys the frame's position comes from, the one farther out pushed it.
            const TrackKey* key = at->Before;
            if (at->After && at->After != at->Before) {
                auto reach = [&](const TrackKey* k) {
                    return std::abs(k->X - reference.X) * start.Width + std::abs(k->Y - reference.Y) * start.Height;
                };
                if (reach(at->After) > reach(at->Before)) key = at->After;
            }
            where = track->Path + ":" + std::to_string(key->Line) + ": ";
            if (key->Frame != frame) source = ", from the key of frame " + std::to_string(key->Frame) + ",";
        }
        BadInput(where + "the position of frame " + std::to_string(frame) + " (" + Number(at->X) + ", " +
                 Number(at->Y) + ")" + source + " asks for a canvas of " + SizeText(w, h) + " pixels, " + why);
    };

    if (startFrame < endFrame) {
        for (const PlannedFrame& frame : frames) {
            const TrackSample at = SampleTrack(track, double(frame.Frame));
            lx = std::max(lx, reference.X - at.X);
            hx = std::max(hx, at.X - reference.X);
            ly = std::max(ly, reference.Y - at.Y);
            hy = std::max(hy, at.Y - reference.Y);
            check(frame.Frame, &at);
        }
    }
    check(startFrame, nullptr);
    plan.W = int64_t(plan.Width);
    plan.H = int64_t(plan.Height);
    return plan;
}

// What the render will hold at its peak, before a pixel is read: every frame
// of the range, the canvas, and one layer per frame, each layer costing the
// memory pages its frame's rows touch.
struct MemoryEstimate {
    double Frames = 0.0, Canvas = 0.0, Layers = 0.0, Turned = 0.0;
    double Total() const { return Frames + Canvas + Layers + Turned; }
};

MemoryEstimate EstimateMemory(const std::vector<PlannedFrame>& frames, const CanvasPlan& canvas, bool turning,
                              bool layered) {
    constexpr double page = 4096.0;
    MemoryEstimate estimate;
    const double canvasRow = double(canvas.W) * canvas.BytesPerPixel;
    estimate.Canvas = canvasRow * double(canvas.H) + double(canvas.H) * 8.0;
    double largest = 0.0;
    for (const PlannedFrame& frame : frames) {
        estimate.Frames += double(frame.Info.HostBytes);
        largest = std::max(largest, double(frame.Info.HostBytes));
        if (!layered) continue;
        const double rows = double(std::min<int64_t>(frame.Info.Height, canvas.H));
        const double row = double(std::min<int64_t>(frame.Info.Width, canvas.W)) * canvas.BytesPerPixel;
        estimate.Layers += rows * std::min(canvasRow, std::ceil(row / page) * page + page) + double(canvas.H) * 8.0;
    }
    if (turning) estimate.Turned = largest;
    return estimate;
}

// Gives back one reference when it goes.
struct HeldImage {
    Image* Picture = nullptr;
    ~HeldImage() {
        if (Picture) Picture->Recycle();
    }
};

// Takes the host's handlers back whichever way the render ends.
struct RenderHooks {
    Input* Frames = nullptr;
    ~RenderHooks() {
        HostApp::SetProgressHandler(nullptr);
        HostApp::SetChunksHandler(nullptr);
        if (Frames) Frames->SetImageSource(nullptr);
    }
};

// What --stats reports beyond the phase times.
struct RenderCounts {
    int Threads = 1;
    int Frames = 0;                  // decoded into an image
    int FrameWidth = 0, FrameHeight = 0;
    std::string FrameFormats;        // the host formats the frames were kept in
    int CanvasWidth = 0, CanvasHeight = 0;
    int32_t CanvasFormat = 0;
    double CanvasBytes = 0.0;
    int MostDecodes = 0;             // of any one file
    double FileBytes = 0.0;          // the sizes of the frames' files
    double BytesRead = 0.0;          // what the process read while the frames were decoded
    int Requests = 0, Waits = 0;     // the tool's frame requests, and those that waited
    double WaitSeconds = 0.0;
    int64_t Turns = 0;               // Image::Transform calls of the render
    double TurnSeconds = 0.0;
    bool Median = false;
};

const char* FormatName(int32_t format) {
    switch (format) {
    case Format_UInt8: return "8-bit";
    case Format_UInt16: return "16-bit";
    case Format_Half: return "half";
    case Format_Float: return "float";
    default: return "unknown";
    }
}

void PrintStats(const PhaseTimes& times, const MemoryEstimate& estimate, const RenderCounts& counts) {
    const int threads = counts.Threads;
    std::printf("tessellon stats:\n");
    std::printf("  frames       %d of %d x %d, %s, %s; canvas %d x %d, %s, %s (layers are made like it)\n", counts.Frames,
                counts.FrameWidth, counts.FrameHeight, counts.FrameFormats.c_str(), ByteText(estimate.Frames).c_str(),
                counts.CanvasWidth, counts.CanvasHeight, FormatName(counts.CanvasFormat),
                ByteText(counts.CanvasBytes).c_str());
    std::printf("  reading      %8.3f s  (decoding %.3f s summed over %d thread%s; each file decoded %s; %s read, "
                "%.2f x the files)\n",
                times.Reading, times.Decoding, threads, threads == 1 ? "" : "s",
                counts.MostDecodes <= 1 ? "once" : ("up to " + std::to_string(counts.MostDecodes) + " times").c_str(),
                ByteText(counts.BytesRead).c_str(), counts.FileBytes > 0.0 ? counts.BytesRead / counts.FileBytes : 0.0);
    std::printf("  gathering    %8.3f s  (the tool asked for %d frames and waited for %d of them, %.3f s in all)\n",
                times.Gathering, counts.Requests, counts.Waits, counts.WaitSeconds);
    std::printf("  placement    %8.3f s  (turning %lld frame%s: %.3f s)\n", times.Placement,
                static_cast<long long>(counts.Turns), counts.Turns == 1 ? "" : "s", counts.TurnSeconds);
    std::printf("  compositing  %8.3f s  (%s)\n", times.Compositing, counts.Median ? "median" : "unique pixels");
    std::printf("  releasing    %8.3f s\n", times.Releasing);
    std::printf("  writing      %8.3f s\n", times.Writing);
    std::printf("  total        %8.3f s\n", times.Total);
    const double peak = PeakResidentBytes();
    const double bound = estimate.Frames * 2.0 + counts.CanvasBytes;
    std::printf("  peak resident memory %s: %.2f x (frames x 2 + canvas = %s); estimated before reading: %s\n",
                ByteText(peak).c_str(), bound > 0.0 ? peak / bound : 0.0, ByteText(bound).c_str(),
                ByteText(estimate.Total()).c_str());
    std::fflush(stdout);
}

}  // namespace

uint64_t DefaultMemoryBudget() {
    const uint64_t physical = PhysicalMemoryBytes();
    if (physical == 0) return uint64_t(8) << 30;
    return uint64_t(double(physical) * 0.8);
}

StitchSummary RunStitch(const StitchSettings& settings, const Plugins& plugins) {
    Progress progress(StandardErrorIsTerminal() && !settings.Quiet);

    if (settings.Outputs.empty()) BadInput("no --output given");
    for (const std::string& output : settings.Outputs) CheckOutput(output);
    if (settings.Method != FilterUnique && settings.Method != FilterMedian)
        BadInput("--method must be unique or median");

    const FrameSequence sequence = ParseFramePattern(settings.Frames);
    const std::vector<int> found = FindFrames(sequence);

    std::optional<Track> track;
    if (!settings.TrackPath.empty()) {
        track = ReadTrackFile(settings.TrackPath);
    }
    const bool keyed = track && !track->Keys.empty();

    // The range: as given, else the track file's, else the pattern's own, else the files'.
    if (!settings.Start && !settings.End && !keyed && sequence.Listed.empty() && found.empty()) {
        std::string hint;
        if (settings.Frames.find("##") != std::string::npos)
            hint = " (each # stands for four digits: use @@@@ or %04d for four)";
        BadInput("no files match --frames " + Quoted(settings.Frames) + ": looked for names like " +
                 Quoted(FramePath(sequence, 1)) + hint);
    }
    auto firstOf = [&]() -> double {
        if (keyed) return track->Keys.front().Frame;
        if (!sequence.Listed.empty()) return sequence.Listed.front();
        if (!found.empty()) return found.front();
        return settings.End.value_or(0.0);
    };
    auto lastOf = [&]() -> double {
        if (keyed) return track->Keys.back().Frame;
        if (!sequence.Listed.empty()) return sequence.Listed.back();
        if (!found.empty()) return found.back();
        return settings.Start.value_or(0.0);
    };
    const double startValue = settings.Start ? *settings.Start : firstOf();
    const double endValue = settings.End ? *settings.End : lastOf();
    const int32_t startFrame = FrameOf(startValue, "--start");
    const int32_t endFrame = FrameOf(endValue, "--end");

    for (const std::string& output : settings.Outputs)
        CheckNotInput(output, sequence, found, settings.TrackPath);

    // The tool reads the whole range only when it runs forward; otherwise
    // only the start frame.
    const int64_t first = startFrame;
    const int64_t last = startFrame < endFrame ? int64_t(endFrame) : int64_t(startFrame);
    const std::string startPath = FramePath(sequence, startFrame);
    if (!std::binary_search(found.begin(), found.end(), startFrame))
        NoImage("no image at the start frame " + std::to_string(startFrame) + ": " + Quoted(startPath) +
                " does not exist");
    size_t missingCount = 0;
    const std::string missing = MissingText(found, first, last, missingCount);
    if (missingCount > 0)
        PrintWarning(std::to_string(missingCount) + (missingCount == 1 ? " frame has" : " frames have") +
                     " no file and no image: " + missing + " of " + Quoted(settings.Frames));

    // Headers first: sizes, formats and limits, before any pixel is read.
    std::vector<PlannedFrame> planned;
    std::vector<FrameFile> files;
    std::vector<BadFrame> skipped;
    for (int frame : found) {
        if (frame < first || frame > last) continue;
        const std::string path = FramePath(sequence, frame);
        try {
            planned.push_back(PlannedFrame{frame, ProbeImageFile(path, settings.Limits.Frames)});
            files.push_back(FrameFile{frame, path, true});
        } catch (const Error& e) {
            if (!settings.SkipBadFrames) BadInput(std::string(e.what()) + "; --skip-bad-frames passes over unreadable frames");
            skipped.push_back(BadFrame{frame, path, e.what()});
        }
    }
    if (planned.empty() || planned.front().Frame != startFrame)
        NoImage("no image at the start frame " + std::to_string(startFrame) + ": " +
                (skipped.empty() ? Quoted(startPath) + " cannot be read" : skipped.front().Reason));
    const ImageFileInfo startInfo = planned.front().Info;

    if (track) {
        ConvertTrack(*track, settings.Units, settings.Origin, startInfo.Width, startInfo.Height);
    }

    if (settings.Limits.MaxImageBytes) HostApp::SetImageByteLimit(settings.Limits.MaxImageBytes);
    const uint64_t imageBytes = HostApp::ImageByteLimit();
    const CanvasPlan canvas =
        PlanCanvasAhead(planned, startInfo, startFrame, endFrame, track ? &*track : nullptr, settings.Limits, imageBytes);

    bool turning = false;
    if (track && track->HasAngle)
        for (const TrackKey& key : track->Keys) turning = turning || key.Angle != track->Keys.front().Angle;
    const bool layered = startFrame < endFrame;
    const MemoryEstimate estimate = EstimateMemory(planned, canvas, turning, layered);
    const uint64_t budget = settings.Limits.MaxMemory ? settings.Limits.MaxMemory : DefaultMemoryBudget();
    if (estimate.Total() > double(budget))
        BadInput("the render needs about " + ByteText(estimate.Total()) + " (frames " + ByteText(estimate.Frames) +
                 ", canvas " + SizeText(canvas.Width, canvas.Height) + " " + ByteText(estimate.Canvas) + ", layers " +
                 ByteText(estimate.Layers) + "), above the memory budget of " + ByteText(double(budget)) +
                 (settings.Limits.MaxMemory ? "" : " (80% of physical memory)") + "; raise it with --max-memory");

    for (const BadFrame& bad : skipped) PrintWarning("skipped frame " + std::to_string(bad.Frame) + ": " + bad.Reason);

    // The render.
    const Registry& record = plugins.Find(StitchClass);
    ToolInstance tool(record);
    Input& frames = tool.In("Input");
    tool.In("FilterMethod").SetValue(double(settings.Method));
    tool.In("StartFrame").SetValue(startValue);
    tool.In("EndFrame").SetValue(endValue);
    Input& position = tool.In("TrackData");
    Input& angle = tool.In("Angle");
    if (keyed) {
        for (const TrackKey& key : track->Keys) {
            position.SetKey(double(key.Frame), key.X, key.Y);
            if (track->HasAngle) angle.SetKey(double(key.Frame), key.Angle);
        }
        if (!track->HasAngle) angle.SetValue(0.0);
    } else {
        position.SetValue(0.5, 0.5);
        angle.SetValue(0.0);
    }

    FrameCache::Options options;
    options.Limits = settings.Limits.Frames;
    options.Threads = settings.Threads;
    options.SkipBadFrames = settings.SkipBadFrames;
    options.ImageContext = tool.Op().ImageContext;
    options.Progress = [&progress](int done, int total) { progress.Reading(done, total); };
    FrameCache cache(std::move(files), options);

    RenderCounts counts;
    for (const FrameFile& file : cache.Files()) {
        std::error_code error;
        const uintmax_t size = fs::file_size(file.Path, error);
        if (!error) counts.FileBytes += double(size);
    }
    counts.BytesRead = double(BytesRead());
    {
        const HostApp::TransformTotals turned = HostApp::Transforms();
        counts.Turns = turned.Calls;
        counts.TurnSeconds = turned.Seconds;
    }

    HeldImage result;
    HostApp::RenderResult rendered;
    {
        RenderHooks hooks;
        hooks.Frames = &frames;
        frames.SetImageSource([&cache](double time) -> Image* {
            if (!(time == std::trunc(time)) || time < double(INT32_MIN) || time > double(INT32_MAX)) return nullptr;
            return cache.Acquire(int32_t(time));
        });
        HostApp::SetProgressHandler([&progress](Operator*, float fraction) { progress.ToolProgress(fraction); });
        HostApp::SetChunksHandler([&progress](Operator*, int32_t, bool done) {
            if (done)
                progress.ChunksEnded();
            else
                progress.ChunksStarted();
        });

        progress.SetFramesToRead(int(planned.size()));
        progress.RenderStarted();
        cache.Start();
        rendered = HostApp::Render(&tool.Op(), &tool.Out("Output"), double(startFrame));
        progress.RenderEnded();
        cache.Finish();
    }
    counts.BytesRead = double(BytesRead()) - counts.BytesRead;
    const HostApp::TransformTotals turned = HostApp::Transforms();
    counts.Turns = turned.Calls - counts.Turns;
    counts.TurnSeconds = turned.Seconds - counts.TurnSeconds;
    counts.Requests = cache.Requests();
    counts.Waits = cache.Waits();
    counts.WaitSeconds = cache.WaitSeconds();
    counts.MostDecodes = cache.MostDecodesOfOneFile();
    progress.SetReadTimes(cache.ReadSeconds(), cache.DecodeSeconds());
    if (rendered.Output && rendered.Output->Kind() == ParamKind::Image)
        result.Picture = static_cast<Image*>(rendered.Output);
    else if (rendered.Output)
        rendered.Output->Recycle();

    if (cache.Failed()) {
        progress.Clear();
        const BadFrame bad = cache.Failure();
        BadInput(bad.Reason + "; --skip-bad-frames passes over unreadable frames");
    }
    const std::vector<BadFrame> unreadable = cache.Skipped();
    const int used = cache.Decoded();
    cache.Release();

    if (!result.Picture) {
        progress.Clear();
        for (const BadFrame& bad : unreadable)
            if (bad.Frame == startFrame)
                NoImage("no image at the start frame " + std::to_string(startFrame) + ": " + bad.Reason);
        if (rendered.Failed) NoImage("the tool failed: " + rendered.Error);
        const std::string refusal = HostApp::LastImageRefusal();
        NoImage("the tool produced no image: the host refused the canvas of " + SizeText(canvas.Width, canvas.Height) +
                " pixels" + (refusal.empty() ? std::string() : ": " + refusal));
    }
    progress.Clear();
    for (const BadFrame& bad : unreadable) PrintWarning("skipped frame " + std::to_string(bad.Frame) + ": " + bad.Reason);

    progress.WritingStarted();
    for (const std::string& output : settings.Outputs) {
        try {
            WriteImageFile(*result.Picture, output, settings.Write);
        } catch (const Error&) {
            progress.Clear();
            throw;
        }
    }
    progress.WritingEnded();
    progress.Clear();

    StitchSummary summary;
    summary.Width = result.Picture->Width;
    summary.Height = result.Picture->Height;
    summary.FramesUsed = used;
    summary.FramesInRange = int(last - first + 1);
    summary.Seconds = progress.Elapsed();

    if (!settings.Quiet) {
        std::string outputs;
        for (const std::string& output : settings.Outputs) outputs += (outputs.empty() ? "" : ", ") + output;
        std::printf("tessellon: wrote %s: %d x %d, %d of %d frames, %s, %.2f s\n", outputs.c_str(), summary.Width,
                    summary.Height, summary.FramesUsed, summary.FramesInRange,
                    settings.Method == FilterMedian ? "median" : "unique pixels", summary.Seconds);
        std::fflush(stdout);
    }
    if (settings.Stats) {
        counts.Threads = settings.Threads > 0 ? settings.Threads : int(std::max(1u, std::thread::hardware_concurrency()));
        counts.Frames = used;
        counts.FrameWidth = startInfo.Width;
        counts.FrameHeight = startInfo.Height;
        for (const int32_t format : {Format_UInt8, Format_UInt16, Format_Half, Format_Float}) {
            bool seen = false;
            for (const PlannedFrame& frame : planned) seen = seen || frame.Info.HostFormat == format;
            if (seen) counts.FrameFormats += (counts.FrameFormats.empty() ? "" : " and ") + std::string(FormatName(format));
        }
        counts.CanvasWidth = summary.Width;
        counts.CanvasHeight = summary.Height;
        counts.CanvasFormat = result.Picture->Format;
        counts.CanvasBytes = double(result.Picture->StorageBytes());
        counts.Median = settings.Method == FilterMedian;
        PrintStats(progress.Times(), estimate, counts);
    }
    return summary;
}

}  // namespace tessellon
