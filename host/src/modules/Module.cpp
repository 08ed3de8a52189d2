#include "HostModule.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>

#include "HostSystem.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#  include <elf.h>
#  include <link.h>
#endif

struct HostResource {
    uint32_t Type = 0;
    uint32_t Id = 0;
    size_t Offset = 0;   // in the module's resource bytes
    size_t Size = 0;
};

struct HostModule {
    std::string Path;
    void* Handle = nullptr;   // the system's handle of the loaded file
    int Uses = 1;
    std::vector<Registry*> Records;
#if !defined(_WIN32)
    std::string File;   // the file the loader opened
    std::vector<uint8_t> ResourceBytes;
    std::vector<HostResource> Resources;
#endif
};

namespace {

std::mutex& ModulesLock() {
    static std::mutex lock;
    return lock;
}

// Every module LoadModule has loaded and UnloadModule has not yet unloaded.
std::vector<std::unique_ptr<HostModule>>& Modules() {
    static std::vector<std::unique_ptr<HostModule>> modules;
    return modules;
}

bool IsLoaded(const HostModule* module) {
    const auto& modules = Modules();
    return std::any_of(modules.begin(), modules.end(),
                       [&](const auto& m) { return m.get() == module; });
}

#if defined(_WIN32)

std::string LastErrorText() {
    const DWORD code = GetLastError();
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length ? std::string(text, length) : "error " + std::to_string(code);
    if (text)
        LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    return result;
}

void* OpenFile(const std::string& path, std::string* error) {
    HMODULE handle = LoadLibraryA(path.c_str());
    if (!handle && error)
        *error = LastErrorText();
    return handle;
}

void CloseFile(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

void* HandleOfAddress(const void* address) {
    HMODULE handle = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &handle))
        return nullptr;
    return handle;
}

#else

void* OpenFile(const std::string& path, std::string* error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle && error) {
        const char* reason = dlerror();
        *error = reason ? reason : "the module could not be loaded";
    }
    return handle;
}

void CloseFile(void* handle) { dlclose(handle); }

// The loader's record of the object holding `address`; with glibc, a
// dlopen handle is that object's record too.
void* HandleOfAddress(const void* address) {
    Dl_info info;
    link_map* map = nullptr;
    if (!dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP))
        return nullptr;
    return map;
}

void* LinkMapOf(void* handle) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0)
        return nullptr;
    return map;
}

// Reading an ELF file defensively: every offset and size comes from the file
// and is checked against the file's length before it is used.
class FileReader {
public:
    explicit FileReader(const std::string& path) : file_(path, std::ios::binary) {
        if (file_) {
            file_.seekg(0, std::ios::end);
            const std::streamoff end = file_.tellg();
            size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
        }
    }

    bool Read(uint64_t offset, void* out, uint64_t size) {
        if (!file_ || offset > size_ || size > size_ - offset)
            return false;
        file_.seekg(static_cast<std::streamoff>(offset));
        file_.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
        return static_cast<bool>(file_);
    }

    uint64_t Size() const { return size_; }

private:
    std::ifstream file_;
    uint64_t size_ = 0;
};

