// tessellon: the command-line host of the Tessellon plug-in.
//
//   tessellon stitch --frames PATTERN --output FILE [--band K/N] [options]
//   tessellon merge -o FILE BAND...                           (not on Windows)
//   tessellon plan --frames PATTERN --bands N [options]
//   tessellon align --frames PATTERN -o TRACK.csv [options]   (not on Windows)
//   tessellon check --frames PATTERN --track FILE [options]   (not on Windows)
//   tessellon demo [--output-dir DIR]
//   tessellon shot [--output-dir DIR] [--track-format NAME ...]
//   tessellon tools [--tile FILE]
//   tessellon about
//
// Exit status: 0 written, 1 the tool produced no image, 2 bad arguments or
// bad input; check: 3 the track does not fit. No exception leaves main.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#ifdef TESSELLON_ALIGN
#include "AlignCommand.h"
#endif
#include "Bands.h"
#include "DemoCommand.h"
#if TESSELLON_BAND_FILES
#include "MergeCommand.h"
#endif
#include "PlanCommand.h"
#include "ShotCommand.h"
#include "HostApp.h"
#include "ImageFiles.h"
#include "Messages.h"
#include "Plugins.h"
#include "StitchCommand.h"
#include "System.h"
#include "ToolsCommand.h"

namespace tessellon {
namespace {

// A CLI11 validator that takes "512M", "4G" or a plain byte count.
struct ByteCount : public CLI::Validator {
    ByteCount() {
        name_ = "BYTES";
        func_ = [](std::string& text) -> std::string {
            try {
                text = std::to_string(ParseByteCount(text));
                return {};
            } catch (const std::exception& e) {
                return e.what();
            }
        };
    }
};

struct Options {
    std::vector<std::string> Plugins;
    int Threads = 0;

    StitchSettings Stitch;
    double Start = 0.0, End = 0.0;
    std::string Method = "unique";
    std::string Output;
    std::string Units, Origin, Kind;   // empty: the track file's own
    std::string TrackFormat = "auto";
    int32_t FirstFrame = 1;
    std::vector<std::string> ColorConvert;
    int64_t MaxImageSize = ImageLimits().MaxWidth;
    uint64_t MaxFrameBytes = ImageLimits().MaxBytes;
    uint64_t MaxImageBytes = 0;
    uint64_t MaxMemory = 0;

    std::string Band;   // "K/N"
    int Bands = 1;
#if TESSELLON_BAND_FILES
    MergeSettings Merge;
#endif

