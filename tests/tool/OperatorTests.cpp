// Instances as the host makes them: the inputs they declare and the About
// button.
#include <cmath>
#include <cstring>
#include <limits>

#include "HostWindows.h"
#include "ToolTestSupport.h"

namespace {

struct Declared {
    bool output;
    const char* id;
    const char* name;
    LinkType type;
    TagList tags;
};

// What the host must receive, in the order it must receive it.
std::vector<Declared> ExpectedLinks() {
    const TagList frame{Tag<LINK_DataType>(ID_Number), Tag<INP_Control>(ID_SliderControl), Tag<INP_RangeLow>(0.0),
                        Tag<INP_RangeHigh>(1000.0), Tag<INP_Default>(0.0), Tag<INP_Integer>(1)};
    return {
        {false, "FilterMethod", "Filter method", LinkType::Number,
         {Tag<LINK_DataType>(ID_Number), Tag<INP_Control>(ID_ComboControl), Tag<INP_ComboEntry>("None (unique pixels)"),
          Tag<INP_ComboEntry>("Median"), Tag<INP_ComboStyle>(1), Tag<INP_RangeHigh>(1.0), Tag<INP_RangeLow>(0.0),
          Tag<INP_Default>(0.0), Tag<INP_NotifyChanged>(1), Tag<INP_ControlScale>(1.0)}},
        {false, "StartFrame", "Start frame", LinkType::Number, frame},
        {false, "EndFrame", "End frame", LinkType::Number, frame},
        {false, "TrackData", "Steady position", LinkType::Point,
         {Tag<LINK_DataType>(ID_Point), Tag<INP_Control>(ID_OffsetControl)}},
        {false, "Angle", "Steady angle", LinkType::Number,
         {Tag<LINK_DataType>(ID_Number), Tag<INP_Control>(ID_ScrewControl), Tag<INP_TravelLow>(0.0),
          Tag<INP_TravelHigh>(360.0), Tag<INP_Default>(0.0)}},
        {false, "Input", "Input", LinkType::Image, {Tag<LINK_DataType>(ID_Image), Tag<LINK_Main>(1)}},
        {true, "Output", "Output", LinkType::Image, {Tag<LINK_DataType>(ID_Image), Tag<LINK_Main>(1)}},
        {false, "About", "About", LinkType::Button, {Tag<INP_Control>(ID_ButtonControl), Tag<INP_NotifyChanged>(1)}},
    };
}

bool SameItem(const TagItem& a, const TagItem& b) {
    if (a.Tag != b.Tag)
        return false;
    switch (a.Kind()) {
    case TagKind::Int: return a.Int == b.Int;
    case TagKind::Double: return a.Double == b.Double;
    case TagKind::Text: return std::strcmp(a.Text, b.Text) == 0;
    case TagKind::Pointer: return a.Pointer == b.Pointer;
    case TagKind::ID: return a.ID == b.ID;
    }
    return false;
}

}  // namespace

TEST_F(ToolTest, InstancesAreDistinctAndDeclareTheTableInOrder) {
    StitchOperator* first = Create();
    StitchOperator* second = Create();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);

    const std::vector<Declared> expected = ExpectedLinks();
    for (StitchOperator* op : {first, second}) {
        EXPECT_EQ(op->GetRegistry(), record_);
        const std::vector<Link*>& links = op->Links();
        ASSERT_EQ(links.size(), expected.size());
        for (size_t i = 0; i < links.size(); ++i) {
            SCOPED_TRACE(expected[i].id);
            EXPECT_EQ(links[i]->IsOutput(), expected[i].output);
            EXPECT_STREQ(links[i]->ID().Text(), expected[i].id);
            EXPECT_STREQ(links[i]->Name().Text(), expected[i].name);
            EXPECT_EQ(links[i]->Type(), expected[i].type);
            const TagList& tags = links[i]->Tags();
            ASSERT_EQ(tags.Count(), expected[i].tags.Count());
            for (size_t k = 0; k < tags.Count(); ++k)
                EXPECT_TRUE(SameItem(tags[k], expected[i].tags[k])) << "tag " << k;
        }
        // Each handle is the link the host returned for it.
        EXPECT_EQ(op->InFilterMethod, links[0]);
        EXPECT_EQ(op->InStartFrame, links[1]);
        EXPECT_EQ(op->InEndFrame, links[2]);
        EXPECT_EQ(op->InTrackData, links[3]);
        EXPECT_EQ(op->InAngle, links[4]);
        EXPECT_EQ(op->InImage, links[5]);
        EXPECT_EQ(op->OutImage, links[6]);
        EXPECT_EQ(op->InAbout, links[7]);
        EXPECT_TRUE(op->CurrentJob.Empty());
    }
    // The two instances share no inputs.
    EXPECT_NE(first->InImage, second->InImage);
}

