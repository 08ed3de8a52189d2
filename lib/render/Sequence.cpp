#include "Sequence.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
// GCC 12 warns of a maybe-uninitialized std::function inside its own <regex>
// when optimising (a known false positive of the library's code, not ours).
#if defined(__GNUC__) && !defined(__clang__)
#  pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#include <system_error>

#include "Error.h"
#include "Text.h"

namespace tessellon {

namespace fs = std::filesystem;

namespace {

// The one "%[0][width]d" of a normalized pattern: where it starts and ends.
struct Conversion {
    size_t Begin = std::string::npos, End = 0;
    int Width = 0;
    bool ZeroPad = false;
};

Conversion FindConversion(const std::string& pattern, const std::string& given) {
    Conversion found;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') continue;
        size_t j = i + 1;
        if (j < pattern.size() && pattern[j] == '%') {   // a literal percent sign
            i = j;
            continue;
        }
        const bool zero = j < pattern.size() && pattern[j] == '0';
        if (zero) ++j;
        int width = 0;
        while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j]))) {
            width = width * 10 + (pattern[j] - '0');
            if (width > 32) BadInput("--frames " + Quoted(given) + ": a frame number of more than 32 digits");
            ++j;
        }
        if (j >= pattern.size() || pattern[j] != 'd')
            BadInput("--frames " + Quoted(given) + ": only %d-style frame numbers are understood (as in %04d)");
        if (found.Begin != std::string::npos)
            BadInput("--frames " + Quoted(given) + " has more than one frame number");
        found = Conversion{i, j + 1, width, zero};
        i = j;
    }
    return found;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
    }
    return out;
}

std::string FormatNumber(const FrameSequence& sequence, int frame) {
    char number[48];
    if (sequence.ZeroPad)
        std::snprintf(number, sizeof number, "%0*d", sequence.Width, frame);
    else
        std::snprintf(number, sizeof number, "%*d", sequence.Width, frame);
    return number;
}

// The frame number of a pattern and the range before it, as OpenImageIO's
// tools find them: the leftmost run of '#' (four digits each) and '@' (one
// digit each) or "%[width]d", after an optional list of ranges such as
// "1-10x3,20".
const std::regex& FrameNumberExpression() {
    static const std::regex expression(
        "((?:[0-9]+(?:-[0-9]+(?:[xy]-?[0-9]+)?)?)(?:,[0-9]+(?:-[0-9]+(?:[xy]-?[0-9]+)?)?)*)?([#@]+|%[0-9]*d)");
    return expression;
}

// More frames than any stitch gathers: a range naming more is a slip of the
// keyboard that would otherwise fill the memory.
constexpr int64_t MaxListedFrames = 1 << 20;

int RangeNumber(const std::string& text, const std::string& given) {
    int value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (status != std::errc() || end != text.data() + text.size())
        BadInput("--frames " + Quoted(given) + ": the frame " + text + " is out of range");
    return value;
}

// Appends the frames of one range "first[-last[(x|y)step]]" in the order
// named: every step-th frame from first toward last (x), or the others (y).
// A negative step on a rising range counts down from last.
void AppendRange(const std::string& item, const std::string& given, std::vector<int>& frames) {
    static const std::regex parts("([0-9]+)(?:-([0-9]+)(?:([xy])(-?[0-9]+))?)?");
    std::smatch m;
    std::regex_match(item, m, parts);
    int64_t first = RangeNumber(m[1].str(), given), last = first, step = 1;
    const bool others = m[3].matched && m[3].str() == "y";
    if (m[2].matched) last = RangeNumber(m[2].str(), given);
    if (m[4].matched) step = RangeNumber(m[4].str(), given);
    if (step == 0) step = 1;
    if (step < 0 && first < last) std::swap(first, last);
    if (first > last && step > 0) step = -step;
    const int64_t direction = step > 0 ? 1 : -1;
    if (int64_t(frames.size()) + (last - first) * direction + 1 > MaxListedFrames)
        BadInput("--frames " + Quoted(given) + ": the frame range names more than " + std::to_string(MaxListedFrames) +
                 " frames");
    const int64_t stride = step < 0 ? -step : step;
    for (int64_t frame = first; frame != last + direction; frame += direction) {
        const int64_t distance = frame > first ? frame - first : first - frame;
        if ((distance % stride == 0) != others) frames.push_back(int(frame));
    }
}

}  // namespace

