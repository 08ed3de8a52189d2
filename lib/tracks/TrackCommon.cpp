#include "TrackParse.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace tessellon::trackparse {

// ------------------------------------------------------------- characters

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

bool IsBlankOrComment(std::string_view line)
{
    line = Trim(line);
    return line.empty() || line.front() == '#';
}

// Built by appending: GCC 12 gives a false -Wrestrict for "'" + std::string(...).
std::string Named(std::string_view name)
{
    std::string out;
    out.reserve(name.size() + 2);
    out += '\'';
    out += name;
    out += '\'';
    return out;
}

// The text is valid UTF-8, so cut only at a character start.
std::string Quote(std::string_view s)
{
    constexpr size_t kMax = 40;
    if (s.size() <= kMax)
        return Named(s);
    size_t cut = kMax;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80)
        --cut;
    return Named(std::string(s.substr(0, cut)) + "...");
}

std::string WithHint(std::string message, std::string_view text, std::string_view marks, std::string_view hint)
{
    if (!hint.empty() && text.find_first_of(marks) != std::string_view::npos)
        message += "; " + std::string(hint);
    return message;
}

// --------------------------------------------------------------- the text

namespace {

// The length of the well-formed UTF-8 sequence at p[i], or 0. Overlong
// forms, surrogates and code points past U+10FFFF are not well-formed.
size_t Utf8Length(const unsigned char* p, size_t i, size_t n)
{
    const unsigned c = p[i];
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else
        return 0;
    if (i + len > n || p[i + 1] < lo || p[i + 1] > hi)
        return 0;
    for (size_t k = 2; k < len; ++k)
        if ((p[i + k] & 0xC0) != 0x80)
            return 0;
    return len;
}

// Offset of the first byte that makes this not a text file (a NUL, or
// anything that is not well-formed UTF-8), or npos.
size_t FindBinary(std::string_view s, bool& nul)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size();) {
        if (p[i] == 0) {
            nul = true;
            return i;
        }
        const size_t len = Utf8Length(p, i, s.size());
        if (len == 0)
            return i;
        i += len;
    }
    return std::string_view::npos;
}

}  // namespace

std::string_view CheckedText(const std::string& text, const std::string& path)
{
    std::string_view view = text;
    if (view.substr(0, 3) == "\xEF\xBB\xBF")
        view.remove_prefix(3);

    bool nul = false;
    if (const size_t bad = FindBinary(view, nul); bad != std::string_view::npos)
        throw BadFile(path, std::string("not a text file (") + (nul ? "a NUL byte" : "bytes that are not UTF-8") +
                                " at offset " + std::to_string(bad + (view.data() - text.data())) + ")");
    if (view.find_first_not_of(kSpaces) == std::string_view::npos)
        throw BadFile(path, "the file is empty");
    return view;
}

Source::Source(std::string_view text, const std::string& path) : text_(text), path_(path)
{
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r')
            continue;
        starts_.push_back(start);
        ends_.push_back(i);
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size()) {
        starts_.push_back(start);
        ends_.push_back(text.size());
    }
}

std::string_view Source::Line(int line) const
{
    const size_t i = size_t(line - 1);
    return text_.substr(starts_[i], ends_[i] - starts_[i]);
}

int Source::LineOf(size_t offset) const
{
    const auto it = std::upper_bound(starts_.begin(), starts_.end(), offset);
    return std::max(1, int(it - starts_.begin()));
}

