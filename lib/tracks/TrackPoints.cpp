// The text exports of point trackers: 3DEqualizer's 2D points, PFTrack's
// .2dt, SynthEyes' 2D tracker paths and Shake's tracker text. Each holds
// named trackers; one is picked by name (PickTrack).
#include "TrackParse.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

namespace tessellon::trackparse {

namespace {

constexpr std::string_view kHint = "use '.' for decimals and spaces between fields";

// The lines that hold anything but blanks (and, where the format has them,
// '#' comments), one at a time.
class Lines {
public:
    Lines(const Source& src, bool comments) : src_(src), comments_(comments) { Skip(); }
    bool Done() const { return line_ > src_.LineCount(); }
    int Line() const { return line_; }
    std::string_view Text() const { return Trim(src_.Line(line_)); }
    std::vector<Field> Fields() const { return SplitWords(src_.Line(line_), src_.LineStart(line_)); }
    void Next()
    {
        ++line_;
        Skip();
    }

private:
    void Skip()
    {
        while (line_ <= src_.LineCount() &&
               (comments_ ? IsBlankOrComment(src_.Line(line_)) : Trim(src_.Line(line_)).empty()))
            ++line_;
    }
    const Source& src_;
    bool comments_;
    int line_ = 1;
};

int CountIn(const Source& src, const Field& field, const std::string& what)
{
    const double value = ReadNumber(src, field, what);
    if (value != std::trunc(value) || value < 0)
        src.FailAt(field.Offset, what + " is not a whole number: " + Quote(field.Text));
    if (value > double(INT32_MAX))
        src.FailAt(field.Offset, what + " is out of range: " + Quote(field.Text));
    return int(value);
}

// A line that must hold one whole number (a count), `what` for messages.
int ReadCount(const Source& src, const Lines& lines, const std::string& what)
{
    if (lines.Done())
        src.Fail("the file ends where " + what + " belongs");
    const std::vector<Field> fields = lines.Fields();
    if (fields.size() != 1)
        src.FailLine(lines.Line(), "expected " + what + ", found " + std::to_string(fields.size()) + " fields");
    return CountIn(src, fields[0], what);
}

// The key on the current line, "frame x y ..." with at least three fields.
TrackKey ReadPointKey(const Source& src, const Lines& lines, const char* layout)
{
    const std::vector<Field> f = lines.Fields();
    if (f.size() < 3)
        src.FailLine(lines.Line(), WithHint("too few fields: " + std::to_string(f.size()) + " (expected " + layout + ")",
                                            lines.Text(), ",;", kHint));
    Values v{};
    v[kFrame] = ReadFrame(src, f[0]);
    v[kX] = ReadNumber(src, f[1], "x", kHint);
    v[kY] = ReadNumber(src, f[2], "y", kHint);
    for (size_t c = 3; c < f.size(); ++c)
        ReadNumber(src, f[c], "field", kHint);
    return MakeKey(v, lines.Line());
}

// `count` key lines of the tracker `t`; leaves `lines` after the last.
void ReadKeys(const Source& src, Lines& lines, NamedTrack& t, int count, const char* layout)
{
    for (int k = 0; k < count; ++k, lines.Next()) {
        if (lines.Done())
            src.Fail("the file ends inside the tracker " + Quote(t.Name) + " (line " + std::to_string(t.Line) +
                     "): " + std::to_string(count) + " keys announced, " + std::to_string(k) + " found");
        t.Keys.Keys.push_back(ReadPointKey(src, lines, layout));
    }
}

// The picked tracker with what the format says of its coordinates.
Track Finish(Track track, TrackUnits units, TrackOrigin origin, const char* format)
{
    track.Units = units;
    track.Origin = origin;
    track.Kind = TrackKind::Feature;
    track.FormatName = format;
    return track;
}

std::string Unquoted(std::string_view s)
{
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        s = s.substr(1, s.size() - 2);
    return std::string(s);
}

bool IsQuoted(std::string_view s) { return s.size() >= 2 && s.front() == '"' && s.find('"', 1) == s.size() - 1; }

}  // namespace

Track ParseEqualizer(const Source& src, const TrackReadOptions& options)
{
    Lines lines(src, false);
    const int points = ReadCount(src, lines, "the number of points");
    lines.Next();
    std::vector<NamedTrack> tracks;
    for (int p = 0; p < points; ++p) {
        if (lines.Done())
            src.Fail("the file ends after " + std::to_string(p) + " of the " + std::to_string(points) +
                     " points it announces");
        NamedTrack t{std::string(lines.Text()), lines.Line(), {}};
        lines.Next();
        ReadCount(src, lines, "the colour of point " + Quote(t.Name));
        lines.Next();
        const int count = ReadCount(src, lines, "the number of frames of point " + Quote(t.Name));
        lines.Next();
        ReadKeys(src, lines, t, count, "frame x y");
        tracks.push_back(std::move(t));
    }
    if (!lines.Done())
        src.FailLine(lines.Line(), "more lines after the " + std::to_string(points) + " points the file announces");
    return Finish(PickTrack(src, std::move(tracks), options.Name, "point"), TrackUnits::Pixels,
                  TrackOrigin::BottomLeft, "3DEqualizer 2D points");
}

Track ParsePfTrack(const Source& src, const TrackReadOptions& options)
{
    Lines lines(src, true);
    std::vector<NamedTrack> tracks;
    std::vector<std::string> clips;
    while (!lines.Done()) {
        if (!IsQuoted(lines.Text()))
            src.FailLine(lines.Line(), "expected a tracker name in double quotes, found " + Quote(lines.Text()));
        NamedTrack t{Unquoted(lines.Text()), lines.Line(), {}};
        lines.Next();
        // Newer files put the clip (a number or a quoted camera name)
        // between the name and the count: then two one-field lines follow
        // the name, where older files have the count and then a key.
        if (lines.Done())
            src.Fail("the file ends after the name of the tracker " + Quote(t.Name) + " (line " +
                     std::to_string(t.Line) + ")");
        const std::vector<Field> first = lines.Fields();
        const std::string firstText(lines.Text());
        const std::string what = "the number of frames of " + Quote(t.Name);
        if (first.size() != 1)
            src.FailLine(lines.Line(), "expected " + what + " or a clip, found " + std::to_string(first.size()) + " fields");
        lines.Next();
        std::string clip;
        int count;
        if (IsQuoted(firstText) || (!lines.Done() && lines.Fields().size() == 1)) {
            clip = Unquoted(firstText);
            count = ReadCount(src, lines, what);
            lines.Next();
        } else {
            count = CountIn(src, first[0], what);
        }
        ReadKeys(src, lines, t, count, "frame x y residual");
        tracks.push_back(std::move(t));
        clips.push_back(clip);
    }
    // One name in several clips: each is named "name/clip".
    for (size_t i = 0; i < tracks.size(); ++i) {
        const auto same = [&](const NamedTrack& o) { return o.Name == tracks[i].Name; };
        if (!clips[i].empty() && std::count_if(tracks.begin(), tracks.end(), same) > 1)
            tracks[i].Name += "/" + clips[i];
    }
    return Finish(PickTrack(src, std::move(tracks), options.Name, "tracker"), TrackUnits::Pixels,
                  TrackOrigin::BottomLeft, "PFTrack 2D tracks");
}

// u and v run from -1 to +1, left to right and top to bottom: fractions
// from the top-left are (u + 1) / 2 and (v + 1) / 2.
Track ParseSynthEyes(const Source& src, const TrackReadOptions& options)
{
    std::vector<NamedTrack> tracks;
    for (Lines lines(src, true); !lines.Done(); lines.Next()) {
        const std::vector<Field> f = lines.Fields();
        if (f.size() < 4 || f.size() > 5)
            src.FailLine(lines.Line(), std::to_string(f.size()) + " fields (expected name frame u v [status])");
        const std::string name(f[0].Text);
        auto it = std::find_if(tracks.begin(), tracks.end(), [&](const NamedTrack& t) { return t.Name == name; });
        if (it == tracks.end())
            it = tracks.insert(tracks.end(), NamedTrack{name, lines.Line(), {}});
        Values v{};
        v[kFrame] = ReadFrame(src, f[1]);
        v[kX] = (ReadNumber(src, f[2], "u", kHint) + 1.0) / 2.0;
        v[kY] = (ReadNumber(src, f[3], "v", kHint) + 1.0) / 2.0;
        if (f.size() == 5)
            ReadNumber(src, f[4], "status", kHint);
        it->Keys.Keys.push_back(MakeKey(v, lines.Line()));
    }
    return Finish(PickTrack(src, std::move(tracks), options.Name, "tracker"), TrackUnits::Normalized,
                  TrackOrigin::TopLeft, "SynthEyes 2D tracker paths");
}

Track ParseShake(const Source& src, const TrackReadOptions& options)
{
    std::vector<NamedTrack> tracks;
    for (Lines lines(src, false); !lines.Done(); lines.Next()) {
        const std::string_view text = lines.Text();
        if (text.rfind("TrackName", 0) == 0 && (text.size() == 9 || IsBlank(text[9]))) {
            const std::string name(Trim(text.substr(9)));
            if (name.empty())
                src.FailLine(lines.Line(), "'TrackName' without a name");
            tracks.push_back({name, lines.Line(), {}});
            continue;
        }
        if (Lower(text.substr(0, 5)) == "frame")
            continue;   // the column header under each name
        if (tracks.empty())
            src.FailLine(lines.Line(), "keys before the first 'TrackName' line");
        tracks.back().Keys.Keys.push_back(ReadPointKey(src, lines, "Frame X Y Correlation"));
    }
    return Finish(PickTrack(src, std::move(tracks), options.Name, "tracker"), TrackUnits::Pixels,
                  TrackOrigin::BottomLeft, "Shake tracker text");
}

}  // namespace tessellon::trackparse
