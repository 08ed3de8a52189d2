// Whitespace-separated columns: tessellon's own "frame x y [angle]" text,
// a channel file "frame tx ty tz rx ry rz [focal]" and an ASCII curve export
// "x y [angle]" without frame numbers. '#' starts a comment.
#include "TrackParse.h"

#include <cstdint>

namespace tessellon::trackparse {

namespace {

constexpr std::string_view kTextHint = "use '.' for decimals and spaces between fields";
constexpr std::string_view kTextColumns = " (expected frame x y [angle])";

void CheckFieldCount(const Source& src, int line, std::string_view text, size_t count)
{
    if (count < 3)
        src.FailLine(line, WithHint("too few fields: " + std::to_string(count) + std::string(kTextColumns), text, ",;",
                                    kTextHint));
    if (count > 4)
        src.FailLine(line, "too many fields: " + std::to_string(count) + std::string(kTextColumns));
}

}  // namespace

Track ParseText(const Source& src)
{
    Track track;
    track.Path = src.Path();
    int firstLine = 0;   // the first line with a key, whose columns every line must have
    size_t firstCount = 0;
    for (int line = 1; line <= src.LineCount(); ++line) {
        std::string_view text = src.Line(line);
        text = text.substr(0, text.find('#'));
        const std::vector<Field> fields = SplitWords(text, src.LineStart(line));
        if (fields.empty())
            continue;
        CheckFieldCount(src, line, text, fields.size());
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
    SortKeys(track, src);
    return track;
}

namespace {

// The fields of every line that holds any, with the line they are on.
struct Row {
    int Line = 0;
    std::vector<Field> Fields;
};

std::vector<Row> Rows(const Source& src)
{
    std::vector<Row> rows;
    for (int line = 1; line <= src.LineCount(); ++line) {
        std::string_view text = src.Line(line);
        text = text.substr(0, text.find('#'));
        std::vector<Field> fields = SplitWords(text, src.LineStart(line));
        if (!fields.empty())
            rows.push_back({line, std::move(fields)});
    }
    if (rows.empty())
        src.Fail("no track keys (the file holds only comments)");
    return rows;
}

}  // namespace

// Only the 2D part is taken: the translation in x and y and the turn about
// the axis that looks into the image.
Track ParseChan(const Source& src)
{
    Track track;
    track.Path = src.Path();
    track.HasAngle = true;
    for (const Row& row : Rows(src)) {
        const size_t n = row.Fields.size();
        if (n != 7 && n != 8)
            src.FailLine(row.Line, std::to_string(n) + " fields (expected frame tx ty tz rx ry rz [focal])");
        static constexpr std::string_view kNames[] = {"frame", "tx", "ty", "tz", "rx", "ry", "rz", "focal"};
        Values values{};
        values[kFrame] = ReadFrame(src, row.Fields[0]);
        for (size_t c = 1; c < n; ++c) {
            const double v = ReadNumber(src, row.Fields[c], kNames[c], kTextHint);
            if (c == 1) values[kX] = v;
            if (c == 2) values[kY] = v;
            if (c == 6) values[kAngle] = v;
        }
        track.Keys.push_back(MakeKey(values, row.Line));
    }
    SortKeys(track, src);
    return track;
}

Track ParseNukeAscii(const Source& src, const TrackReadOptions& options)
{
    Track track;
    track.Path = src.Path();
    const std::vector<Row> rows = Rows(src);
    const size_t count = rows.front().Fields.size();
    if (count < 2 || count > 3)
        src.FailLine(rows.front().Line, std::to_string(count) + " fields (expected x y [angle], one line per frame)");
    track.HasAngle = count == 3;
    const int64_t first = options.FirstFrame.value_or(1);
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        if (row.Fields.size() != count)
            src.FailLine(row.Line, std::to_string(row.Fields.size()) + " fields, but line " +
                                       std::to_string(rows.front().Line) + " has " + std::to_string(count) +
                                       "; every line needs the same columns");
        const int64_t frame = first + int64_t(i);
        if (frame > INT32_MAX)
            src.FailLine(row.Line, "frame number is out of range: " + std::to_string(frame));
        Values values{};
        values[kFrame] = double(frame);
        for (size_t c = 0; c < count; ++c)
            values[kX + c] = ReadNumber(src, row.Fields[c], kColumnNames[kX + c], kTextHint);
        track.Keys.push_back(MakeKey(values, row.Line));
    }
    return track;
}

}  // namespace tessellon::trackparse
