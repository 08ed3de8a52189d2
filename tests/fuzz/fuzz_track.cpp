// scripts/fuzz builds and runs this target with its dictionary and seed corpus.
//
// Feeds arbitrary bytes to every track format: Auto and each format forced,
// with the first byte choosing a tracker name and a first frame. Error is the only way a
// parser may refuse input; anything else escaping, or a track that breaks
// the promises of TrackFile.h, stops the fuzzer.
#include "TrackFile.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace tessellon;

namespace {

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

int CountLines(std::string_view text)
{
    int lines = 1;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            ++lines;
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t pick = data[0];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const int lines = CountLines(text);
    for (int f = 0; f <= int(TrackFormat::Shake); ++f) {
        TrackReadOptions options;
        options.Format = TrackFormat(f);
        if (pick & 1)
            options.Name = (pick & 2) ? "Transform" : "a";
        if (pick & 4)
            options.FirstFrame = (pick & 8) ? INT32_MAX : -5;
        try {
            Track track = ParseTrack(text, "fuzz.trk", options);
            Check(track.Path == "fuzz.trk");
            Check(!track.Keys.empty());
            for (size_t i = 0; i < track.Keys.size(); ++i) {
                const TrackKey& key = track.Keys[i];
                Check(std::isfinite(key.X) && std::isfinite(key.Y) && std::isfinite(key.Angle));
                Check(key.Line >= 1 && key.Line <= lines);
                Check(i == 0 || track.Keys[i - 1].Frame < key.Frame);
                Check(track.HasAngle || key.Angle == 0.0);
            }
            Check(track.Units.has_value() == track.Origin.has_value());
            Check(track.Kind == TrackKind::Camera || track.Units.has_value());
            ConvertTrack(track, TrackUnits::Pixels, TrackOrigin::TopLeft, 960, 540);
            for (const TrackKey& key : track.Keys)
                Check(std::isfinite(key.X) && std::isfinite(key.Y) && std::isfinite(key.Angle));
        } catch (const Error& e) {
            const std::string_view what = e.what();
            Check(what.substr(0, 9) == "fuzz.trk:");
            Check(e.Where().File == "fuzz.trk");
            Check(e.Where().Line >= 0 && e.Where().Line <= lines);
            Check(e.Where().Column >= 0 && (e.Where().Column == 0 || e.Where().Line > 0));
        }
    }
    return 0;
}
