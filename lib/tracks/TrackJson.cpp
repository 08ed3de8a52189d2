// JSON: {"frames": [{"frame": F, "x": X, "y": Y, "angle": A}, ...]}. Keys
// match in any case; everything else is skipped, however deeply nested.
//
// Read through SAX events rather than a document, so that each entry and key
// keeps its place in the file for error messages.
#include "TrackParse.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <iterator>
#include <utility>

namespace tessellon::trackparse {

namespace {

using json = nlohmann::json;

// Hands characters to the JSON parser and counts them, so that the SAX
// events know where they are. The parser reads '{', '[' and a key's closing
// quote without looking ahead, so at those events the count is exactly one
// past the token.
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

// ------------------------------------------------------------- positions

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

// The run of characters around `at` that `in` accepts: [first, last).
template <class In>
std::pair<size_t, size_t> RunAround(std::string_view text, size_t at, In in)
{
    size_t first = at;
    while (first > 0 && in(text[first - 1]))
        --first;
    size_t last = first;
    while (last < text.size() && in(text[last]))
        ++last;
    return {first, last};
}

bool IsWordChar(char c) { return IsLetter(c) || c == '-' || c == '+'; }

enum class Token { Number, String, Word, Bracket };

// Where the value just read begins, given the characters consumed. A number
// was followed by one character of look-ahead (or the end), so walk back over
// number characters; the character before a value is never one of them.
size_t ValueStart(std::string_view text, size_t consumed, Token token)
{
    size_t last = std::min(consumed, text.size());
    if (last > 0)
        --last;
    switch (token) {
    case Token::String:
        return OpeningQuote(text, last);
    case Token::Number:
        return RunAround(text, last, IsNumberChar).first;
    case Token::Word:
        return RunAround(text, last, IsLetter).first;
    case Token::Bracket:
        break;
    }
    return last;
}

// ---------------------------------------------------------------- values

// The JSON lexer hands over a float's token with the decimal point of the C
// locale in place of the file's '.', which is the only character of a valid
// JSON number that is not a digit, sign or exponent.
std::string FileSpelling(const std::string& lexed)
{
    std::string raw = lexed;
    for (char& c : raw)
        if (!(c >= '0' && c <= '9') && c != '-' && c != '+' && c != 'e' && c != 'E')
            c = '.';
    return raw;
}

bool IsNonFiniteWord(std::string_view word)
{
    std::string lower = Lower(word);
    if (!lower.empty() && (lower.front() == '-' || lower.front() == '+'))
        lower.erase(0, 1);
    return lower == "nan" || lower == "inf" || lower == "infinity";
}

// The parser's own message without its prefixes. It quotes the whole token
// it last read, which for an unclosed string is the rest of the file.
std::string ParserMessage(const json::exception& error, const std::string& lastToken)
{
    std::string message = error.what();
    if (const size_t bracket = message.find("] "); bracket != std::string::npos)
        message.erase(0, bracket + 2);
    if (message.rfind("parse error", 0) == 0)
        if (const size_t colon = message.find(": "); colon != std::string::npos)
            message.erase(0, colon + 2);
    const std::string lastRead = "; last read: " + Named(lastToken);
    if (const size_t at = message.find(lastRead); at != std::string::npos)
        message.replace(at, lastRead.size(), "; last read: " + Quote(lastToken));
    return message;
}

// ---------------------------------------------------------------- entries

// The entry of 'frames' being read.
struct Entry {
    size_t Offset = 0;   // of its '{'
    int Field = -1;      // the known key whose value comes next, or -1
    std::array<bool, kColumns> Seen{};
    Values Value{};
    std::array<size_t, kColumns> KeyOffsets{};
};

// The key of each column: what --columns maps it to, else its usual name.
using KeyNames = std::array<std::string, kColumns>;

KeyNames KeysOf(const std::array<std::string, kColumns>& mapped)
{
    KeyNames names;
    for (int c = 0; c < kColumns; ++c)
        names[size_t(c)] = mapped[size_t(c)].empty() ? std::string(kColumnNames[c]) : mapped[size_t(c)];
    return names;
}

void AddEntry(const Source& src, Track& track, const Entry& entry, const KeyNames& keys)
{
    for (int c = kFrame; c <= kY; ++c)
        if (!entry.Seen[c])
            src.FailAt(entry.Offset, "entry has no " + Named(keys[size_t(c)]));
    if (track.Keys.empty()) {
        track.HasAngle = entry.Seen[kAngle];
    } else if (track.HasAngle != entry.Seen[kAngle]) {
        const std::string other = std::to_string(track.Keys.front().Line);
        src.FailAt(entry.Offset, track.HasAngle ? "entry has no 'angle' but the entry on line " + other + " has one"
                                                : "entry has an 'angle' but the entry on line " + other + " has none");
    }
    track.Keys.push_back(MakeKey(entry.Value, src.LineOf(entry.Offset)));
}

// ------------------------------------------------------------------ reader

// Builds the track from SAX events. A value nobody asked for is skipped
// whole, counting the containers opened inside it.
class JsonReader {
public:
    JsonReader(const Source& src, Track& track, const size_t& consumed, const std::array<std::string, kColumns>& mapped)
        : src_(src), track_(track), consumed_(consumed), mapped_(mapped), keys_(KeysOf(mapped))
    {
    }