namespace {

struct Box {
    std::string text, caption;
    unsigned type;
};

struct Notification {
    Operator* op;
    Input* input;
    Parameter* param;
    double time;
    TagList* tags;
};

const char* const AboutText =
    "Tessellon 1.0\n"
    "https://www.orvandel.example/tessellon\n"
    "tessellon@orvandel.example\n"
    "by Orvandel\n"
    "\n"
    "\n"
    "Tessellon is a temporal plugin that generates a stitched image from a number of images.";

enum class Value { Number, None, Point };

struct AboutCase {
    const char* name;
    bool onAbout;   // the About button, or "FilterMethod"
    Value kind;
    double number;
    bool shows;
};

}  // namespace

TEST_F(ToolTest, AboutBoxOnlyForAPressAndTheBaseAlwaysHears) {
    StitchOperator* op = Create();
    std::vector<Box> boxes;
    std::vector<Notification> notes;
    HostApp::SetMessageBoxHandler([&](const char* text, const char* caption, unsigned type) {
        boxes.push_back({text, caption, type});
        return IDOK;
    });
    HostApp::SetNotifyHandler([&](Operator* o, Input* input, Parameter* param, double time, TagList* tags) {
        notes.push_back({o, input, param, time, tags});
    });

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const AboutCase cases[] = {
        {"press 0.5", true, Value::Number, 0.5, true},
        {"press 1", true, Value::Number, 1.0, true},
        {"0.4999", true, Value::Number, 0.4999, false},
        {"0", true, Value::Number, 0.0, false},
        {"NaN", true, Value::Number, nan, false},
        {"-inf", true, Value::Number, -std::numeric_limits<double>::infinity(), false},
        {"no parameter", true, Value::None, 0.0, false},
        {"a point, not a number", true, Value::Point, 1.0, false},
        {"another input at 1", false, Value::Number, 1.0, false},
    };
    for (const AboutCase& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        notes.clear();
        Parameter* param = c.kind == Value::Number ? static_cast<Parameter*>(Number::New(c.number))
                           : c.kind == Value::Point ? static_cast<Parameter*>(Point::New(c.number, c.number))
                                                    : nullptr;
        Input* input = c.onAbout ? op->InAbout : op->InFilterMethod;
        TagList tags{Tag<INP_ComboStyle>(7)};
        op->NotifyChanged(input, param, 12.5, &tags);

        if (c.shows) {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].text, AboutText);
            EXPECT_EQ(boxes[0].caption, "About this filter");
            EXPECT_EQ(boxes[0].type, MB_OK);
        } else {
            EXPECT_TRUE(boxes.empty());
        }
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes[0].op, op);
        EXPECT_EQ(notes[0].input, input);
        EXPECT_EQ(notes[0].param, param);
        EXPECT_EQ(notes[0].time, 12.5);
        EXPECT_EQ(notes[0].tags, &tags);
        if (param)
            param->Recycle();
    }
}

TEST_F(ToolTest, TwoPressesOpenTheBoxTwice) {
    StitchOperator* op = Create();
    int boxes = 0, notes = 0;
    HostApp::SetMessageBoxHandler([&](const char*, const char*, unsigned) { return ++boxes, IDOK; });
    HostApp::SetNotifyHandler([&](Operator*, Input*, Parameter*, double, TagList*) { ++notes; });
    Number* press = Number::New(1.0);
    op->NotifyChanged(op->InAbout, press, 0.0, nullptr);
    op->NotifyChanged(op->InAbout, press, 0.0, nullptr);
    press->Recycle();
    EXPECT_EQ(boxes, 2);
    EXPECT_EQ(notes, 2);
}
