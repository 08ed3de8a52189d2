// Whitespace-separated text (.txt, .chan): "frame x y [angle]" on each line,
// the same columns on every line; '#' starts a comment.
#include "TrackParse.h"

namespace tessellon::trackparse {

namespace {

constexpr std::string_view kTextHint = "use '.' for decimals and spaces between fields";
constexpr std::string_view kTextColumns = " (expected frame x y [angle])";

std::vector<Field> SplitText(std::string_view text, size_t lineOffset)
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
        const std::vector<Field> fields = SplitText(text, src.LineStart(line));
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

}  // namespace tessellon::trackparse
