#include "TrackFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string_view>
#include <system_error>

namespace tessellon {

namespace {

// A track file is a few thousand lines at most; anything this large is the
// wrong file, and reading it whole would only waste memory.
constexpr std::uintmax_t kMaxTrackBytes = std::uintmax_t(256) << 20;

constexpr std::string_view kCsvHint = "use '.' for decimals and ',' between fields";
constexpr std::string_view kTextHint = "use '.' for decimals and spaces between fields";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsSpace(char c) { return IsBlank(c) || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsNumberChar(char c) { return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-'; }

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

// 'name' for messages. Built by appending: GCC 12 gives a false -Wrestrict
// for "'" + std::string(...).
std::string Named(std::string_view name)
{
    std::string out;
    out.reserve(name.size() + 2);
    out += '\'';
    out += name;
    out += '\'';
    return out;
}

// Quotes a field for a message, shortened so a runaway field cannot flood
// the terminal. The text is valid UTF-8, so cut only at a character start.
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

// Offset of the first byte that makes this not a text file, or npos.
// Rejects NUL and anything that is not well-formed UTF-8 (overlong forms,
// surrogates and code points past U+10FFFF included).
size_t FindBinary(std::string_view s, bool& nul)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    for (size_t i = 0; i < n;) {
        const unsigned c = p[i];
        if (c == 0) {
            nul = true;
            return i;
        }
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        unsigned lo = 0x80, hi = 0xBF;
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
            return i;
        if (i + len > n)
            return i;
        if (p[i + 1] < lo || p[i + 1] > hi)
            return i;
        for (size_t k = 2; k < len; ++k)
            if ((p[i + k] & 0xC0) != 0x80)
                return i;
        i += len;
    }
    return std::string_view::npos;
}

// The text of one file with its line table, and the one place that turns a
// byte offset into "path:line:column".
class Source {
public:
    Source(std::string_view text, const std::string& path) : text_(text), path_(path)
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

    const std::string& Path() const { return path_; }
    std::string_view Text() const { return text_; }
    int LineCount() const { return int(starts_.size()); }
    size_t LineStart(int line) const { return starts_[size_t(line - 1)]; }
    std::string_view Line(int line) const
    {
        return text_.substr(starts_[size_t(line - 1)], ends_[size_t(line - 1)] - starts_[size_t(line - 1)]);
    }

    int LineOf(size_t offset) const
    {
        const auto it = std::upper_bound(starts_.begin(), starts_.end(), offset);
        return std::max(1, int(it - starts_.begin()));
    }

    // 1-based, counted in characters as an editor shows them.
    int ColumnOf(size_t offset) const
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

    [[noreturn]] void FailAt(size_t offset, const std::string& message) const
    {
        throw BadFile({path_, LineOf(offset), ColumnOf(offset)}, message);
    }
    [[noreturn]] void FailLine(int line, const std::string& message) const
    {
        throw BadFile({path_, line, 0}, message);
    }
    [[noreturn]] void Fail(const std::string& message) const { throw BadFile(path_, message); }

private:
    std::string_view text_;
    const std::string& path_;
    std::vector<size_t> starts_, ends_;
};

bool IsBlankOrComment(std::string_view line)
{
    line = Trim(line);
    return line.empty() || line.front() == '#';
}

// ---------------------------------------------------------------- numbers

enum class NumberFault { None, Empty, NotNumber, NotFinite, OutOfRange };

struct Number {
    NumberFault Fault = NumberFault::None;
    double Value = 0.0;
};

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
    case NumberFault::NotNumber: {
        std::string message = field + " is not a number: " + Quote(text);
        if (!hint.empty() && text.find_first_of(",;") != std::string_view::npos)
            message += "; " + std::string(hint);
        return message;
    }
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

// One field of a row, trimmed, with the offset of its first character.
struct Field {
    std::string_view Text;
    size_t Offset = 0;
};

enum Column { kFrame, kX, kY, kAngle, kColumns };
constexpr std::array<std::string_view, kColumns> kColumnNames = {"frame", "x", "y", "angle"};

// Reads the numbers of one row into a key, failing at the column of the
// first bad field.
TrackKey ReadKey(const Source& src, int line, const std::array<const Field*, kColumns>& fields, std::string_view hint)
{
    TrackKey key;
    key.Line = line;
    std::array<double, kColumns> values{};
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
    key.Frame = int32_t(values[kFrame]);
    key.X = values[kX];
    key.Y = values[kY];
    key.Angle = values[kAngle];
    return key;
}

// Sorts by frame and refuses a frame given twice, naming both lines.
void Finish(Track& track, const Source& src)
{
    std::stable_sort(track.Keys.begin(), track.Keys.end(),
                     [](const TrackKey& a, const TrackKey& b) { return a.Frame < b.Frame; });
    for (size_t i = 1; i < track.Keys.size(); ++i) {
        const TrackKey& a = track.Keys[i - 1];
        const TrackKey& b = track.Keys[i];
        if (a.Frame == b.Frame) {
            const int first = std::min(a.Line, b.Line), second = std::max(a.Line, b.Line);
            src.FailLine(second, "frame " + std::to_string(a.Frame) + " appears twice (lines " +
                                     std::to_string(first) + " and " + std::to_string(second) + ")");
        }
    }
}

// -------------------------------------------------------------------- CSV

// Splits at commas, honouring double-quoted fields ("a,b" is one field).
std::vector<Field> SplitCsv(std::string_view line, size_t lineOffset)
{
    std::vector<Field> fields;
    size_t i = 0;
    while (true) {
        const size_t start = i;
        size_t j = i;
        while (j < line.size() && IsBlank(line[j]))
            ++j;
        size_t end;
        if (j < line.size() && line[j] == '"') {
            size_t k = j + 1;
            while (k < line.size()) {
                if (line[k] == '"') {
                    if (k + 1 < line.size() && line[k + 1] == '"') {
                        k += 2;
                        continue;
                    }
                    break;
                }
                ++k;
            }
            end = k < line.size() ? line.find(',', k) : std::string_view::npos;
        } else {
            end = line.find(',', i);
        }
        if (end == std::string_view::npos)
            end = line.size();

        std::string_view raw = line.substr(start, end - start);
        size_t offset = lineOffset + start;
        size_t skip = 0;
        while (skip < raw.size() && IsBlank(raw[skip]))
            ++skip;
        std::string_view text = Trim(raw);
        offset += skip;
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
            text = text.substr(1, text.size() - 2);
            ++offset;
        }
        fields.push_back({text, offset});
        if (end == line.size())
            break;
        i = end + 1;
    }
    return fields;
}

Track ParseCsv(const Source& src)
{
    Track track;
    track.Path = src.Path();
    const int lines = src.LineCount();

    int headerLine = 1;
    while (headerLine <= lines && IsBlankOrComment(src.Line(headerLine)))
        ++headerLine;
    if (headerLine > lines)
        src.Fail("no header line naming the columns frame, x, y (the file holds only comments)");

    const std::string_view headerText = src.Line(headerLine);
    const std::vector<Field> header = SplitCsv(headerText, src.LineStart(headerLine));
    if (header.size() == 1 && headerText.find(';') != std::string_view::npos)
        src.FailLine(headerLine, "fields are separated by ';'; " + std::string(kCsvHint));

    std::array<int, kColumns> index;
    index.fill(-1);
    size_t named = 0;   // fields up to the last named column; rows need at least these
    for (size_t i = 0; i < header.size(); ++i) {
        const std::string name = Lower(header[i].Text);
        if (!name.empty())
            named = i + 1;
        for (int c = 0; c < kColumns; ++c) {
            if (name != kColumnNames[c])
                continue;
            if (index[c] >= 0)
                src.FailAt(header[i].Offset, "column '" + name + "' appears twice in the header");
            index[c] = int(i);
        }
    }
    for (int c = kFrame; c <= kY; ++c)
        if (index[c] < 0)
            src.FailLine(headerLine, "missing column '" + std::string(kColumnNames[c]) +
                                         "' (the first line must name the columns frame, x, y and optionally angle)");
    track.HasAngle = index[kAngle] >= 0;

    for (int line = headerLine + 1; line <= lines; ++line) {
        const std::string_view text = src.Line(line);
        if (IsBlankOrComment(text))
            continue;
        const std::vector<Field> fields = SplitCsv(text, src.LineStart(line));
        if (fields.size() < named) {
            std::string message = "too few fields: " + std::to_string(fields.size()) + ", the header on line " +
                                  std::to_string(headerLine) + " names " + std::to_string(named);
            if (text.find(';') != std::string_view::npos)
                message += "; " + std::string(kCsvHint);
            src.FailLine(line, message);
        }
        // More fields than the header names is almost always a decimal comma
        // ("0,5"); reading the first few would silently give wrong numbers.
        // Empty trailing fields (a trailing comma) are harmless.
        for (size_t i = header.size(); i < fields.size(); ++i)
            if (!fields[i].Text.empty())
                src.FailLine(line, "too many fields: " + std::to_string(fields.size()) + ", the header on line " +
                                       std::to_string(headerLine) + " names " + std::to_string(header.size()) + "; " +
                                       std::string(kCsvHint));
        std::array<const Field*, kColumns> chosen{};
        for (int c = 0; c < kColumns; ++c)
            if (index[c] >= 0)
                chosen[c] = &fields[size_t(index[c])];
        track.Keys.push_back(ReadKey(src, line, chosen, kCsvHint));
    }
    if (track.Keys.empty())
        src.Fail("no rows after the header on line " + std::to_string(headerLine));
    Finish(track, src);
    return track;
}

// ------------------------------------------------------------------- text

Track ParseText(const Source& src)
{
    Track track;
    track.Path = src.Path();
    int firstLine = 0;
    size_t firstCount = 0;
    for (int line = 1; line <= src.LineCount(); ++line) {
        std::string_view text = src.Line(line);
        if (const size_t hash = text.find('#'); hash != std::string_view::npos)
            text = text.substr(0, hash);
        const size_t lineOffset = src.LineStart(line);
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
        if (fields.empty())
            continue;
        if (fields.size() < 3) {
            std::string message = "too few fields: " + std::to_string(fields.size()) + " (expected frame x y [angle])";
            if (text.find_first_of(",;") != std::string_view::npos)
                message += "; " + std::string(kTextHint);
            src.FailLine(line, message);
        }
        if (fields.size() > 4)
            src.FailLine(line, "too many fields: " + std::to_string(fields.size()) + " (expected frame x y [angle])");
        if (firstLine == 0) {
            firstLine = line;
            firstCount = fields.size();
            track.HasAngle = fields.size() == 4;
        } else if (fields.size() != firstCount) {
            src.FailLine(line, std::to_string(fields.size()) + " fields, but line " + std::to_string(firstLine) +
                                   " has " + std::to_string(firstCount) + "; every line needs the same columns");
        }
        std::array<const Field*, kColumns> chosen{};
        for (size_t c = 0; c < fields.size(); ++c)
            chosen[c] = &fields[c];
        track.Keys.push_back(ReadKey(src, line, chosen, kTextHint));
    }
    if (track.Keys.empty())
        src.Fail("no track keys (the file holds only comments)");
    Finish(track, src);
    return track;
}

// ------------------------------------------------------------------- JSON

// Hands characters to the JSON parser and counts them, so that the SAX
// events below know where they are. The parser reads '{' and a key's closing
// quote without looking ahead, so at those two events the count is exactly
// one past the token.
class CountingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    CountingIterator(const char* p, size_t* count) : p_(p), count_(count) {}
    reference operator*() const { return *p_; }
    CountingIterator& operator++()
    {
        ++p_;
        ++*count_;
        return *this;
    }
    CountingIterator operator++(int)
    {
        CountingIterator old = *this;
        ++*this;
        return old;
    }
    bool operator==(const CountingIterator& other) const { return p_ == other.p_; }
    bool operator!=(const CountingIterator& other) const { return p_ != other.p_; }

private:
    const char* p_;
    size_t* count_;
};

// Offset of the opening quote of the string whose closing quote is at
// `closing`: the nearest quote before it not escaped by a backslash.
size_t OpeningQuote(std::string_view text, size_t closing)
{
    for (size_t i = std::min(closing, text.size()); i-- > 0;) {
        if (text[i] != '"')
            continue;
        size_t slashes = 0;
        while (slashes < i && text[i - slashes - 1] == '\\')
            ++slashes;
        if (slashes % 2 == 0)
            return i;
    }
    return closing;
}

// Builds the track from SAX events, so each entry and key keeps its place in
// the file for error messages. Everything but "frames" and the four known
// keys of an entry is skipped, however deeply nested.
class JsonReader {
public:
    using json = nlohmann::json;