int Source::ColumnOf(size_t offset) const
{
    offset = std::min(offset, text_.size());
    const int line = LineOf(offset);
    const size_t start = starts_.empty() ? 0 : starts_[size_t(line - 1)];
    int column = 1;
    for (size_t i = start; i < offset; ++i)
        if ((static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80)
            ++column;
    return column;
}

void Source::FailAt(size_t offset, const std::string& message) const
{
    throw BadFile({path_, LineOf(offset), ColumnOf(offset)}, message);
}

void Source::FailLine(int line, const std::string& message) const { throw BadFile({path_, line, 0}, message); }

void Source::Fail(const std::string& message) const { throw BadFile(path_, message); }

// ---------------------------------------------------------------- numbers

// std::from_chars never looks at the locale: "0.5" is one half under any
// LC_NUMERIC, and "0,5" is never a number.
Number ParseNumber(std::string_view s)
{
    if (s.empty())
        return {NumberFault::Empty};
    const char* first = s.data();
    const char* last = s.data() + s.size();
    if (*first == '+' && s.size() > 1 && first[1] != '+' && first[1] != '-')
        ++first;
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::invalid_argument || ptr != last)
        return {NumberFault::NotNumber};
    if (ec == std::errc::result_out_of_range)
        return {NumberFault::OutOfRange};
    if (!std::isfinite(value))
        return {NumberFault::NotFinite};
    return {NumberFault::None, value};
}

std::string DescribeFault(NumberFault fault, std::string_view name, std::string_view text, std::string_view hint)
{
    const std::string field = Named(name);
    switch (fault) {
    case NumberFault::Empty:
        return "no value for " + field;
    case NumberFault::NotNumber:
        return WithHint(field + " is not a number: " + Quote(text), text, ",;", hint);
    case NumberFault::NotFinite:
        return field + " is not a finite number: " + Quote(text);
    case NumberFault::OutOfRange:
        return field + " is out of range: " + Quote(text);
    case NumberFault::None:
        break;
    }
    return field;
}

// Frame numbers are whole; "12.0" and "1e2" are accepted because some
// trackers write every column as a float.
const char* FrameFault(double value)
{
    if (value != std::trunc(value))
        return "frame number is not a whole number";
    if (value < double(std::numeric_limits<int32_t>::min()) || value > double(std::numeric_limits<int32_t>::max()))
        return "frame number is out of range";
    return nullptr;
}

// ------------------------------------------------------------------- keys

int ColumnNamed(std::string_view lower)
{
    if (lower == "rotation")
        return kAngle;
    const auto it = std::find(kColumnNames.begin(), kColumnNames.end(), lower);
    return it == kColumnNames.end() ? -1 : int(it - kColumnNames.begin());
}

std::array<std::string, kColumns> ColumnNames(const std::string& mapping)
{
    std::array<std::string, kColumns> names;
    size_t start = 0;
    while (start < mapping.size()) {
        size_t end = mapping.find(',', start);
        if (end == std::string::npos)
            end = mapping.size();
        const std::string_view item = Trim(std::string_view(mapping).substr(start, end - start));
        const size_t eq = item.find('=');
        const int c = eq == std::string_view::npos ? -1 : ColumnNamed(Lower(Trim(item.substr(0, eq))));
        const std::string_view name = eq == std::string_view::npos ? std::string_view() : Trim(item.substr(eq + 1));
        if (c < 0 || name.empty())
            BadInput("--columns: expected column=name pairs of frame, x, y and angle, like 'frame=f,x=cx,y=cy'; got " +
                     Quote(item));
        names[size_t(c)] = Lower(name);
        start = end + 1;
    }
    return names;
}

bool NamesColumn(const std::array<std::string, kColumns>& mapped, int c, std::string_view lower)
{
    return mapped[size_t(c)].empty() ? ColumnNamed(lower) == c : mapped[size_t(c)] == lower;
}

bool IsKnownExtra(std::string_view lower) { return lower == "confidence"; }

