#include "TrackFile.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <locale>
#include <string>
#include <vector>

using namespace tessellon;

namespace {

struct Expected {
    int Frame;
    double X, Y, Angle;
};

void ExpectKeys(const Track& track, const std::vector<Expected>& expected)
{
    ASSERT_EQ(track.Keys.size(), expected.size()) << track.Path;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(track.Keys[i].Frame, expected[i].Frame) << track.Path << " key " << i;
        EXPECT_EQ(track.Keys[i].X, expected[i].X) << track.Path << " key " << i;
        EXPECT_EQ(track.Keys[i].Y, expected[i].Y) << track.Path << " key " << i;
        EXPECT_EQ(track.Keys[i].Angle, expected[i].Angle) << track.Path << " key " << i;
    }
}

std::vector<int> Lines(const Track& track)
{
    std::vector<int> lines;
    for (const TrackKey& key : track.Keys)
        lines.push_back(key.Line);
    return lines;
}

// A file in a fresh temporary folder, removed with the fixture.
class TempDir {
public:
    TempDir()
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("tessellon_track_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    ~TempDir() { std::filesystem::remove_all(dir_); }
    std::string Write(const std::string& name, const std::string& text) const
    {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
};

// ------------------------------------------------------------- bad inputs

struct BadCase {
    const char* Name;
    TrackFormat Format;
    std::string Text;
    int Line;     // 0: a whole-file error
    int Column;   // 0: no column
    std::vector<std::string> Words;
};

const char* kCsvHint = "use '.' for decimals and ',' between fields";
const char* kTextHint = "use '.' for decimals and spaces between fields";

std::vector<BadCase> BadCases()
{
    using F = TrackFormat;
    return {
        // Whole files
        {"empty", F::Csv, "", 0, 0, {"empty"}},
        {"only whitespace", F::Json, " \r\n\t\n", 0, 0, {"empty"}},
        {"only a BOM", F::Text, "\xEF\xBB\xBF", 0, 0, {"empty"}},
        {"NUL bytes", F::Csv, std::string("frame,x,y\n1,0,0\n\0\0\x01\x02", 20), 0, 0, {"not a text file", "NUL"}},
        {"invalid UTF-8", F::Text, "1 0.5 \xFF\xFE\n", 0, 0, {"not a text file", "UTF-8"}},
        {"overlong UTF-8", F::Text, "1 0.5 0.5 \xC0\xAF\n", 0, 0, {"not a text file"}},
        {"truncated UTF-8", F::Csv, "frame,x,y\n1,0,\xE2\x82", 0, 0, {"not a text file"}},
        {"UTF-16 surrogate", F::Json, "{\"a\": \"\xED\xA0\x80\"}", 0, 0, {"not a text file"}},

        // CSV header
        {"csv header only", F::Csv, "frame,x,y\n", 0, 0, {"no rows after the header on line 1"}},
        {"csv header and comments only", F::Csv, "# tracker\nframe,x,y\r\n# nothing\r\n\r\n", 0, 0, {"no rows"}},
        {"csv comments only", F::Csv, "# one\n  # two\n", 0, 0, {"no header"}},
        {"csv missing y", F::Csv, "frame,x,angle\n1,2,3\n", 1, 0, {"missing column 'y'"}},
        {"csv missing frame", F::Csv, "\n# c\nFrm,x,y\n1,2,3\n", 3, 0, {"missing column 'frame'"}},
        {"csv headerless, 2 fields", F::Csv, "1,0.5\n", 1, 0, {"2 fields and no header line", "frame, x, y [angle]"}},
        {"csv headerless row short", F::Csv, "1,0.5,0.5\n2,0.5\n", 2, 0, {"too few fields: 2", "the first line has 3"}},
        {"tsv missing x", F::Csv, "frame\tpx\ty\n1\t0\t0\n", 1, 0, {"missing column 'x'"}},
        {"csv angle and rotation", F::Csv, "frame,x,y,angle,rotation\n", 1, 17, {"appears twice", "same column"}},
        {"csv several tracks", F::Csv, "track,frame,x,y\na,1,0,0\nb,1,0,0\nb,2,0,0\n", 0, 0, {"2 tracks ('a', 'b')", "--track-name"}},
        {"csv column twice", F::Csv, "frame,x,y, X\n", 1, 12, {"column 'x' appears twice"}},
        {"csv column twice after BOM", F::Csv, "\xEF\xBB\xBF" "frame,x,x,y\n", 1, 9, {"appears twice"}},
        {"csv semicolons", F::Csv, "frame;x;y\n1;0.5;0.5\n", 1, 0, {"';'", kCsvHint}},

        // CSV rows
        {"csv too few fields", F::Csv, "frame,x,y\n1,0.5,0.5\n2,0.5\n", 3, 0, {"too few fields: 2", "names 3"}},
        {"csv semicolons in a row", F::Csv, "frame,x,y\n1;0.5;0.5\n", 2, 0, {"too few fields", kCsvHint}},
        {"csv decimal comma", F::Csv, "frame,x,y\n1,0,5,0,25\n", 2, 0, {"too many fields: 5", kCsvHint}},
        {"csv non-numeric", F::Csv, "frame,x,y\n1,abc,0.5\n", 2, 3, {"'x' is not a number", "'abc'"}},
        {"csv trailing junk", F::Csv, "frame,x,y\n1,0.5, 1.5px\n", 2, 8, {"'y' is not a number", "'1.5px'"}},
        {"csv junk in frame", F::Csv, "x,y,frame\n0,0,12a\n", 2, 5, {"'frame' is not a number"}},
        {"csv hex", F::Csv, "frame,x,y\n1,0x10,0\n", 2, 3, {"not a number"}},
        {"csv empty field", F::Csv, "frame,x,y\n1,,0.5\n", 2, 3, {"no value for 'x'"}},
        {"csv empty angle", F::Csv, "frame,x,y,angle\n1,0,0,\n", 2, 7, {"no value for 'angle'"}},
        {"csv nan", F::Csv, "frame,x,y\n1,nan,0.5\n", 2, 3, {"'x' is not a finite number", "'nan'"}},
        {"csv NaN upper", F::Csv, "frame,x,y\n1,0,NaN\n", 2, 5, {"not a finite number"}},
        {"csv -inf", F::Csv, "frame,x,y\n1,0.5,-inf\n", 2, 7, {"'y' is not a finite number"}},
        {"csv infinity angle", F::Csv, "frame,x,y,angle\n1,0,0,Infinity\n", 2, 7, {"'angle' is not a finite number"}},
        {"csv 1e400", F::Csv, "frame,x,y\n1,1e400,0\n", 2, 3, {"'x' is out of range", "'1e400'"}},
        {"csv -1e400", F::Csv, "frame,x,y\n1,0,-1e400\n", 2, 5, {"out of range"}},
        {"csv underflow", F::Csv, "frame,x,y\n1,1e-400,0\n", 2, 3, {"out of range"}},
        {"csv fractional frame", F::Csv, "frame,x,y\n1.5,0,0\n", 2, 1, {"not a whole number", "'1.5'"}},
        {"csv frame too large", F::Csv, "frame,x,y\n3000000000,0,0\n", 2, 1, {"frame number is out of range"}},
        {"csv nan frame", F::Csv, "frame,x,y\nnan,0,0\n", 2, 1, {"'frame' is not a finite number"}},
        {"csv duplicate frame", F::Csv, "frame,x,y\n1,0,0\n2,0,0\n\n1,0,0\n", 5, 0, {"frame 1 appears twice (lines 2 and 5)"}},
        {"csv duplicate unsorted", F::Csv, "frame,x,y\n7,0,0\n-3,0,0\n7,1,1\n", 4, 0, {"frame 7", "lines 2 and 4"}},
        {"csv line after CRLF", F::Csv, "frame,x,y\r\n1,0,0\r\n2,0,zz\r\n", 3, 5, {"'y' is not a number"}},
        {"csv line after lone CR", F::Csv, "frame,x,y\r1,0,0\r2,0,zz", 3, 5, {"'y'"}},
        {"csv column in characters", F::Csv, "frame,note,x,y\n1,\"\xC3\xA9\",zz,0\n", 2, 7, {"'x' is not a number"}},
        {"csv quoted junk", F::Csv, "frame,x,y\n1,\"0.5\"x,0\n", 2, 3, {"'x' is not a number"}},

        // Text
        {"text too few fields", F::Text, "1 0.5 0.5\n2 0.5\n", 2, 0, {"too few fields: 2", "frame x y [angle]"}},
        {"text too many fields", F::Text, "1 0.5 0.5 0 9\n", 1, 0, {"too many fields: 5"}},
        {"text decimal comma", F::Text, "1 0,5 0,25\n", 1, 3, {"'x' is not a number", kTextHint}},
        {"text commas between", F::Text, "1,0.5,0.5\n", 1, 0, {"too few fields: 1", kTextHint}},
        {"text mixed columns", F::Text, "1 0.5 0.5\n2 0.5 0.5 10\n", 2, 0, {"line 1 has 3", "same columns"}},
        {"text only comments", F::Text, "# a\n\n   # b\n", 0, 0, {"no track keys"}},
        {"text header line", F::Text, "frame x y\n1 0 0\n", 1, 1, {"'frame' is not a number"}},
        {"text nan", F::Text, "1\t0.5\tnan\n", 1, 7, {"'y' is not a finite number"}},
        {"text 1e400 angle", F::Text, "1 0.5 0.5 1e400\n", 1, 11, {"'angle' is out of range"}},
        {"text fractional frame", F::Text, "1.25 0 0\n", 1, 1, {"not a whole number"}},
        {"text duplicate", F::Text, "1 0.5 0.5\n# again\n1 0.2 0.2", 3, 0, {"frame 1 appears twice (lines 1 and 3)"}},
        {"text junk", F::Text, "1 0.5px 0.5\n", 1, 3, {"'0.5px'"}},

        // JSON
        {"json NaN", F::Json, "{\"frames\": [\n  {\"frame\": 1, \"x\": NaN, \"y\": 0}\n]}", 2, 21, {"'x' is not a finite number", "'NaN'"}},
        {"json Infinity", F::Json, "{\"frames\": [{\"frame\": 1, \"x\": 0, \"y\": Infinity}]}", 1, 39, {"not a finite number", "'Infinity'"}},
        {"json -Infinity", F::Json, "{\"frames\": [{\"frame\": 1, \"x\": 0,\n \"y\": -Infinity}]}", 2, 7, {"not a finite number", "'-Infinity'"}},
        {"json nan lower", F::Json, "{\"frames\": [{\"frame\": 1, \"x\": nan, \"y\": 0}]}", 1, 31, {"not a finite number"}},
        {"json 1e400", F::Json, "{\"frames\": [{\"frame\": 1,\n \"x\": 1e400, \"y\": 0}]}", 2, 7, {"'x' is out of range", "'1e400'"}},
        {"json underflow", F::Json, "{\"frames\": [{\"frame\": 1,\n   \"x\": 1e-400, \"y\": 0}]}", 2, 4, {"'x' is out of range"}},
        {"json no frames", F::Json, "{\"keys\": []}", 0, 0, {"no 'frames' array"}},
        {"json frames object", F::Json, "{\"frames\": {}}", 1, 2, {"'frames' must be an array"}},
        {"json frames number", F::Json, "{\n \"frames\": 3}", 2, 2, {"'frames' must be an array", "a number"}},
        {"json frames twice", F::Json, "{\"frames\": [{\"frame\":1,\"x\":0,\"y\":0}],\n\"frames\": []}", 2, 1, {"'frames' appears twice"}},
        {"json frames empty", F::Json, "{\n\"frames\": [ ]}", 2, 11, {"'frames' is empty"}},
        {"json root array", F::Json, "\n  [1, 2]", 2, 3, {"expected an object"}},
        {"json root number", F::Json, "5", 1, 1, {"expected an object"}},
        {"json entry number", F::Json, "{\"frames\": [1]}", 1, 13, {"must be an object"}},
        {"json entry array", F::Json, "{\"frames\": [\n[1, 2]]}", 2, 1, {"must be an object"}},
        {"json missing y", F::Json, "{\"frames\": [\n {\"frame\": 1, \"x\": 0},\n {\"frame\": 2, \"x\": 0, \"y\": 0}]}", 2, 2, {"entry has no 'y'"}},
        {"json x string", F::Json, "{\"frames\": [\n {\"frame\": 1,\n  \"x\": \"0.5\", \"y\": 0}]}", 3, 3, {"'x' must be a number, not a string"}},
        {"json y null", F::Json, "{\"frames\": [{\"frame\": 1, \"x\": 0, \"y\": null}]}", 1, 34, {"'y' must be a number, not null"}},
        {"json angle object", F::Json, "{\"frames\": [{\"frame\": 1, \"x\": 0, \"y\": 0, \"angle\": {}}]}", 1, 42, {"'angle' must be a number, not an object"}},
        {"json frame fractional", F::Json, "{\"frames\": [{\"frame\": 1.5, \"x\": 0, \"y\": 0}]}", 1, 14, {"not a whole number", "'1.5'"}},
        {"json frame too large", F::Json, "{\"frames\": [{\"frame\": 3000000000, \"x\": 0, \"y\": 0}]}", 1, 14, {"frame number is out of range"}},
        {"json frame huge", F::Json, "{\"frames\": [{\"frame\": 18446744073709551615, \"x\": 0, \"y\": 0}]}", 1, 14, {"out of range"}},
        {"json duplicate frame", F::Json, "{\"frames\": [\n{\"frame\": 4, \"x\": 0, \"y\": 0},\n{\"frame\": 3, \"x\": 0, \"y\": 0},\n{\"frame\": 4, \"x\": 1, \"y\": 1}]}", 4, 0, {"frame 4 appears twice (lines 2 and 4)"}},
        {"json key twice", F::Json, "{\"frames\": [{\"frame\": 1, \"x\": 0, \"X\": 0, \"y\": 0}]}", 1, 34, {"'x' appears twice in this entry"}},
        {"json mixed angle", F::Json, "{\"frames\": [\n{\"frame\": 1, \"x\": 0, \"y\": 0, \"angle\": 2},\n{\"frame\": 2, \"x\": 0, \"y\": 0}]}", 3, 1, {"no 'angle'", "line 2 has one"}},
        {"json mixed angle other way", F::Json, "{\"frames\": [\n{\"frame\": 1, \"x\": 0, \"y\": 0},\n{\"frame\": 2, \"x\": 0, \"y\": 0, \"angle\": 2}]}", 3, 1, {"has an 'angle'", "line 2 has none"}},
        {"json truncated", F::Json, "{\"frames\": [\n  {\"frame\": 1", 2, 14, {"not valid JSON"}},
        {"json trailing comma", F::Json, "{\"frames\": [{\"frame\": 1, \"x\": 0, \"y\": 0},\n]}", 2, 1, {"not valid JSON"}},
        {"json trailing content", F::Json, "{\"frames\": [{\"frame\": 1, \"x\": 0, \"y\": 0}]}\n}", 2, 1, {"not valid JSON"}},
        {"json comment", F::Json, "// track\n{\"frames\": []}", 1, 1, {"not valid JSON"}},
        {"json inf inside a string", F::Json, "{\"frames\": [{\"frame\": 1, \"x\": 0, \"y\": 0, \"note\": \"inf\t\"}]}", 1, 54, {"not valid JSON", "control character"}},
        {"json nan in an unclosed string", F::Json, "{\"frames\": [{\"note\": \"nan", 1, 26, {"not valid JSON", "missing closing quote"}},
        {"json escaped key", F::Json, "{\"frames\": [{\"fr\\u0061me\": 1, \"x\": 0, \"y\\\"\": 0, \"\\u0079\": true}]}", 1, 49, {"'y' must be a number, not a boolean"}},
    };
}

TEST(TrackFile, BadInputsNameFileLineAndColumn)
{
    for (const BadCase& c : BadCases()) {
        SCOPED_TRACE(c.Name);
        try {
            ParseTrack(c.Text, "shot.trk", c.Format);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            const std::string what = e.what();
            EXPECT_EQ(e.Where().File, "shot.trk");
            EXPECT_EQ(e.Where().Line, c.Line) << what;
            EXPECT_EQ(e.Where().Column, c.Column) << what;
            std::string prefix = "shot.trk";
            if (c.Line > 0)
                prefix += ":" + std::to_string(c.Line);
            if (c.Column > 0)
                prefix += ":" + std::to_string(c.Column);
            EXPECT_EQ(what.rfind(prefix + ": ", 0), 0u) << what;
            for (const std::string& word : c.Words)
                EXPECT_NE(what.find(word), std::string::npos) << "'" << word << "' not in: " << what;
        }
    }
}

TEST(TrackFile, LongFieldsAreShortenedInMessages)
{
    const std::string field(5000, 'z');
    // The JSON parser quotes the whole of an unclosed string.
    for (const auto& [text, format] : {std::pair{"frame,x,y\n1," + field + ",0\n", TrackFormat::Csv},
                                       std::pair{"{\"frames\": \"" + field, TrackFormat::Json}}) {
        try {
            ParseTrack(text, "a.trk", format);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_LT(std::string(e.what()).size(), 200u) << e.what();
        }
    }
}

// ------------------------------------------------------------ good inputs

const std::vector<Expected> kSorted = {{-2, 0.25, 0.75, 10}, {0, 0.5, 0.5, -5.5}, {3, 1, 0, 0}};

TEST(TrackFile, CsvAcceptsWhatTrackersWrite)
{
    struct Case {
        const char* Name;
        std::string Text;
    } cases[] = {
        {"plain", "frame,x,y,angle\n-2,0.25,0.75,10\n0,0.5,0.5,-5.5\n3,1,0,0\n"},
        {"unsorted", "frame,x,y,angle\n3,1,0,0\n-2,0.25,0.75,10\n0,0.5,0.5,-5.5\n"},
        {"order, case, spaces", " Angle ,  Y,FRAME ,x\n10,0.75,-2,0.25\n-5.5,0.5,0,0.5\n0,0,3,1\n"},
        {"extra columns", "name,frame,x,confidence,y,angle,\nA,-2,0.25,0.9,0.75,10,\nB,0,0.5,1,0.5,-5.5,\nC,3,1,1,0,0,\n"},
        {"CRLF, BOM, comments, blanks, no final newline",
         "\xEF\xBB\xBF# exported\r\n\r\nframe,x,y,angle\r\n-2,0.25,0.75,10\r\n  # half way\r\n\r\n0,0.5,0.5,-5.5\r\n3,1,0,0"},
        {"quotes and signs", "\"frame\",\"x\",\"y\",\"angle\",\"note\"\n\"-2\",+0.25,.75,1e1,\"a, b\"\n0,5e-1,0.50,-5.5,\"\"\"q\"\"\"\n3.0,1,0,-0,\n"},
        {"tabs around fields", "frame,\tx,y\t,angle\n-2,\t0.25 ,0.75,10\n0,0.5,0.5,-5.5\n3,1,0,0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const Track track = ParseTrack(c.Text, "t.csv", TrackFormat::Csv);
        EXPECT_EQ(track.Path, "t.csv");
        EXPECT_TRUE(track.HasAngle);
        ExpectKeys(track, kSorted);
    }
}

TEST(TrackFile, KeysRememberTheirLines)
{
    const Track csv = ParseTrack("frame,x,y\r\n# c\r\n5,0,0\r\n\r\n2,0,0\r\n9,0,0", "a", TrackFormat::Csv);
    EXPECT_EQ(Lines(csv), (std::vector<int>{5, 3, 6}));
    EXPECT_FALSE(csv.HasAngle);
    EXPECT_EQ(csv.Keys[0].Angle, 0.0);

    const Track text = ParseTrack("# frame x y\n\n8 0 0\n1 0 0\n", "a", TrackFormat::Text);
    EXPECT_EQ(Lines(text), (std::vector<int>{4, 3}));

    const Track json = ParseTrack("{\"frames\": [\n  {\"frame\": 3,\n   \"x\": 0, \"y\": 0},\n\n  {\"frame\": 1, \"x\": 0, "
                                  "\"y\": 0}]}",
                                  "a", TrackFormat::Json);
    EXPECT_EQ(Lines(json), (std::vector<int>{5, 2}));
}

TEST(TrackFile, TextAcceptsTrackerExports)
{
    const Track track = ParseTrack("# frame x y angle\n3 1 0 0\n\t-2\t0.25  0.75 10  # first\r\n\n0 0.5 0.5 -5.5",
                                   "t.chan", TrackFormat::Text);
    EXPECT_TRUE(track.HasAngle);
    ExpectKeys(track, kSorted);

    const Track noAngle = ParseTrack("1 0.5 0.25\n2 0.5 0.125\n", "t.txt", TrackFormat::Text);
    EXPECT_FALSE(noAngle.HasAngle);
    ExpectKeys(noAngle, {{1, 0.5, 0.25, 0}, {2, 0.5, 0.125, 0}});
}

TEST(TrackFile, JsonAcceptsTheDocumentedShape)
{
    const std::string text = "\xEF\xBB\xBF{\r\n  \"version\": 2, \"meta\": {\"frames\": 5, \"list\": [[[[{\"x\": null}]]]]},\r\n"
                             "  \"frames\": [\r\n"
                             "    {\"frame\": 3, \"x\": 1, \"y\": 0, \"angle\": 0, \"note\": [1, {\"frame\": 9}]},\r\n"
                             "    {\"Frame\": -2, \"X\": 0.25, \"Y\": 0.75, \"ANGLE\": 10},\r\n"
                             "    {\"angle\": -5.5, \"y\": 0.5, \"x\": 5e-1, \"frame\": 0.0}\r\n"
                             "  ],\r\n"
                             "  \"after\": null\r\n"
                             "}";
    const Track track = ParseTrack(text, "t.json", TrackFormat::Json);
    EXPECT_TRUE(track.HasAngle);
    ExpectKeys(track, kSorted);
    EXPECT_EQ(Lines(track), (std::vector<int>{5, 6, 4}));

    const Track noAngle = ParseTrack("{\"frames\":[{\"frame\":1,\"x\":0.5,\"y\":0.25}]}", "n.json", TrackFormat::Json);
    EXPECT_FALSE(noAngle.HasAngle);
    ExpectKeys(noAngle, {{1, 0.5, 0.25, 0}});
}

TEST(TrackFile, DeepNestingInIgnoredKeysIsHarmless)
{
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const Track track =
        ParseTrack("{\"junk\": " + deep + ", \"frames\": [{\"frame\": 1, \"x\": 0, \"y\": 0}]}", "d.json", TrackFormat::Json);
    EXPECT_EQ(track.Keys.size(), 1u);
}

TEST(TrackFile, AutoPicksTheFormatByContent)
{
    const char* csv = "frame,x,y\n1,0.5,0.25\n";
    const char* json = "  \n{\"frames\": [{\"frame\": 1, \"x\": 0.5, \"y\": 0.25}]}";
    const char* text = "# comment, with comma\n1 0.5 0.25\n";
    const char* quotedCsv = "# c\n\"frame\",\"x\",\"y\"\n1,0.5,0.25\n";
    for (const char* t : {csv, json, text, quotedCsv}) {
        SCOPED_TRACE(t);
        ExpectKeys(ParseTrack(t, "noext", TrackFormat::Auto), {{1, 0.5, 0.25, 0}});
    }
    // A top-level array reads as JSON, so the message speaks of JSON.
    try {
        ParseTrack("[1, 2]", "noext", TrackFormat::Auto);
        FAIL() << "accepted";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("expected an object"), std::string::npos) << e.what();
    }
}

TEST(TrackFile, ReadTrackFilePicksTheFormatByExtension)
{
    TempDir dir;
    // Each of these would parse differently (or fail) under another format.
    ExpectKeys(ReadTrackFile(dir.Write("a.CSV", "frame,x,y\n1,0.5,0.25\n")), {{1, 0.5, 0.25, 0}});
    ExpectKeys(ReadTrackFile(dir.Write("a.json", "{\"frames\": [{\"frame\": 1, \"x\": 0.5, \"y\": 0.25}]}")),
               {{1, 0.5, 0.25, 0}});
    ExpectKeys(ReadTrackFile(dir.Write("a.txt", "1 0.5 0.25\n")), {{1, 0.5, 0.25, 0}});
    ExpectKeys(ReadTrackFile(dir.Write("a.chan", "1 0.5 0.25 3\n")), {{1, 0.5, 0.25, 3}});
    ExpectKeys(ReadTrackFile(dir.Write("a.dat", "frame,x,y\n1,0.5,0.25\n")), {{1, 0.5, 0.25, 0}});
    // The extension wins over the content, and an explicit format over both.
    EXPECT_THROW(ReadTrackFile(dir.Write("b.txt", "frame,x,y\n1,0.5,0.25\n")), Error);
    ExpectKeys(ReadTrackFile(dir.Path("b.txt"), TrackFormat::Csv), {{1, 0.5, 0.25, 0}});
    const Track track = ReadTrackFile(dir.Path("a.txt"));
    EXPECT_EQ(track.Path, dir.Path("a.txt"));
}

TEST(TrackFile, ReadTrackFileRefusesWhatIsNotAFile)
{
    TempDir dir;
    struct Case {
        std::string Path;
        const char* Words;
    } cases[] = {
        {dir.Path("missing.csv"), "cannot open"},
        {dir.Path(""), "is a directory"},
        {dir.Write("empty.csv", ""), "empty"},
        {dir.Write("bin.csv", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)), "not a text file"},
        {dir.Write("huge.csv", "frame,x,y\n"), "larger than 256 MiB"},
    };
    // Sparse, so the test costs no disk; refused before anything is read.
    std::filesystem::resize_file(cases[4].Path, std::uintmax_t(257) << 20);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Path);
        try {
            ReadTrackFile(c.Path);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.Where().File, c.Path);
            EXPECT_EQ(std::string(e.what()).rfind(c.Path + ": ", 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.Words), std::string::npos) << e.what();
        }
    }
}