    JsonReader(const Source& src, Track& track, const size_t& consumed) : src_(src), track_(track), consumed_(consumed) {}

    bool null() { return Scalar("null", Token::Word); }
    bool boolean(bool) { return Scalar("a boolean", Token::Word); }
    bool string(json::string_t&) { return Scalar("a string", Token::String); }
    bool binary(json::binary_t&) { return Scalar("binary data", Token::Word); }
    bool number_integer(json::number_integer_t value) { return NumberValue(double(value), std::to_string(value)); }
    bool number_unsigned(json::number_unsigned_t value) { return NumberValue(double(value), std::to_string(value)); }
    bool number_float(json::number_float_t, const json::string_t& lexed)
    {
        // The JSON lexer hands over its token with the decimal point of the
        // C locale in place of the file's '.', which is the only character
        // of a valid JSON number that is not a digit, sign or exponent.
        std::string raw = lexed;
        for (char& c : raw)
            if (!(c >= '0' && c <= '9') && c != '-' && c != '+' && c != 'e' && c != 'E')
                c = '.';
        // Parsed again so that JSON and CSV refuse the same texts (the JSON
        // parser quietly turns "1e-400" into 0).
        const Number number = ParseNumber(raw);
        if (number.Fault != NumberFault::None && !Skipping() && state_ == State::Entry && field_ >= 0)
            src_.FailAt(KeyOffset(), DescribeFault(number.Fault, kColumnNames[size_t(field_)], raw, {}));
        return NumberValue(number.Value, raw);
    }

