// The tracker-export importers: hand-written exports key by key, the
// choice of format by content, the picking of one tracker, and refusals
// that name the place.
#include "TrackFile.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

using namespace tessellon;

namespace {

struct Expected {
    int Frame;
    double X, Y, Angle;
};

std::string Sample(const std::string& name) { return std::string(TESSELLON_TRACK_DATA) + "/" + name; }

TrackReadOptions Named(const std::string& name, TrackFormat format = TrackFormat::Auto)
{
    TrackReadOptions options;
    options.Format = format;
    options.Name = name;
    return options;
}

void ExpectKeys(const Track& track, const std::vector<Expected>& expected)
{
    ASSERT_EQ(track.Keys.size(), expected.size()) << track.Path;
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("key " + std::to_string(i));
        EXPECT_EQ(track.Keys[i].Frame, expected[i].Frame);
        EXPECT_EQ(track.Keys[i].X, expected[i].X);
        EXPECT_EQ(track.Keys[i].Y, expected[i].Y);
        EXPECT_EQ(track.Keys[i].Angle, expected[i].Angle);
    }
}

struct SampleCase {
    const char* File;
    std::string Name;
    std::string FormatName;
    TrackUnits Units;
    TrackOrigin Origin;
    bool HasAngle;
    std::vector<Expected> Keys;
};

TEST(TrackImport, SamplesReadKeyByKey)
{
    using U = TrackUnits;
    using O = TrackOrigin;
    const SampleCase cases[] = {
        {"ae_keyframes.txt", "Tracker #1/Track Point #1", "After Effects keyframe data", U::Pixels, O::TopLeft, false,
         {{0, 960.5, 540.25, 0}, {1, 962, 541.5, 0}, {2, 964.75, 543, 0}}},
        {"ae_keyframes.txt", "Transform", "After Effects keyframe data", U::Pixels, O::TopLeft, true,
         {{0, 100, 200, 0}, {1, 110.5, 198, 1.5}, {2, 121, 196.25, -2.25}}},
        {"shot.chan", "", "channel file", U::Pixels, O::BottomLeft, true,
         {{1, 12.5, -4, 0}, {2, 13.25, -3.5, 0.5}, {3, 14, -3, 1.25}, {4, 15.5, -2, -0.75}}},
        {"curve_ascii.txt", "", "ASCII curve export", U::Pixels, O::BottomLeft, true,
         {{1, 512.25, 288.5, 0}, {2, 514, 289.75, 0.5}, {3, 515.5, 291, 1}, {4, 517.25, 292.5, 1.5}}},
        {"points_3de.txt", "corner_right", "3DEqualizer 2D points", U::Pixels, O::BottomLeft, false,
         {{1, 1510, 830.25, 0}, {2, 1512.5, 829, 0}, {3, 1515, 828.5, 0}}},
        {"tracks.2dt", "Tracker1", "PFTrack 2D tracks", U::Pixels, O::BottomLeft, false,
         {{1, 356.25, 150.5, 0}, {2, 355.75, 148.125, 0}, {3, 355.5, 146.625, 0}}},
        {"paths_syntheyes.txt", "Tracker1", "SynthEyes 2D tracker paths", U::Normalized, O::TopLeft, false,
         {{1, 0.75, 0.375, 0}, {2, 0.75625, 0.38125, 0}, {3, 0.7625, 0.3875, 0}}},
        {"shake_tracks.txt", "track2", "Shake tracker text", U::Pixels, O::BottomLeft, false,
         {{1, 300.5, 200.25, 0}, {2, 301, 201, 0}}},
    };
    for (const SampleCase& c : cases) {
        SCOPED_TRACE(std::string(c.File) + " " + c.Name);
        const Track track = ReadTrackFile(Sample(c.File), Named(c.Name));
        EXPECT_EQ(track.FormatName, c.FormatName);
        EXPECT_EQ(track.Name, c.Name);
        EXPECT_EQ(track.Units, c.Units);
        EXPECT_EQ(track.Origin, c.Origin);
        EXPECT_EQ(track.Kind, TrackKind::Feature);
        EXPECT_EQ(track.HasAngle, c.HasAngle);
        ExpectKeys(track, c.Keys);
    }
    const Track ae = ReadTrackFile(Sample("ae_keyframes.txt"), Named("Transform"));
    EXPECT_EQ(ae.SourceWidth, 1920);
    EXPECT_EQ(ae.SourceHeight, 1080);
    EXPECT_EQ(ae.PixelAspect, 1.0);
}