TEST(TrackFile, AllFormatsReadTheSameTrack)
{
    const Track csv = ParseTrack("frame,x,y,angle\n4,0.1,0.2,0.3\n5,1e-3,-0.5,360\n", "a", TrackFormat::Csv);
    const Track json = ParseTrack("{\"frames\":[{\"frame\":4,\"x\":0.1,\"y\":0.2,\"angle\":0.3},"
                                  "{\"frame\":5,\"x\":1e-3,\"y\":-0.5,\"angle\":360}]}",
                                  "a", TrackFormat::Json);
    const Track text = ParseTrack("4 0.1 0.2 0.3\n5 1e-3 -0.5 360\n", "a", TrackFormat::Text);
    for (const Track* t : {&json, &text}) {
        ASSERT_EQ(t->Keys.size(), csv.Keys.size());
        EXPECT_EQ(t->HasAngle, csv.HasAngle);
        for (size_t i = 0; i < csv.Keys.size(); ++i) {
            EXPECT_EQ(t->Keys[i].Frame, csv.Keys[i].Frame);
            EXPECT_EQ(t->Keys[i].X, csv.Keys[i].X);   // bit-exact: both round the same decimal text
            EXPECT_EQ(t->Keys[i].Y, csv.Keys[i].Y);
            EXPECT_EQ(t->Keys[i].Angle, csv.Keys[i].Angle);
        }
    }
}

