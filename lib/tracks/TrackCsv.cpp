// CSV: a header line naming the columns (any order, any case, others
// ignored), then one row per key. '#' lines and blank lines are skipped.
#include "TrackParse.h"

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
size_t FieldEnd(std::string_view line, size_t start)
{
    size_t j = start;
    while (j < line.size() && IsBlank(line[j]))
        ++j;
    size_t end;
    if (j < line.size() && line[j] == '"') {
        const size_t k = ClosingQuote(line, j);
        end = k < line.size() ? line.find(',', k) : std::string_view::npos;
    } else {
        end = line.find(',', start);
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

std::vector<Field> SplitCsv(std::string_view line, size_t lineOffset)
{
    std::vector<Field> fields;
    for (size_t start = 0;;) {
        const size_t end = FieldEnd(line, start);
        fields.push_back(MakeField(line.substr(start, end - start), lineOffset + start));
        if (end == line.size())
            return fields;
        start = end + 1;
    }
}

struct Header {
    int Line = 0;
    size_t Fields = 0;
    size_t Named = 0;                 // fields up to the last named one; rows need at least these
    std::array<int, kColumns> Index;  // the field of each column, or -1
};

Header ReadHeader(const Source& src)
{
    Header header;
    header.Line = 1;
    while (header.Line <= src.LineCount() && IsBlankOrComment(src.Line(header.Line)))
        ++header.Line;
    if (header.Line > src.LineCount())
        src.Fail("no header line naming the columns frame, x, y (the file holds only comments)");

    const std::string_view text = src.Line(header.Line);
    const std::vector<Field> fields = SplitCsv(text, src.LineStart(header.Line));
    if (fields.size() == 1 && text.find(';') != std::string_view::npos)
        src.FailLine(header.Line, "fields are separated by ';'; " + std::string(kCsvHint));

    header.Fields = fields.size();
    header.Index.fill(-1);
    for (size_t i = 0; i < fields.size(); ++i) {
        const std::string name = Lower(fields[i].Text);
        if (!name.empty())
            header.Named = i + 1;
        const int c = ColumnNamed(name);
        if (c < 0)
            continue;
        if (header.Index[c] >= 0)
            src.FailAt(fields[i].Offset, "column '" + name + "' appears twice in the header");
        header.Index[c] = int(i);
    }
    for (int c = kFrame; c <= kY; ++c)
        if (header.Index[c] < 0)
            src.FailLine(header.Line, "missing column '" + std::string(kColumnNames[c]) +
                                          "' (the first line must name the columns frame, x, y and optionally angle)");
    return header;
}

std::string CountMismatch(const char* what, size_t count, const Header& header, size_t named)
{
    return std::string(what) + ": " + std::to_string(count) + ", the header on line " + std::to_string(header.Line) +
           " names " + std::to_string(named);
}

TrackKey ReadRow(const Source& src, const Header& header, int line)
{
    const std::string_view text = src.Line(line);
    const std::vector<Field> fields = SplitCsv(text, src.LineStart(line));
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
    return ReadKey(src, line, chosen, kCsvHint);
}

}  // namespace

Track ParseCsv(const Source& src)
{
    Track track;
    track.Path = src.Path();
    const Header header = ReadHeader(src);
    track.HasAngle = header.Index[kAngle] >= 0;
    for (int line = header.Line + 1; line <= src.LineCount(); ++line)
        if (!IsBlankOrComment(src.Line(line)))
            track.Keys.push_back(ReadRow(src, header, line));
    if (track.Keys.empty())
        src.Fail("no rows after the header on line " + std::to_string(header.Line));
    SortKeys(track, src);
    return track;
}

}  // namespace tessellon::trackparse