    DemoSettings Demo;
    ShotSettings Shot;
    std::vector<std::string> ShotFormats;
    std::string Tile;
#ifdef TESSELLON_ALIGN
    AlignCommands Align;
    bool StitchAlign = false;
    std::string StitchModel = "rigid";
#endif
};

void AddLimits(CLI::App& command, Options& options) {
    RenderLimits& limits = options.Stitch.Limits;
    command.add_option("--max-image-size", options.MaxImageSize,
                       "Largest width or height of an input frame, in pixels (default 65535)")
        ->check(CLI::Range(int64_t(1), int64_t(MaxImageSide)));
    command.add_option("--max-channels", limits.Frames.MaxChannels,
                       "Most channels an input file may have; the first four are used (default 1024)")
        ->check(CLI::Range(1, 1 << 20));
    command.add_option("--max-frame-bytes", options.MaxFrameBytes,
                       "Largest decoded frame, for example 512M or 4G (default 4G)")
        ->transform(ByteCount())
        ->type_name("BYTES");
    command.add_option("--max-canvas-size", limits.MaxCanvasSide,
                       "Largest width or height of the canvas, in pixels (default and most 1048576)")
        ->check(CLI::Range(int64_t(1), int64_t(MaxImageSide)));
    command.add_option("--max-image-bytes", options.MaxImageBytes,
                       "Largest single image the host makes: the canvas, each layer (default 8G)")
        ->transform(ByteCount())
        ->type_name("BYTES");
    command.add_option("--max-memory", options.MaxMemory,
                       "Memory budget of the whole render, estimated before any pixel is read "
                       "(default 80% of physical memory), " + std::to_string(FixedOverheadBytes >> 20) +
                           " MiB of it set aside for the process itself. Where one pass does not fit, the canvas "
                           "is rendered band after band within it")
        ->transform(ByteCount())
        ->type_name("BYTES");
}

// The commands and their options, filled into `options` as they parse.
// Stitch and plan share the options that say what is stitched.
struct Commands {
    CLI::App* Stitch = nullptr;
    CLI::App* Merge = nullptr;
    CLI::App* Plan = nullptr;
    CLI::App* Demo = nullptr;
    CLI::App* Shot = nullptr;
    CLI::App* Tools = nullptr;
    CLI::App* About = nullptr;
    std::vector<CLI::Option*> Start, End, FirstFrame;
};

bool Given(const std::vector<CLI::Option*>& options) {
    return std::any_of(options.begin(), options.end(), [](const CLI::Option* o) { return o->count() > 0; });
}

void AddWriteOptions(CLI::App* command, WriteOptions& write, std::vector<std::string>& colorConvert) {
    command->add_option("-d", write.DataType, "Data type of an .exr output: half or float (default float)")
        ->check(CLI::IsMember({"half", "float"}));
    command->add_option("--compression", write.Compression,
                        std::string("Compression of an .exr output: ") + ExrCompressions() + " (default zip)");
    command->add_option("--colorconvert", colorConvert, "Convert the output's colours FROM TO")->expected(2);
}

// What is stitched: frames, track, range, method, how frames are read, limits.
void AddShotOptions(CLI::App* stitch, Options& options, Commands& commands) {
    StitchSettings& s = options.Stitch;
    stitch->add_option("--frames", s.Frames, "Image sequence: %04d, # (four digits) or @ (one digit)")->required();
    stitch->add_option("--track", s.TrackPath, "Track file: .csv, .json, or .txt/.chan (frame x y [angle])");
    commands.Start.push_back(stitch->add_option("--start", options.Start,
                                                "Start frame (default: the track's first, else the first file)"));
    commands.End.push_back(
        stitch->add_option("--end", options.End, "End frame (default: the track's last, else the last file)"));
    stitch->add_option("--method", options.Method, "unique (first opaque pixel, the default) or median")
        ->check(CLI::IsMember({"unique", "median"}));
    ImageReadChoice& choice = s.Limits.Frames.Choice;
    stitch->add_option("--layer", choice.Layer, "Read the layer NAME of the frames (NAME.R, NAME.G, ...)");
    stitch->add_option("--view", choice.View, "Read the view NAME of multi-view frames (default: the first)");
    stitch->add_option("--part", choice.Part,
                       "Read the part N (from 0) or NAME of multi-part frames (default: the first with colour)");
    stitch->add_flag("--data-window", choice.DataWindow,
                     "Each frame is its data window, overscan kept (default: its display window)");
    stitch->add_option("--colorspace", choice.ColorSpace,
                       "What the frames' pixels are in (linear, sRGB, ...), whatever the files say");
    stitch->add_option("--track-format", options.TrackFormat,
                       std::string("Track file format, told by content when auto: ") + TrackFormatNames());
    stitch->add_option("--track-name", s.TrackRead.Name, "Which tracker or track of a file that holds several");
    stitch->add_option("--columns", s.TrackRead.Columns, "CSV columns or JSON keys by name: frame=f,x=cx,y=cy,angle=rot");
    commands.FirstFrame.push_back(stitch->add_option(
        "--first-frame", options.FirstFrame, "Frame of the first line, for exports without frame numbers (default 1)"));
    stitch->add_option("--track-units", options.Units,
                       "normalized (fractions of the frame) or pixels; default: what the track format says, "
                       "else normalized")
        ->check(CLI::IsMember({"normalized", "pixels"}));
    stitch->add_option("--track-origin", options.Origin,
                       "bottom-left (y up) or top-left (y down); default: what the track format says, else bottom-left")
        ->check(CLI::IsMember({"bottom-left", "top-left"}));
    stitch->add_option("--track-kind", options.Kind,
                       "camera (where the camera is) or feature (where a tracked feature sits in the frame; mirrored "
                       "around the start frame). Default: point-tracker exports are feature tracks, tessellon's "
                       "own CSV, JSON and text files camera tracks")
        ->check(CLI::IsMember({"camera", "feature"}));
    stitch->add_flag("--skip-bad-frames", s.SkipBadFrames, "Treat an unreadable frame as a frame without an image");
    AddLimits(*stitch, options);
}

void AddStitch(CLI::App& app, Options& options, Commands& commands) {
    CLI::App* stitch = commands.Stitch = app.add_subcommand("stitch", "Stitch an image sequence with its track");
    AddShotOptions(stitch, options, commands);
    StitchSettings& s = options.Stitch;
    stitch->add_option("-o,--output", options.Output, std::string("Output file: ") + OutputTypes())->required();
    AddWriteOptions(stitch, s.Write, options.ColorConvert);
#if TESSELLON_BAND_FILES
    stitch->add_option("--band", options.Band,
                       "Render band K of N only (K from 0), into an .exr band file for tessellon merge: band K holds "
                       "the canvas rows floor(K*H/N) to floor((K+1)*H/N) - 1 of its H rows, counted from the top");
#endif
    stitch->add_flag("--quiet", s.Quiet, "No progress line and no summary");
    stitch->add_flag("--stats", s.Stats, "Print phase times, bands, bytes read and peak memory");
    stitch->add_flag("--one-pass", s.OnePass,
                     "Render the canvas in one pass where it fits the memory budget; without it a render of over "
                     "1 GiB whose frames are all read by rows (EXR, TIFF) goes in two bands, which is faster");
    stitch->add_option("--report", s.Report,
                       "Write a JSON summary of the run (frames used and skipped, canvas, times, warnings, peak "
                       "memory) when the output is written");
#ifdef TESSELLON_ALIGN
    CLI::Option* align = stitch->add_flag(
        "--align", options.StitchAlign,
        "Make the track from the pictures (as tessellon align does) and stitch with it, decoding each frame once; "
        "frames that cannot be aligned are passed over");
    stitch->add_option("--model", options.StitchModel, "With --align: rigid (shift and roll, the default) or shift")
        ->check(CLI::IsMember({"rigid", "shift"}))
        ->needs(align);
    stitch->add_flag("--no-check", s.NoTrackCheck,
                     "Do not check the track against a few pairs of neighbouring frames (the check warns when the "
                     "track does not line them up and names the usual mistake; tessellon check measures every frame)");
#endif
}

#if TESSELLON_BAND_FILES
void AddMerge(CLI::App& app, Options& options, Commands& commands) {
    CLI::App* merge = commands.Merge =
        app.add_subcommand("merge", "Put the band files of tessellon stitch --band together into the stitched image");
    MergeSettings& m = options.Merge;
    merge->add_option("-o,--output", m.Output, std::string("Output file: ") + OutputTypes())->required();
    merge->add_option("bands", m.Bands, "The band files, every band of the split once, in any order")->required();
    AddWriteOptions(merge, m.Write, options.ColorConvert);
    merge->add_flag("--quiet", m.Quiet, "No summary");
}
#endif

void AddPlan(CLI::App& app, Options& options, Commands& commands) {
    CLI::App* plan = commands.Plan = app.add_subcommand(
        "plan", "Print the canvas and its bands as JSON: rows, the frames each reads and the memory it needs");
    AddShotOptions(plan, options, commands);
    plan->add_option("--bands", options.Bands, "Bands to split the canvas into (default 1)");
}

void AddCommands(CLI::App& app, Options& options, Commands& commands) {
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", "tessellon 1.0");
    app.add_option("--plugin", options.Plugins,
                   "Tool module to load (a file, or a folder holding Tessellon.so); may be repeated. "
                   "Default: TESSELLON_PLUGIN_PATH, else next to the executable");
    app.add_option("--threads", options.Threads, "Worker threads (default: every core)")
        ->check(CLI::Range(1, 1024));
    AddStitch(app, options, commands);
#if TESSELLON_BAND_FILES
    AddMerge(app, options, commands);
#endif
    AddPlan(app, options, commands);
#ifdef TESSELLON_ALIGN
    AddAlignCommands(app, options.Align);
#else
    app.footer("align and check (a track from the pictures, a track checked against them) are not in this build: "
               "they need OpenCV.");
#endif

    commands.Demo = app.add_subcommand("demo", "Make a tracked shot from nothing and stitch it both ways");
    commands.Demo->add_option("--output-dir", options.Demo.OutputDir, "Where to write (default ./tessellon-demo)");
    commands.Demo->add_flag("--quiet", options.Demo.Quiet, "Print nothing but errors");

    commands.Shot = app.add_subcommand("shot", "Write the small shot of the track samples: frames and exact track");
    commands.Shot->add_option("--output-dir", options.Shot.OutputDir, "Where to write (default ./tessellon-shot)");
    commands.Shot->add_option("--track-format", options.ShotFormats,
                              std::string("Also write the track in this format (may be repeated): ") +
                                  TrackFormatNames());
    commands.Shot->add_flag("--quiet", options.Shot.Quiet, "Print nothing but errors");

    commands.Tools = app.add_subcommand("tools", "List the tools of the loaded modules");
    commands.Tools->add_option("--tile", options.Tile, "Write the stitching tool's tile picture (.bmp, .png, ...)");

    commands.About = app.add_subcommand("about", "Show the stitching tool's About box");
}

// Parses the command line; an exit status when the run ends here (help,
// version, a mistake), none when a command is to run.
std::optional<int> Parse(CLI::App& app, int argc, char** argv) {
    // CLI11 would only say that a command is needed.
    if (argc > 1 && argv[1][0] != '-' && app.get_subcommands([&](CLI::App* command) {
                                             return command->check_name(argv[1]);
                                         }).empty()) {
#ifdef TESSELLON_ALIGN
        const char* known = "stitch, merge, plan, align, check, demo, shot, tools or about";
#else
        const char* known = "stitch, plan, demo, shot, tools or about";
#endif
        PrintError(std::string("unknown command '") + argv[1] + "' (use " + known + ")");
        return ExitBadInput;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e) == 0 ? ExitWritten : ExitBadInput;
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e) == 0 ? ExitWritten : ExitBadInput;
    } catch (const CLI::CallForVersion& e) {
        app.exit(e);
        return ExitWritten;
    } catch (const CLI::ParseError& e) {
        PrintError(e.what());
        std::fprintf(stderr, "Run with --help for more information.\n");
        return ExitBadInput;
    }
    return std::nullopt;
}

