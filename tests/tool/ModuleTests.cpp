// The module as the host meets it: loading registers the tool, the record
// says what the tool is, the tile bitmap travels with it, nothing is
// exported, and unloading takes the tool away again.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <variant>

#include "ToolTestSupport.h"

#if !defined(_WIN32)
#  include <elf.h>
#  include <link.h>
#  include <unistd.h>
#endif

namespace {

std::vector<uint8_t> ReadFile(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

template <class T>
T At(const std::vector<uint8_t>& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

using TagValue = std::variant<int32_t, std::string, const void*>;

const void* Address(const void* p) { return p; }
template <class F>
const void* FunctionAddress(F* f) { return reinterpret_cast<const void*>(f); }

}  // namespace

TEST_F(ToolTest, RecordDescribesTheTool) {
    EXPECT_STREQ(record_->ClassID().Text(), "Orvandel.Tessellon");
    EXPECT_STREQ(record_->Name(), "Tessellon");
    EXPECT_STREQ(record_->Description(), "Tessellon tool.");
    EXPECT_STREQ(record_->BuildText(), "Built: Mar 15 2009");
    EXPECT_EQ(record_->Parent(), ThreadedOperator::ClassID);
    EXPECT_EQ(record_->BitmapID(), 101);

    const TagList& tags = record_->Tags();
    const void* create = tags.GetPointer(REG_Create);
    const void* info = tags.GetPointer(REG_ScriptInfo);
    const std::vector<std::pair<uint32_t, TagValue>> expected = {
        {REG_Init, FunctionAddress(&Operator::RegInit)},
        {REG_Cleanup, FunctionAddress(&Operator::RegCleanup)},
        {REG_Kind, 3},
        {REG_BuildText, std::string("Built: Mar 15 2009")},
        {REG_Parent, Address(&ThreadedOperator::ClassID)},
        {REG_ScriptInfo, info},
        {REG_Create, create},
        {REG_BitmapID, 101},
        {REG_Name, std::string("Tessellon")},
        {REG_Category, std::string("Creator")},
        {REG_Shortcut, std::string("S_1")},
        {REG_Description, std::string("Tessellon tool.")},
        {REG_Version, 1},
    };
    ASSERT_EQ(tags.Count(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "tag " << i << " 0x" << std::hex << expected[i].first);
        const TagItem& item = tags[i];
        EXPECT_EQ(item.Tag, expected[i].first);
        if (const auto* n = std::get_if<int32_t>(&expected[i].second))
            EXPECT_EQ(item.Int, *n);
        else if (const auto* s = std::get_if<std::string>(&expected[i].second))
            EXPECT_EQ(std::string(item.Text), *s);
        else
            EXPECT_EQ(item.Pointer, std::get<const void*>(expected[i].second));
    }

    // The create function and the script information belong to the module.
    EXPECT_EQ(ModuleOfAddress(create), module_);
    EXPECT_EQ(ModuleOfAddress(info), module_);
    auto* script = static_cast<ScriptInfo*>(const_cast<void*>(info));
    EXPECT_EQ(script->Version(), 1u);
    EXPECT_EQ(script->ClassName(), "Orvandel.Tessellon");
    int object = 0;
    EXPECT_EQ(script->NativeToScript(&object), &object);
    EXPECT_EQ(script->ScriptToNative(&object), &object);

    const std::vector<Registry*> records = ModuleRecords(module_);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], record_);
    EXPECT_EQ(ModuleOfRecord(record_), module_);
    EXPECT_EQ(ModulePath(module_), TESSELLON_MODULE_PATH);
}

