#include "StitchCommand.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Bands.h"
#include "FrameWarnings.h"
#include "HostApp.h"
#include "ImageFiles.h"
#include "Messages.h"
#include "Plugins.h"
#include "Progress.h"
#include "Report.h"
#include "StitchRender.h"
#include "System.h"
#ifdef TESSELLON_ALIGN
#include "StitchCheck.h"
#endif

namespace tessellon {

namespace {

const char* FormatName(int32_t format) {
    switch (format) {
    case Format_UInt8: return "8-bit";
    case Format_UInt16: return "16-bit";
    case Format_Half: return "half";
    case Format_Float: return "float";
    default: return "unknown";
    }
}

// The host formats the frames are kept in: "half", "8-bit and float".
std::string FrameFormats(const StitchPlan& plan) {
    std::string formats;
    for (const int32_t format : {Format_UInt8, Format_UInt16, Format_Half, Format_Float}) {
        const bool seen = std::any_of(plan.Frames.begin(), plan.Frames.end(),
                                      [&](const PlannedFrame& f) { return f.Info.HostFormat == format; });
        if (seen) formats += (formats.empty() ? "" : " and ") + std::string(FormatName(format));
    }
    return formats;
}

void WarnOfFrames(const std::vector<BadFrame>& frames, Report& report) {
    for (const BadFrame& bad : frames) report.Warn("skipped frame " + std::to_string(bad.Frame) + ": " + bad.Reason);
}

ProgressShown ProgressFor(const StitchSettings& settings) {
    if (settings.Quiet) return ProgressShown::None;
    return StandardErrorIsTerminal() ? ProgressShown::Line : ProgressShown::Log;
}

void WriteOutputs(const Image& picture, const StitchSettings& settings, const WriteOptions& write,
                  Progress& progress) {
    progress.PhaseBegan(Phase::Writing);
    for (const std::string& output : settings.Outputs) WriteImageFile(picture, output, write);
    progress.PhaseEnded(Phase::Writing);
    progress.Clear();
}

void PrintSummary(const StitchSummary& summary, const StitchSettings& settings) {
    std::string outputs;
    for (const std::string& output : settings.Outputs) outputs += (outputs.empty() ? "" : ", ") + output;
    std::printf("tessellon: wrote %s: %d x %d, %d of %d frames, %s, %.2f s\n", outputs.c_str(), summary.Width,
                summary.Height, summary.FramesUsed, summary.FramesInRange,
                settings.Method == FilterMedian ? "median" : "unique pixels", summary.Seconds);
    std::fflush(stdout);
}

void PrintStats(const StitchPlan& plan, const RenderOutcome& outcome, const PhaseTimes& times, int threads,
                bool median, int bands) {
    const RenderCounts& counts = outcome.Counts;
    const Image& canvas = *outcome.Picture;
    const MemoryEstimate& estimate = plan.Memory;
    const double canvasBytes = double(canvas.StorageBytes());
    std::printf("tessellon stats:\n");
    if (bands > 1)
        std::printf("  bands        %d of the canvas's %d rows, each holding at most an estimated %s of the budget %s%s\n",
                    bands, plan.Canvas.Height, ByteText(plan.BandMemory).c_str(), ByteText(double(plan.Budget)).c_str(),
                    plan.BandsForSpeed ? " (for speed: each band takes the memory the one before gives back; "
                                         "--one-pass renders in one)"
                                       : "");
    std::printf("  frames       %d of %d x %d, %s, %s; canvas %d x %d, %s, %s (layers are made like it)\n", counts.Frames,
                plan.Start().Width, plan.Start().Height, FrameFormats(plan).c_str(), ByteText(estimate.Frames).c_str(),
                canvas.Width, canvas.Height, FormatName(canvas.Format), ByteText(canvasBytes).c_str());
    std::printf("  reading      %8.3f s  (decoding %.3f s summed over %d thread%s; each file decoded %s; %s read, "
                "%.2f x the files)\n",
                counts.ReadSeconds, counts.DecodeSeconds, threads, threads == 1 ? "" : "s",
                counts.MostDecodes <= 1 ? "once" : ("up to " + std::to_string(counts.MostDecodes) + " times").c_str(),
                ByteText(counts.BytesRead).c_str(), counts.FileBytes > 0.0 ? counts.BytesRead / counts.FileBytes : 0.0);
    std::printf("  gathering    %8.3f s  (the tool asked for %d frames and waited for %d of them, %.3f s in all)\n",
                times.Gathering, counts.Requests, counts.Waits, counts.WaitSeconds);
    std::printf("  placement    %8.3f s  (turning %lld frame%s: %.3f s)\n", times.Placement,
                static_cast<long long>(counts.Turns), counts.Turns == 1 ? "" : "s", counts.TurnSeconds);
    std::printf("  compositing  %8.3f s  (%s; the rows of unturned layers are placed as they are combined)\n",
                times.Compositing, median ? "median" : "unique pixels");
    std::printf("  releasing    %8.3f s\n", times.Releasing);
    std::printf("  writing      %8.3f s\n", times.Writing);
    std::printf("  total        %8.3f s\n", times.Total);
    const double peak = PeakResidentBytes();
    const double bound = estimate.Frames * 2.0 + canvasBytes;
    std::printf("  peak resident memory %s: %.2f x (frames x 2 + canvas = %s); estimated before reading: %s\n",
                ByteText(peak).c_str(), bound > 0.0 ? peak / bound : 0.0, ByteText(bound).c_str(),
                ByteText(estimate.Total()).c_str());
    if (bands > 1 || plan.BandMemory > 0.0)
        std::printf("  peak resident memory against the budget: %s of %s (%.2f x; %s of it set aside for the process)\n",
                    ByteText(peak).c_str(), ByteText(double(plan.Budget)).c_str(),
                    plan.Budget ? peak / double(plan.Budget) : 0.0, ByteText(double(FixedOverheadBytes)).c_str());
    std::fflush(stdout);
}

// Files the reader decodes whole for every band, said once.
void TellWholeDecodes(const StitchPlan& plan, Report& report) {
    size_t whole = 0;
    for (const PlannedFrame& frame : plan.Frames) whole += frame.Info.RowAccess ? 0 : 1;
    if (whole == 0) return;
    report.Warn(std::to_string(whole) + " of the " + std::to_string(plan.Frames.size()) +
                 " frames are decoded whole for each band: only EXR and TIFF files are read by rows (" +
                 Quoted(plan.Frames.front().Path) + (whole > 1 ? " and others" : "") + ")");
}

void AddCounts(RenderCounts& sum, const RenderCounts& band) {
    sum.Frames = std::max(sum.Frames, band.Frames);
    sum.MostDecodes += band.MostDecodes;
    sum.FileBytes = band.FileBytes;
    sum.BytesRead += band.BytesRead;
    sum.Requests += band.Requests;
    sum.Waits += band.Waits;
    sum.WaitSeconds += band.WaitSeconds;
    sum.ReadSeconds += band.ReadSeconds;
    sum.DecodeSeconds += band.DecodeSeconds;
    sum.Turns += band.Turns;
    sum.TurnSeconds += band.TurnSeconds;
}

// While it lives, the compressed rows a band decodes for the next band are
// kept for it: the chunks two bands share are decoded once.
class CarriedRows {
public:
    explicit CarriedRows(const StitchPlan& plan) { CarryRowsBetweenBands(uint64_t(CarriedBytes(plan))); }
    ~CarriedRows() { CarryRowsBetweenBands(0); }
    CarriedRows(const CarriedRows&) = delete;
    CarriedRows& operator=(const CarriedRows&) = delete;
};

// The whole canvas, made of the plan's bands one after the other; each
// band's frames, layers and canvas are given back before the next begins.
RenderOutcome RenderInBands(const StitchPlan& plan, const StitchSettings& settings, const Plugins& plugins,
                            Progress& progress) {
    const CarriedRows carried(plan);
    RenderOutcome whole;
    // Made before the first band, so that it never takes the place of the
    // memory a band gives back to the next.
    const int32_t width = int32_t(plan.Canvas.Width), height = int32_t(plan.Canvas.Height);
    const int32_t format = plan.Start().HostFormat;
    whole.Picture.Reset(NewImage({
        Tag<IMG_Width>(width),
        Tag<IMG_Height>(height),
        Tag<IMG_Channel>(StoredChannels[0]),
        Tag<IMG_Channel>(StoredChannels[1]),
        Tag<IMG_Channel>(StoredChannels[2]),
        Tag<IMG_Channel>(StoredChannels[3]),
        Tag<IMG_Format>(format),
        Tag<HostApp::IMG_FirstRow>(0),
        Tag<HostApp::IMG_EndRow>(height),
    }));
    if (!whole.Picture)
        NoImage("the host refused the canvas of " + std::to_string(width) + " x " + std::to_string(height) +
                " pixels: " + HostApp::LastImageRefusal().Text);
    HostApp::ExpectDense(whole.Picture.Get());   // every row is written
    for (int k = 0; k < plan.Bands; ++k) {
        const BandPlan band = PlanBand(plan, k, plan.Bands);
        RenderOutcome part = RenderStitch(plan, settings, plugins, progress, &BytesRead, &band);
        const Image& rows = *part.Picture;
        if (rows.Width != width || rows.Height != height || rows.Format != format)
            NoImage("band " + std::to_string(k + 1) + " of the canvas came as " + std::to_string(rows.Width) + " x " +
                    std::to_string(rows.Height) + " pixels of format " + std::to_string(rows.Format) + ", not " +
                    std::to_string(width) + " x " + std::to_string(height) + " of format " + std::to_string(format));
        std::vector<float> row(size_t(rows.Width) * 4);
        const HostApp::RowRange held = HostApp::StoredRows(&rows);
        for (int32_t y = held.First; y < held.End; ++y) {
            rows.ReadSpan(0, y, rows.Width, row.data());
            whole.Picture->WriteSpan(0, y, rows.Width, row.data());
        }
        AddCounts(whole.Counts, part.Counts);
        whole.Unreadable.insert(whole.Unreadable.end(), part.Unreadable.begin(), part.Unreadable.end());
    }
    return whole;
}

// While it lives, the memory of released images goes to the images made
// next (each band's frames and layers to the next band's) rather than back
// to the system: pages written once cost far less to write again than fresh
// ones. Handed back before the output is written.
class KeptImageMemory {
public:
    explicit KeptImageMemory(uint64_t bytes) { HostApp::KeepReleasedImageMemory(bytes); }
    ~KeptImageMemory() { HandBack(); }
    KeptImageMemory(const KeptImageMemory&) = delete;
    KeptImageMemory& operator=(const KeptImageMemory&) = delete;
    void HandBack() { HostApp::KeepReleasedImageMemory(0); }
};

#if TESSELLON_BAND_FILES
BandFileInfo BandInfoOf(const StitchPlan& plan, const StitchSettings& settings, const BandPlan& band) {
    BandFileInfo info;
    info.Shot = ShotIdentity(plan, settings);
    info.K = band.K;
    info.N = band.N;
    info.CanvasWidth = plan.Canvas.Width;
    info.CanvasHeight = plan.Canvas.Height;
    char origin[64];
    std::snprintf(origin, sizeof origin, "%.17g %.17g", plan.Canvas.Origin.x, plan.Canvas.Origin.y);
    info.Origin = origin;
    info.Format = plan.Start().HostFormat;
    info.ColorSpace = plan.Write.ColorSpace;
    info.Top = band.Rows.Top;
    info.End = band.Rows.End;
    return info;
}
#endif

}  // namespace

StitchSummary RunStitch(const StitchSettings& settings, const Plugins& plugins) {
    Progress progress(ProgressFor(settings));
    Report report(settings.Report);
    if (settings.Limits.MaxImageBytes) HostApp::SetImageByteLimit(settings.Limits.MaxImageBytes);

    const StitchPlan plan = MakeStitchPlan(settings, PhysicalMemoryBytes());
    if (plan.MissingCount > 0)
        report.Warn(std::to_string(plan.MissingCount) + (plan.MissingCount == 1 ? " frame has" : " frames have") +
                    " no file and no image: " + plan.Missing + " of " + Quoted(settings.Frames));
    WarnOfFrames(plan.Skipped, report);
    for (const std::string& warning : plan.Warnings) report.Warn(warning);

    const bool banded = settings.BandCount > 0;
    // Frames decoded whole by the caller are of no use to a banded render,
    // and holding them would break the budget the bands keep to.
    if ((banded || plan.Bands > 1) && settings.DropDecoded) settings.DropDecoded();
    if (banded || plan.Bands > 1) TellWholeDecodes(plan, report);
    if (plan.Bands > 1 && !plan.BandsForSpeed)
        std::fprintf(stderr, "tessellon: rendering in %d bands to keep within %s (one pass needs about %s)\n",
                     plan.Bands, ByteText(double(plan.Budget)).c_str(), ByteText(plan.Memory.Total()).c_str());
    // The track checked on a few frames beside the render: on the rows it
    // decodes, or read for it by a band task, whose band may not hold them.
    StitchSettings render = settings;
#ifdef TESSELLON_ALIGN
    std::unique_ptr<StitchTrackCheck> check =
        settings.NoTrackCheck ? nullptr : StitchTrackCheck::For(plan, settings, banded);
    if (check && banded)
        check->Start();
    else if (check)
        render.Inspect = [&check](int frame, const Image& image) { check->Look(frame, image); };
    const auto warnOfTrack = [&] {
        if (!check) return;
        const std::string warning = check->Warning();
        if (!warning.empty()) report.Warn(warning);
    };
#else
    const auto warnOfTrack = [] {};
#endif
    RenderOutcome outcome;
    // A one pass releases nothing that a later image could take.
    KeptImageMemory kept(plan.Bands > 1 ? plan.Budget : 0);
#if TESSELLON_BAND_FILES
    if (banded) {
        const BandPlan band = PlanBand(plan, settings.BandK, settings.BandCount);
        outcome = RenderStitch(plan, render, plugins, progress, &BytesRead, &band);
        kept.HandBack();
        progress.Clear();
        WarnOfFrames(outcome.Unreadable, report);
        warnOfTrack();
        progress.PhaseBegan(Phase::Writing);
        WriteBandFile(*outcome.Picture, settings.Outputs.front(), BandInfoOf(plan, settings, band),
                      plan.Write.Compression);
        progress.PhaseEnded(Phase::Writing);
        progress.Clear();
    } else
#endif
    {
        outcome = plan.Bands > 1 ? RenderInBands(plan, render, plugins, progress)
                                 : RenderStitch(plan, render, plugins, progress, &BytesRead);
        kept.HandBack();
        progress.Clear();
        WarnOfFrames(outcome.Unreadable, report);
        warnOfTrack();
        const std::string transparent = NoOpaqueWarning(outcome.Transparent);
        if (!transparent.empty()) report.Warn(transparent);
        if (!HasOpaquePixel(*outcome.Picture))
            report.Warn("the result has no fully opaque pixel: every pixel is transparent");
        WriteOutputs(*outcome.Picture, settings, plan.Write, progress);
    }

    StitchSummary summary;
    summary.Width = outcome.Picture->Width;
    summary.Height = outcome.Picture->Height;
    summary.FramesUsed = outcome.Counts.Frames;
    summary.FramesInRange = int(plan.Last - plan.First + 1);
    summary.Seconds = progress.Elapsed();
    report.Write(settings, plan, outcome, progress.Times(), PeakResidentBytes());
    if (!settings.Quiet) PrintSummary(summary, settings);
    if (settings.Stats) {
        const int threads =
            settings.Threads > 0 ? settings.Threads : int(std::max(1u, std::thread::hardware_concurrency()));
        PrintStats(plan, outcome, progress.Times(), threads, settings.Method == FilterMedian, plan.Bands);
    }
    return summary;
}

}  // namespace tessellon
