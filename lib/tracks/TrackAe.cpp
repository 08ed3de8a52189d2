// After Effects keyframe data: the text its point and planar trackers put on
// the clipboard. A header of "\tName\tValue" lines, then blocks: a title
// line ("Motion Trackers\tTracker #1\tTrack Point #1\tFeature Center",
// "Transform\tPosition"), a column line ("\tFrame\tX pixels\tY pixels") and
// "\tframe\tvalue..." rows, up to "End of Keyframe Data".
#include "TrackParse.h"

#include "Text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>

namespace tessellon::trackparse {

namespace {

constexpr std::string_view kHint = "use '.' for decimals";
constexpr std::string_view kEnd = "End of Keyframe Data";

// The tab-separated fields of a line, trimmed, empty ones dropped.
std::vector<Field> SplitTabs(std::string_view line, size_t offset)
{
    std::vector<Field> fields;
    for (size_t start = 0; start <= line.size();) {
        size_t end = line.find('\t', start);
        if (end == std::string_view::npos)
            end = line.size();
        const std::string_view raw = line.substr(start, end - start);
        const std::string_view text = Trim(raw);
        if (!text.empty())
            fields.push_back({text, offset + start + size_t(text.data() - raw.data())});
        start = end + 1;
    }
    return fields;
}

struct Header {
    std::optional<double> Rate, Width, Height, SourceAspect, CompAspect;
};

// What one block gives, and for which track.
enum class Value { None, Position, Rotation };

struct Block {
    std::string Track;   // "Tracker #1/Track Point #1" or "Transform"
    Value What = Value::None;
    bool Attach = false;   // an Attach Point, taken only without a Feature Center
};

Block Classify(const std::vector<Field>& title)
{
    Block b;
    if (title.size() == 4 && title[0].Text == "Motion Trackers") {
        b.Track = std::string(title[1].Text) + "/" + std::string(title[2].Text);
        if (title[3].Text == "Feature Center")
            b.What = Value::Position;
        else if (title[3].Text == "Attach Point")
            b.What = Value::Position, b.Attach = true;
    } else if (title.size() == 2 && title[0].Text == "Transform") {
        b.Track = "Transform";
        if (title[1].Text == "Position")
            b.What = Value::Position;
        else if (title[1].Text == "Rotation")
            b.What = Value::Rotation;
    }
    return b;
}

void CheckColumns(const Source& src, int line, const std::vector<Field>& columns, Value what)
{
    const bool ok = what == Value::Rotation
                        ? columns.size() == 2 && columns[1].Text == "degrees"
                        : (columns.size() == 3 || columns.size() == 4) && columns[1].Text == "X pixels" &&
                              columns[2].Text == "Y pixels" && (columns.size() == 3 || columns[3].Text == "Z pixels");
    if (columns.empty() || columns[0].Text != "Frame" || !ok)
        src.FailLine(line, what == Value::Rotation ? "expected the columns 'Frame' and 'degrees'"
                                                   : "expected the columns 'Frame', 'X pixels', 'Y pixels' [, 'Z pixels']");
}

struct Parsed {
    std::vector<TrackKey> Position, AttachPosition, Rotation;
    int Line = 0, AttachLine = 0, RotationLine = 0;
};

void HeaderValue(const Source& src, Header& h, const std::vector<Field>& f)
{
    if (f.size() != 2)
        return;
    std::optional<double>* slot = f[0].Text == "Units Per Second"            ? &h.Rate
                                  : f[0].Text == "Source Width"              ? &h.Width
                                  : f[0].Text == "Source Height"             ? &h.Height
                                  : f[0].Text == "Source Pixel Aspect Ratio" ? &h.SourceAspect
                                  : f[0].Text == "Comp Pixel Aspect Ratio"   ? &h.CompAspect
                                                                             : nullptr;
    if (!slot)
        return;
    const double v = ReadNumber(src, f[1], f[0].Text, kHint);
    if (v <= 0)
        src.FailAt(f[1].Offset, Named(f[0].Text) + " must be positive: " + Quote(f[1].Text));
    if ((slot == &h.Width || slot == &h.Height) && v != std::trunc(v))
        src.FailAt(f[1].Offset, Named(f[0].Text) + " is not a whole number: " + Quote(f[1].Text));
    if ((slot == &h.Width || slot == &h.Height) && v > double(INT32_MAX))
        src.FailAt(f[1].Offset, Named(f[0].Text) + " is out of range: " + Quote(f[1].Text));
    *slot = v;
}

// Trackers work in the layer's own pixels, the pixels the frames are stored
// in, whatever their aspect: their positions are read as they are. The
// layer's Transform Position is in the composition's pixels, which are
// CompAspect / SourceAspect of the layer's wide: X is brought to the layer's.
void ApplyPixelAspect(Track& track, double source, double comp)
{
    track.PixelAspect = source;
    track.CompPixelAspect = comp;
    const std::string sourceText = "Source Pixel Aspect Ratio " + NumberText(source);
    if (track.Name != "Transform") {
        if (source != 1.0)
            track.Notes.push_back(sourceText + ": the tracker's X positions are the layer's own pixels, as the "
                                  "frames are stored; read as they are, not rescaled");
        return;
    }
    const std::string compText = "Comp Pixel Aspect Ratio " + NumberText(comp);
    if (comp == source) {
        if (source != 1.0)
            track.Notes.push_back(sourceText + " and " + compText +
                                  ": the composition's pixels are the frames' own; positions read as they are");
        return;
    }
    const double scale = comp / source;
    for (TrackKey& key : track.Keys)
        key.X *= scale;
    track.Notes.push_back("Transform Position is in the composition's pixels (" + compText +
                          "), the frames in the layer's (" + sourceText + "): X multiplied by " + NumberText(scale));
}

void CheckHeader(const Source& src, const Header& h, int line)
{
    const std::pair<const std::optional<double>*, const char*> required[] = {
        {&h.Rate, "Units Per Second"}, {&h.Width, "Source Width"}, {&h.Height, "Source Height"}};
    for (const auto& [value, name] : required)
        if (!*value)
            src.FailLine(line, "the header has no " + Named(name));
}

}  // namespace

Track ParseAfterEffects(const Source& src, const TrackReadOptions& options)
{
    int line = 1;
    while (line <= src.LineCount() && Trim(src.Line(line)).empty())
        ++line;
    const std::string_view first = Trim(src.Line(line));
    if (first.rfind("Adobe After Effects", 0) != 0 || first.find("Keyframe Data") == std::string_view::npos)
        src.FailLine(line, "expected the line 'Adobe After Effects 8.0 Keyframe Data'");
    const int headerLine = line++;

    Header header;
    std::map<std::string, Parsed> tracks;
    std::vector<std::string> order;
    Block block;
    std::vector<TrackKey>* keys = nullptr;
    bool columns = false, ended = false, inBlocks = false;
    for (; line <= src.LineCount() && !ended; ++line) {
        const std::string_view text = src.Line(line);
        if (Trim(text).empty())
            continue;
        const std::vector<Field> f = SplitTabs(text, src.LineStart(line));
        if (!IsBlank(text.front())) {   // a title, or the end
            if (Trim(text) == kEnd) {
                ended = true;
                break;
            }
            if (!inBlocks)
                CheckHeader(src, header, headerLine);
            inBlocks = true;
            block = Classify(f);
            columns = false;
            keys = nullptr;
            if (block.What == Value::None)
                continue;
            if (!tracks.count(block.Track))
                order.push_back(block.Track);
            Parsed& p = tracks[block.Track];
            std::vector<TrackKey>& target =
                block.What == Value::Rotation ? p.Rotation : block.Attach ? p.AttachPosition : p.Position;
            int& at = block.What == Value::Rotation ? p.RotationLine : block.Attach ? p.AttachLine : p.Line;
            if (at)
                src.FailLine(line, "this block appears twice (lines " + std::to_string(at) + " and " +
                                       std::to_string(line) + ")");
            at = line;
            keys = &target;
            continue;
        }
        if (!inBlocks) {
            HeaderValue(src, header, f);
            continue;
        }
        if (!keys)
            continue;   // a block of something else (scale, confidence, ...)
        if (!columns) {
            CheckColumns(src, line, f, block.What);
            columns = true;
            continue;
        }
        const size_t want = block.What == Value::Rotation ? 2 : 3;
        if (f.size() < want || f.size() > want + 1 || (block.What == Value::Rotation && f.size() != 2))
            src.FailLine(line, std::to_string(f.size()) + " fields; the columns on the block's column line need " +
                                   (block.What == Value::Rotation ? "2" : "3 or 4"));
        Values v{};
        v[kFrame] = ReadFrame(src, f[0]);
        if (block.What == Value::Rotation) {
            v[kAngle] = ReadNumber(src, f[1], "degrees", kHint);
        } else {
            v[kX] = ReadNumber(src, f[1], "X pixels", kHint);
            v[kY] = ReadNumber(src, f[2], "Y pixels", kHint);
            if (f.size() == 4)
                ReadNumber(src, f[3], "Z pixels", kHint);
        }
        keys->push_back(MakeKey(v, line));
    }
    if (!ended)
        src.Fail("no '" + std::string(kEnd) + "' line: the data is cut short");
    if (!inBlocks)
        CheckHeader(src, header, headerLine);

    std::vector<NamedTrack> named;
    for (const std::string& name : order) {
        Parsed& p = tracks[name];
        const bool attach = p.Position.empty() && !p.AttachPosition.empty();
        NamedTrack t{name, attach ? p.AttachLine : p.Line, {}};
        if (!p.Line && !p.AttachLine)
            continue;   // a rotation alone is no track
        t.Keys.Keys = attach ? p.AttachPosition : p.Position;
        if (p.RotationLine) {
            t.Keys.HasAngle = true;
            for (TrackKey& key : t.Keys.Keys) {
                const auto it = std::find_if(p.Rotation.begin(), p.Rotation.end(),
                                             [&](const TrackKey& r) { return r.Frame == key.Frame; });
                if (it == p.Rotation.end())
                    src.FailLine(key.Line, "frame " + std::to_string(key.Frame) + " has a position but no rotation (block on line " +
                                               std::to_string(p.RotationLine) + ")");
                key.Angle = it->Angle;
            }
            for (const TrackKey& r : p.Rotation)
                if (std::none_of(t.Keys.Keys.begin(), t.Keys.Keys.end(), [&](const TrackKey& k) { return k.Frame == r.Frame; }))
                    src.FailLine(r.Line, "frame " + std::to_string(r.Frame) + " has a rotation but no position");
        }
        named.push_back(std::move(t));
    }
    if (named.empty())
        src.Fail("no position in the keyframe data (expected a tracker's 'Feature Center' or 'Attach Point', or "
                 "'Transform' 'Position')");
    Track track = PickTrack(src, std::move(named), options.Name, "tracker");
    track.Units = TrackUnits::Pixels;
    track.Origin = TrackOrigin::TopLeft;
    track.Kind = TrackKind::Feature;
    track.SourceWidth = int(*header.Width);
    track.SourceHeight = int(*header.Height);
    ApplyPixelAspect(track, header.SourceAspect.value_or(1.0), header.CompAspect.value_or(1.0));
    track.FormatName = "After Effects keyframe data";
    return track;
}

}  // namespace tessellon::trackparse