TEST_F(ToolTest, TileBitmapTravelsWithTheModule) {
    const HostResource* found = FindModuleResource(module_, uint32_t(record_->BitmapID()), HOST_RESOURCE_BITMAP);
    ASSERT_NE(found, nullptr);
    const HostResourceData data = LoadModuleResource(module_, found);
    ASSERT_EQ(data.Size, 40u + 76800u);
    const std::vector<uint8_t> dib(data.Data, data.Data + data.Size);

    EXPECT_EQ(At<uint32_t>(dib, 0), 40u);     // information header size
    EXPECT_EQ(At<int32_t>(dib, 4), 160);      // width
    EXPECT_EQ(At<int32_t>(dib, 8), 120);      // height, positive: bottom-up
    EXPECT_EQ(At<uint16_t>(dib, 12), 1);      // planes
    EXPECT_EQ(At<uint16_t>(dib, 14), 32);     // bits per pixel
    EXPECT_EQ(At<uint32_t>(dib, 16), 0u);     // uncompressed
    size_t opaque = 0;
    for (size_t i = 40 + 3; i < dib.size(); i += 4)
        opaque += dib[i] == 255;
    EXPECT_EQ(opaque, 160u * 120u);

    // Exactly the committed picture, without its file header.
    const std::vector<uint8_t> file = ReadFile(TESSELLON_TILE_BMP);
    ASSERT_EQ(file.size(), 14u + dib.size());
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_TRUE(std::equal(dib.begin(), dib.end(), file.begin() + 14));
    // The module's own bytes, not a copy of them.
    EXPECT_EQ(ModuleOfAddress(data.Data), module_);

    // Other numbers and types are not there.
    EXPECT_EQ(FindModuleResource(module_, 102, HOST_RESOURCE_BITMAP), nullptr);
    EXPECT_EQ(FindModuleResource(module_, 101, HOST_RESOURCE_BITMAP + 1), nullptr);
    EXPECT_EQ(LoadModuleResource(module_, nullptr).Data, nullptr);
}

#if !defined(_WIN32)
// The module's dynamic symbol table defines nothing: the host finds the tool
// only through what its static constructors register.
TEST(ToolModule, ExportsNoSymbols) {
    const std::vector<uint8_t> file = ReadFile(TESSELLON_MODULE_PATH);
    ASSERT_GE(file.size(), sizeof(ElfW(Ehdr)));
    const auto header = At<ElfW(Ehdr)>(file, 0);
    ASSERT_EQ(std::memcmp(header.e_ident, ELFMAG, SELFMAG), 0);
    ASSERT_EQ(header.e_shentsize, sizeof(ElfW(Shdr)));
    ASSERT_LE(header.e_shoff + uint64_t(header.e_shnum) * sizeof(ElfW(Shdr)), file.size());

    std::vector<std::string> exported;
    bool sawDynamicSymbols = false;
    for (size_t i = 0; i < header.e_shnum; ++i) {
        const auto section = At<ElfW(Shdr)>(file, header.e_shoff + i * sizeof(ElfW(Shdr)));
        if (section.sh_type != SHT_DYNSYM)
            continue;
        sawDynamicSymbols = true;
        const auto names = At<ElfW(Shdr)>(file, header.e_shoff + section.sh_link * sizeof(ElfW(Shdr)));
        ASSERT_LE(section.sh_offset + section.sh_size, file.size());
        for (size_t s = 0; s < section.sh_size / sizeof(ElfW(Sym)); ++s) {
            const auto symbol = At<ElfW(Sym)>(file, section.sh_offset + s * sizeof(ElfW(Sym)));
            const int binding = ELF64_ST_BIND(symbol.st_info);
            if (symbol.st_shndx == SHN_UNDEF || binding == STB_LOCAL)
                continue;
            exported.emplace_back(reinterpret_cast<const char*>(file.data() + names.sh_offset + symbol.st_name));
        }
    }
    EXPECT_TRUE(sawDynamicSymbols);
    EXPECT_TRUE(exported.empty()) << "first exported symbol: " << exported.front();
}
#endif

namespace {

// Renders a two-frame median stitch, so that rows are composited.
void RenderAStitch(StitchOperator* op) {
    Shot shot;
    shot.Add(0, MakeImage(16, 64, [](int32_t x, int32_t y) { return Rgba{x / 16.0f, y / 64.0f, 0, 1}; }));
    shot.Add(1, MakeImage(16, 64, [](int32_t x, int32_t y) { return Rgba{y / 64.0f, x / 16.0f, 0, 1}; }));
    shot.Serve(op->InImage);
    op->InEndFrame->SetValue(1.0);
    op->InFilterMethod->SetValue(1.0);
    HostApp::RenderResult result = HostApp::Render(op, op->OutImage, 0.0);
    ASSERT_NE(result.Output, nullptr);
    result.Output->Recycle();
    op->InImage->SetImageSource(nullptr);
}

}  // namespace