// --band K/N: band K of N, K from 0; the band is an .exr file that keeps
// the canvas's pixels, so no data type is asked of it.
void TakeBand(StitchSettings& s, const std::string& text, const std::string& output) {
    int k = -1, n = -1;
    const size_t slash = text.find('/');
    const auto whole = [&](const std::string& part, int& value) {
        if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string::npos) return false;
        value = std::stoi(part);
        return true;
    };
    if (slash == std::string::npos || !whole(text.substr(0, slash), k) || !whole(text.substr(slash + 1), n))
        BadInput("--band '" + text + "': give K/N, band K (counted from 0) of N bands, as in --band 0/8");
    if (n == 0) BadInput("--band '" + text + "': the canvas cannot be split into 0 bands");
    if (k >= n)
        BadInput("--band '" + text + "': band " + std::to_string(k) + " of " + std::to_string(n) +
                 " does not exist; bands are counted from 0 to " + std::to_string(n - 1));
    if (!s.Write.DataType.empty())
        BadInput("cannot write " + Quoted(output) + " as a band: a band keeps the canvas's own pixels, so -d is given "
                 "to tessellon merge instead");
    std::string extension = output.size() >= 4 ? output.substr(output.size() - 4) : std::string();
    for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (extension != ".exr") BadInput("cannot write " + Quoted(output) + " as a band: band files are .exr files");
    s.BandK = k;
    s.BandCount = n;
}