    bool start_object(std::size_t)
    {
        if (Skipping()) {
            ++skip_;
            return true;
        }
        switch (state_) {
        case State::Top:
            state_ = State::Root;
            break;
        case State::Root:
            if (frames_ == Key::Pending)
                src_.FailAt(KeyOffset(), "'frames' must be an array of entries, not an object");
            skip_ = 1;
            break;
        case State::Frames:
            state_ = State::Entry;
            entryOffset_ = consumed_ - 1;
            seen_.fill(false);
            values_.fill(0.0);
            keyOffsets_.fill(0);
            field_ = -1;
            break;
        case State::Entry:
            if (field_ >= 0)
                FailNotNumber("an object");
            skip_ = 1;
            break;
        }
        return true;
    }

    bool end_object()
    {
        if (Skipping()) {
            --skip_;
            return true;
        }
        if (state_ == State::Entry) {
            FinishEntry();
            state_ = State::Frames;
        } else {
            state_ = State::Top;   // the root closed; only whitespace may follow
        }
        return true;
    }

    bool start_array(std::size_t)
    {
        if (Skipping()) {
            ++skip_;
            return true;
        }
        switch (state_) {
        case State::Top:
            FailRoot();
        case State::Root:
            if (frames_ == Key::Pending) {
                frames_ = Key::Done;
                framesOffset_ = consumed_ - 1;
                state_ = State::Frames;
            } else {
                skip_ = 1;
            }
            break;
        case State::Frames:
            src_.FailAt(consumed_ - 1, "an entry of 'frames' must be an object, not an array");
        case State::Entry:
            if (field_ >= 0)
                FailNotNumber("an array");
            skip_ = 1;
            break;
        }
        return true;
    }

