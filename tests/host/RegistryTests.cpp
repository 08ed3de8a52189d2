// The class registry: link and unlink order, observers, record tags, create.
#include <memory>
#include <string>

#include "HostTestSupport.h"

namespace {

std::vector<std::string> events;

bool InitRecord(Registry* record) {
    // Runs after linking: the record can already be found.
    events.push_back(std::string("init ") + record->Name() +
                     (ClassRegistry.Find(record->ClassID()) == record ? " (linked)" : " (not linked)"));
    return true;
}

bool FailInit(Registry*) { return false; }

void CleanupRecord(Registry* record) {
    events.push_back(std::string("cleanup ") + record->Name() +
                     (ClassRegistry.Find(record->ClassID()) == record ? " (linked)" : " (not linked)"));
}

struct MadeOperator : ThreadedOperator {
    MadeOperator(const Registry* r, const ScriptVal& v, const TagList& t) : ThreadedOperator(r, v, t), Table(v) {}
    ScriptVal Table;
};

Operator* CreateMade(const Registry* registry, const ScriptVal& table, const TagList& tags) {
    return new MadeOperator(registry, table, tags);
}

TagList RecordTags(const char* name) {
    return TagList{Tag<REG_Name>(name), Tag<REG_Init>(&InitRecord), Tag<REG_Cleanup>(&CleanupRecord)};
}

}  // namespace

struct RegistryTest : HostTest {
    void SetUp() override {
        events.clear();
        ClassRegistry.SetObserver([](Registry* record, bool linked) {
            events.push_back(std::string(linked ? "link " : "unlink ") + record->Name());
        });
    }
    void TearDown() override {
        ClassRegistry.SetObserver(nullptr);
        HostTest::TearDown();
    }
};

TEST_F(RegistryTest, LinksInOrderAndUnlinksOnDestruction) {
    const size_t before = ClassRegistry.Records().size();
    auto a = std::make_unique<Registry>(&ClassRegistry, HostID("Test.A", true), RecordTags("A"));
    auto b = std::make_unique<Registry>(&ClassRegistry, HostID("Test.B", true), RecordTags("B"));
    auto c = std::make_unique<Registry>(&ClassRegistry, HostID("Test.C", true), RecordTags("C"));
    auto records = ClassRegistry.Records();
    ASSERT_EQ(records.size(), before + 3);
    EXPECT_EQ(records[before], a.get());
    EXPECT_EQ(records[before + 1], b.get());
    EXPECT_EQ(records[before + 2], c.get());

    b.reset();   // from the middle
    records = ClassRegistry.Records();
    ASSERT_EQ(records.size(), before + 2);
    EXPECT_EQ(records[before], a.get());
    EXPECT_EQ(records[before + 1], c.get());
    EXPECT_EQ(ClassRegistry.Find("Test.B"), nullptr);
    c.reset();
    a.reset();
    EXPECT_EQ(ClassRegistry.Records().size(), before);

    const std::vector<std::string> expected = {
        "link A", "init A (linked)", "link B", "init B (linked)", "link C", "init C (linked)",
        "cleanup B (linked)", "unlink B", "cleanup C (linked)", "unlink C", "cleanup A (linked)", "unlink A",
    };
    EXPECT_EQ(events, expected);
}

TEST_F(RegistryTest, FindsRecordsAndReadsTheirTags) {
    const HostID parent = ThreadedOperator::ClassID;
    Registry record(&ClassRegistry, HostID("Test.Tagged", true),
                    TagList{Tag<REG_Name>("Tagged"), Tag<REG_Description>("Tagged tool."),
                            Tag<REG_BuildText>("Built: today"), Tag<REG_BitmapID>(101), Tag<REG_Parent>(&parent),
                            Tag<REG_Create>(&CreateMade)});
    EXPECT_EQ(ClassRegistry.Find(HostID("Test.Tagged", false)), &record);
    EXPECT_EQ(ClassRegistry.Find("Test.Tagged"), &record);
    EXPECT_EQ(ClassRegistry.Find("Test.Unknown.Class"), nullptr);
    EXPECT_EQ(ClassRegistry.Find(HostID()), nullptr);
    EXPECT_STREQ(record.Name(), "Tagged");
    EXPECT_STREQ(record.Description(), "Tagged tool.");
    EXPECT_STREQ(record.BuildText(), "Built: today");
    EXPECT_EQ(record.BitmapID(), 101);
    EXPECT_EQ(record.Parent(), ThreadedOperator::ClassID);
    EXPECT_STREQ(record.ClassID().Text(), "Test.Tagged");

    std::unique_ptr<Operator> made(record.Create(ScriptVal(2.0), TagList()));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->GetRegistry(), &record);
    auto* typed = dynamic_cast<MadeOperator*>(made.get());
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(typed->Table.Number(), 2.0);

    Registry bare(&ClassRegistry, HostID("Test.Bare", true), TagList());
    EXPECT_EQ(bare.Create(ScriptVal(), TagList()), nullptr);
    EXPECT_STREQ(bare.Name(), "");
    EXPECT_TRUE(bare.Parent().IsEmpty());
    EXPECT_EQ(bare.BitmapID(), 0);
}

TEST_F(RegistryTest, FailedInitTakesTheRecordOut) {
    {
        Registry record(&ClassRegistry, HostID("Test.Failing", true),
                        TagList{Tag<REG_Name>("F"), Tag<REG_Init>(&FailInit), Tag<REG_Cleanup>(&CleanupRecord)});
        EXPECT_EQ(ClassRegistry.Find("Test.Failing"), nullptr);
    }
    const std::vector<std::string> expected = {"link F", "unlink F"};
    EXPECT_EQ(events, expected) << "no cleanup for a class that never initialised";
}

TEST_F(RegistryTest, ListsAreIndependent) {
    RegistryList own;
    std::vector<bool> seen;
    own.SetObserver([&](Registry*, bool linked) { seen.push_back(linked); });
    {
        Registry record(&own, HostID("Test.Own", true), TagList{Tag<REG_Name>("Own")});
        EXPECT_EQ(own.Find("Test.Own"), &record);
        EXPECT_EQ(ClassRegistry.Find("Test.Own"), nullptr);
        EXPECT_EQ(own.Records().size(), 1u);
    }
    EXPECT_TRUE(own.Records().empty());
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
    EXPECT_TRUE(events.empty());
}