    bool null() { return Scalar("null", Token::Word); }
    bool boolean(bool) { return Scalar("a boolean", Token::Word); }
    bool string(json::string_t&) { return Scalar("a string", Token::String); }
    bool binary(json::binary_t&) { return Scalar("binary data", Token::Word); }
    bool number_integer(json::number_integer_t value) { return NumberValue(double(value), std::to_string(value)); }
    bool number_unsigned(json::number_unsigned_t value) { return NumberValue(double(value), std::to_string(value)); }
    bool number_float(json::number_float_t, const json::string_t& lexed)
    {
        // Parsed again so that JSON and CSV refuse the same texts (the JSON
        // parser quietly turns "1e-400" into 0).
        const std::string raw = FileSpelling(lexed);
        const Number number = ParseNumber(raw);
        if (number.Fault != NumberFault::None && ReadingField())
            src_.FailAt(KeyOffset(), DescribeFault(number.Fault, keys_[size_t(entry_.Field)], raw, {}));
        return NumberValue(number.Value, raw);
    }

    bool start_object(std::size_t) { return Skipping() ? Nest() : OpenObject(); }
    bool start_array(std::size_t) { return Skipping() ? Nest() : OpenArray(); }
    bool end_object() { return Skipping() ? Unnest() : CloseObject(); }
    bool end_array() { return Skipping() ? Unnest() : CloseArray(); }

    bool key(json::string_t& name)
    {
        if (Skipping())
            return true;
        keyEnd_ = consumed_ - 1;
        const std::string lower = Lower(name);
        if (state_ == State::Root)
            RootKey(lower);
        else
            EntryKey(lower);
        return true;
    }

    bool parse_error(std::size_t position, const std::string& lastToken, const json::exception& error)
    {
        // position counts the characters read, the failing one included.
        const std::string_view text = src_.Text();
        const size_t at = std::min(position > 0 ? position - 1 : 0, text.size());
        const std::string message = ParserMessage(error, lastToken);
        // NaN and Infinity are not JSON, but some writers emit them; say so
        // rather than "invalid literal". Letters inside a string are no NaN.
        if (message.find("- invalid string") == std::string::npos) {
            const auto [first, last] = RunAround(text, at, IsWordChar);
            if (IsNonFiniteWord(text.substr(first, last - first)))
                src_.FailAt(first, ValueName() + "is not a finite number: " + Quote(text.substr(first, last - first)) +
                                       " (JSON has no NaN or Infinity)");
        }
        // 406 is a number too large for a double; position is one past it.
        if (error.id == 406) {
            const auto [first, last] = RunAround(text, std::min(position, text.size()), IsNumberChar);
            src_.FailAt(first, ValueName() + "is out of range: " + Quote(text.substr(first, last - first)));
        }
        src_.FailAt(at, "not valid JSON: " + message);
    }

    void Done() const
    {
        if (frames_ != Key::Done)
            src_.Fail("no 'frames' array (expected {\"frames\": [{\"frame\": F, \"x\": X, \"y\": Y}, ...]})");
        if (!mapped_[kAngle].empty() && !track_.HasAngle)
            src_.Fail("no entry has " + Named(mapped_[kAngle]) + ", the angle by --columns");
    }

private:
    enum class State { Top, Root, Frames, Entry };
    enum class Key { Absent, Pending, Done };   // the 'frames' key of the root

    bool Skipping() const { return skip_ > 0; }
    bool ReadingField() const { return !Skipping() && state_ == State::Entry && entry_.Field >= 0; }
    size_t KeyOffset() const { return OpeningQuote(src_.Text(), keyEnd_); }

    bool Nest()
    {
        ++skip_;
        return true;
    }
    bool Unnest()
    {
        --skip_;
        return true;
    }

    // "'x' " while the value of a known entry key is being read.
    std::string ValueName() const
    {
        return ReadingField() ? Named(keys_[size_t(entry_.Field)]) + " " : "value ";
    }

    [[noreturn]] void FailRoot() const
    {
        src_.FailAt(std::min(src_.Text().find_first_not_of(kSpaces), src_.Text().size()),
                    "expected an object with a 'frames' array");
    }