TEST(TrackImport, CsvWithSeveralTracksRotationAndUnknownColumns)
{
    const Track car = ReadTrackFile(Sample("tracks.csv"), Named("car"));
    ExpectKeys(car, {{1, 0.25, 0.5, 0}, {2, 0.26, 0.505, 1.5}, {3, 0.27, 0.51, 3}});
    EXPECT_TRUE(car.HasAngle);
    EXPECT_EQ(car.Kind, TrackKind::Camera);
    EXPECT_FALSE(car.Units.has_value());
    EXPECT_EQ(car.Ignored, std::vector<std::string>{"quality"});

    TrackReadOptions mapped;
    mapped.Columns = "frame=f, x=cx,y=CY,angle=rot";
    ExpectKeys(ParseTrack("f\tcx\tcy\trot\tx\n3\t1\t2\t45\t9\n", "m.tsv", mapped), {{3, 1, 2, 45}});
    // A label on every row names no tracks.
    const Track labelled = ParseTrack("name,frame,x,y\nA,1,0,0\nB,2,1,1\n", "l.csv", TrackReadOptions{});
    EXPECT_EQ(labelled.Keys.size(), 2u);
    EXPECT_EQ(labelled.Ignored, std::vector<std::string>{"name"});
    const Track json = ParseTrack("{\"frames\": [{\"frame\": 1, \"x\": 0, \"y\": 0, \"Rotation\": 5, \"conf\": 1, "
                                  "\"confidence\": 1}]}",
                                  "j.json", TrackReadOptions{});
    EXPECT_EQ(json.Keys[0].Angle, 5.0);
    EXPECT_EQ(json.Ignored, std::vector<std::string>{"conf"});
    EXPECT_THROW(ParseTrack("frame,x,y\n1,0,0\n", "c.csv", [] {
        TrackReadOptions o;
        o.Columns = "depth=z";
        return o;
    }()), Error);
}

// --columns maps a JSON track's keys as it maps CSV columns; a mapped name
// that is not there is refused, naming the file, the place and the name.
TEST(TrackImport, ColumnsMapJsonKeysAsCsvColumns)
{
    TrackReadOptions mapped;
    mapped.Columns = "frame=f,x=cx,y=cy,angle=rot";
    const Track json = ParseTrack("{\"frames\": [{\"f\": 3, \"CX\": 1, \"cy\": 2, \"rot\": 45, \"x\": 9}]}", "m.json", mapped);
    ExpectKeys(json, {{3, 1, 2, 45}});
    EXPECT_EQ(json.Ignored, std::vector<std::string>{"x"});   // the mapped keys are not ignored

    struct Missing {
        const char* Path;
        const char* Text;
        int Line;
        const char* Name;
    } cases[] = {
        {"m.json", "{\"frames\": [\n{\"f\": 1, \"cx\": 0, \"cy\": 0, \"rot\": 0},\n{\"f\": 2, \"cx\": 0, \"y\": 0, \"rot\": 0}]}", 3,
         "'cy'"},
        {"m.json", "{\"frames\": [{\"f\": 1, \"cx\": 0, \"cy\": 0, \"angle\": 0}]}", 0, "'rot'"},
        {"m.csv", "f,cx,cy,angle\n1,0,0,0\n", 1, "'rot'"},
    };
    for (const Missing& c : cases) {
        SCOPED_TRACE(c.Text);
        try {
            ParseTrack(c.Text, c.Path, mapped);
            ADD_FAILURE() << "accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.Where().File, c.Path);
            EXPECT_EQ(e.Where().Line, c.Line);
            EXPECT_NE(std::string(e.what()).find(c.Name), std::string::npos) << e.what();
        }
    }
}

