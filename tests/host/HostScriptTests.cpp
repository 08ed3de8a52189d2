// Identifiers and tag lists.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "HostSystem.h"

// A value of the wrong kind for a tag does not compile.
template <uint32_t T, class V>
concept TagAccepts = requires(V v) { Tag<T>(v); };

static_assert(!TagAccepts<0x20030000, int>, "an int for a double tag must be rejected");
static_assert(TagAccepts<0x20030000, double>);
static_assert(!TagAccepts<0x10020000, double>, "a double for an int tag must be rejected");
static_assert(TagAccepts<0x10020000, int>);
static_assert(!TagAccepts<0x60020000, const char*>, "a text for a pointer tag must be rejected");
static_assert(!TagAccepts<0x30000002, int>);
static_assert(TagAccepts<0x30000002, const char*>);
static_assert(!TagAccepts<0x88020000, uint32_t>, "an identifier goes by HostID, not by number");
static_assert(TagAccepts<0x88020000, HostID>);
// The literal forms: Tag<0x20030000>(1) is ill-formed, Tag<0x20030000>(1.0) is fine.
template <auto V>
concept DoubleTagTakesLiteral = requires { Tag<0x20030000>(V); };
static_assert(!DoubleTagTakesLiteral<1> && DoubleTagTakesLiteral<1.0>);

TEST(HostID, InternsTexts) {
    const HostID a("Tessellon.Test.Alpha", true);
    const HostID again("Tessellon.Test.Alpha", true);
    const HostID lookedUp("Tessellon.Test.Alpha", false);
    const HostID b("Tessellon.Test.Beta", true);
    EXPECT_FALSE(a.IsEmpty());
    EXPECT_EQ(a, again);
    EXPECT_EQ(a, lookedUp);
    EXPECT_NE(a, b);
    EXPECT_STREQ(a.Text(), "Tessellon.Test.Alpha");
    EXPECT_EQ(HostID::FromValue(a.Value()), a);

    EXPECT_TRUE(HostID("Tessellon.Test.NeverCreated", false).IsEmpty());
    EXPECT_TRUE(HostID("Tessellon.Test.NeverCreated", false).IsEmpty()) << "a lookup must not create";
    EXPECT_TRUE(HostID(nullptr, true).IsEmpty());
    EXPECT_STREQ(HostID().Text(), "");
    EXPECT_TRUE(HostID::FromValue(0xfffffff0u).IsEmpty());
}

