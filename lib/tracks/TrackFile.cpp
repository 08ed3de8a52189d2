// Reading a track file whole, telling its format and handing it to the
// reader of that format (TrackCsv, TrackJson, TrackText, TrackAe,
// TrackPoints).
#include "TrackFile.h"

#include "TrackParse.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tessellon {

namespace {

using namespace trackparse;

// A track file is a few thousand lines at most; anything this large is the
// wrong file, and reading it whole would only waste memory.
constexpr std::uintmax_t kMaxTrackBytes = std::uintmax_t(256) << 20;

std::string TooLarge()
{
    return "larger than " + std::to_string(kMaxTrackBytes >> 20) + " MiB; not a track file";
}

// Refuses a directory or an oversized file before reading a byte.
void CheckIsTrackFile(const std::string& path)
{
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (std::filesystem::is_directory(status))
        throw BadFile(path, "is a directory, not a track file");
    if (std::filesystem::is_regular_file(status) && std::filesystem::file_size(path, ec) > kMaxTrackBytes && !ec)
        throw BadFile(path, TooLarge());
}

std::string ReadWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw BadFile(path, std::string("cannot open: ") + std::strerror(errno));
    std::string text;
    std::array<char, 1 << 16> buffer;
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        text.append(buffer.data(), size_t(in.gcount()));
        if (text.size() > kMaxTrackBytes)   // a pipe or a file that grew
            throw BadFile(path, TooLarge());
    }
    if (in.bad())
        throw BadFile(path, "read failed");
    return text;
}

// .txt and .chan are written by many trackers: the content decides among
// the formats that are not CSV or JSON.
enum class Family { Any, Whitespace };

TrackFormat FormatByExtension(const std::string& path, Family& family)
{
    const std::string ext = Lower(std::filesystem::path(path).extension().string());
    family = Family::Any;
    if (ext == ".csv" || ext == ".tsv")
        return TrackFormat::Csv;
    if (ext == ".json")
        return TrackFormat::Json;
    if (ext == ".2dt")
        return TrackFormat::PfTrack;
    if (ext == ".txt" || ext == ".chan")
        family = Family::Whitespace;
    return TrackFormat::Auto;
}

bool IsWholeNumber(std::string_view s)
{
    const Number n = ParseNumber(s);
    return n.Fault == NumberFault::None && n.Value == std::trunc(n.Value);
}

// Columns of numbers: 7 or 8 are a channel file, 2 an ASCII curve export,
// 3 tessellon's "frame x y" when every first field is a whole number and
// "x y angle" otherwise; anything else is read as "frame x y [angle]".
TrackFormat ColumnsFormat(const Source& src, int line, size_t count)
{
    if (count == 7 || count == 8)
        return TrackFormat::Chan;
    if (count == 2)
        return TrackFormat::NukeAscii;
    if (count != 3)
        return TrackFormat::Text;
    for (; line <= src.LineCount(); ++line) {
        std::string_view text = src.Line(line);
        text = text.substr(0, text.find('#'));
        const std::vector<Field> f = SplitWords(text, 0);
        if (!f.empty() && !IsWholeNumber(f[0].Text))
            return TrackFormat::NukeAscii;
    }
    return TrackFormat::Text;
}

// Tells the format by the first line that holds anything (docs/tracks/
// gives the rule of each).
TrackFormat FormatByContent(const Source& src, Family family)
{
    const std::string_view text = src.Text();
    const size_t first = text.find_first_not_of(kSpaces);
    if (family == Family::Any && first != std::string_view::npos && (text[first] == '{' || text[first] == '['))
        return TrackFormat::Json;
    for (int line = 1; line <= src.LineCount(); ++line) {
        const std::string_view content = Trim(src.Line(line));
        if (content.empty())
            continue;
        if (content.rfind("Adobe After Effects", 0) == 0)
            return TrackFormat::AfterEffects;
        if (content.rfind("TrackName", 0) == 0)
            return TrackFormat::Shake;
        if (content.front() == '#')
            continue;
        const std::vector<Field> words = SplitWords(content, 0);
        if (content.front() == '"' && content.find('"', 1) == content.size() - 1)
            return TrackFormat::PfTrack;
        if (words.size() == 1 && IsWholeNumber(words[0].Text) && content.find(',') == std::string_view::npos)
            return TrackFormat::Equalizer;
        const bool numbersAfterName =
            words.size() >= 4 && std::all_of(words.begin() + 1, words.end(), [](const Field& f) {
                return ParseNumber(f.Text).Fault == NumberFault::None;
            });
        if (numbersAfterName && ParseNumber(words[0].Text).Fault != NumberFault::None &&
            content.find(',') == std::string_view::npos)
            return TrackFormat::SynthEyes;
        if (family == Family::Whitespace)
            return ColumnsFormat(src, line, words.size());
        const char c = content.front() == '"' && content.size() > 1 ? content[1] : content.front();
        if (IsLetter(c) || content.find(',') != std::string_view::npos)
            return TrackFormat::Csv;
        return ColumnsFormat(src, line, words.size());
    }
    return TrackFormat::Text;
}

