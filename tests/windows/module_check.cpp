// Loads the tool DLL as a Windows host does and checks its form there: the
// record linked by its static constructors during LoadLibrary, the bitmap
// resource 101 found through FindResource / LoadResource, an instance made
// and destroyed through the record, and the record unlinked during
// FreeLibrary, before the class identifier it refers to is gone.
//
//   module_check TOOL.dll TILE.bmp
//
// Prints one PASS or FAIL line per check; exits 1 when any failed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "HostApp.h"
#include "HostModule.h"
#include "HostSystem.h"

namespace {

constexpr const char* ClassName = "Orvandel.Tessellon";

int failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what.c_str());
    if (!ok) ++failures;
}

struct Event {
    bool Linked;
    std::string ClassID;   // as read while the observer ran
};

std::vector<Event> events;

std::string Text(const char* text) { return text ? text : "(null)"; }

uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// One load, use and unload of the module; `round` names it in the output.
void Round(const std::string& dll, const std::vector<char>& tile, int round) {
    const std::string in = " (round " + std::to_string(round) + ")";
    events.clear();
    std::string why;
    HostModule* module = LoadModule(dll, &why);
    Check(module != nullptr, "LoadLibrary loads " + dll + in + (why.empty() ? "" : ": " + why));
    if (!module) return;

    Check(events.size() == 1 && events[0].Linked && events[0].ClassID == ClassName,
          "loading linked one record, " + std::string(ClassName) + in);
    const std::vector<Registry*> records = ModuleRecords(module);
    Registry* record = ClassRegistry.Find(ClassName);
    Check(records.size() == 1 && records[0] == record && ModuleOfRecord(record) == module,
          "the class registry holds the module's record" + in);
    if (!record) {
        UnloadModule(module);
        return;
    }
    Check(Text(record->Name()) == "Tessellon" && Text(record->Description()) == "Tessellon tool." &&
              !record->Parent().IsEmpty() && std::string(record->Parent().Text()) == "ThreadedOperator" &&
              record->BitmapID() == 101,
          "the record names \"Tessellon\", \"Tessellon tool.\", parent ThreadedOperator, bitmap 101" + in);

    const HostResource* resource = FindModuleResource(module, uint32_t(record->BitmapID()), HOST_RESOURCE_BITMAP);
    const HostResourceData data = LoadModuleResource(module, resource);
    const bool sameBytes = tile.size() > 14 && data.Size == tile.size() - 14 &&
                           std::memcmp(data.Data, tile.data() + 14, data.Size) == 0;
    Check(resource && data.Size == 40 + 160 * 120 * 4 && Get32(data.Data + 4) == 160 && Get32(data.Data + 8) == 120 &&
              (data.Data[14] | data.Data[15] << 8) == 32 && sameBytes,
          "FindResource/LoadResource give bitmap 101, 160 x 120 x 32, the bytes of the tile picture" + in);
    Check(FindModuleResource(module, 102, HOST_RESOURCE_BITMAP) == nullptr, "no bitmap 102" + in);

    Operator* first = record->Create(ScriptVal(), TagList());
    Operator* second = record->Create(ScriptVal(), TagList());
    Check(first && second && first != second && first->FindInput("Input") && first->FindOutput("Output"),
          "the record's create function makes distinct instances with their inputs" + in);
    delete first;
    delete second;
    Check(HostApp::LiveObjects() == 0, "destroying the instances leaves no host object" + in);

    events.clear();
    const bool unloaded = UnloadModule(module);
    Check(unloaded && events.size() == 1 && !events[0].Linked && events[0].ClassID == ClassName,
          "FreeLibrary unlinked the record while its class identifier still read " + std::string(ClassName) + in);
    const std::string file = dll.substr(dll.find_last_of("/\\") + 1);
    Check(ClassRegistry.Find(ClassName) == nullptr && GetModuleHandleA(file.c_str()) == nullptr,
          "after FreeLibrary the record and the DLL are gone" + in);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: module_check TOOL.dll TILE.bmp\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    const std::vector<char> tile((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Check(tile.size() == 76854, std::string("the tile picture ") + argv[2] + " is read");

    ClassRegistry.SetObserver([](Registry* record, bool linked) {
        events.push_back({linked, Text(record->ClassID().Text())});
    });
    // A second load runs the static constructors again: the first unload
    // really unloaded.
    Round(argv[1], tile, 1);
    Round(argv[1], tile, 2);
    ClassRegistry.SetObserver(nullptr);
    return failures == 0 ? 0 : 1;
}
