// CSV and TSV: a header line naming the columns (any order, any case,
// others listed as ignored), or none and the columns frame, x, y [angle] by
// position; then one row per key. A name column (track_id, track, name,
// tracker) holds several tracks. '#' lines and blank lines are skipped.
#include "TrackParse.h"

#include <algorithm>

namespace tessellon::trackparse {

namespace {

constexpr std::string_view kCsvHint = "use '.' for decimals and ',' between fields";

// The quote that closes the one at `open` ("" inside is an escaped quote),
// or the end of the line.
size_t ClosingQuote(std::string_view line, size_t open)
{
    size_t k = open + 1;
    while (k < line.size()) {
        if (line[k] != '"') {
            ++k;
            continue;
        }
        if (k + 1 < line.size() && line[k + 1] == '"')
            k += 2;
        else
            break;
    }
    return k;
}

// Where the field that starts at `start` ends: at the next comma that is not
// inside double quotes ("a,b" is one field), or at the end of the line.
size_t FieldEnd(std::string_view line, size_t start, char sep)
{
    size_t j = start;
    while (j < line.size() && IsBlank(line[j]))
        ++j;
    size_t end;
    if (j < line.size() && line[j] == '"') {
        const size_t k = ClosingQuote(line, j);
        end = k < line.size() ? line.find(sep, k) : std::string_view::npos;
    } else {
        end = line.find(sep, start);
    }
    return end == std::string_view::npos ? line.size() : end;
}

// The field without its blanks and its quotes, keeping the offset of its
// first character.
Field MakeField(std::string_view raw, size_t offset)
{
    std::string_view text = Trim(raw);
    offset += size_t(text.data() - raw.data());
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
        ++offset;
    }
    return {text, offset};
}

std::vector<Field> SplitCsv(std::string_view line, size_t lineOffset, char sep)
{
    std::vector<Field> fields;
    for (size_t start = 0;;) {
        const size_t end = FieldEnd(line, start, sep);
        fields.push_back(MakeField(line.substr(start, end - start), lineOffset + start));
        if (end == line.size())
            return fields;
        start = end + 1;
    }
}

bool IsNameColumn(std::string_view lower)
{
    return lower == "track_id" || lower == "track" || lower == "name" || lower == "tracker" || lower == "track_name";
}

struct Header {
    int Line = 0;
    char Separator = ',';
    bool Positional = false;          // no header: frame, x, y [angle] by position
    size_t Fields = 0;
    size_t Named = 0;                 // fields up to the last named one; rows need at least these
    std::array<int, kColumns> Index;  // the field of each column, or -1
    int NameIndex = -1;               // the field naming the track, or -1
    std::string NameColumn;           // its name in the header
    std::vector<std::string> Ignored;
};

bool AllNumbers(const std::vector<Field>& fields)
{
    return std::all_of(fields.begin(), fields.end(),
                       [](const Field& f) { return ParseNumber(f.Text).Fault == NumberFault::None; });
}

void PositionalHeader(const Source& src, Header& header, size_t count)
{
    if (count < 3 || count > 4)
        src.FailLine(header.Line, std::to_string(count) +
                                      " fields and no header line (without one the columns are frame, x, y [angle])");
    header.Positional = true;
    header.Line -= 1;   // the rows start on the first line
    header.Fields = header.Named = count;
    for (size_t c = 0; c < size_t(kColumns); ++c)
        header.Index[c] = c < count ? int(c) : -1;
}

Header ReadHeader(const Source& src, const TrackReadOptions& options)
{
    Header header;
    header.Line = 1;
    while (header.Line <= src.LineCount() && IsBlankOrComment(src.Line(header.Line)))
        ++header.Line;
    if (header.Line > src.LineCount())
        src.Fail("no header line naming the columns frame, x, y (the file holds only comments)");

    const std::string_view text = src.Line(header.Line);
    if (text.find(',') == std::string_view::npos && text.find('\t') != std::string_view::npos)
        header.Separator = '\t';
    const std::vector<Field> fields = SplitCsv(text, src.LineStart(header.Line), header.Separator);
    if (fields.size() == 1 && text.find(';') != std::string_view::npos)
        src.FailLine(header.Line, "fields are separated by ';'; " + std::string(kCsvHint));
    header.Index.fill(-1);
    if (AllNumbers(fields)) {
        PositionalHeader(src, header, fields.size());
        return header;
    }

    const std::array<std::string, kColumns> mapped = ColumnNames(options.Columns);
    header.Fields = fields.size();
    for (size_t i = 0; i < fields.size(); ++i) {
        const std::string name = Lower(fields[i].Text);
        if (!name.empty())
            header.Named = i + 1;
        int c = -1;
        for (int k = 0; k < kColumns && c < 0; ++k)
            if (NamesColumn(mapped, k, name))
                c = k;
        if (c < 0) {
            if (IsNameColumn(name) && header.NameIndex < 0)
                header.NameIndex = int(i), header.NameColumn = std::string(fields[i].Text);
            else if (!name.empty() && !IsKnownExtra(name))
                header.Ignored.push_back(std::string(fields[i].Text));
            continue;
        }
        if (header.Index[c] >= 0)
            src.FailAt(fields[i].Offset, "column '" + name + "' appears twice in the header" +
                                             (c == kAngle ? " (angle and rotation are the same column)" : ""));
        header.Index[c] = int(i);
    }
    for (int c = kFrame; c <= kY; ++c)
        if (header.Index[c] < 0)
            src.FailLine(header.Line, "missing column " +
                                          Named(mapped[size_t(c)].empty() ? std::string(kColumnNames[c]) : mapped[size_t(c)]) +
                                          " (the first line must name the columns frame, x, y and optionally angle)");
    if (!mapped[kAngle].empty() && header.Index[kAngle] < 0)
        src.FailLine(header.Line, "missing column " + Named(mapped[kAngle]) + ", the angle by --columns");
    return header;
}

std::string CountMismatch(const char* what, size_t count, const Header& header, size_t named)
{
    if (header.Positional)
        return std::string(what) + ": " + std::to_string(count) + ", the first line has " + std::to_string(named);
    return std::string(what) + ": " + std::to_string(count) + ", the header on line " + std::to_string(header.Line) +
           " names " + std::to_string(named);
}

TrackKey ReadRow(const Source& src, const Header& header, int line, std::string& name)
{
    const std::string_view text = src.Line(line);
    const std::vector<Field> fields = SplitCsv(text, src.LineStart(line), header.Separator);
    if (fields.size() < header.Named)
        src.FailLine(line, WithHint(CountMismatch("too few fields", fields.size(), header, header.Named), text, ";",
                                    kCsvHint));
    // More fields than the header names is almost always a decimal comma
    // ("0,5"); reading the first few would silently give wrong numbers.
    // Empty trailing fields (a trailing comma) are harmless.
    for (size_t i = header.Fields; i < fields.size(); ++i)
        if (!fields[i].Text.empty())
            src.FailLine(line, CountMismatch("too many fields", fields.size(), header, header.Fields) + "; " +
                                   std::string(kCsvHint));

    std::array<const Field*, kColumns> chosen{};
    for (int c = 0; c < kColumns; ++c)
        if (header.Index[c] >= 0)
            chosen[c] = &fields[size_t(header.Index[c])];
    if (header.NameIndex >= 0)
        name = std::string(fields[size_t(header.NameIndex)].Text);
    return ReadKey(src, line, chosen, kCsvHint);
}

}  // namespace

