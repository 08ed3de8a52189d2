// The module's registration. Loading the module constructs the three
// statics below in the order written, and the last one links the tool into
// the host's class list; unloading destroys them in the reverse order, so the
// record leaves the list before what it refers to goes away.
#include <new>

#include "HostSystem.h"
#include "StitchOperator.h"
#include "Tile.h"

namespace {

class StitchScriptInfo : public ScriptInfo {
public:
    using ScriptInfo::ScriptInfo;
    void* NativeToScript(void* object) override { return object; }
    void* ScriptToNative(void* object) override { return object; }
};

// Null when there is no memory; if the constructor throws, the nothrow
// placement delete gives the memory back and the exception reaches the host.
Operator* CreateStitchOperator(const Registry* registry, const ScriptVal& table, const TagList& tags) {
    return new (std::nothrow) StitchOperator(registry, table, tags);
}

StitchScriptInfo StitchInfo(1, "Orvandel.Tessellon", "", "");

HostID StitchClassID("Orvandel.Tessellon", true);

Registry StitchRegistry(&ClassRegistry, StitchClassID,
                        {Tag<REG_Init>(&Operator::RegInit),
                         Tag<REG_Cleanup>(&Operator::RegCleanup),
                         Tag<REG_Kind>(3),
                         Tag<REG_BuildText>("Built: Mar 15 2009"),
                         Tag<REG_Parent>(&ThreadedOperator::ClassID),
                         Tag<REG_ScriptInfo>(&StitchInfo),
                         Tag<REG_Create>(&CreateStitchOperator),
                         Tag<REG_BitmapID>(TESSELLON_TILE_BITMAP),
                         Tag<REG_Name>("Tessellon"),
                         Tag<REG_Category>("Creator"),
                         Tag<REG_Shortcut>("S_1"),
                         Tag<REG_Description>("Tessellon tool."),
                         Tag<REG_Version>(1)});

}  // namespace
