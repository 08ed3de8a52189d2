// Reading a track file whole, telling its format and handing it to the
// reader of that format (TrackCsv.cpp, TrackJson.cpp, TrackText.cpp).
#include "TrackFile.h"

#include "TrackParse.h"

#include <array>
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

TrackFormat FormatByExtension(const std::string& path)
{
    const std::string ext = Lower(std::filesystem::path(path).extension().string());
    if (ext == ".csv")
        return TrackFormat::Csv;
    if (ext == ".json")
        return TrackFormat::Json;
    if (ext == ".txt" || ext == ".chan")
        return TrackFormat::Text;
    return TrackFormat::Auto;
}

// '{' (or '[') first is JSON; a first line that starts with a name is a CSV
// header; anything else is whitespace-separated numbers.
TrackFormat FormatByContent(const Source& src)
{
    const std::string_view text = src.Text();
    const size_t first = text.find_first_not_of(kSpaces);
    if (first != std::string_view::npos && (text[first] == '{' || text[first] == '['))
        return TrackFormat::Json;
    for (int line = 1; line <= src.LineCount(); ++line) {
        if (IsBlankOrComment(src.Line(line)))
            continue;
        const std::string_view content = Trim(src.Line(line));
        const char c = content.front() == '"' && content.size() > 1 ? content[1] : content.front();
        return IsLetter(c) ? TrackFormat::Csv : TrackFormat::Text;
    }
    return TrackFormat::Text;
}

}  // namespace

Track ParseTrack(const std::string& text, const std::string& path, TrackFormat format)
{
    const Source src(CheckedText(text, path), path);
    if (format == TrackFormat::Auto)
        format = FormatByContent(src);
    switch (format) {
    case TrackFormat::Csv:
        return ParseCsv(src);
    case TrackFormat::Json:
        return ParseJson(src);
    case TrackFormat::Text:
    case TrackFormat::Auto:
        break;
    }
    return ParseText(src);
}

Track ReadTrackFile(const std::string& path, TrackFormat format)
{
    CheckIsTrackFile(path);
    const std::string text = ReadWhole(path);
    if (format == TrackFormat::Auto)
        format = FormatByExtension(path);
    return ParseTrack(text, path, format);
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