// Unloads the fixture's module and checks that the tool is gone and comes
// back with the next load.
void ExpectUnloadUnregisters(HostModule*& module) {
#if !defined(_WIN32)
    const size_t resources = ModuleResource::Linked().size();
#endif
    HostModule* gone = module;
    EXPECT_TRUE(UnloadModule(module));
    module = nullptr;
    EXPECT_EQ(ClassRegistry.Find("Orvandel.Tessellon"), nullptr);
    EXPECT_EQ(FindModuleResource(gone, 101, HOST_RESOURCE_BITMAP), nullptr);
#if !defined(_WIN32)
    EXPECT_EQ(ModuleResource::Linked().size(), resources - 1);
#endif

    module = LoadModule(TESSELLON_MODULE_PATH);
    ASSERT_NE(module, nullptr);
    Registry* again = ClassRegistry.Find("Orvandel.Tessellon");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(ModuleRecords(module), std::vector<Registry*>{again});
    EXPECT_NE(FindModuleResource(module, 101, HOST_RESOURCE_BITMAP), nullptr);
}

TEST_F(ToolTest, UnloadingUnregisters) {
    // An instance made, used on a thread of its own (compositing on that
    // thread alone) and destroyed leaves nothing behind that keeps the
    // module loaded.
    StitchOperator* op = Create();
    HostApp::SetWorkerCount(1);
    std::thread render([op] { RenderAStitch(op); });
    render.join();
    HostApp::SetWorkerCount(0);
    delete op;
    ops_.clear();
    ExpectUnloadUnregisters(module_);
}

// The host's worker threads live on after a render. Whatever per-thread
// state the module leaves with them must not keep it from unloading.
TEST_F(ToolTest, UnloadingAfterRenderingOnTheHostsWorkersUnregisters) {
    StitchOperator* op = Create();
    RenderAStitch(op);
    delete op;
    ops_.clear();
    ExpectUnloadUnregisters(module_);
}

TEST_F(ToolTest, LoadingTwiceSharesOneModule) {
    HostModule* second = LoadModule(TESSELLON_MODULE_PATH);
    EXPECT_EQ(second, module_);
    EXPECT_TRUE(UnloadModule(second));
    // Still loaded for the first use.
    EXPECT_NE(ClassRegistry.Find("Orvandel.Tessellon"), nullptr);
    EXPECT_NE(FindModuleResource(module_, 101, HOST_RESOURCE_BITMAP), nullptr);
}

#if !defined(_WIN32)
// A module finds only the resources it linked while it loaded: not one the
// host linked, nor the same resource of another module.
TEST_F(ToolTest, ResourcesBelongToTheModuleThatLinkedThem) {
    const uint8_t bytes[4] = {1, 2, 3, 4};
    const ModuleResource hosts(HOST_RESOURCE_BITMAP, 102, bytes, sizeof bytes);
    EXPECT_EQ(FindModuleResource(module_, 102, HOST_RESOURCE_BITMAP), nullptr);

    // A copy of the file under another name loads as a module of its own.
    const std::string path = testing::TempDir() + "Tessellon-copy-" + std::to_string(getpid()) + ".so";
    std::filesystem::copy_file(TESSELLON_MODULE_PATH, path, std::filesystem::copy_options::overwrite_existing);
    HostModule* copy = LoadModule(path);
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy, module_);
    const HostResource* mine = FindModuleResource(module_, 101, HOST_RESOURCE_BITMAP);
    const HostResource* its = FindModuleResource(copy, 101, HOST_RESOURCE_BITMAP);
    ASSERT_NE(its, nullptr);
    EXPECT_NE(mine, its);
    EXPECT_EQ(ModuleOfAddress(LoadModuleResource(copy, its).Data), copy);
    EXPECT_EQ(LoadModuleResource(module_, its).Data, nullptr);

    EXPECT_TRUE(UnloadModule(copy));
    std::filesystem::remove(path);
    EXPECT_EQ(FindModuleResource(module_, 101, HOST_RESOURCE_BITMAP), mine);
    EXPECT_EQ(LoadModuleResource(module_, mine).Size, 40u + 76800u);
}
#endif

TEST(ToolModule, LoadFailuresSayWhy) {
    std::string error;
    EXPECT_EQ(LoadModule("/nonexistent/Tessellon.so", &error), nullptr);
    EXPECT_FALSE(error.empty());

    // A file that is not a module at all.
    error.clear();
    EXPECT_EQ(LoadModule(TESSELLON_TILE_BMP, &error), nullptr);
    EXPECT_FALSE(error.empty());

    EXPECT_FALSE(UnloadModule(nullptr));
    int local = 0;
    EXPECT_EQ(ModuleOfAddress(&local), nullptr);
    EXPECT_EQ(ModuleOfRecord(nullptr), nullptr);
    EXPECT_EQ(FindModuleResource(nullptr, 101, HOST_RESOURCE_BITMAP), nullptr);
}