Track ParseCsv(const Source& src, const TrackReadOptions& options)
{
    const Header header = ReadHeader(src, options);
    std::vector<NamedTrack> tracks;
    size_t rows = 0;
    for (int line = header.Line + 1; line <= src.LineCount(); ++line) {
        if (IsBlankOrComment(src.Line(line)))
            continue;
        std::string name;
        const TrackKey key = ReadRow(src, header, line, name);
        auto it = std::find_if(tracks.begin(), tracks.end(), [&](const NamedTrack& t) { return t.Name == name; });
        if (it == tracks.end())
            it = tracks.insert(tracks.end(), NamedTrack{name, line, {}});
        it->Keys.Keys.push_back(key);
        ++rows;
    }
    if (tracks.empty())
        src.Fail("no rows after the header on line " + std::to_string(header.Line));
    std::vector<std::string> ignored = header.Ignored;
    if (tracks.size() > 1 && tracks.size() == rows) {
        // A different name on every row labels rows, it does not name tracks.
        NamedTrack all{"", tracks.front().Line, {}};
        for (NamedTrack& t : tracks)
            all.Keys.Keys.push_back(t.Keys.Keys.front());
        tracks = {std::move(all)};
        ignored.insert(ignored.begin(), header.NameColumn);
    }
    Track track = PickTrack(src, std::move(tracks), options.Name, "track");
    track.HasAngle = header.Index[kAngle] >= 0;
    track.Ignored = ignored;
    track.FormatName = header.Separator == '\t' ? "tab-separated track" : "CSV track";
    return track;
}

}  // namespace tessellon::trackparse