    [[noreturn]] void FailNotNumber(const char* what) const
    {
        src_.FailAt(entry_.KeyOffsets[entry_.Field], Named(keys_[size_t(entry_.Field)]) + " must be a number, not " + what);
    }

    // Refuses a value where one of another kind belongs; anywhere else the
    // value is of no interest.
    void CheckValue(const char* what, Token token) const
    {
        switch (state_) {
        case State::Top:
            FailRoot();
        case State::Root:
            if (frames_ == Key::Pending)
                src_.FailAt(KeyOffset(), std::string("'frames' must be an array of entries, not ") + what);
            break;
        case State::Frames:
            src_.FailAt(ValueStart(src_.Text(), consumed_, token),
                        std::string("an entry of 'frames' must be an object, not ") + what);
        case State::Entry:
            if (entry_.Field >= 0)
                FailNotNumber(what);
            break;
        }
    }

    bool Scalar(const char* what, Token token)
    {
        if (!Skipping())
            CheckValue(what, token);
        return true;
    }

    bool NumberValue(double value, const std::string& raw)
    {
        if (!ReadingField())
            return Scalar("a number", Token::Number);
        if (entry_.Field == kFrame)
            if (const char* fault = FrameFault(value))
                src_.FailAt(entry_.KeyOffsets[kFrame], std::string(fault) + ": " + Quote(raw));
        entry_.Seen[entry_.Field] = true;
        entry_.Value[entry_.Field] = value;
        entry_.Field = -1;
        return true;
    }

    bool OpenObject()
    {
        if (state_ == State::Top) {
            state_ = State::Root;
        } else if (state_ == State::Frames) {
            state_ = State::Entry;
            entry_ = Entry{};
            entry_.Offset = consumed_ - 1;
        } else {
            CheckValue("an object", Token::Bracket);
            ++skip_;
        }
        return true;
    }

    bool OpenArray()
    {
        if (state_ == State::Root && frames_ == Key::Pending) {
            frames_ = Key::Done;
            framesOffset_ = consumed_ - 1;
            state_ = State::Frames;
        } else {
            CheckValue("an array", Token::Bracket);
            ++skip_;
        }
        return true;
    }

    bool CloseObject()
    {
        if (state_ == State::Entry) {
            AddEntry(src_, track_, entry_, keys_);
            state_ = State::Frames;
        } else {
            state_ = State::Top;   // the root closed; only whitespace may follow
        }
        return true;
    }

    // Only the frames array is ever entered without skipping.
    bool CloseArray()
    {
        if (track_.Keys.empty())
            src_.FailAt(framesOffset_, "'frames' is empty");
        state_ = State::Root;
        return true;
    }

    void RootKey(const std::string& lower)
    {
        if (lower != "frames")
            return;
        if (frames_ == Key::Done)
            src_.FailAt(KeyOffset(), "'frames' appears twice");
        frames_ = Key::Pending;
    }

    void EntryKey(const std::string& lower)
    {
        entry_.Field = -1;
        for (int c = 0; c < kColumns && entry_.Field < 0; ++c)
            if (NamesColumn(mapped_, c, lower))
                entry_.Field = c;
        if (entry_.Field < 0) {
            if (!IsKnownExtra(lower) && std::find(track_.Ignored.begin(), track_.Ignored.end(), lower) == track_.Ignored.end())
                track_.Ignored.push_back(lower);
            return;
        }
        if (entry_.Seen[entry_.Field])
            src_.FailAt(KeyOffset(), Named(lower) + " appears twice in this entry");
        entry_.KeyOffsets[entry_.Field] = KeyOffset();
    }

    const Source& src_;
    Track& track_;
    const size_t& consumed_;
    const std::array<std::string, kColumns>& mapped_;
    const KeyNames keys_;
    State state_ = State::Top;
    Key frames_ = Key::Absent;
    int skip_ = 0;   // containers open inside the value being skipped
    size_t keyEnd_ = 0, framesOffset_ = 0;
    Entry entry_;
};

}  // namespace

Track ParseJson(const Source& src, const TrackReadOptions& options)
{
    Track track;
    track.Path = src.Path();
    size_t consumed = 0;
    const std::array<std::string, kColumns> mapped = ColumnNames(options.Columns);
    JsonReader reader(src, track, consumed, mapped);
    const std::string_view text = src.Text();
    json::sax_parse(CountingIterator(text.data(), &consumed), CountingIterator(text.data() + text.size(), &consumed),
                    &reader);
    reader.Done();
    track.FormatName = "JSON track";
    SortKeys(track, src);
    return track;
}

}  // namespace tessellon::trackparse
