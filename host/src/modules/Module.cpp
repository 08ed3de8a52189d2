#include "HostModule.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "HostSystem.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#  include <link.h>
#endif

struct HostModule {
    std::string Path;
    void* Handle = nullptr;   // the system's handle of the loaded file
    int Uses = 1;
    std::vector<Registry*> Records;
#if !defined(_WIN32)
    std::string File;   // the file the loader opened
    std::vector<const ModuleResource*> Resources;
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

// What `now` holds and `before` does not, in the order of `now`.
template <class T>
std::vector<T> Without(const std::vector<T>& now, const std::vector<T>& before) {
    std::vector<T> result;
    for (const T& item : now) {
        if (std::find(before.begin(), before.end(), item) == before.end())
            result.push_back(item);
    }
    return result;
}

// What of `noted` is still in `linked`.
template <class T>
std::vector<T> StillLinked(const std::vector<T>& noted, const std::vector<T>& linked) {
    std::vector<T> result;
    for (const T& item : noted) {
        if (std::find(linked.begin(), linked.end(), item) != linked.end())
            result.push_back(item);
    }
    return result;
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

// The linked resources, oldest first. A lock of their own: a module's
// constructors link them while LoadModule holds ModulesLock.
std::mutex& ResourcesLock() {
    static std::mutex lock;
    return lock;
}

ModuleResource* linkedResources = nullptr;

#endif

}  // namespace

#if !defined(_WIN32)

ModuleResource::ModuleResource(uint32_t type, uint32_t id, const void* data, size_t size)
    : type_(type), id_(id), data_(static_cast<const uint8_t*>(data)), size_(size) {
    std::lock_guard lock(ResourcesLock());
    ModuleResource** tail = &linkedResources;
    while (*tail != nullptr)
        tail = &(*tail)->next_;
    *tail = this;
}

ModuleResource::~ModuleResource() {
    std::lock_guard lock(ResourcesLock());
    for (ModuleResource** at = &linkedResources; *at != nullptr; at = &(*at)->next_) {
        if (*at == this) {
            *at = next_;
            break;
        }
    }
}

std::vector<const ModuleResource*> ModuleResource::Linked() {
    std::vector<const ModuleResource*> resources;
    std::lock_guard lock(ResourcesLock());
    for (const ModuleResource* resource = linkedResources; resource != nullptr; resource = resource->next_)
        resources.push_back(resource);
    return resources;
}

#endif

HostModule* LoadModule(const std::string& path, std::string* error) {
    std::lock_guard lock(ModulesLock());
    const std::vector<Registry*> before = ClassRegistry.Records();
#if !defined(_WIN32)
    const std::vector<const ModuleResource*> resourcesBefore = ModuleResource::Linked();
#endif

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
    module->Records = Without(ClassRegistry.Records(), before);
#if !defined(_WIN32)
    module->Resources = Without(ModuleResource::Linked(), resourcesBefore);
    // The file the loader actually opened, which may differ from `path`
    // when that was a bare name it searched for.
    const link_map* map = static_cast<const link_map*>(LinkMapOf(handle));
    module->File = map && map->l_name && *map->l_name ? map->l_name : path;
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
    // its static destructors have then not run and its records and resources
    // stay linked.
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
    return StillLinked(module->Records, ClassRegistry.Records());
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
    for (const ModuleResource* resource : StillLinked(module->Resources, ModuleResource::Linked())) {
        if (resource->Id() == id && resource->Type() == type)
            return reinterpret_cast<const HostResource*>(resource);
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
    // Only a resource this module linked and still links: anything else may
    // belong to another module or be gone.
    const auto* found = reinterpret_cast<const ModuleResource*>(resource);
    const auto linked = StillLinked(module->Resources, ModuleResource::Linked());
    if (std::find(linked.begin(), linked.end(), found) == linked.end())
        return {};
    return found->Bytes();
#endif
}
