// Frame patterns, frame lists and byte counts of the command-line host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Error.h"
#include "Text.h"
#include "Sequence.h"

using namespace tessellon;
namespace fs = std::filesystem;

namespace {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "tessellon-sequence-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() { fs::remove_all(path_); }
    const fs::path& Path() const { return path_; }
    void Touch(const std::string& name) const { std::ofstream(path_ / name) << "x"; }

private:
    fs::path path_;
};

TEST(Sequence, PatternsNameFrameFiles) {
    struct Case {
        const char* Pattern;
        int Frame;
        const char* Path;
    };
    const Case cases[] = {
        {"shot/f.#.exr", 7, "shot/f.0007.exr"},
        {"f.#.exr", -3, "f.-003.exr"},
        {"f.@.exr", 7, "f.7.exr"},
        {"f.@@@.exr", 7, "f.007.exr"},
        {"f.@.exr", 1234, "f.1234.exr"},
        {"a/b/f_%04d.tif", 42, "a/b/f_0042.tif"},
        {"f.%04d.exr", -2, "f.-002.exr"},
        {"f.%d.png", 12, "f.12.png"},
        {"f.%d.png", -12, "f.-12.png"},
        {"f.%3d.png", 5, "f.  5.png"},
        {"100%%_f.%02d.png", 5, "100%_f.05.png"},
    };
    for (const Case& c : cases) {
        const FrameSequence sequence = ParseFramePattern(c.Pattern);
        EXPECT_EQ(FramePath(sequence, c.Frame), c.Path) << c.Pattern;
        int frame = 0;
        EXPECT_TRUE(MatchFrame(sequence, fs::path(c.Path).filename().string(), frame)) << c.Pattern;
        EXPECT_EQ(frame, c.Frame) << c.Pattern;
    }
}

TEST(Sequence, PatternRangesListFrames) {
    const FrameSequence sequence = ParseFramePattern("f.3-6#.exr");
    EXPECT_EQ(sequence.Listed, (std::vector<int>{3, 4, 5, 6}));
    EXPECT_EQ(FramePath(sequence, 3), "f.0003.exr");
    EXPECT_TRUE(ParseFramePattern("f.#.exr").Listed.empty());
}

TEST(Sequence, BadPatternsAreBadInput) {
    struct Case {
        const char* Pattern;
        const char* Words;
    };
    const Case cases[] = {
        {"", "empty"},
        {"frame.exr", "no frame number"},
        {"f.%s.exr", "%04d"},
        {"f.%04d.%04d.exr", "more than one"},
        {"take%02d/f.exr", "file name"},
    };
    for (const Case& c : cases) {
        try {
            ParseFramePattern(c.Pattern);
            ADD_FAILURE() << c.Pattern << " was accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.Kind(), ErrorKind::BadInput) << c.Pattern;
            EXPECT_NE(std::string(e.what()).find(c.Words), std::string::npos) << c.Pattern << ": " << e.what();
        }
    }
}

TEST(Sequence, NamesThatOnlyLookLikeFramesDoNotMatch) {
    const FrameSequence sequence = ParseFramePattern("f.%04d.exr");
    int frame = 0;
    for (const char* name : {"f.7.exr", "f.00007.exr", "f.+007.exr", "f.0007.exr.bak", "g.0007.exr", "f..exr",
                             "f.00x7.exr", "f.99999999999.exr"})
        EXPECT_FALSE(MatchFrame(sequence, name, frame)) << name;
}

TEST(Sequence, FindFramesListsWhatExistsIncludingNegativeFrames) {
    TempFolder folder;
    for (const char* name : {"f.-002.exr", "f.-001.exr", "f.0000.exr", "f.0003.exr", "f.7.exr", "f.0004.exr.bak",
                             "other.0001.exr"})
        folder.Touch(name);
    // Something that is not a file still names a frame: reading it is what fails.
    fs::create_directory(folder.Path() / "f.0005.exr");
    const FrameSequence sequence = ParseFramePattern((folder.Path() / "f.%04d.exr").string());
    EXPECT_EQ(FindFrames(sequence), (std::vector<int>{-2, -1, 0, 3, 5}));
    EXPECT_TRUE(FindFrames(ParseFramePattern((folder.Path() / "none/f.#.exr").string())).empty());
}