// The stitch's settings from its parsed options.
StitchSettings StitchOf(Options& options, const Commands& commands) {
    StitchSettings s = options.Stitch;
    if (Given(commands.Start)) s.Start = options.Start;
    if (Given(commands.End)) s.End = options.End;
    s.Method = options.Method == "median" ? FilterMedian : FilterUnique;
    s.Outputs = {options.Output};
    if (!options.Units.empty()) s.Units = options.Units == "pixels" ? TrackUnits::Pixels : TrackUnits::Normalized;
    if (!options.Origin.empty())
        s.Origin = options.Origin == "top-left" ? TrackOrigin::TopLeft : TrackOrigin::BottomLeft;
    s.TrackRead.Format = TrackFormatNamed(options.TrackFormat);
    if (Given(commands.FirstFrame)) s.TrackRead.FirstFrame = options.FirstFrame;
    if (!options.Kind.empty()) s.Kind = options.Kind == "feature" ? TrackKind::Feature : TrackKind::Camera;
    if (options.ColorConvert.size() == 2) {
        s.Write.ColorFrom = options.ColorConvert[0];
        s.Write.ColorTo = options.ColorConvert[1];
    }
    s.Threads = options.Threads;
    s.Limits.Frames.MaxWidth = s.Limits.Frames.MaxHeight = options.MaxImageSize;
    s.Limits.Frames.MaxBytes = options.MaxFrameBytes;
    s.Limits.MaxImageBytes = options.MaxImageBytes;
    s.Limits.MaxMemory = options.MaxMemory;
    if (!options.Band.empty()) TakeBand(s, options.Band, options.Output);
    return s;
}