TEST(HostID, PredefinedIdentifiersExistAtLoad) {
    const struct { const HostID* id; const char* text; } cases[] = {
        {&ID_Number, "Number"}, {&ID_Point, "Point"}, {&ID_Image, "Image"},
        {&ID_ComboControl, "ComboControl"}, {&ID_SliderControl, "SliderControl"},
        {&ID_OffsetControl, "OffsetControl"}, {&ID_ScrewControl, "ScrewControl"},
        {&ID_ButtonControl, "ButtonControl"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_FALSE(c.id->IsEmpty());
        EXPECT_STREQ(c.id->Text(), c.text);
        EXPECT_EQ(HostID(c.text, false), *c.id);
    }
}

static int SomeFunction(int x) { return x + 1; }

TEST(TagList, KindsAndTypedGetters) {
    int object = 0;
    const HostID id("Tessellon.Test.Gamma", true);
    const TagList tags{
        Tag<0x10000001>(-7),
        Tag<0x20000002>(2.5),
        Tag<0x30000003>("text"),
        Tag<0x60000004>(&object),
        Tag<0x60000005>(&SomeFunction),
        Tag<0x80000006>(id),
        Tag<0x60000007>(nullptr),
    };
    ASSERT_EQ(tags.Count(), 7u);
    const TagKind kinds[] = {TagKind::Int, TagKind::Double, TagKind::Text, TagKind::Pointer,
                             TagKind::Pointer, TagKind::ID, TagKind::Pointer};
    for (size_t i = 0; i < tags.Count(); ++i)
        EXPECT_EQ(tags[i].Kind(), kinds[i]) << "item " << i;

    EXPECT_EQ(tags.GetInt(0x10000001), -7);
    EXPECT_EQ(tags.GetDouble(0x20000002), 2.5);
    EXPECT_STREQ(tags.GetText(0x30000003), "text");
    EXPECT_EQ(tags.GetPointer(0x60000004), &object);
    auto fn = reinterpret_cast<int (*)(int)>(const_cast<void*>(tags.GetPointer(0x60000005)));
    EXPECT_EQ(fn(41), 42);
    EXPECT_EQ(tags.GetID(0x80000006), id);
    EXPECT_TRUE(tags.Has(0x60000007));
    EXPECT_EQ(tags.GetPointer(0x60000007, &object), nullptr);

    // Absent tags give the fallback.
    EXPECT_EQ(tags.GetInt(0x10000099, 5), 5);
    EXPECT_EQ(tags.GetDouble(0x20000099, 1.5), 1.5);
    EXPECT_STREQ(tags.GetText(0x30000099, "none"), "none");
    EXPECT_EQ(tags.GetPointer(0x60000099), nullptr);
    EXPECT_TRUE(tags.GetID(0x80000099).IsEmpty());
    EXPECT_FALSE(tags.Has(0x10000099));
}

TEST(TagList, GetterOfAnotherKindGivesFallback) {
    // Tags whose numbers differ only in the kind bits are different tags;
    // asking for a kind the tag cannot have returns the fallback.
    const TagList tags{Tag<0x10000001>(3), Tag<0x20000001>(4.0)};
    EXPECT_EQ(tags.GetDouble(0x10000001, -1.0), -1.0);
    EXPECT_EQ(tags.GetInt(0x20000001, -1), -1);
    EXPECT_EQ(tags.GetText(0x10000001, nullptr), nullptr);
    EXPECT_EQ(tags.GetInt(0x10000001), 3);
    EXPECT_EQ(tags.GetDouble(0x20000001), 4.0);
}

TEST(TagList, RepeatedTagsKeepEveryValueInOrder) {
    TagList tags{Tag<IMG_Width>(10), Tag<IMG_Channel>(2), Tag<IMG_Channel>(1), Tag<IMG_Channel>(0),
                 Tag<0x38040000>("None (unique pixels)"), Tag<IMG_Channel>(3), Tag<0x38040000>("Median")};
    const auto channels = tags.All(IMG_Channel);
    ASSERT_EQ(channels.size(), 4u);
    const int32_t expected[] = {2, 1, 0, 3};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(channels[i].Int, expected[i]);
    EXPECT_EQ(tags.GetInt(IMG_Channel), 2) << "the getter gives the first value";
    const auto entries = tags.All(0x38040000);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_STREQ(entries[0].Text, "None (unique pixels)");
    EXPECT_STREQ(entries[1].Text, "Median");
    EXPECT_TRUE(tags.All(0x10000123).empty());

    tags.Add(Tag<IMG_Channel>(7));
    EXPECT_EQ(tags.All(IMG_Channel).size(), 5u);
    EXPECT_EQ(tags.All(IMG_Channel).back().Int, 7);
}

TEST(TagList, TextsAreCopiedAndSurviveCopiesAndMoves) {
    std::string source = "first";
    std::string added = "added";
    auto list = std::make_unique<TagList>(TagList{Tag<0x30000001>(source.c_str()), Tag<0x10000002>(1)});
    list->Add(Tag<0x30000003>(added.c_str()));
    source.assign("XXXXX");
    added.assign("YYYYY");
    EXPECT_STREQ(list->GetText(0x30000001), "first");
    EXPECT_STREQ(list->GetText(0x30000003), "added");

    TagList copy(*list);
    EXPECT_NE(copy.GetText(0x30000001), list->GetText(0x30000001)) << "a copy owns its own texts";
    TagList assigned;
    assigned = copy;
    const char* before = copy.GetText(0x30000003);
    TagList moved(std::move(copy));
    EXPECT_EQ(moved.GetText(0x30000003), before) << "a move keeps the texts where they are";
    list.reset();
    EXPECT_STREQ(moved.GetText(0x30000001), "first");
    EXPECT_STREQ(moved.GetText(0x30000003), "added");
    EXPECT_STREQ(assigned.GetText(0x30000001), "first");
    assigned = assigned;   // self-assignment keeps the texts
    EXPECT_STREQ(assigned.GetText(0x30000003), "added");
    TagList target{Tag<0x30000009>("old")};
    target = std::move(moved);
    EXPECT_STREQ(target.GetText(0x30000001), "first");
    EXPECT_FALSE(target.Has(0x30000009));
}