// ----------------------------------------------------------------- locale

const char* kLocaleCsv = "frame,x,y,angle\n1,0.5,0.25,1.75\n2,1e-1,2.5e0,-0.125\n";
const char* kLocaleJson = "{\"frames\": [{\"frame\": 1, \"x\": 0.5, \"y\": 0.25, \"angle\": 1.75},"
                          "{\"frame\": 2, \"x\": 1e-1, \"y\": 2.5e0, \"angle\": -0.125}]}";
const std::vector<Expected> kLocaleKeys = {{1, 0.5, 0.25, 1.75}, {2, 0.1, 2.5, -0.125}};

void ExpectLocaleIndependent()
{
    ExpectKeys(ParseTrack(kLocaleCsv, "l.csv", TrackFormat::Csv), kLocaleKeys);
    ExpectKeys(ParseTrack(kLocaleJson, "l.json", TrackFormat::Json), kLocaleKeys);
    ExpectKeys(ParseTrack("1 0.5 0.25 1.75\n2 1e-1 2.5e0 -0.125\n", "l.txt", TrackFormat::Text), kLocaleKeys);
    EXPECT_THROW(ParseTrack("1 0,5 0,25\n", "l.txt", TrackFormat::Text), Error);
}

TEST(TrackFile, NumbersIgnoreTheCLocale)
{
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed on this machine";
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    ExpectLocaleIndependent();
    std::setlocale(LC_ALL, saved.c_str());
}