int Run(int argc, char** argv) {
    CLI::App app{"tessellon: stitches a tracked image sequence into one image through the Tessellon plug-in",
                 "tessellon"};
    Options options;
    Commands commands;
    AddCommands(app, options, commands);
    if (const std::optional<int> status = Parse(app, argc, argv)) return *status;

    HostApp::SetWorkerCount(options.Threads);
    // Merging and planning need no tool.
#if TESSELLON_BAND_FILES
    if (*commands.Merge) {
        MergeSettings merge = options.Merge;
        if (options.ColorConvert.size() == 2) {
            merge.Write.ColorFrom = options.ColorConvert[0];
            merge.Write.ColorTo = options.ColorConvert[1];
        }
        RunMerge(merge);
        return ExitWritten;
    }
#endif
    if (*commands.Plan) {
        RunPlan(StitchOf(options, commands), options.Bands);
        return ExitWritten;
    }
#ifdef TESSELLON_ALIGN
    if (const std::optional<int> status = RunAlignCommands(options.Align, options.Threads)) return *status;
#endif
    if (*commands.Shot) {   // draws and writes files; no tool is needed
        for (const std::string& name : options.ShotFormats) options.Shot.TrackFormats.push_back(TrackFormatNamed(name));
        options.Shot.Threads = options.Threads;
        RunShot(options.Shot);
        return ExitWritten;
    }
    const Plugins plugins(options.Plugins, ExecutableDirectory());
    if (*commands.Stitch) {
        StitchSettings settings = StitchOf(options, commands);
#ifdef TESSELLON_ALIGN
        if (options.StitchAlign)
            AlignForStitch(settings, options.StitchModel == "shift" ? AlignModel::Shift : AlignModel::Rigid,
                           settings.Quiet);
#endif
        RunStitch(settings, plugins);
    } else if (*commands.Demo) {
        options.Demo.Threads = options.Threads;
        RunDemo(options.Demo, plugins);
    } else if (*commands.Tools) {
        RunTools(plugins, options.Tile);
    } else if (*commands.About) {
        RunAbout(plugins);
    }
    return ExitWritten;
}

// Every host object must have come back when a command ends, whichever way.
void CheckLiveObjects() {
    if (const int64_t live = HostApp::LiveObjects(); live != 0)
        PrintWarning(std::to_string(live) + " host object" + (live == 1 ? " was" : "s were") + " not given back");
}

}  // namespace
}  // namespace tessellon

int main(int argc, char** argv) {
    using namespace tessellon;
    int status = ExitNoImage;
    try {
        status = Run(argc, argv);
    } catch (const Error& e) {
        PrintError(e.what());
        status = e.ExitStatus();
    } catch (const std::bad_alloc&) {
        PrintError("out of memory");
    } catch (const std::exception& e) {
        PrintError(std::string("unexpected failure: ") + e.what());
    } catch (...) {
        PrintError("unexpected failure");
    }
    CheckLiveObjects();
    return status;
}