FrameSequence ParseFramePattern(const std::string& pattern) {
    if (pattern.empty()) BadInput("--frames is empty");
    const std::string use = " (use %04d, # for four digits or @ for one)";
    std::smatch match;
    if (pattern.find_first_of("%#@") == std::string::npos ||
        !std::regex_search(pattern, match, FrameNumberExpression()))
        BadInput("--frames " + Quoted(pattern) + " has no frame number" + use);
    const std::string framespec = match[1].str();
    std::string number = match[2].str();
    if (number[0] != '%') {
        const auto hashes = std::count(number.begin(), number.end(), '#');
        number = "%0" + std::to_string(4 * hashes + (int64_t(number.size()) - hashes)) + "d";
    }
    const std::string normalized = match.prefix().str() + number + match.suffix().str();

    const Conversion conversion = FindConversion(normalized, pattern);
    if (conversion.Begin == std::string::npos)
        BadInput("--frames " + Quoted(pattern) + " has no frame number" + use);

    FrameSequence sequence;
    sequence.Pattern = pattern;
    sequence.Width = conversion.Width;
    sequence.ZeroPad = conversion.ZeroPad;

#if defined(_WIN32)
    const size_t slash = normalized.find_last_of("/\\");
#else
    const size_t slash = normalized.find_last_of('/');
#endif
    const size_t nameBegin = slash == std::string::npos ? 0 : slash + 1;
    if (conversion.Begin < nameBegin)
        BadInput("--frames " + Quoted(pattern) + ": the frame number must be in the file name, not a directory");
    sequence.Directory = slash == std::string::npos ? std::string() : Unescape(normalized.substr(0, slash + 1));
    sequence.Prefix = Unescape(normalized.substr(nameBegin, conversion.Begin - nameBegin));
    sequence.Suffix = Unescape(normalized.substr(conversion.End));

    if (!framespec.empty()) {
        size_t begin = 0;
        while (begin <= framespec.size()) {
            const size_t end = std::min(framespec.find(',', begin), framespec.size());
            AppendRange(framespec.substr(begin, end - begin), pattern, sequence.Listed);
            begin = end + 1;
        }
        if (sequence.Listed.empty())
            BadInput("--frames " + Quoted(pattern) + ": the frame range " + Quoted(framespec) + " names no frame");
        std::sort(sequence.Listed.begin(), sequence.Listed.end());
        sequence.Listed.erase(std::unique(sequence.Listed.begin(), sequence.Listed.end()), sequence.Listed.end());
    }
    return sequence;
}

std::string FramePath(const FrameSequence& sequence, int frame) {
    return sequence.Directory + sequence.Prefix + FormatNumber(sequence, frame) + sequence.Suffix;
}

bool MatchFrame(const FrameSequence& sequence, const std::string& name, int& frame) {
    const size_t fixed = sequence.Prefix.size() + sequence.Suffix.size();
    if (name.size() <= fixed || name.compare(0, sequence.Prefix.size(), sequence.Prefix) != 0 ||
        name.compare(name.size() - sequence.Suffix.size(), sequence.Suffix.size(), sequence.Suffix) != 0)
        return false;
    const std::string digits = name.substr(sequence.Prefix.size(), name.size() - fixed);
    const size_t first = digits.find_first_not_of(' ');
    if (first == std::string::npos || digits[first] == '+') return false;
    const char* end = digits.data() + digits.size();
    int number = 0;
    const auto [stop, status] = std::from_chars(digits.data() + first, end, number);
    if (status != std::errc() || stop != end) return false;
    // "frame.7.exr" is no frame of "frame.%04d.exr": the name must be the one formatting gives.
    if (FormatNumber(sequence, number) != digits) return false;
    frame = number;
    return true;
}

std::vector<int> FindFrames(const FrameSequence& sequence) {
    // OpenImageIO's own directory scan knows neither negative frames nor
    // unpadded numbers, so the folder is listed here.
    std::vector<int> frames;
    const fs::path directory = sequence.Directory.empty() ? fs::path(".") : fs::path(sequence.Directory);
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        int frame = 0;
        if (MatchFrame(sequence, it->path().filename().string(), frame) &&
            (sequence.Listed.empty() || std::binary_search(sequence.Listed.begin(), sequence.Listed.end(), frame)))
            frames.push_back(frame);
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

std::string FrameRangeText(int64_t first, int64_t last) {
    std::string text = std::to_string(first);
    if (last == first) return text;
    text.append(first < 0 || last < 0 ? " to " : "-");
    return text.append(std::to_string(last));
}

std::string FrameListText(const std::vector<int>& frames) {
    std::string text;
    for (size_t i = 0; i < frames.size();) {
        size_t j = i;
        while (j + 1 < frames.size() && int64_t(frames[j + 1]) == int64_t(frames[j]) + 1) ++j;
        if (!text.empty()) text += ", ";
        text += FrameRangeText(frames[i], frames[j]);
        i = j + 1;
    }
    return text;
}

}  // namespace tessellon