TEST(TrackImport, AutoTellsTheFormatByContent)
{
    struct Case {
        const char* Text;
        const char* FormatName;
    } cases[] = {
        {"1 0.5 0.25\n2 0.5 0.25\n", "text track"},
        {"1 0.5 0.25 3\n", "text track"},
        {"0.5 0.25 3\n1 0.5 2\n", "ASCII curve export"},   // a first field that is no frame number
        {"0.5 0.25\n", "ASCII curve export"},
        {"1 0 0 0 0 0 0\n", "channel file"},
        {"1,0.5,0.25\n", "CSV track"},
        {"frame\tx\ty\n1\t0.5\t0.25\n", "tab-separated track"},
        {"t 1 0 0\n", "SynthEyes 2D tracker paths"},
        {"TrackName a\nFrame X Y Correlation\n1 0 0 1\n", "Shake tracker text"},
        {"1\np\n0\n1\n1 0 0\n", "3DEqualizer 2D points"},
        {"# c\n\"p\"\n1\n1 0 0 0\n", "PFTrack 2D tracks"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(ParseTrack(c.Text, "noext", TrackReadOptions{}).FormatName, c.FormatName);
    }
    TrackReadOptions from;
    from.Format = TrackFormat::NukeAscii;
    from.FirstFrame = -2;
    ExpectKeys(ParseTrack("4 5\n6 7\n", "a", from), {{-2, 4, 5, 0}, {-1, 6, 7, 0}});
}

TEST(TrackImport, FormatNames)
{
    EXPECT_EQ(TrackFormatNamed("AE"), TrackFormat::AfterEffects);
    EXPECT_EQ(TrackFormatNamed("3de"), TrackFormat::Equalizer);
    EXPECT_EQ(TrackFormatNamed("nuke-ascii"), TrackFormat::NukeAscii);
    try {
        TrackFormatNamed("boujou");
        FAIL() << "accepted";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find(TrackFormatNames()), std::string::npos) << e.what();
    }
}

// ------------------------------------------------------------- bad inputs

struct BadCase {
    const char* Name;
    TrackFormat Format;
    std::string Text;
    std::string TrackName;
    int Line, Column;
    std::vector<std::string> Words;
};

const std::string kAeHead = "Adobe After Effects 8.0 Keyframe Data\n\n\tUnits Per Second\t24\n\tSource Width\t100\n"
                            "\tSource Height\t50\n\n";
const std::string kAeTrack = "Motion Trackers\tTracker #1\tTrack Point #1\tFeature Center\n\tFrame\tX pixels\tY pixels\n";

