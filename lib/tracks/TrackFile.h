// Tracker files: per-frame positions and angles from CSV, JSON, the
// whitespace-separated text that trackers export (.txt, .chan), and the
// text exports of point trackers (docs/tracks/ describes each layout).
//
// Parsing never depends on the locale. Every error names the file and the
// line (and the column where one field is at fault): "shot.csv:14:9: ...".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Error.h"

namespace tessellon {

struct TrackKey {
    int32_t Frame = 0;
    double X = 0.0;
    double Y = 0.0;
    double Angle = 0.0;   // degrees; 0 when the file has no angle
    int Line = 0;         // 1-based line (JSON: the line of the entry) it came from
};

enum class TrackFormat { Auto, Csv, Json, Text, AfterEffects, Chan, NukeAscii, Equalizer, PfTrack, SynthEyes, Shake };
enum class TrackUnits { Normalized, Pixels };
enum class TrackOrigin { BottomLeft, TopLeft };
// Where the camera is, or where a tracked feature sits in the frame.
enum class TrackKind { Camera, Feature };

struct TrackReadOptions {
    TrackFormat Format = TrackFormat::Auto;
    std::string Name;                    // which tracker or track of several
    std::string Columns;                 // CSV: "frame=f,x=cx,y=cy,angle=rot"
    std::optional<int32_t> FirstFrame;   // formats without frame numbers; 1 when unset
};

struct Track {
    std::string Path;
    bool HasAngle = false;
    std::vector<TrackKey> Keys;   // ascending frame order, no duplicates
    // What the file says of itself; nullopt where it does not say.
    std::optional<TrackUnits> Units;
    std::optional<TrackOrigin> Origin;
    TrackKind Kind = TrackKind::Camera;
    int SourceWidth = 0, SourceHeight = 0;   // from the header where the format has one
    double PixelAspect = 1.0;                // the source's: the frames' own pixels
    double CompPixelAspect = 1.0;            // the composition's, where the format has one
    std::string FormatName;                  // "After Effects keyframe data", for messages
    std::string Name;                        // the tracker picked, if any
    std::vector<std::string> Ignored;        // unknown columns or keys, for one warning
    std::vector<std::string> Notes;          // what the reader did that the user should hear, a line each
};

// Reads a track file. Auto picks the format by extension (.csv, .json,
// .2dt, .tsv) and otherwise by content; .txt and .chan choose among the
// whitespace and tracker-export formats by content. A file with several
// trackers needs options.Name. Throws Error.
Track ReadTrackFile(const std::string& path, const TrackReadOptions& options = {});
Track ReadTrackFile(const std::string& path, TrackFormat format);
// The same from text already in memory (`path` only names it in errors).
Track ParseTrack(const std::string& text, const std::string& path, const TrackReadOptions& options);
Track ParseTrack(const std::string& text, const std::string& path, TrackFormat format);

// The format a --track-format name stands for; throws Error listing the names.
TrackFormat TrackFormatNamed(const std::string& name);
// "auto, csv, json, ...": the names TrackFormatNamed accepts.
const char* TrackFormatNames();
// The name TrackFormatNamed takes for `format`: "ae", "3de", ...
const char* TrackFormatName(TrackFormat format);

// Brings keys to the host's convention: fractions of the frame size, origin
// bottom-left, y up, angles counter-clockwise. Pixels divide by the frame
// size; top-left flips y (y' = 1 - y) and the sign of the angle.
// Division comes first, so a pixel track from the top-left becomes
// (x / width, 1 - y / height). Pixels with a size that is not positive
// throw Error and leave the track unchanged.
void ConvertTrack(Track& track, TrackUnits units, TrackOrigin origin, int frameWidth, int frameHeight);

}  // namespace tessellon