// The bytes of the section called `name` in the ELF file at `path`; empty
// when the file is not a well-formed ELF file of this process's kind or has
// no such section.
std::vector<uint8_t> ReadSection(const std::string& path, const char* name) {
    using Ehdr = ElfW(Ehdr);
    using Shdr = ElfW(Shdr);
    constexpr unsigned char nativeClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
    constexpr unsigned char nativeData =
        std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;

    FileReader file(path);
    Ehdr header;
    if (!file.Read(0, &header, sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != nativeClass || header.e_ident[EI_DATA] != nativeData ||
        header.e_shoff == 0 || header.e_shentsize != sizeof(Shdr))
        return {};

    // Section 0 holds the count and the name table's index when they do not
    // fit the file header.
    Shdr first;
    if (!file.Read(header.e_shoff, &first, sizeof first))
        return {};
    const uint64_t count = header.e_shnum != 0 ? header.e_shnum : first.sh_size;
    const uint64_t namesIndex = header.e_shstrndx == SHN_XINDEX ? first.sh_link : header.e_shstrndx;
    if (count == 0 || namesIndex >= count || count > file.Size() / sizeof(Shdr))
        return {};

    std::vector<Shdr> sections(count);
    if (!file.Read(header.e_shoff, sections.data(), count * sizeof(Shdr)))
        return {};

    const Shdr& namesHeader = sections[namesIndex];
    if (namesHeader.sh_type == SHT_NOBITS || namesHeader.sh_size > file.Size())
        return {};
    std::vector<char> names(namesHeader.sh_size);
    if (!file.Read(namesHeader.sh_offset, names.data(), names.size()))
        return {};

    const size_t nameLength = std::strlen(name);
    for (const Shdr& section : sections) {
        // The name must end inside the table: compare it with its final 0.
        if (section.sh_name >= names.size() || names.size() - section.sh_name <= nameLength ||
            std::memcmp(&names[section.sh_name], name, nameLength + 1) != 0)
            continue;
        if (section.sh_type == SHT_NOBITS || section.sh_size > file.Size())
            return {};
        std::vector<uint8_t> bytes(section.sh_size);
        if (!file.Read(section.sh_offset, bytes.data(), bytes.size()))
            return {};
        return bytes;
    }
    return {};
}

uint32_t Word(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value;
    std::memcpy(&value, &bytes[at], sizeof value);
    return value;
}

// The resources the tables of HOST_RESOURCE_SECTION list. An entry whose
// bytes lie outside its table is left out; a table that does not fit ends
// the walk.
std::vector<HostResource> ParseResources(const std::vector<uint8_t>& bytes) {
    constexpr size_t headerSize = 16, entrySize = 16;
    std::vector<HostResource> resources;
    size_t at = 0;
    while (at < bytes.size() && bytes.size() - at >= headerSize &&
           std::memcmp(&bytes[at], HOST_RESOURCE_MAGIC, 4) == 0) {
        const size_t tableSize = Word(bytes, at + 4);
        const size_t count = Word(bytes, at + 8);
        if (tableSize < headerSize || tableSize > bytes.size() - at ||
            count > (tableSize - headerSize) / entrySize)
            break;
        for (size_t i = 0; i < count; ++i) {
            const size_t entry = at + headerSize + i * entrySize;
            const size_t offset = Word(bytes, entry + 8);
            const size_t size = Word(bytes, entry + 12);
            if (offset > tableSize || size > tableSize - offset)
                continue;
            resources.push_back({Word(bytes, entry), Word(bytes, entry + 4), at + offset, size});
        }
        at += (tableSize + 7) & ~size_t(7);
    }
    return resources;
}

#endif

}  // namespace

HostModule* LoadModule(const std::string& path, std::string* error) {
    std::lock_guard lock(ModulesLock());
    const std::vector<Registry*> before = ClassRegistry.Records();

    void* handle = OpenFile(path, error);
    if (!handle)
        return nullptr;

    auto& modules = Modules();
    for (auto& module : modules) {
        if (module->Handle == handle) {
            // Already loaded: its constructors did not run again, and the
            // module keeps one system reference for all its uses.
            CloseFile(handle);
            ++module->Uses;
            return module.get();
        }
    }

    auto module = std::make_unique<HostModule>();
    module->Path = path;
    module->Handle = handle;
    for (Registry* record : ClassRegistry.Records()) {
        if (std::find(before.begin(), before.end(), record) == before.end())
            module->Records.push_back(record);
    }
#if !defined(_WIN32)
    // Read the resources from the file the loader actually opened, which
    // may differ from `path` when that was a bare name it searched for.
    const link_map* map = static_cast<const link_map*>(LinkMapOf(handle));
    module->File = map && map->l_name && *map->l_name ? map->l_name : path;
    module->ResourceBytes = ReadSection(module->File, HOST_RESOURCE_SECTION);
    module->Resources = ParseResources(module->ResourceBytes);
#endif
    modules.push_back(std::move(module));
    return modules.back().get();
}