std::vector<Field> SplitWords(std::string_view text, size_t lineOffset)
{
    std::vector<Field> fields;
    for (size_t i = 0; i < text.size();) {
        if (IsSpace(text[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && !IsSpace(text[end]))
            ++end;
        fields.push_back({text.substr(i, end - i), lineOffset + i});
        i = end;
    }
    return fields;
}

double ReadNumber(const Source& src, const Field& field, std::string_view name, std::string_view hint)
{
    const Number number = ParseNumber(field.Text);
    if (number.Fault != NumberFault::None)
        src.FailAt(field.Offset, DescribeFault(number.Fault, name, field.Text, hint));
    return number.Value;
}

int32_t ReadFrame(const Source& src, const Field& field)
{
    const double value = ReadNumber(src, field, "frame");
    if (const char* fault = FrameFault(value))
        src.FailAt(field.Offset, std::string(fault) + ": " + Quote(field.Text));
    return int32_t(value);
}

TrackKey MakeKey(const Values& values, int line)
{
    TrackKey key;
    key.Frame = int32_t(values[kFrame]);
    key.X = values[kX];
    key.Y = values[kY];
    key.Angle = values[kAngle];
    key.Line = line;
    return key;
}

TrackKey ReadKey(const Source& src, int line, const std::array<const Field*, kColumns>& fields, std::string_view hint)
{
    Values values{};
    for (int c = 0; c < kColumns; ++c) {
        if (!fields[c])
            continue;
        const Number number = ParseNumber(fields[c]->Text);
        if (number.Fault != NumberFault::None)
            src.FailAt(fields[c]->Offset, DescribeFault(number.Fault, kColumnNames[c], fields[c]->Text, hint));
        values[c] = number.Value;
    }
    if (const char* fault = FrameFault(values[kFrame]))
        src.FailAt(fields[kFrame]->Offset, std::string(fault) + ": " + Quote(fields[kFrame]->Text));
    return MakeKey(values, line);
}

void SortKeys(Track& track, const Source& src)
{
    std::stable_sort(track.Keys.begin(), track.Keys.end(),
                     [](const TrackKey& a, const TrackKey& b) { return a.Frame < b.Frame; });
    for (size_t i = 1; i < track.Keys.size(); ++i) {
        const TrackKey& a = track.Keys[i - 1];
        const TrackKey& b = track.Keys[i];
        if (a.Frame != b.Frame)
            continue;
        const int first = std::min(a.Line, b.Line), second = std::max(a.Line, b.Line);
        src.FailLine(second, "frame " + std::to_string(a.Frame) + " appears twice (lines " + std::to_string(first) +
                                 " and " + std::to_string(second) + ")");
    }
}

}  // namespace tessellon::trackparse

namespace tessellon::trackparse {

namespace {

std::string NameList(const std::vector<NamedTrack>& tracks)
{
    std::string list;
    for (const NamedTrack& t : tracks)
        list += (list.empty() ? "" : ", ") + Quote(t.Name);
    return list;
}

}  // namespace

Track PickTrack(const Source& src, std::vector<NamedTrack> tracks, const std::string& name, const char* what)
{
    const std::string whats = std::string(what) + "s";
    if (tracks.empty())
        src.Fail(std::string("no ") + whats + " in the file");
    size_t pick = 0;
    if (tracks.size() == 1 && tracks[0].Name.empty()) {
        // A file of one unnamed track: there is nothing to pick.
    } else if (name.empty()) {
        if (tracks.size() > 1)
            src.Fail(std::to_string(tracks.size()) + " " + whats + " (" + NameList(tracks) + "); name one with --track-name");
    } else {
        const auto it = std::find_if(tracks.begin(), tracks.end(), [&](const NamedTrack& t) { return t.Name == name; });
        if (it == tracks.end())
            src.Fail("no " + std::string(what) + " named " + Quote(name) + "; the file holds " + NameList(tracks));
        pick = size_t(it - tracks.begin());
        for (size_t i = pick + 1; i < tracks.size(); ++i)
            if (tracks[i].Name == name)
                src.FailLine(tracks[i].Line, "two " + whats + " are named " + Quote(name) + " (lines " +
                                                 std::to_string(tracks[pick].Line) + " and " +
                                                 std::to_string(tracks[i].Line) + ")");
    }
    NamedTrack& chosen = tracks[pick];
    if (chosen.Keys.Keys.empty())
        src.FailLine(chosen.Line, "the " + std::string(what) + " " + Quote(chosen.Name) + " has no keys");
    Track track = std::move(chosen.Keys);
    track.Path = src.Path();
    track.Name = chosen.Name;
    SortKeys(track, src);
    return track;
}

}  // namespace tessellon::trackparse
