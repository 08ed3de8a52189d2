#include "AlignCommand.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <cstdio>
#include <exception>
#include <fstream>
#include <mutex>
#include <thread>

#include "Bands.h"
#include "CheckCommand.h"
#include "HostSystem.h"
#include "Messages.h"
#include "PendingFile.h"
#include "System.h"
#include "Text.h"

namespace tessellon {

namespace {

uint64_t Budget(uint64_t maxMemory) { return maxMemory ? maxMemory : DefaultMemoryBudget(PhysicalMemoryBytes()); }

int ThreadCount(int threads) { return threads > 0 ? threads : int(std::max(1u, std::thread::hardware_concurrency())); }

// Up to three reasons, "5: too little texture; 9: ...".
std::string Reasons(const std::vector<FramePose>& poses) {
    std::string text;
    int named = 0;
    for (const FramePose& pose : poses) {
        if (pose.Aligned || named == 3) continue;
        text += (named++ ? "; " : "") + std::to_string(pose.Frame) + ": " + pose.Reason;
    }
    return text;
}

void WriteTrack(PendingFile& file, const AlignResult& result, int width, int height) {
    std::ofstream out(file.Path(), std::ios::binary);
    out << "# tessellon align: the camera's position and angle per frame, estimated from the pictures.\n"
        << "# Normalized units (fractions of the " << width << " x " << height
        << " frame), origin bottom-left, y up, angle in degrees counter-clockwise;\n"
        << "# confidence: the share of the overlap that agrees with the frame's motion.\n"
        << "frame,x,y,angle,confidence\n";
    char line[200];
    for (const FramePose& pose : result.Poses) {
        if (!pose.Aligned) continue;
        std::snprintf(line, sizeof line, "%d,%.17g,%.17g,%.17g,%.3f\n", pose.Frame, 0.5 + pose.ShiftX / width,
                      0.5 + pose.ShiftY / height, pose.Angle, pose.Confidence);
        out << line;
    }
    out.close();
    if (!out) BadInput("cannot write the track file " + Quoted(file.Path().string()));
    file.Commit();
}

// What aligning holds for each frame whose pictures it holds (per pixel:
// the grey picture, the softened pyramid and the working copies that make
// it) and, of every other frame, per level of its pyramid (the pixels the
// refinement keeps and the features).
constexpr double HeldBytesPerPixel = 24.0;
constexpr double KeptBytesPerLevel = 0.6 * double(1 << 20);
// The aligner's pyramid ends about this wide (Frames.cpp).
constexpr int FeatureWidth = 400;

struct AlignMemory {
    int AtOnce = 1;       // frames whose pictures are held at once
    double Spare = 0.0;   // bytes left of the budget for decoded frames kept
};

// The aligner's share of `budget` for `frames` frames like `start`, with
// the process's fixed overhead set aside: as many frames held at once as
// there are threads, or fewer if the budget is small (one at the least).
AlignMemory PlanAlignMemory(const ImageFileInfo& start, int frames, int threads, uint64_t budget) {
    int levels = 1;
    for (int w = start.Width, h = start.Height; w / 2 >= FeatureWidth && h / 2 >= 16; w /= 2, h /= 2) ++levels;
    const double perFrame = HeldBytesPerPixel * double(start.Width) * double(start.Height);
    const double fixed = double(FixedOverheadBytes) + double(frames) * KeptBytesPerLevel * levels +
                         double(std::min(threads, frames)) * double(start.HostBytes);
    const double available = std::max(0.0, double(budget) - fixed);
    AlignMemory memory;
    memory.AtOnce = int(std::clamp(std::floor(available / perFrame), 1.0, double(std::max(1, threads))));
    memory.Spare = std::max(0.0, available - memory.AtOnce * perFrame);
    return memory;
}

// Aligns `frames`, decoding each when the aligner asks for it, within
// `budget`; `keep`, when given, is offered each decoded image once its grey
// picture is made, with the bytes the budget leaves for such images.
AlignResult AlignDecoding(const FrameSequence& sequence, const std::vector<int>& frames, const ImageLimits& limits,
                          AlignModel model, int threads, uint64_t budget,
                          const std::function<void(int done, int total)>& progress,
                          const std::function<void(int frame, HostRef<Image>& image, double spare)>& keep) {
    const ImageFileInfo start = ProbeImageFile(FramePath(sequence, frames.front()), limits);
    const AlignMemory memory = PlanAlignMemory(start, int(frames.size()), ThreadCount(threads), budget);
    AlignSource source;
    source.Count = int(frames.size());
    source.Load = [&](int k) {
        HostRef<Image> image(ReadImageFile(FramePath(sequence, frames[size_t(k)]), limits, nullptr));
        AlignFrame frame{frames[size_t(k)], GreyOf(*image)};
        if (keep) keep(frame.Frame, image, memory.Spare);
        return frame;
    };
    AlignSettings align;
    align.Model = model;
    align.Threads = threads;
    align.FramesAtOnce = memory.AtOnce;
    align.Progress = progress;
    return AlignFrames(source, align);
}

// Frames decoded for the aligner, handed to the stitch's decoding threads.
class DecodedFrames {
public:
    // Keeps `image` when it fits in what is left of `spare` bytes.
    void Offer(int frame, HostRef<Image>& image, double spare) {
        std::lock_guard<std::mutex> lock(mutex_);
        const double bytes = double(image->StorageBytes());
        if (held_ + bytes > spare) return;
        held_ += bytes;
        frames_.emplace(frame, std::move(image));
    }