    bool end_array()
    {
        if (Skipping()) {
            --skip_;
            return true;
        }
        // Only the frames array is ever entered without skipping.
        if (track_.Keys.empty())
            src_.FailAt(framesOffset_, "'frames' is empty");
        state_ = State::Root;
        return true;
    }

    bool key(json::string_t& name)
    {
        if (Skipping())
            return true;
        keyEnd_ = consumed_ - 1;
        const std::string lower = Lower(name);
        if (state_ == State::Root) {
            if (lower == "frames") {
                if (frames_ == Key::Done)
                    src_.FailAt(KeyOffset(), "'frames' appears twice");
                frames_ = Key::Pending;
            }
            return true;
        }
        field_ = -1;
        for (int c = 0; c < kColumns; ++c) {
            if (lower != kColumnNames[size_t(c)])
                continue;
            if (seen_[size_t(c)])
                src_.FailAt(KeyOffset(), Named(lower) + " appears twice in this entry");
            field_ = c;
            keyOffsets_[size_t(c)] = KeyOffset();
        }
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const json::exception& error)
    {
        // position counts the characters read, the failing one included.
        const std::string_view text = src_.Text();
        const size_t at = std::min(position > 0 ? position - 1 : 0, text.size());

        // NaN and Infinity are not JSON, but some writers emit them; say so
        // rather than "invalid literal".
        size_t start = at;
        while (start > 0 && (IsLetter(text[start - 1]) || text[start - 1] == '-' || text[start - 1] == '+'))
            --start;
        size_t end = start;
        while (end < text.size() && (IsLetter(text[end]) || text[end] == '-' || text[end] == '+'))
            ++end;
        std::string word = Lower(text.substr(start, end - start));
        if (!word.empty() && (word.front() == '-' || word.front() == '+'))
            word.erase(0, 1);
        if (word == "nan" || word == "inf" || word == "infinity")
            src_.FailAt(start, ValueName() + "is not a finite number: " + Quote(text.substr(start, end - start)) +
                                   " (JSON has no NaN or Infinity)");

        // 406 is a number too large for a double; position is one past it.
        if (error.id == 406) {
            size_t first = std::min(position, text.size());
            while (first > 0 && IsNumberChar(text[first - 1]))
                --first;
            size_t last = first;
            while (last < text.size() && IsNumberChar(text[last]))
                ++last;
            src_.FailAt(first, ValueName() + "is out of range: " + Quote(text.substr(first, last - first)));
        }

        std::string message = error.what();
        if (const size_t bracket = message.find("] "); bracket != std::string::npos)
            message.erase(0, bracket + 2);
        if (message.rfind("parse error", 0) == 0)
            if (const size_t colon = message.find(": "); colon != std::string::npos)
                message.erase(0, colon + 2);
        src_.FailAt(at, "not valid JSON: " + message);
    }