bool UnloadModule(HostModule* module) {
    std::lock_guard lock(ModulesLock());
    auto& modules = Modules();
    const auto it = std::find_if(modules.begin(), modules.end(),
                                 [&](const auto& m) { return m.get() == module; });
    if (it == modules.end())
        return false;
    if (--module->Uses > 0)
        return true;
    std::unique_ptr<HostModule> owned = std::move(*it);
    modules.erase(it);
    CloseFile(owned->Handle);
#if !defined(_WIN32)
    // The loader keeps a closed module while something pins it, for instance
    // threads holding thread-local objects with destructors of the module's;
    // its static destructors have then not run and its records stay linked.
    if (void* still = dlopen(owned->File.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
        dlclose(still);
        return false;
    }
#endif
    return true;
}

std::string ModulePath(const HostModule* module) {
    std::lock_guard lock(ModulesLock());
    return IsLoaded(module) ? module->Path : std::string();
}

std::vector<Registry*> ModuleRecords(const HostModule* module) {
    std::lock_guard lock(ModulesLock());
    if (!IsLoaded(module))
        return {};
    const std::vector<Registry*> linked = ClassRegistry.Records();
    std::vector<Registry*> records;
    for (Registry* record : module->Records) {
        if (std::find(linked.begin(), linked.end(), record) != linked.end())
            records.push_back(record);
    }
    return records;
}

HostModule* ModuleOfAddress(const void* address) {
    void* found = HandleOfAddress(address);
    if (!found)
        return nullptr;
    std::lock_guard lock(ModulesLock());
    for (auto& module : Modules()) {
#if defined(_WIN32)
        if (module->Handle == found)
#else
        if (LinkMapOf(module->Handle) == found)
#endif
            return module.get();
    }
    return nullptr;
}

HostModule* ModuleOfRecord(const Registry* record) {
    if (!record)
        return nullptr;
    {
        std::lock_guard lock(ModulesLock());
        for (auto& module : Modules()) {
            if (std::find(module->Records.begin(), module->Records.end(), record) !=
                module->Records.end())
                return module.get();
        }
    }
    // A record the module linked after it had loaded: its create function
    // lives in the module's code.
    const void* create = record->Tags().GetPointer(REG_Create);
    return create ? ModuleOfAddress(create) : nullptr;
}

const HostResource* FindModuleResource(HostModule* module, uint32_t id, uint32_t type) {
    std::lock_guard lock(ModulesLock());
    if (!IsLoaded(module))
        return nullptr;
#if defined(_WIN32)
    HRSRC found = FindResourceA(static_cast<HMODULE>(module->Handle), MAKEINTRESOURCEA(id),
                                MAKEINTRESOURCEA(type));
    return reinterpret_cast<const HostResource*>(found);
#else
    for (const HostResource& resource : module->Resources) {
        if (resource.Id == id && resource.Type == type)
            return &resource;
    }
    return nullptr;
#endif
}

HostResourceData LoadModuleResource(HostModule* module, const HostResource* resource) {
    std::lock_guard lock(ModulesLock());
    if (!resource || !IsLoaded(module))
        return {};
#if defined(_WIN32)
    HMODULE handle = static_cast<HMODULE>(module->Handle);
    HRSRC found = reinterpret_cast<HRSRC>(const_cast<HostResource*>(resource));
    HGLOBAL loaded = LoadResource(handle, found);
    if (!loaded)
        return {};
    return {static_cast<const uint8_t*>(LockResource(loaded)), SizeofResource(handle, found)};
#else
    // Only a resource of this module: its bytes lie in this module's copy.
    const auto& resources = module->Resources;
    if (std::none_of(resources.begin(), resources.end(),
                     [&](const HostResource& r) { return &r == resource; }))
        return {};
    return {module->ResourceBytes.data() + resource->Offset, resource->Size};
#endif
}
