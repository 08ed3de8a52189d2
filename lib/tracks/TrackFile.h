// Tracker files: per-frame positions and angles from CSV, JSON or the
// whitespace-separated text that trackers export (.txt, .chan).
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

enum class TrackFormat { Auto, Csv, Json, Text };
enum class TrackUnits { Normalized, Pixels };
enum class TrackOrigin { BottomLeft, TopLeft };
enum class TrackKind { Camera, Feature };   // where the camera is / where a tracked feature sits in the frame

struct TrackKey {
    int32_t Frame = 0;
    double X = 0.0;
    double Y = 0.0;
    double Angle = 0.0;   // degrees; 0 when the file has no angle
    int Line = 0;         // 1-based line (JSON: the line of the entry) it came from
};

struct Track {
    std::string Path;
    bool HasAngle = false;
    std::vector<TrackKey> Keys;   // ascending frame order, no duplicates
    // What the file says of itself; unset where it does not say.
    std::optional<TrackUnits> Units;
    std::optional<TrackOrigin> Origin;
    TrackKind Kind = TrackKind::Camera;
    std::vector<std::string> Ignored;   // columns or keys the reader passed over
};


// Reads a track file. Auto picks the format by extension (.csv, .json,
// .txt/.chan) and otherwise by content. Throws Error.
Track ReadTrackFile(const std::string& path, TrackFormat format = TrackFormat::Auto);
// The same from text already in memory (`path` only names it in errors).
Track ParseTrack(const std::string& text, const std::string& path, TrackFormat format);

// Brings keys to the host's convention: fractions of the frame size, origin
// bottom-left, y up, angles counter-clockwise. Pixels divide by the frame
// size; top-left flips y (y' = 1 - y) and the sign of the angle.
// Division comes first, so a pixel track from the top-left becomes
// (x / width, 1 - y / height). Pixels with a size that is not positive
// throw Error and leave the track unchanged.
void ConvertTrack(Track& track, TrackUnits units, TrackOrigin origin, int frameWidth, int frameHeight);

}  // namespace tessellon