    void Done() const
    {
        if (frames_ != Key::Done)
            src_.Fail("no 'frames' array (expected {\"frames\": [{\"frame\": F, \"x\": X, \"y\": Y}, ...]})");
    }

private:
    enum class State { Top, Root, Frames, Entry };
    enum class Key { Absent, Pending, Done };
    enum class Token { Number, String, Word };

    bool Skipping() const { return skip_ > 0; }
    size_t KeyOffset() const { return OpeningQuote(src_.Text(), keyEnd_); }

    // "'x' " while the value of a known entry key is being read.
    std::string ValueName() const
    {
        if (state_ == State::Entry && field_ >= 0 && !Skipping())
            return Named(kColumnNames[size_t(field_)]) + " ";
        return "value ";
    }

    // Where the scalar just read begins. A number was followed by one
    // character of look-ahead (or the end), so walk back over number
    // characters; the character before a value is never one of them.
    size_t ValueStart(Token token) const
    {
        const std::string_view text = src_.Text();
        size_t last = std::min(consumed_, text.size());
        if (last > 0)
            --last;
        if (token == Token::String)
            return OpeningQuote(text, last);
        const auto inToken = [token](char c) {
            return token == Token::Word ? IsLetter(c) : IsNumberChar(c);
        };
        size_t start = last;
        while (start > 0 && inToken(text[start - 1]))
            --start;
        return start;
    }

    [[noreturn]] void FailRoot() const
    {
        size_t first = 0;
        while (first < src_.Text().size() && IsSpace(src_.Text()[first]))
            ++first;
        src_.FailAt(first, "expected an object with a 'frames' array");
    }

    [[noreturn]] void FailNotNumber(const char* what) const
    {
        src_.FailAt(keyOffsets_[size_t(field_)],
                    Named(kColumnNames[size_t(field_)]) + " must be a number, not " + what);
    }

    bool Scalar(const char* what, Token token)
    {
        if (Skipping())
            return true;
        switch (state_) {
        case State::Top:
            FailRoot();
        case State::Root:
            if (frames_ == Key::Pending)
                src_.FailAt(KeyOffset(), std::string("'frames' must be an array of entries, not ") + what);
            break;
        case State::Frames:
            src_.FailAt(ValueStart(token), std::string("an entry of 'frames' must be an object, not ") + what);
        case State::Entry:
            if (field_ >= 0)
                FailNotNumber(what);
            break;
        }
        return true;
    }