struct FormatName {
    TrackFormat Format;
    const char* Name;
};

constexpr FormatName kFormatNames[] = {
    {TrackFormat::Auto, "auto"},       {TrackFormat::Csv, "csv"},
    {TrackFormat::Json, "json"},       {TrackFormat::Text, "text"},
    {TrackFormat::AfterEffects, "ae"}, {TrackFormat::Chan, "chan"},
    {TrackFormat::NukeAscii, "nuke-ascii"}, {TrackFormat::Equalizer, "3de"},
    {TrackFormat::PfTrack, "pftrack"}, {TrackFormat::SynthEyes, "syntheyes"},
    {TrackFormat::Shake, "shake"},
};
static_assert(std::size(kFormatNames) == size_t(TrackFormat::Shake) + 1, "a name for every format");

Track Dispatch(const Source& src, TrackFormat format, const TrackReadOptions& options)
{
    switch (format) {
    case TrackFormat::Csv: return ParseCsv(src, options);
    case TrackFormat::Json: return ParseJson(src, options);
    case TrackFormat::Chan: return ParseChan(src);
    case TrackFormat::NukeAscii: return ParseNukeAscii(src, options);
    case TrackFormat::AfterEffects: return ParseAfterEffects(src, options);
    case TrackFormat::Equalizer: return ParseEqualizer(src, options);
    case TrackFormat::PfTrack: return ParsePfTrack(src, options);
    case TrackFormat::SynthEyes: return ParseSynthEyes(src, options);
    case TrackFormat::Shake: return ParseShake(src, options);
    case TrackFormat::Text:
    case TrackFormat::Auto: break;
    }
    return ParseText(src);
}

Track ParseWith(const std::string& text, const std::string& path, const TrackReadOptions& options, Family family)
{
    const Source src(CheckedText(text, path), path);
    const TrackFormat format = options.Format == TrackFormat::Auto ? FormatByContent(src, family) : options.Format;
    Track track = Dispatch(src, format, options);
    if (format == TrackFormat::Chan || format == TrackFormat::NukeAscii) {
        track.Units = TrackUnits::Pixels;
        track.Origin = TrackOrigin::BottomLeft;
        track.Kind = TrackKind::Feature;
        track.FormatName = format == TrackFormat::Chan ? "channel file" : "ASCII curve export";
    } else if (format == TrackFormat::Text) {
        track.FormatName = "text track";
    }
    return track;
}

}  // namespace

Track ParseTrack(const std::string& text, const std::string& path, const TrackReadOptions& options)
{
    return ParseWith(text, path, options, Family::Any);
}

Track ParseTrack(const std::string& text, const std::string& path, TrackFormat format)
{
    TrackReadOptions options;
    options.Format = format;
    return ParseTrack(text, path, options);
}

Track ReadTrackFile(const std::string& path, const TrackReadOptions& options)
{
    CheckIsTrackFile(path);
    const std::string text = ReadWhole(path);
    TrackReadOptions chosen = options;
    Family family = Family::Any;
    if (chosen.Format == TrackFormat::Auto)
        chosen.Format = FormatByExtension(path, family);
    return ParseWith(text, path, chosen, family);
}

Track ReadTrackFile(const std::string& path, TrackFormat format)
{
    TrackReadOptions options;
    options.Format = format;
    return ReadTrackFile(path, options);
}

TrackFormat TrackFormatNamed(const std::string& name)
{
    const std::string lower = Lower(name);
    for (const FormatName& f : kFormatNames)
        if (lower == f.Name)
            return f.Format;
    BadInput("--track-format: unknown format " + Quote(name) + "; expected one of " + TrackFormatNames());
}

const char* TrackFormatNames()
{
    return "auto, csv, json, text, ae, chan, nuke-ascii, 3de, pftrack, syntheyes, shake";
}

const char* TrackFormatName(TrackFormat format)
{
    for (const FormatName& f : kFormatNames)
        if (f.Format == format)
            return f.Name;
    return "auto";
}

void ConvertTrack(Track& track, TrackUnits units, TrackOrigin origin, int frameWidth, int frameHeight)
{
    if (units == TrackUnits::Pixels && (frameWidth <= 0 || frameHeight <= 0))
        throw BadFile(track.Path, "pixel positions need a frame size; got " + std::to_string(frameWidth) + " x " +
                                      std::to_string(frameHeight));
    for (TrackKey& key : track.Keys) {
        if (units == TrackUnits::Pixels) {
            key.X /= frameWidth;
            key.Y /= frameHeight;
        }
        if (origin == TrackOrigin::TopLeft) {
            key.Y = 1.0 - key.Y;
            key.Angle = 0.0 - key.Angle;   // not -Angle: keeps a missing angle +0
        }
    }
}

}  // namespace tessellon