TEST(Sequence, FrameListsReadAsRanges) {
    struct Case {
        std::vector<int> Frames;
        const char* Text;
    };
    const Case cases[] = {
        {{}, ""},
        {{5}, "5"},
        {{1, 2, 3, 7, 9, 10}, "1-3, 7, 9-10"},
        {{-3, -2, -1, 0, 1}, "-3 to 1"},
        {{-5, -3}, "-5, -3"},
        {{2147483646, 2147483647}, "2147483646-2147483647"},
    };
    for (const Case& c : cases) EXPECT_EQ(FrameListText(c.Frames), c.Text);
}

TEST(Messages, ByteCounts) {
    struct Case {
        const char* Text;
        uint64_t Bytes;
    };
    const Case good[] = {
        {"1024", 1024},
        {"1K", 1024},
        {"1.5K", 1536},
        {"512M", uint64_t(512) << 20},
        {"4G", uint64_t(4) << 30},
        {"4GiB", uint64_t(4) << 30},
        {"8gb", uint64_t(8) << 30},
        {"2T", uint64_t(2) << 40},
    };
    for (const Case& c : good) EXPECT_EQ(ParseByteCount(c.Text), c.Bytes) << c.Text;
    for (const char* text : {"", "G", "-1", "0", "0.2", "1.2.3", "1Q", "4 G", "1e9", "99999999999T"})
        EXPECT_THROW(ParseByteCount(text), std::invalid_argument) << text;
}

// The ranges and marks OpenImageIO's tools understand, worked out here so
// that every build has them.
TEST(Sequence, PatternRangesAsOpenImageIOReadsThem) {
    struct Case {
        const char* Pattern;
        std::vector<int> Listed;
        const char* Name;   // of frame 7
    };
    const Case cases[] = {
        {"f.1-10x3#.exr", {1, 4, 7, 10}, "f.0007.exr"},
        {"f.1-10y3#.exr", {2, 3, 5, 6, 8, 9}, "f.0007.exr"},
        {"f.10-1x-3#.exr", {1, 4, 7, 10}, "f.0007.exr"},
        {"f.1-10x-2#.exr", {2, 4, 6, 8, 10}, "f.0007.exr"},
        {"f.10-1y3#.exr", {2, 3, 5, 6, 8, 9}, "f.0007.exr"},
        {"f.1-5x0#.exr", {1, 2, 3, 4, 5}, "f.0007.exr"},
        {"f.1-3,7,9-10,2#.exr", {1, 2, 3, 7, 9, 10}, "f.0007.exr"},
        {"f.0-2@@.exr", {0, 1, 2}, "f.07.exr"},
        {"f.3-5%03d.exr", {3, 4, 5}, "f.007.exr"},
        {"shot12#.exr", {12}, "shot0007.exr"},
        {"f.#@.exr", {}, "f.00007.exr"},
        {"f.##.exr", {}, "f.00000007.exr"},
        {"a1-3#b#.exr", {1, 2, 3}, "a0007b#.exr"},
        {"take2/f.-3-5#.exr", {3, 4, 5}, "take2/f.-0007.exr"},
    };
    for (const Case& c : cases) {
        const FrameSequence sequence = ParseFramePattern(c.Pattern);
        EXPECT_EQ(sequence.Listed, c.Listed) << c.Pattern;
        EXPECT_EQ(FramePath(sequence, 7), c.Name) << c.Pattern;
    }
    for (const char* pattern : {"f.1-1y1#.exr", "f.2147483648#.exr", "f.1-2000000#.exr"}) {
        try {
            ParseFramePattern(pattern);
            ADD_FAILURE() << pattern << " accepted";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(pattern), std::string::npos) << e.what();
        }
    }
}

}  // namespace
