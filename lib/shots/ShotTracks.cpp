// The exact track of a shot in each tracker's export format.
#include "ShotTracks.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>

#include "Error.h"
#include "Text.h"

namespace tessellon {

namespace {

// The shortest text that reads back as the same double, in any locale.
std::string Num(double value) {
    char text[40];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

// The tracked position: the camera's shift in fractions of the frame. The
// tool shifts frame k by trunc((position - reference) * size) pixels, so the
// value is moved by at most a few units in the last place until that
// truncation gives back the whole-pixel shift the frame was drawn with.
double TrackValue(int shift, int size) {
    double value = 0.5 + double(shift) / double(size);
    const double away = shift >= 0 ? HUGE_VAL : -HUGE_VAL;
    while (std::trunc((value - 0.5) * double(size)) != double(shift)) value = std::nextafter(value, away);
    return value;
}

// One frame of the track as a format writes it: the number, the camera's
// position in fractions, the feature's in pixels from the bottom left, and
// the angles of both.
struct Row {
    int Frame = 0;
    double CameraX = 0.0, CameraY = 0.0, Roll = 0.0;
    double FeatureX = 0.0, FeatureY = 0.0, FeatureAngle = 0.0;
};

using RowText = std::function<std::string(const Row&)>;

std::string Rows(const ShotSpec& shot, const RowText& text) {
    const FeaturePoint feature = ShotFeatureAt(shot);
    std::string out;
    for (int k = 0; k < shot.FrameCount; ++k) {
        const Camera camera = CameraAt(shot, k);
        Row row;
        row.Frame = shot.FirstFrame + k;
        // Shifts with fractions (a shot for the aligner) are kept as they are.
        row.CameraX = shot.WholePixels ? TrackValue(camera.ShiftX, shot.FrameWidth) : 0.5 + camera.X / shot.FrameWidth;
        row.CameraY = shot.WholePixels ? TrackValue(camera.ShiftY, shot.FrameHeight) : 0.5 + camera.Y / shot.FrameHeight;
        row.Roll = camera.Roll;
        // The scene point stays put: the frame sees it move against the camera.
        row.FeatureX = feature.X - camera.X;
        row.FeatureY = feature.Y - camera.Y;
        row.FeatureAngle = 0.0 - camera.Roll;   // not -Roll: no roll stays +0
        out += text(row);
    }
    return out;
}

std::string Csv(const ShotSpec& shot) {
    return "# A Tessellon generated shot: the camera's position and roll per frame.\n"
           "# Normalized units (fractions of the " +
           std::to_string(shot.FrameWidth) + " x " + std::to_string(shot.FrameHeight) +
           " frame), origin bottom-left, y up, angle in degrees counter-clockwise.\nframe,x,y,angle\n" +
           Rows(shot, [](const Row& r) {
               return std::to_string(r.Frame) + "," + Num(r.CameraX) + "," + Num(r.CameraY) + "," + Num(r.Roll) + "\n";
           });
}

std::string Json(const ShotSpec& shot) {
    std::string entries = Rows(shot, [](const Row& r) {
        return "  {\"frame\": " + std::to_string(r.Frame) + ", \"x\": " + Num(r.CameraX) + ", \"y\": " + Num(r.CameraY) +
               ", \"angle\": " + Num(r.Roll) + "},\n";
    });
    entries.erase(entries.size() - 2, 1);   // the last entry's comma
    return "{\"frames\": [\n" + entries + "]}\n";
}

std::string Text(const ShotSpec& shot) {
    return "# frame x y angle: the camera, in fractions of the frame from the bottom left\n" +
           Rows(shot, [](const Row& r) {
               return std::to_string(r.Frame) + " " + Num(r.CameraX) + " " + Num(r.CameraY) + " " + Num(r.Roll) + "\n";
           });
}

std::string Chan(const ShotSpec& shot) {
    return Rows(shot, [](const Row& r) {
        return std::to_string(r.Frame) + " " + Num(r.FeatureX) + " " + Num(r.FeatureY) + " 0 0 0 " + Num(r.FeatureAngle) +
               "\n";
    });
}

std::string Curve(const ShotSpec& shot) {
    return Rows(shot, [](const Row& r) { return Num(r.FeatureX) + " " + Num(r.FeatureY) + " " + Num(r.FeatureAngle) + "\n"; });
}

// "\tfield\tfield\t\n", as the keyframe data's rows run.
std::string Tabbed(std::initializer_list<std::string> fields) {
    std::string line;
    for (const std::string& field : fields) line.append(1, '\t').append(field);
    return line.append("\t\n");
}

std::string AfterEffects(const ShotSpec& shot) {
    const double h = shot.FrameHeight;
    const std::string header = "Adobe After Effects 8.0 Keyframe Data\n\n\tUnits Per Second\t24\n\tSource Width\t" +
                               std::to_string(shot.FrameWidth) + "\n\tSource Height\t" +
                               std::to_string(shot.FrameHeight) +
                               "\n\tSource Pixel Aspect Ratio\t1\n\tComp Pixel Aspect Ratio\t1\n\n";
    const std::string title = "Motion Trackers\tTracker #1\tTrack Point #1\t";
    // The composition's y runs down from the top.
    const RowText point = [h](const Row& r) {
        return Tabbed({std::to_string(r.Frame), Num(r.FeatureX), Num(h - r.FeatureY)});
    };
    return header + title + "Feature Center\n\tFrame\tX pixels\tY pixels\t\n" + Rows(shot, point) + "\n" + title +
           "Confidence\n\tFrame\tpercent\t\n" +
           Rows(shot, [](const Row& r) { return Tabbed({std::to_string(r.Frame), "100"}); }) + "\n" + title +
           "Attach Point\n\tFrame\tX pixels\tY pixels\t\n" + Rows(shot, point) + "\n\nEnd of Keyframe Data\n";
}

std::string Equalizer(const ShotSpec& shot) {
    return "1\nfeature\n0\n" + std::to_string(shot.FrameCount) + "\n" + Rows(shot, [](const Row& r) {
               return std::to_string(r.Frame) + " " + Num(r.FeatureX) + " " + Num(r.FeatureY) + "\n";
           });
}

std::string PfTrack(const ShotSpec& shot) {
    return "# 2D feature tracks\n#\n# \"name\"\n# clip\n# <number of frames>\n# <frame> <x pixel> <y pixel> "
           "<residual>\n\n\"feature\"\n1\n" +
           std::to_string(shot.FrameCount) + "\n" + Rows(shot, [](const Row& r) {
               return std::to_string(r.Frame) + " " + Num(r.FeatureX) + " " + Num(r.FeatureY) + " 0.000\n";
           });
}

std::string SynthEyes(const ShotSpec& shot) {
    const double w = shot.FrameWidth, h = shot.FrameHeight;
    // u and v run from -1 to +1, left to right and top to bottom.
    return Rows(shot, [w, h](const Row& r) {
        return "feature " + std::to_string(r.Frame) + " " + Num(2.0 * r.FeatureX / w - 1.0) + " " +
               Num(2.0 * (h - r.FeatureY) / h - 1.0) + " 15\n";
    });
}

std::string Shake(const ShotSpec& shot) {
    return "TrackName feature\n   Frame             X             Y   Correlation\n" + Rows(shot, [](const Row& r) {
               char line[96];
               std::snprintf(line, sizeof line, "%8d.00 %13s %13s %13s\n", r.Frame, Num(r.FeatureX).c_str(),
                             Num(r.FeatureY).c_str(), "1.000");
               return std::string(line);
           });
}

bool HoldsAngle(TrackFormat format) {
    switch (format) {
    case TrackFormat::AfterEffects:
    case TrackFormat::Equalizer:
    case TrackFormat::PfTrack:
    case TrackFormat::SynthEyes:
    case TrackFormat::Shake: return false;
    default: return true;
    }
}

}  // namespace

ShotSpec SampleShot() {
    ShotSpec shot;
    shot.FrameWidth = 128;
    shot.FrameHeight = 64;
    shot.FrameCount = 12;
    shot.Pan = 88;
    shot.DriftPixels = 5;
    shot.RollDegrees = 0.0;
    return shot;
}

FeaturePoint ShotFeatureAt(const ShotSpec& shot) {
    return FeaturePoint{std::floor((shot.FrameWidth + shot.Pan) / 2.0) + 0.5, std::floor(shot.FrameHeight / 2.0) + 0.25};
}

std::string ShotTrackText(const ShotSpec& shot, TrackFormat format) {
    CheckShot(shot);
    if (!HoldsAngle(format) && shot.RollDegrees != 0.0)
        BadInput(std::string("a track in the ") + TrackFormatName(format) +
                 " format holds no angle: the shot cannot roll (its roll is " + NumberText(shot.RollDegrees) +
                 " degrees)");
    switch (format) {
    case TrackFormat::Csv: return Csv(shot);
    case TrackFormat::Json: return Json(shot);
    case TrackFormat::Text: return Text(shot);
    case TrackFormat::Chan: return Chan(shot);
    case TrackFormat::NukeAscii: return Curve(shot);
    case TrackFormat::AfterEffects: return AfterEffects(shot);
    case TrackFormat::Equalizer: return Equalizer(shot);
    case TrackFormat::PfTrack: return PfTrack(shot);
    case TrackFormat::SynthEyes: return SynthEyes(shot);
    case TrackFormat::Shake: return Shake(shot);
    case TrackFormat::Auto: break;
    }
    BadInput("a shot's track needs a format, not auto");
}

std::string ShotTrackFileName(TrackFormat format) {
    switch (format) {
    case TrackFormat::Csv: return "track.csv";
    case TrackFormat::Json: return "track.json";
    case TrackFormat::Text: return "track.txt";
    case TrackFormat::Chan: return "track.chan";
    case TrackFormat::NukeAscii: return "track_curve.txt";
    case TrackFormat::AfterEffects: return "track_ae.txt";
    case TrackFormat::Equalizer: return "track_3de.txt";
    case TrackFormat::PfTrack: return "track.2dt";
    case TrackFormat::SynthEyes: return "track_syntheyes.txt";
    case TrackFormat::Shake: return "track_shake.txt";
    case TrackFormat::Auto: break;
    }
    return "track";
}

void WriteShotTrack(const ShotSpec& shot, TrackFormat format, const std::string& path) {
    const std::string text = ShotTrackText(shot, format);
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) BadInput("cannot write the track file " + Quoted(path));
}

}  // namespace tessellon