// A C++ global locale with a decimal comma catches any parsing through
// streams, and needs no installed locale.
TEST(TrackFile, NumbersIgnoreTheGlobalCppLocale)
{
    struct CommaPoint : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    const std::locale saved = std::locale::global(std::locale(std::locale::classic(), new CommaPoint));
    ExpectLocaleIndependent();
    std::locale::global(saved);
}

// ------------------------------------------------------------- conversion

TEST(TrackFile, ConvertTrackToTheHostConvention)
{
    struct Case {
        const char* Name;
        TrackUnits Units;
        TrackOrigin Origin;
        Expected Result;
    } cases[] = {
        {"normalized bottom-left is kept", TrackUnits::Normalized, TrackOrigin::BottomLeft, {7, 480, 135, 30}},
        {"pixels divide by the frame size", TrackUnits::Pixels, TrackOrigin::BottomLeft, {7, 0.5, 0.25, 30}},
        {"top-left flips y and the angle", TrackUnits::Normalized, TrackOrigin::TopLeft, {7, 480, -134, -30}},
        {"pixels from the top-left", TrackUnits::Pixels, TrackOrigin::TopLeft, {7, 0.5, 0.75, -30}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Track track = ParseTrack("7 480 135 30\n", "c.txt", TrackFormat::Text);
        ConvertTrack(track, c.Units, c.Origin, 960, 540);
        ExpectKeys(track, {c.Result});
        EXPECT_EQ(track.Keys[0].Line, 1);
    }

    // No angle in the file stays a plain zero, not -0.
    Track flat = ParseTrack("1 0 0\n", "c.txt", TrackFormat::Text);
    ConvertTrack(flat, TrackUnits::Normalized, TrackOrigin::TopLeft, 1, 1);
    EXPECT_FALSE(std::signbit(flat.Keys[0].Angle));
    EXPECT_EQ(flat.Keys[0].Y, 1.0);
}

TEST(TrackFile, ConvertPixelsNeedsAFrameSize)
{
    Track track = ParseTrack("1 10 10\n", "p.txt", TrackFormat::Text);
    for (auto [w, h] : {std::pair{0, 540}, std::pair{960, 0}, std::pair{-1, -1}}) {
        EXPECT_THROW(ConvertTrack(track, TrackUnits::Pixels, TrackOrigin::BottomLeft, w, h), Error);
        EXPECT_EQ(track.Keys[0].X, 10.0);
    }
    ConvertTrack(track, TrackUnits::Normalized, TrackOrigin::BottomLeft, 0, 0);   // size unused
    EXPECT_EQ(track.Keys[0].X, 10.0);
}

}  // namespace