    bool NumberValue(double value, const std::string& raw)
    {
        if (Skipping())
            return true;
        if (state_ != State::Entry || field_ < 0)
            return Scalar("a number", Token::Number);
        if (field_ == kFrame)
            if (const char* fault = FrameFault(value))
                src_.FailAt(keyOffsets_[kFrame], std::string(fault) + ": " + Quote(raw));
        seen_[size_t(field_)] = true;
        values_[size_t(field_)] = value;
        field_ = -1;
        return true;
    }

    void FinishEntry()
    {
        for (int c = kFrame; c <= kY; ++c)
            if (!seen_[size_t(c)])
                src_.FailAt(entryOffset_, "entry has no '" + std::string(kColumnNames[size_t(c)]) + "'");
        const int line = src_.LineOf(entryOffset_);
        if (track_.Keys.empty()) {
            track_.HasAngle = seen_[kAngle];
        } else if (track_.HasAngle != seen_[kAngle]) {
            const std::string other = std::to_string(track_.Keys.front().Line);
            src_.FailAt(entryOffset_, track_.HasAngle ? "entry has no 'angle' but the entry on line " + other + " has one"
                                                      : "entry has an 'angle' but the entry on line " + other + " has none");
        }
        TrackKey key;
        key.Frame = int32_t(values_[kFrame]);
        key.X = values_[kX];
        key.Y = values_[kY];
        key.Angle = values_[kAngle];
        key.Line = line;
        track_.Keys.push_back(key);
    }

    const Source& src_;
    Track& track_;
    const size_t& consumed_;
    State state_ = State::Top;
    Key frames_ = Key::Absent;
    int skip_ = 0;
    size_t keyEnd_ = 0, entryOffset_ = 0, framesOffset_ = 0;
    int field_ = -1;   // the known key whose value comes next, or -1
    std::array<bool, kColumns> seen_{};
    std::array<double, kColumns> values_{};
    std::array<size_t, kColumns> keyOffsets_{};
};

Track ParseJson(const Source& src)
{
    Track track;
    track.Path = src.Path();
    size_t consumed = 0;
    JsonReader reader(src, track, consumed);
    const std::string_view text = src.Text();
    nlohmann::json::sax_parse(CountingIterator(text.data(), &consumed),
                              CountingIterator(text.data() + text.size(), &consumed), &reader);
    reader.Done();
    Finish(track, src);
    return track;
}

// ------------------------------------------------------------- detection

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
    const size_t first = text.find_first_not_of(" \t\r\n\v\f");
    if (first != std::string_view::npos && (text[first] == '{' || text[first] == '['))
        return TrackFormat::Json;
    for (int line = 1; line <= src.LineCount(); ++line) {
        const std::string_view content = Trim(src.Line(line));
        if (content.empty() || content.front() == '#')
            continue;
        const char c = content.front() == '"' && content.size() > 1 ? content[1] : content.front();
        return IsLetter(c) ? TrackFormat::Csv : TrackFormat::Text;
    }
    return TrackFormat::Text;
}

}  // namespace

Track ParseTrack(const std::string& text, const std::string& path, TrackFormat format)
{
    std::string_view view = text;
    if (view.substr(0, 3) == "\xEF\xBB\xBF")
        view.remove_prefix(3);

    bool nul = false;
    if (const size_t bad = FindBinary(view, nul); bad != std::string_view::npos)
        throw BadFile(path, std::string("not a text file (") + (nul ? "a NUL byte" : "bytes that are not UTF-8") +
                             " at offset " + std::to_string(bad + (view.data() - text.data())) + ")");
    if (view.find_first_not_of(" \t\r\n\v\f") == std::string_view::npos)
        throw BadFile(path, "the file is empty");

    const Source src(view, path);
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
    const std::string tooLarge = "larger than " + std::to_string(kMaxTrackBytes >> 20) + " MiB; not a track file";
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (std::filesystem::is_directory(status))
        throw BadFile(path, "is a directory, not a track file");
    if (std::filesystem::is_regular_file(status) && std::filesystem::file_size(path, ec) > kMaxTrackBytes && !ec)
        throw BadFile(path, tooLarge);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw BadFile(path, std::string("cannot open: ") + std::strerror(errno));

    std::string text;
    std::array<char, 1 << 16> buffer;
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        text.append(buffer.data(), size_t(in.gcount()));
        if (text.size() > kMaxTrackBytes)   // a pipe or a file that grew
            throw BadFile(path, tooLarge);
    }
    if (in.bad())
        throw BadFile(path, "read failed");

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
