// The module as the host meets it: loading registers the tool, the record
// says what the tool is, the tile bitmap travels with it, nothing is
// exported, and unloading takes the tool away again.
#include <cstddef>
#include <cstdio>
#include <cstring>
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
        {0x60000001, FunctionAddress(&Operator::RegInit)},
        {0x60000002, FunctionAddress(&Operator::RegCleanup)},
        {0x10000000, 3},
        {0x30000008, std::string("Built: Mar 15 2009")},
        {0x60000011, Address(&ThreadedOperator::ClassID)},
        {0x60000005, info},
        {0x60000000, create},
        {0x10000004, 101},
        {0x30000002, std::string("Tessellon")},
        {0x30000003, std::string("Creator")},
        {0x30000004, std::string("S_1")},
        {0x30000005, std::string("Tessellon tool.")},
        {0x10000003, 1},
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

#if !defined(_WIN32)
namespace {

template <class T>
void Put(std::vector<uint8_t>& bytes, size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// Where the resource section's header and its table sit in the module file.
struct ResourcePlaces {
    size_t header = 0;   // of the section's header
    size_t table = 0;    // of the table, at the section's start
};

ResourcePlaces FindResourceSection(const std::vector<uint8_t>& file) {
    const auto eh = At<ElfW(Ehdr)>(file, 0);
    const auto names = At<ElfW(Shdr)>(file, eh.e_shoff + eh.e_shstrndx * sizeof(ElfW(Shdr)));
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        const size_t at = eh.e_shoff + i * sizeof(ElfW(Shdr));
        const auto section = At<ElfW(Shdr)>(file, at);
        if (std::strcmp(reinterpret_cast<const char*>(file.data() + names.sh_offset + section.sh_name),
                        HOST_RESOURCE_SECTION) == 0)
            return {at, section.sh_offset};
    }
    return {};
}

}  // namespace

// A module can load with section headers the loader never reads; whatever
// they or the resource table say, finding a resource stays inside the file.
TEST(ToolModule, DamagedResourceTablesFindNothing) {
    const std::vector<uint8_t> original = ReadFile(TESSELLON_MODULE_PATH);
    const ResourcePlaces places = FindResourceSection(original);
    ASSERT_NE(places.header, 0u);
    ASSERT_EQ(std::memcmp(original.data() + places.table, HOST_RESOURCE_MAGIC, 4), 0);
    using Shdr = ElfW(Shdr);
    const size_t size = original.size();

    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        bool found;
    };
    const Case cases[] = {
        {"intact", [](std::vector<uint8_t>&) {}, true},
        {"section headers past the end", [&](auto& f) { Put<ElfW(Off)>(f, offsetof(ElfW(Ehdr), e_shoff), size + 64); }, false},
        {"name table index out of range", [](auto& f) { Put<ElfW(Half)>(f, offsetof(ElfW(Ehdr), e_shstrndx), 0xfeff); }, false},
        {"section name past its table", [&](auto& f) { Put<ElfW(Word)>(f, places.header + offsetof(Shdr, sh_name), 0xfffffff0u); }, false},
        {"section larger than the file", [&](auto& f) { Put<ElfW(Xword)>(f, places.header + offsetof(Shdr, sh_size), uint64_t(1) << 40); }, false},
        {"section running off the end", [&](auto& f) { Put<ElfW(Off)>(f, places.header + offsetof(Shdr, sh_offset), size - 8); }, false},
        {"table larger than the section", [&](auto& f) { Put<uint32_t>(f, places.table + 4, 0xffffffffu); }, false},
        {"more entries than the table holds", [&](auto& f) { Put<uint32_t>(f, places.table + 8, 0x7fffffffu); }, false},
        {"entry running off its table", [&](auto& f) { Put<uint32_t>(f, places.table + 16 + 12, 0xfffffff0u); }, false},
        {"entry starting past its table", [&](auto& f) { Put<uint32_t>(f, places.table + 16 + 8, 0xfffffff0u); }, false},
        {"no magic", [&](auto& f) { f[places.table] = 'X'; }, false},
    };
    char folder[] = "/tmp/tessellon-tool-tests-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = original;
        c.damage(bytes);
        const std::string path = std::string(folder) + "/copy" + std::to_string(n++) + ".so";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));

        std::string error;
        HostModule* copy = LoadModule(path, &error);
        ASSERT_NE(copy, nullptr) << error;
        EXPECT_EQ(ModuleRecords(copy).size(), 1u);
        const HostResource* tile = FindModuleResource(copy, 101, HOST_RESOURCE_BITMAP);
        EXPECT_EQ(tile != nullptr, c.found);
        if (tile) {
            EXPECT_EQ(LoadModuleResource(copy, tile).Size, 40u + 76800u);
        }
        EXPECT_TRUE(UnloadModule(copy));
        std::remove(path.c_str());
    }
    rmdir(folder);
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
    EXPECT_TRUE(UnloadModule(module));
    module = nullptr;
    EXPECT_EQ(ClassRegistry.Find("Orvandel.Tessellon"), nullptr);

    module = LoadModule(TESSELLON_MODULE_PATH);
    ASSERT_NE(module, nullptr);
    Registry* again = ClassRegistry.Find("Orvandel.Tessellon");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(ModuleRecords(module), std::vector<Registry*>{again});
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
