// What the three track-file readers share: the text checks, the place of a
// byte in "path:line:column", locale-independent numbers, and the rules every
// key obeys whatever the format. Private to this library.
#pragma once

#include "TrackFile.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tessellon::trackparse {

// ------------------------------------------------------------- characters

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
inline bool IsSpace(char c) { return IsBlank(c) || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
constexpr std::string_view kSpaces = " \t\r\n\v\f";   // what IsSpace accepts
inline bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool IsNumberChar(char c)
{
    return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}

std::string_view Trim(std::string_view s);   // blanks only, not line ends
std::string Lower(std::string_view s);       // ASCII letters only
bool IsBlankOrComment(std::string_view line);

// 'name' for messages.
std::string Named(std::string_view name);
// A field quoted for a message, shortened so that a runaway field cannot
// flood the terminal.
std::string Quote(std::string_view s);
// The message with "; hint" added when `text` holds one of `marks`, the
// characters that suggest the file was written for another convention.
std::string WithHint(std::string message, std::string_view text, std::string_view marks, std::string_view hint);

// --------------------------------------------------------------- the text

// The text without its byte-order mark. Throws when it is binary, not UTF-8
// or holds nothing but whitespace.
std::string_view CheckedText(const std::string& text, const std::string& path);

// The text of one file with its line table, and the one place that turns a
// byte offset into "path:line:column".
class Source {
public:
    Source(std::string_view text, const std::string& path);

    const std::string& Path() const { return path_; }
    std::string_view Text() const { return text_; }
    int LineCount() const { return int(starts_.size()); }
    size_t LineStart(int line) const { return starts_[size_t(line - 1)]; }
    std::string_view Line(int line) const;   // without its line end

    int LineOf(size_t offset) const;
    int ColumnOf(size_t offset) const;   // in characters, as an editor counts

    [[noreturn]] void FailAt(size_t offset, const std::string& message) const;
    [[noreturn]] void FailLine(int line, const std::string& message) const;
    [[noreturn]] void Fail(const std::string& message) const;

private:
    std::string_view text_;
    const std::string& path_;
    std::vector<size_t> starts_, ends_;
};

// ---------------------------------------------------------------- numbers

enum class NumberFault { None, Empty, NotNumber, NotFinite, OutOfRange };

struct Number {
    NumberFault Fault = NumberFault::None;
    double Value = 0.0;
};

Number ParseNumber(std::string_view s);
// "'x' is not a number: '0,5'", with the hint when the text looks like a
// decimal comma or a wrong separator.
std::string DescribeFault(NumberFault fault, std::string_view name, std::string_view text, std::string_view hint);
// Why `value` cannot be a frame number, or nullptr.
const char* FrameFault(double value);

// ------------------------------------------------------------------- keys

enum Column { kFrame, kX, kY, kAngle, kColumns };
inline constexpr std::array<std::string_view, kColumns> kColumnNames = {"frame", "x", "y", "angle"};
using Values = std::array<double, kColumns>;

// The column a lower-case name stands for ("rotation" is the angle), or -1.
int ColumnNamed(std::string_view lower);
// The names --columns gives the columns ("frame=f,x=cx"), in lower case, ""
// where a column keeps its usual names. Throws Error (bad input).
std::array<std::string, kColumns> ColumnNames(const std::string& mapping);
// Whether `lower` names column `c` under that mapping.
bool NamesColumn(const std::array<std::string, kColumns>& mapped, int c, std::string_view lower);
// Columns and keys that are known and carry nothing a track needs.
bool IsKnownExtra(std::string_view lower);

// One field of a row, trimmed, with the offset of its first character.
struct Field {
    std::string_view Text;
    size_t Offset = 0;
};

// The whitespace-separated fields of `text`, which starts at `lineOffset`.
std::vector<Field> SplitWords(std::string_view text, size_t lineOffset);
// One number of a row, failing at its column with `name` in the message.
double ReadNumber(const Source& src, const Field& field, std::string_view name, std::string_view hint = {});
int32_t ReadFrame(const Source& src, const Field& field);

TrackKey MakeKey(const Values& values, int line);
// Reads the fields of one row (nullptr where the column is absent), failing
// at the column of the first bad one.
TrackKey ReadKey(const Source& src, int line, const std::array<const Field*, kColumns>& fields, std::string_view hint);
// Sorts by frame and refuses a frame given twice, naming both lines.
void SortKeys(Track& track, const Source& src);

// ------------------------------------------------------------- trackers

// One of the trackers of a file that holds several.
struct NamedTrack {
    std::string Name;
    int Line = 0;   // where it starts
    Track Keys;
};

// The tracker `name` picks (any one when the file holds one), sorted. A
// file with several and no name, or without the one named, is refused
// with the names it holds. `what` is "tracker" or "track".
Track PickTrack(const Source& src, std::vector<NamedTrack> tracks, const std::string& name, const char* what);

// ---------------------------------------------------------------- readers

Track ParseCsv(const Source& src, const TrackReadOptions& options);
Track ParseJson(const Source& src, const TrackReadOptions& options);
Track ParseText(const Source& src);
Track ParseChan(const Source& src);
Track ParseNukeAscii(const Source& src, const TrackReadOptions& options);
Track ParseAfterEffects(const Source& src, const TrackReadOptions& options);
Track ParseEqualizer(const Source& src, const TrackReadOptions& options);
Track ParsePfTrack(const Source& src, const TrackReadOptions& options);
Track ParseSynthEyes(const Source& src, const TrackReadOptions& options);
Track ParseShake(const Source& src, const TrackReadOptions& options);

}  // namespace tessellon::trackparse
