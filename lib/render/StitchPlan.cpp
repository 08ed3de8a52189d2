#include "StitchPlan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "Bands.h"
#include "FrameWarnings.h"
#include "HostApp.h"
#include "Text.h"
#include "TrackUse.h"
#include "WholePixels.h"

namespace tessellon {

namespace fs = std::filesystem;

namespace {

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

}  // namespace

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

namespace {

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
        BadInput(std::string(option) + " " + NumberText(value) + " is not a frame number");
    return int32_t(std::trunc(value));
}

// The frames of [first, last] that `found` lacks, as ranges for messages,
// without listing the range one frame at a time. Of a pattern that lists
// its frames, only the listed ones count.
std::string MissingText(const FrameSequence& sequence, const std::vector<int>& found, int64_t first, int64_t last,
                        size_t& count) {
    if (!sequence.Listed.empty()) {
        std::vector<int> missing;
        for (int f : sequence.Listed)
            if (f >= first && f <= last && !std::binary_search(found.begin(), found.end(), f)) missing.push_back(f);
        count = missing.size();
        return FrameListText(missing);
    }
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

// The track's positions as the tool's position input holds them, and the
// value it gives at a frame.
class TrackPositions {
public:
    explicit TrackPositions(const Track* track) : track_(track) {
        if (!track) return;
        for (const TrackKey& key : track->Keys) keys_.push_back(HostApp::Key{double(key.Frame), key.X, key.Y});
    }
    // The input's default (0.5, 0.5) without keys.
    HostApp::KeyedValue At(double frame) const {
        return keys_.empty() ? HostApp::KeyedValue{0.5, 0.5, 0, 0} : HostApp::ValueAt(keys_, frame);
    }
    bool Keyed() const { return !keys_.empty(); }
    const TrackKey& Key(size_t i) const { return track_->Keys[i]; }
    const std::string& Path() const { return track_->Path; }

private:
    const Track* track_;
    std::vector<HostApp::Key> keys_;
};

// Checks the canvas the tool will ask for against the host's limits; names
// what asked for it when it is too large.
class CanvasCheck {
public:
    CanvasCheck(const StitchSettings& settings, const ImageFileInfo& start, uint64_t imageBytes,
                const TrackPositions& track, const HostApp::KeyedValue& reference, const std::string& hint)
        : start_(start), imageBytes_(imageBytes), track_(track), reference_(reference), hint_(hint),
          maxSide_(double(std::min<int64_t>(settings.Limits.MaxCanvasSide, MaxImageSide))),
          bytesPerPixel_(4 * std::max(1, BytesPerChannel(start.HostFormat))) {}

    int BytesPerPixel() const { return bytesPerPixel_; }

    // The canvas of `reach`; `at` is the track's value at `frame` that grew
    // it, or null for the start frame's own size.
    CanvasGeometry Check(const CanvasReach& reach, int frame, const HostApp::KeyedValue* at) const {
        const CanvasGeometry canvas = CanvasOf(start_.Width, start_.Height, reach);
        const std::string why = WhyTooLarge(canvas.ExactWidth, canvas.ExactHeight);
        if (why.empty()) return canvas;
        const std::string size = SizeText(canvas.ExactWidth, canvas.ExactHeight);
        if (!at || reach.None()) BadInput("the start frame's size asks for a canvas of " + size + " pixels, " + why);
        std::string where, source;
        if (track_.Keyed()) {
            const TrackKey& key = Pusher(*at);
            where = track_.Path() + ":" + std::to_string(key.Line) + ": ";
            if (key.Frame != frame) source = ", from the key of frame " + std::to_string(key.Frame) + ",";
        }
        BadInput(where + "the position of frame " + std::to_string(frame) + " (" + NumberText(at->X) + ", " +
                 NumberText(at->Y) + ")" + source + " asks for a canvas of " + size + " pixels, " + why + hint_);
    }

private:
    std::string WhyTooLarge(double w, double h) const {
        const double bytes = std::trunc(w) * std::trunc(h) * double(bytesPerPixel_);
        if (!(w < maxSide_ + 1.0) || !(h < maxSide_ + 1.0))
            return "beyond the largest side of " + std::to_string(int64_t(maxSide_)) + " pixels (--max-canvas-size)";
        if (bytes > double(imageBytes_))
            return "which needs " + ByteText(bytes) + ", beyond the largest image of " + ByteText(double(imageBytes_)) +
                   " that the host makes (--max-image-bytes)";
        return std::string();
    }

    // Of the keys a value comes from, the one farther out pushed it.
    const TrackKey& Pusher(const HostApp::KeyedValue& at) const {
        const TrackKey& before = track_.Key(at.Before);
        const TrackKey& after = track_.Key(at.After);
        auto reach = [&](const TrackKey& k) {
            return std::abs(k.X - reference_.X) * start_.Width + std::abs(k.Y - reference_.Y) * start_.Height;
        };
        return at.After != at.Before && reach(after) > reach(before) ? after : before;
    }

    const ImageFileInfo& start_;
    uint64_t imageBytes_;
    const TrackPositions& track_;
    HostApp::KeyedValue reference_;
    const std::string& hint_;
    double maxSide_;
    int bytesPerPixel_;
};

// The canvas the tool will work out from the frames' positions, checked
// frame by frame as it grows.
void PlanCanvas(StitchPlan& plan, const StitchSettings& settings, uint64_t imageBytes, const std::string& hint) {
    const TrackPositions track(plan.TrackFile ? &*plan.TrackFile : nullptr);
    const HostApp::KeyedValue reference = track.At(double(plan.StartFrame));
    const CanvasCheck check(settings, plan.Start(), imageBytes, track, reference, hint);
    plan.CanvasBytesPerPixel = check.BytesPerPixel();
    CanvasReach reach;
    if (plan.StartFrame < plan.EndFrame) {
        for (const PlannedFrame& frame : plan.Frames) {
            const HostApp::KeyedValue at = track.At(double(frame.Frame));
            reach.Add(reference.X, reference.Y, at.X, at.Y);
            check.Check(reach, frame.Frame, &at);
        }
    }
    plan.Canvas = check.Check(reach, plan.StartFrame, nullptr);
}

MemoryEstimate EstimateMemory(const StitchPlan& plan) {
    const CanvasGeometry& canvas = plan.Canvas;
    const int32_t format = plan.Start().HostFormat;
    MemoryEstimate estimate;
    estimate.Canvas = HostApp::ResidentBytes(canvas.Width, canvas.Height, format, canvas.Width, canvas.Height);
    double largest = 0.0;
    const std::vector<double> turns = FrameTurns(plan);
    for (size_t i = 0; i < plan.Frames.size(); ++i) {
        const ImageFileInfo& frame = plan.Frames[i].Info;
        estimate.Frames += double(frame.HostBytes);
        largest = std::max(largest, double(frame.HostBytes));
        // Only turned frames are written to their layers (PlanBand).
        if (plan.Layered)
            estimate.Layers += HostApp::ResidentBytes(canvas.Width, canvas.Height, format, frame.Width,
                                                      turns[i] > 0.0 ? frame.Height : 0);
    }
    if (plan.Turning) estimate.Turned = largest;
    return estimate;
}

// Bands where they are faster than one pass (SpeedBandBytes): every frame
// read by rows, none handed over decoded, and each band within the budget
// as the one pass is.
void SplitForSpeed(StitchPlan& plan, const StitchSettings& settings) {
    const bool rows = std::all_of(plan.Frames.begin(), plan.Frames.end(),
                                  [](const PlannedFrame& frame) { return frame.Info.RowAccess; });
    const bool compressed = std::any_of(plan.Frames.begin(), plan.Frames.end(),
                                        [](const PlannedFrame& frame) { return frame.Info.CarriedRows > 0; });
    const double each = compressed || plan.Turning ? LargeSpeedBandBytes : SpeedBandBytes;
    const double total = plan.Memory.Total();
    if (settings.OnePass || settings.Decoded || !plan.Layered || !rows || plan.Canvas.Height < 2 || total < 1.5 * each)
        return;
    const int bands = int(std::min<double>(std::max(2.0, std::round(total / each)), plan.Canvas.Height));
    const double room = double(plan.Budget) - plan.Memory.Canvas - double(FixedOverheadBytes);
    double most = 0.0;
    for (int k = 0; k < bands; ++k) most = std::max(most, PlanBand(plan, k, bands).Memory.Total());
    if (most > room) return;
    plan.Bands = bands;
    plan.BandMemory = most;
    plan.BandsForSpeed = true;
}

// The budget is kept in one pass, or band after band, the whole canvas
// held for the output and the process's fixed overhead besides; or refused.
// A band of --band is held to it alone.
void CheckBudget(StitchPlan& plan, const StitchSettings& settings) {
    const MemoryEstimate& m = plan.Memory;
    const std::string budget = ByteText(double(plan.Budget)) +
                               (settings.Limits.MaxMemory ? "" : " (80% of physical memory)");
    if (settings.BandCount > 0) {
        if (settings.BandCount > plan.Canvas.Height)
            BadInput("--band " + std::to_string(settings.BandK) + "/" + std::to_string(settings.BandCount) +
                     ": the canvas has only " + std::to_string(plan.Canvas.Height) + " rows to split into " +
                     std::to_string(settings.BandCount) + " bands");
        plan.BandMemory = PlanBand(plan, settings.BandK, settings.BandCount).Memory.Total();
        if (plan.BandMemory > double(plan.Budget))
            BadInput("band " + std::to_string(settings.BandK) + "/" + std::to_string(settings.BandCount) +
                     " needs about " + ByteText(plan.BandMemory) + ", above the memory budget of " + budget +
                     "; split the canvas into more bands or raise --max-memory");
        return;
    }
    // The process's fixed overhead is kept within the budget too, in one
    // pass as in bands.
    if (settings.PlanOnly) return;
    if (m.Total() + double(FixedOverheadBytes) <= double(plan.Budget)) {
        SplitForSpeed(plan, settings);
        return;
    }
    plan.Bands = plan.Layered ? BandsWithin(plan, double(plan.Budget) - m.Canvas - double(FixedOverheadBytes)) : 0;
    if (plan.Bands > 0) {
        for (int k = 0; k < plan.Bands; ++k)
            plan.BandMemory = std::max(plan.BandMemory, PlanBand(plan, k, plan.Bands).Memory.Total());
        return;
    }
    plan.Bands = 1;
    BadInput("the render needs about " + ByteText(m.Total()) + " (frames " + ByteText(m.Frames) + ", canvas " +
             SizeText(plan.Canvas.ExactWidth, plan.Canvas.ExactHeight) + " " + ByteText(m.Canvas) + ", layers " +
             ByteText(m.Layers) + "), above the memory budget of " + budget +
             ", and no split into bands of rows keeps within it; raise it with --max-memory");
}

// The headers of the range: readable frames planned, unreadable ones
// refused or, when asked, passed over.
void TakeHeaders(StitchPlan& plan, const StitchSettings& settings, const std::vector<FrameHeader>& headers) {
    for (const FrameHeader& header : headers) {
        if (header.Frame < plan.First || header.Frame > plan.Last) continue;
        const auto left = std::find_if(settings.LeftOut.begin(), settings.LeftOut.end(),
                                       [&](const BadFrame& bad) { return bad.Frame == header.Frame; });
        if (left != settings.LeftOut.end()) {
            plan.Skipped.push_back(*left);
            continue;
        }
        if (header.Info) {
            plan.Frames.push_back(PlannedFrame{header.Frame, header.Path, *header.Info});
            continue;
        }
        if (!settings.SkipBadFrames) BadInput(header.Error + "; --skip-bad-frames passes over unreadable frames");
        plan.Skipped.push_back(BadFrame{header.Frame, header.Path, header.Error});
    }
    if (plan.Frames.empty() || plan.Frames.front().Frame != plan.StartFrame)
        NoImage("no image at the start frame " + std::to_string(plan.StartFrame) + ": " +
                (plan.Skipped.empty() ? Quoted(FramePath(plan.Sequence, plan.StartFrame)) + " cannot be read"
                                      : plan.Skipped.front().Reason));
}

bool TrackTurns(const std::optional<Track>& track) {
    if (!track || !track->HasAngle) return false;
    for (const TrackKey& key : track->Keys)
        if (key.Angle != track->Keys.front().Angle) return true;
    return false;
}

}  // namespace

uint64_t DefaultMemoryBudget(uint64_t physicalMemory) {
    if (physicalMemory == 0) return uint64_t(8) << 30;
    return uint64_t(double(physicalMemory) * 0.8);
}

FrameRange ChooseRange(const StitchSettings& settings, const FrameSequence& sequence, const std::vector<int>& found,
                       const Track* track) {
    const bool keyed = track && !track->Keys.empty();
    if (!settings.Start && !settings.End && !keyed && sequence.Listed.empty() && found.empty()) {
        std::string hint;
        if (settings.Frames.find("##") != std::string::npos)
            hint = " (each # stands for four digits: use @@@@ or %04d for four)";
        BadInput("no files match --frames " + Quoted(settings.Frames) + ": looked for names like " +
                 Quoted(FramePath(sequence, 1)) + hint);
    }
    // The pattern's own list limits the frames, with a track too.
    auto firstOf = [&]() -> double {
        if (!sequence.Listed.empty()) return sequence.Listed.front();
        if (keyed) return track->Keys.front().Frame;
        if (!found.empty()) return found.front();
        return settings.End.value_or(0.0);
    };
    auto lastOf = [&]() -> double {
        if (!sequence.Listed.empty()) return sequence.Listed.back();
        if (keyed) return track->Keys.back().Frame;
        if (!found.empty()) return found.back();
        return settings.Start.value_or(0.0);
    };
    FrameRange range;
    range.StartValue = settings.Start ? *settings.Start : firstOf();
    range.EndValue = settings.End ? *settings.End : lastOf();
    range.StartFrame = FrameOf(range.StartValue, "--start");
    range.EndFrame = FrameOf(range.EndValue, "--end");
    // The tool reads the whole range only when it runs forward; otherwise
    // only the start frame.
    range.First = range.StartFrame;
    range.Last = range.StartFrame < range.EndFrame ? int64_t(range.EndFrame) : int64_t(range.StartFrame);
    return range;
}

StitchPlan PlanStitch(const StitchSettings& settings, StitchInputs inputs, uint64_t imageBytes,
                      uint64_t physicalMemory) {
    StitchPlan plan;
    plan.Sequence = std::move(inputs.Sequence);
    plan.TrackFile = std::move(inputs.TrackFile);
    const FrameRange range = ChooseRange(settings, plan.Sequence, inputs.Found, plan.TrackFile ? &*plan.TrackFile : nullptr);
    plan.StartValue = range.StartValue;
    plan.EndValue = range.EndValue;
    plan.StartFrame = range.StartFrame;
    plan.EndFrame = range.EndFrame;
    plan.First = range.First;
    plan.Last = range.Last;
    if (!std::binary_search(inputs.Found.begin(), inputs.Found.end(), plan.StartFrame))
        BadInput("no image at the start frame " + std::to_string(plan.StartFrame) + ": " +
                 Quoted(FramePath(plan.Sequence, plan.StartFrame)) + " does not exist; " +
                 (inputs.Found.empty() ? "no frame of " + Quoted(plan.Sequence.Pattern) + " has a file"
                                       : "frames with files: " + FrameListText(inputs.Found)));
    plan.Missing = MissingText(plan.Sequence, inputs.Found, plan.First, plan.Last, plan.MissingCount);

    TakeHeaders(plan, settings, inputs.Headers);
    plan.Layered = plan.StartFrame < plan.EndFrame;
    plan.Warnings = TrackWarnings(plan.TrackFile, plan.Layered);
    std::string hint;   // for a canvas too large
    for (std::string& warning : FrameWarnings(plan.Frames)) plan.Warnings.push_back(std::move(warning));
    if (plan.TrackFile) {
        Track& track = *plan.TrackFile;
        plan.Use = UseOf(settings, track);
        if (track.SourceWidth > 0 && plan.Use.Units == TrackUnits::Pixels &&
            (track.SourceWidth != plan.Start().Width || track.SourceHeight != plan.Start().Height))
            plan.Warnings.push_back(Quoted(track.Path) + " was tracked on " +
                                    SizeText(track.SourceWidth, track.SourceHeight) + " frames, the start frame is " +
                                    SizeText(plan.Start().Width, plan.Start().Height) +
                                    ": its pixels are read as the start frame's");
        if (plan.Use.Kind == TrackKind::Feature) MirrorFeatureTrack(track, double(plan.StartFrame));
        if (plan.Use.Units == TrackUnits::Normalized) CheckFractions(track);
        const Track pixels = track;
        ConvertTrack(track, plan.Use.Units, plan.Use.Origin, plan.Start().Width, plan.Start().Height);
        if (plan.Use.Units == TrackUnits::Pixels)
            FitWholePixels(track, pixels, plan.StartFrame, plan.Frames, plan.Start().Width, plan.Start().Height,
                           plan.Use.Origin);
        hint = CanvasHint(pixels, plan.Use);
    }
    PlanCanvas(plan, settings, imageBytes, hint);

    plan.Turning = TrackTurns(plan.TrackFile);
    plan.Memory = EstimateMemory(plan);
    plan.Budget = settings.Limits.MaxMemory ? settings.Limits.MaxMemory : DefaultMemoryBudget(physicalMemory);
    CheckBudget(plan, settings);
    return plan;
}

StitchPlan MakeStitchPlan(const StitchSettings& settings, uint64_t physicalMemory) {
    if (settings.Outputs.empty() && !settings.PlanOnly) BadInput("no --output given");
    WriteOptions write = settings.Write;
    if (write.ColorSpace.empty()) write.ColorSpace = settings.Limits.Frames.Choice.ColorSpace;
    for (const std::string& output : settings.Outputs) {
        CheckOutput(output);
        CheckWriteOptions(output, write);
    }
    if (settings.Method != FilterUnique && settings.Method != FilterMedian)
        BadInput("--method must be unique or median");

    StitchInputs inputs;
    inputs.Sequence = ParseFramePattern(settings.Frames);
    inputs.Found = FindFrames(inputs.Sequence);
    if (settings.GivenTrack)
        inputs.TrackFile = *settings.GivenTrack;
    else if (!settings.TrackPath.empty())
        inputs.TrackFile = ReadTrackFile(settings.TrackPath, settings.TrackRead);

    // The range is worked out twice, here to know which headers to read and
    // which outputs would overwrite an input, and again by the plan.
    const FrameRange range =
        ChooseRange(settings, inputs.Sequence, inputs.Found, inputs.TrackFile ? &*inputs.TrackFile : nullptr);
    for (const std::string& output : settings.Outputs)
        CheckNotInput(output, inputs.Sequence, inputs.Found, settings.TrackPath);
    const bool startExists = std::binary_search(inputs.Found.begin(), inputs.Found.end(), range.StartFrame);
    for (int frame : inputs.Found) {
        if (!startExists || frame < range.First || frame > range.Last) continue;
        FrameHeader header{frame, FramePath(inputs.Sequence, frame), std::nullopt, std::string()};
        try {
            header.Info = ProbeImageFile(header.Path, settings.Limits.Frames);
        } catch (const Error& e) {
            header.Error = e.what();
            if (!settings.SkipBadFrames) {
                inputs.Headers.push_back(std::move(header));
                break;   // the plan refuses at this frame; the rest need not be read
            }
        }
        inputs.Headers.push_back(std::move(header));
    }
    StitchPlan plan = PlanStitch(settings, std::move(inputs), HostApp::ImageByteLimit(), physicalMemory);
    plan.Write = write;
    if (plan.Write.ColorSpace.empty()) plan.Write.ColorSpace = plan.Start().ColorSpace;
    // A colour space the file names that the configuration does not know
    // is no colour space at all to convert from.
    try {
        for (const std::string& output : settings.Outputs) CheckWriteOptions(output, plan.Write);
    } catch (const Error&) {
        plan.Write.ColorSpace.clear();
    }
    return plan;
}

std::vector<FrameFile> FramesToRead(const StitchPlan& plan) {
    std::vector<FrameFile> files;
    for (const PlannedFrame& frame : plan.Frames) files.push_back(FrameFile{frame.Frame, frame.Path, true});
    return files;
}

}  // namespace tessellon