    void Forget(int frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.erase(frame);
    }

    Image* Take(int frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = frames_.find(frame);
        if (it == frames_.end()) return nullptr;
        Image* image = it->second.Release();
        frames_.erase(it);
        return image;
    }

    void Drop() {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.clear();
    }

private:
    std::mutex mutex_;
    std::map<int, HostRef<Image>> frames_;
    double held_ = 0.0;
};

}  // namespace

StepLine::StepLine(bool show) : show_(show), begin_(std::chrono::steady_clock::now()) {}

StepLine::~StepLine() { Clear(); }

void StepLine::Show(const std::string& text, bool force) {
    if (!show_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (!force && shown_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    std::fprintf(stderr, "\r\033[Ktessellon: %s  %.1f s", text.c_str(),
                 std::chrono::duration<double>(now - begin_).count());
    std::fflush(stderr);
    shown_ = true;
}

std::function<void(int done, int total)> StepLine::Counter(const std::string& what) {
    return [this, what](int done, int total) {
        Show(what + " " + std::to_string(done) + "/" + std::to_string(total), done == total);
    };
}

void StepLine::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
}

double StepLine::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count();
}

std::vector<int> FramesToAlign(const FrameSequence& sequence, const std::string& pattern, std::optional<int> start,
                               std::optional<int> end) {
    const std::vector<int> found = FindFrames(sequence);
    if (found.empty()) BadInput("no frames match " + Quoted(pattern));
    const int first = start.value_or(found.front()), last = end.value_or(found.back());
    if (!std::binary_search(found.begin(), found.end(), first))
        BadInput("the start frame " + std::to_string(first) + " has no file: " + Quoted(FramePath(sequence, first)));
    std::vector<int> frames, missing;
    const int step = last >= first ? 1 : -1;
    for (int64_t f = first;; f += step) {
        if (std::binary_search(found.begin(), found.end(), int(f)))
            frames.push_back(int(f));
        else
            missing.push_back(int(f));
        if (f == last) break;
    }
    if (!missing.empty()) {
        std::sort(missing.begin(), missing.end());
        PrintWarning(std::to_string(missing.size()) + (missing.size() == 1 ? " frame has" : " frames have") +
                     " no file: " + FrameListText(missing) + " of " + Quoted(pattern));
    }
    return frames;
}

std::vector<AlignFrame> ReadGreyFrames(const FrameSequence& sequence, const std::vector<int>& frames,
                                       const ImageLimits& limits, int threads,
                                       const std::function<void(int done, int total)>& progress) {
    std::vector<AlignFrame> greys(frames.size());
    std::atomic<size_t> next{0};
    std::atomic<int> done{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    auto work = [&] {
        for (size_t k; (k = next.fetch_add(1)) < frames.size();) {
            try {
                HostRef<Image> image(ReadImageFile(FramePath(sequence, frames[k]), limits, nullptr));
                greys[k] = {frames[k], GreyOf(*image)};
                if (progress) progress(done.fetch_add(1) + 1, int(frames.size()));
            } catch (...) {
                std::lock_guard<std::mutex> lock(failureMutex);
                if (!failure) failure = std::current_exception();
                next = frames.size();
            }
        }
    };
    {
        std::vector<std::jthread> pool;
        for (int t = 1; t < std::min(ThreadCount(threads), int(frames.size())); ++t) pool.emplace_back(work);
        work();
    }
    if (failure) std::rethrow_exception(failure);
    return greys;
}

void AlignForStitch(StitchSettings& stitch, AlignModel model, bool quiet) {
    if (!stitch.TrackPath.empty()) BadInput("--align makes the track from the pictures: give it or --track, not both");
    StepLine line(StandardErrorIsTerminal() && !quiet);
    const FrameSequence sequence = ParseFramePattern(stitch.Frames);
    const auto frameOf = [](const std::optional<double>& value) {
        return value ? std::optional<int>(int(std::floor(*value))) : std::nullopt;
    };
    const std::vector<int> frames = FramesToAlign(sequence, stitch.Frames, frameOf(stitch.Start), frameOf(stitch.End));
    auto decoded = std::make_shared<DecodedFrames>();
    // A render of one band (--band K/N) reads its frames' rows itself; a
    // whole render gets the frames decoded here as far as the budget holds
    // them beside the aligner, and decodes the others again.
    const bool keep = stitch.BandCount == 0;
    const ImageFileInfo start = ProbeImageFile(FramePath(sequence, frames.front()), stitch.Limits.Frames);
    const AlignResult result = AlignDecoding(
        sequence, frames, stitch.Limits.Frames, model, stitch.Threads, Budget(stitch.Limits.MaxMemory),
        line.Counter("aligning frames"),
        keep ? [decoded](int frame, HostRef<Image>& image, double spare) { decoded->Offer(frame, image, spare); }
             : std::function<void(int, HostRef<Image>&, double)>());
    line.Clear();

    const int width = start.Width, height = start.Height;
    Track track;
    track.Path = "the track aligned from " + stitch.Frames;
    track.FormatName = "tessellon align";
    track.HasAngle = model == AlignModel::Rigid;
    track.Units = TrackUnits::Normalized;
    track.Origin = TrackOrigin::BottomLeft;
    track.Kind = TrackKind::Camera;
    for (size_t k = 0; k < frames.size(); ++k) {
        const FramePose& pose = result.Poses[k];
        if (pose.Aligned) {
            track.Keys.push_back(TrackKey{pose.Frame, 0.5 + pose.ShiftX / width, 0.5 + pose.ShiftY / height, pose.Angle, 0});
        } else {
            decoded->Forget(pose.Frame);
            stitch.LeftOut.push_back(BadFrame{pose.Frame, FramePath(sequence, pose.Frame), "it could not be aligned: " + pose.Reason});
        }
    }
    if (track.Keys.size() == 1 && frames.size() > 1)
        NoImage("no frame could be aligned with the start frame " + std::to_string(frames.front()) + " (" +
                Reasons(result.Poses) + ")");
    // The range is the frames', not the aligned keys': a frame left out at
    // either end is passed over by name rather than out of sight.
    if (!stitch.Start) stitch.Start = double(frames.front());
    if (!stitch.End) stitch.End = double(frames.back());
    stitch.GivenTrack = std::move(track);
    stitch.Decoded = [decoded](int frame) { return decoded->Take(frame); };
    stitch.DropDecoded = [decoded] { decoded->Drop(); };
}

AlignSummary RunAlign(const AlignCommandSettings& settings) {
    StepLine line(StandardErrorIsTerminal() && !settings.Quiet);
    if (settings.Output.empty()) BadInput("--output is empty");
    PendingFile file(settings.Output, ".csv");
    const FrameSequence sequence = ParseFramePattern(settings.Frames);
    const std::vector<int> frames = FramesToAlign(sequence, settings.Frames, settings.Start, settings.End);
    const AlignResult result = AlignDecoding(sequence, frames, settings.Limits, settings.Model, settings.Threads,
                                             Budget(settings.MaxMemory), line.Counter("aligning frames"), nullptr);
    line.Clear();

    AlignSummary summary;
    summary.Frames = int(frames.size());
    for (const FramePose& pose : result.Poses)
        pose.Aligned ? void(++summary.Aligned) : summary.LeftOut.push_back(pose.Frame);
    if (summary.Aligned == 1 && summary.Frames > 1)
        NoImage("no frame could be aligned with the start frame " + std::to_string(frames.front()) + " (" +
                Reasons(result.Poses) + ")");
    if (!summary.LeftOut.empty()) {
        std::vector<int> sorted = summary.LeftOut;
        std::sort(sorted.begin(), sorted.end());
        PrintWarning(std::to_string(sorted.size()) + (sorted.size() == 1 ? " frame" : " frames") +
                     " could not be aligned and " + (sorted.size() == 1 ? "is" : "are") +
                     " left out of the track: " + FrameListText(sorted) + " (" + Reasons(result.Poses) + ")");
    }
    const ImageFileInfo start = ProbeImageFile(FramePath(sequence, frames.front()), settings.Limits);
    WriteTrack(file, result, start.Width, start.Height);
    summary.Seconds = line.Elapsed();
    if (!settings.Quiet) {
        std::printf("tessellon: wrote %s: %d of %d frames aligned (%s), %d pairs related, %.2f s\n",
                    settings.Output.c_str(), summary.Aligned, summary.Frames,
                    settings.Model == AlignModel::Shift ? "shift" : "rigid", result.Pairs, summary.Seconds);
        std::fflush(stdout);
    }
    return summary;
}

void AddAlignCommands(CLI::App& app, AlignCommands& commands) {
    CLI::App* align = commands.Align =
        app.add_subcommand("align", "Estimate the camera's track from the pictures alone");
    AlignCommandSettings& s = commands.AlignSettings;
    align->add_option("--frames", s.Frames, "Image sequence: %04d, # (four digits) or @ (one digit)")->required();
    commands.StartOption = align->add_option("--start", commands.Start, "Start frame, the track's reference "
                                                                        "(default: the first file)");
    commands.EndOption = align->add_option("--end", commands.End, "End frame (default: the last file)");
    align->add_option("--model", commands.Model, "rigid (shift and roll, the default) or shift")
        ->check(CLI::IsMember({"rigid", "shift"}));
    align->add_option("-o,--output", s.Output, "The track file to write (CSV frame,x,y,angle,confidence)")
        ->required();
    align->add_flag("--quiet", s.Quiet, "No progress line and no summary");
    align->add_option("--max-memory", s.MaxMemory,
                      "Memory budget while aligning (default 80% of physical memory), " +
                          std::to_string(FixedOverheadBytes >> 20) + " MiB of it set aside for the process itself")
        ->transform(CLI::Validator(
            [](std::string& text) -> std::string {
                try {
                    text = std::to_string(ParseByteCount(text));
                    return {};
                } catch (const std::exception& e) {
                    return e.what();
                }
            },
            "", "BYTES"))
        ->type_name("BYTES");

    CLI::App* check = commands.Check = app.add_subcommand(
        "check", "Check a track against the pictures; exit status 0 when it fits, 3 when it does not");
    check->add_option("--frames", commands.CheckFrames, "Image sequence: %04d, # (four digits) or @ (one digit)")
        ->required();
    check->add_option("--track", commands.CheckTrack, "Track file: .csv, .json, or .txt/.chan (frame x y [angle])")
        ->required();
    check->add_option("--track-units", commands.Units, "normalized (fractions of the frame, the default) or pixels")
        ->check(CLI::IsMember({"normalized", "pixels"}));
    check->add_option("--track-origin", commands.Origin, "bottom-left (y up, the default) or top-left (y down)")
        ->check(CLI::IsMember({"bottom-left", "top-left"}));
    check->add_option("--model", commands.Model, "rigid (the default) or shift: the motion measured")
        ->check(CLI::IsMember({"rigid", "shift"}));
    check->add_option("--tolerance", commands.Tolerance,
                      "Largest disagreement that fits, in pixels at the frame's corners (default 1)")
        ->check(CLI::Range(0.0, 1e6));
}

std::optional<int> RunAlignCommands(AlignCommands& commands, int threads) {
    const AlignModel model = commands.Model == "shift" ? AlignModel::Shift : AlignModel::Rigid;
    if (*commands.Align) {
        AlignCommandSettings settings = commands.AlignSettings;
        if (*commands.StartOption) settings.Start = commands.Start;
        if (*commands.EndOption) settings.End = commands.End;
        settings.Model = model;
        settings.Threads = threads;
        RunAlign(settings);
        return ExitWritten;
    }
    if (*commands.Check) {
        CheckSettings settings;
        settings.Frames = commands.CheckFrames;
        settings.TrackPath = commands.CheckTrack;
        settings.Reading.Units = commands.Units == "pixels" ? TrackUnits::Pixels : TrackUnits::Normalized;
        settings.Reading.Origin = commands.Origin == "top-left" ? TrackOrigin::TopLeft : TrackOrigin::BottomLeft;
        settings.Model = model;
        settings.Tolerance = commands.Tolerance;
        settings.Threads = threads;
        return RunCheck(settings);
    }
    return std::nullopt;
}

}  // namespace tessellon