std::vector<BadCase> BadCases()
{
    using F = TrackFormat;
    return {
        {"ae no header line", F::AfterEffects, "Units Per Second\t24\n", "", 1, 0, {"Adobe After Effects 8.0 Keyframe Data"}},
        {"ae no width", F::Auto, "Adobe After Effects 8.0 Keyframe Data\n\tUnits Per Second\t24\n\tSource Height\t5\n" + kAeTrack + "\t0\t1\t2\nEnd of Keyframe Data\n", "", 1, 0, {"no 'Source Width'"}},
        {"ae no rate", F::Auto, "Adobe After Effects 8.0 Keyframe Data\n\tSource Width\t9\n\tSource Height\t5\nEnd of Keyframe Data\n", "", 1, 0, {"no 'Units Per Second'"}},
        {"ae bad width", F::Auto, "Adobe After Effects 8.0 Keyframe Data\n\tSource Width\t9.5\n", "", 2, 15, {"not a whole number"}},
        {"ae cut short", F::Auto, kAeHead + kAeTrack + "\t0\t1\t2\n", "", 0, 0, {"'End of Keyframe Data'", "cut short"}},
        {"ae non-numeric", F::Auto, kAeHead + kAeTrack + "\t0\t1\tabc\nEnd of Keyframe Data\n", "", 9, 6, {"'Y pixels' is not a number"}},
        {"ae percent columns", F::Auto, kAeHead + "Transform\tPosition\n\tFrame\tX percent\tY percent\n", "", 8, 0, {"'X pixels'"}},
        {"ae tracker not there", F::Auto, kAeHead + kAeTrack + "\t0\t1\t2\nEnd of Keyframe Data\n", "Tracker #2", 0, 0, {"no tracker named 'Tracker #2'", "'Tracker #1/Track Point #1'"}},
        {"ae rotation without position", F::Auto, kAeHead + "Transform\tPosition\n\tFrame\tX pixels\tY pixels\n\t0\t1\t2\nTransform\tRotation\n\tFrame\tdegrees\n\t0\t1\n\t1\t2\nEnd of Keyframe Data\n", "", 13, 0, {"frame 1 has a rotation but no position"}},
        {"ae nothing", F::Auto, kAeHead + "End of Keyframe Data\n", "", 0, 0, {"no position"}},
        {"chan 6 fields", F::Chan, "1 0 0 0 0 0\n", "", 1, 0, {"6 fields", "frame tx ty tz rx ry rz"}},
        {"chan bad rz", F::Auto, "1 0 0 0 0 0 x\n", "", 1, 13, {"'rz' is not a number"}},
        {"nuke ascii mixed", F::NukeAscii, "1 2\n3 4 5\n", "", 2, 0, {"3 fields, but line 1 has 2"}},
        {"nuke ascii comma", F::NukeAscii, "1,5 2\n", "", 1, 1, {"'x' is not a number"}},
        {"3de truncated", F::Equalizer, "1\np\n0\n3\n1 0 0\n2 0 0\n", "", 0, 0, {"ends inside the tracker 'p'", "3 keys announced, 2 found"}},
        {"3de fewer points", F::Equalizer, "2\np\n0\n1\n1 0 0\n", "", 0, 0, {"after 1 of the 2 points"}},
        {"3de bad count", F::Equalizer, "1\np\n0\nx\n", "", 4, 1, {"'the number of frames of point 'p'' is not a number"}},
        {"3de several", F::Equalizer, "2\np\n0\n1\n1 0 0\nq\n0\n1\n1 0 0\n", "", 0, 0, {"2 points ('p', 'q')", "--track-name"}},
        {"pftrack unquoted", F::PfTrack, "Tracker1\n1\n", "", 1, 0, {"in double quotes"}},
        {"pftrack junk", F::PfTrack, "\"a\"\n2\n1 5 6 0\n2 5 z 0\n", "", 4, 5, {"'y' is not a number"}},
        {"pftrack truncated", F::PfTrack, "\"a\"\n1\n3\n1 5 6 0\n", "", 0, 0, {"3 keys announced, 1 found"}},
        {"pftrack missing", F::PfTrack, "\"a\"\n1\n1 5 6 0\n", "b", 0, 0, {"no tracker named 'b'"}},
        {"syntheyes fields", F::SynthEyes, "t 1 0\n", "", 1, 0, {"3 fields", "name frame u v"}},
        {"syntheyes bad v", F::SynthEyes, "t 1 0 q\n", "", 1, 7, {"'v' is not a number"}},
        {"syntheyes duplicate", F::SynthEyes, "t 1 0 0\nt 1 0 0\n", "", 2, 0, {"frame 1 appears twice"}},
        {"shake before name", F::Shake, "1 0 0 1\n", "", 1, 0, {"before the first 'TrackName'"}},
        {"shake fractional frame", F::Shake, "TrackName a\nFrame X Y Correlation\n1.5 0 0 1\n", "", 3, 1, {"not a whole number"}},
        {"shake empty tracker", F::Shake, "TrackName a\nFrame X Y Correlation\n", "a", 1, 0, {"'a' has no keys"}},
        {"csv track not there", F::Csv, "track_id,frame,x,y\na,1,0,0\nb,1,0,0\na,2,0,0\n", "c", 0, 0, {"no track named 'c'", "'a', 'b'"}},
    };
}

TEST(TrackImport, BadInputsNameFileLineAndColumn)
{
    for (const BadCase& c : BadCases()) {
        SCOPED_TRACE(c.Name);
        try {
            const Track t = ParseTrack(c.Text, "in.trk", Named(c.TrackName, c.Format));
            ADD_FAILURE() << "accepted as " << t.FormatName;
        } catch (const Error& e) {
            const std::string what = e.what();
            EXPECT_EQ(e.Where().File, "in.trk");
            EXPECT_EQ(e.Where().Line, c.Line) << what;
            EXPECT_EQ(e.Where().Column, c.Column) << what;
            for (const std::string& word : c.Words)
                EXPECT_NE(what.find(word), std::string::npos) << "'" << word << "' not in: " << what;
        }
    }
}

TEST(TrackImport, SamplesIgnoreTheCLocale)
{
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed on this machine";
    ExpectKeys(ReadTrackFile(Sample("shot.chan")), {{1, 12.5, -4, 0}, {2, 13.25, -3.5, 0.5}, {3, 14, -3, 1.25}, {4, 15.5, -2, -0.75}});
    EXPECT_EQ(ReadTrackFile(Sample("tracks.2dt"), Named("Tracker2")).Keys[1].X, 702.25);
    std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
