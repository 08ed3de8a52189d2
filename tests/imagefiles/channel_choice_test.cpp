// Channels chosen by name: what becomes colour and alpha, what is left
// unread, and what is refused.
#include "ChannelChoice.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

using namespace tessellon;

namespace {

constexpr int One = SourceOne, Zero = SourceZero;

struct Case {
    const char* what;
    ChannelSet file;
    ImageReadChoice choice;
    std::array<int, 4> source;          // when chosen
    std::vector<std::string> unread;    // when chosen
    std::vector<std::string> words;     // non-empty: refused with these in the message
};

ChannelSet Set(std::vector<std::string> names, int alpha = -1, std::vector<std::string> views = {}) {
    return ChannelSet{std::move(names), alpha, std::move(views)};
}

ImageReadChoice Layer(const char* layer) {
    ImageReadChoice choice;
    choice.Layer = layer;
    return choice;
}

ImageReadChoice View(const char* view, const char* layer = "") {
    ImageReadChoice choice = Layer(layer);
    choice.View = view;
    return choice;
}

TEST(ChannelChoice, ChannelsAreChosenByName) {
    const std::vector<std::string> stereo = {"left", "right"};
    const Case cases[] = {
        // What the image library names channels of files without names.
        {"grey", Set({"Y"}), {}, {0, 0, 0, One}, {}, {}},
        {"grey and alpha", Set({"Y", "A"}, 1), {}, {0, 0, 0, 1}, {}, {}},
        {"rgb", Set({"R", "G", "B"}), {}, {0, 1, 2, One}, {}, {}},
        {"rgba", Set({"R", "G", "B", "A"}, 3), {}, {0, 1, 2, 3}, {}, {}},
        {"more than four", Set({"R", "G", "B", "A", "channel4"}, 3), {}, {0, 1, 2, 3}, {"channel 'channel4'"}, {}},
        // Names in any order and case; upper case first where both are there.
        {"stored order", Set({"A", "B", "G", "R"}, 0), {}, {3, 2, 1, 0}, {}, {}},
        {"lower case", Set({"b", "g", "r", "a"}), {}, {2, 1, 0, 3}, {}, {}},
        {"both cases", Set({"r", "R", "G", "B"}), {}, {1, 2, 3, One}, {"channel 'r'"}, {}},
        // A fourth or second channel that is not alpha is not read as alpha.
        {"red and green", Set({"R", "G"}), {}, {0, 1, Zero, One}, {}, {}},
        {"rgb and depth", Set({"R", "G", "B", "Z"}), {}, {0, 1, 2, One}, {"channel 'Z'"}, {}},
        {"rgb and a layer", Set({"B", "G", "R", "diffuse.A", "diffuse.B", "diffuse.G", "diffuse.R"}, 3),
         {}, {2, 1, 0, One}, {"layer 'diffuse'"}, {}},
        {"alpha the file names", Set({"R", "G", "B", "mask"}, 3), {}, {0, 1, 2, 3}, {}, {}},
        {"alpha named on a colour channel", Set({"R", "G", "B"}, 2), {}, {0, 1, 2, One}, {}, {}},
        // Layers.
        {"a layer", Set({"R", "G", "B", "diffuse.R", "diffuse.G", "diffuse.B", "diffuse.A"}, 6),
         Layer("diffuse"), {3, 4, 5, 6}, {"channel 'R'", "channel 'G'", "channel 'B'"}, {}},
        {"a nested layer", Set({"a.b.R", "a.b.G", "a.b.B", "a.R", "a.G", "a.B"}), Layer("a.b"), {0, 1, 2, One},
         {"layer 'a'"}, {}},
        {"a grey layer", Set({"R", "G", "B", "depth.Y"}), Layer("depth"), {3, 3, 3, One}, {"channel 'R'",
         "channel 'G'", "channel 'B'"}, {}},
        // Views: the default one is unprefixed or prefixed by its name.
        {"default view", Set({"Y", "right.Y"}, -1, stereo), {}, {0, 0, 0, One}, {"view 'right'"}, {}},
        {"default view prefixed", Set({"B", "G", "R", "left.B", "left.G", "left.R"}, -1, {"right", "left"}),
         {}, {2, 1, 0, One}, {"view 'left'"}, {}},
        {"other view", Set({"A", "B", "G", "R", "right.A", "right.B", "right.G", "right.R"}, 0, stereo),
         View("right"), {7, 6, 5, 4}, {"view 'left'"}, {}},
        {"view named outright", Set({"left.R", "left.G", "left.B", "right.R", "right.G", "right.B"}, -1, stereo),
         {}, {0, 1, 2, One}, {"view 'right'"}, {}},
        {"layer of a view", Set({"R", "G", "B", "diffuse.R", "diffuse.G", "diffuse.B", "diffuse.right.R",
                              "diffuse.right.G", "diffuse.right.B"}, -1, stereo),
         View("right", "diffuse"), {6, 7, 8, One}, {"view 'left'"}, {}},
        {"a view's alpha stays in its view", Set({"R", "G", "B", "right.R", "right.G", "right.B", "right.A"}, 6,
                                              stereo), {}, {0, 1, 2, One}, {"view 'right'"}, {}},
        // Refusals name what the file has.
        {"no colour", Set({"Z"}), {}, {}, {}, {"no colour channels", "its channels: Z"}},
        {"blue alone", Set({"B", "A"}, 1), {}, {}, {}, {"no colour channels", "B, A"}},
        {"layer without colour", Set({"R", "G", "B", "depth.Z"}), Layer("depth"), {}, {},
         {"no colour channels", "layer 'depth'", "R, G, B, depth.Z"}},
        {"no such layer", Set({"R", "G", "B", "diffuse.R", "spec.R"}), Layer("beauty"), {}, {},
         {"no layer 'beauty'", "diffuse, spec"}},
        {"no layers at all", Set({"R", "G", "B"}), Layer("beauty"), {}, {}, {"no layer 'beauty'", "none"}},
        {"no such view", Set({"R", "G", "B"}, -1, stereo), View("centre"), {}, {}, {"no view 'centre'", "left, right"}},
        {"no views at all", Set({"R", "G", "B", "right.R"}), View("right"), {}, {}, {"not a multi-view file"}},
        {"long lists are cut", Set({"c0", "c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8", "c9", "c10", "c11", "c12",
                                 "c13"}), {}, {}, {}, {"c11 and 2 more"}},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.what);
        const ChosenChannels chosen = ChooseChannels(cs.file, cs.choice);
        if (cs.words.empty()) {
            ASSERT_TRUE(chosen.Chosen()) << chosen.Error;
            EXPECT_EQ(chosen.Source, cs.source);
            EXPECT_EQ(chosen.Unread, cs.unread);
            continue;
        }
        EXPECT_FALSE(chosen.Chosen());
        for (const std::string& word : cs.words)
            EXPECT_NE(chosen.Error.find(word), std::string::npos) << chosen.Error;
    }
}

}  // namespace
