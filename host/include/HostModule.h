// Tool modules: loading, unloading and reading the resources a module
// carries, after the system's LoadLibrary / FreeLibrary / FindResource /
// LoadResource.
//
// A tool module registers its classes from its static constructors when it
// is loaded and unregisters them when it is unloaded. LoadModule notes which
// records of ClassRegistry appeared while it loaded a module, so the host can
// tell which tools came from which module.
//
// Resources are found the same way. On Windows a module's resources are
// those of the DLL. Elsewhere a module keeps each resource's bytes in its own
// read-only data and defines a static ModuleResource naming them, which links
// itself into the host's list when the module loads and unlinks when it
// unloads; LoadModule notes which resources appeared while it loaded the
// module, and FindModuleResource looks only among those.
//
// A bitmap (type HOST_RESOURCE_BITMAP) is the bitmap file without its 14-byte
// file header: the information header, then the pixels, as Windows keeps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "HostExport.h"

class Registry;

#define HOST_RESOURCE_BITMAP 2

// A loaded module. Loading the same file again yields the same module with
// one more use; it is unloaded when its last use is given back.
struct HostModule;
// A resource found in a module; valid while the module stays loaded.
struct HostResource;

// The bytes of a resource, valid while its module stays loaded.
struct HostResourceData {
    const uint8_t* Data = nullptr;
    size_t Size = 0;
};

#if !defined(_WIN32)
// One resource of a module, defined statically in the module. `data` is the
// module's own and lives as long as the module.
class HOSTSYSTEM_API ModuleResource {
public:
    ModuleResource(uint32_t type, uint32_t id, const void* data, size_t size);
    ~ModuleResource();
    ModuleResource(const ModuleResource&) = delete;
    ModuleResource& operator=(const ModuleResource&) = delete;

    uint32_t Type() const { return type_; }
    uint32_t Id() const { return id_; }
    HostResourceData Bytes() const { return {data_, size_}; }

    // Every resource linked, in the order linked.
    static std::vector<const ModuleResource*> Linked();

private:
    uint32_t type_;
    uint32_t id_;
    const uint8_t* data_;
    size_t size_;
    ModuleResource* next_ = nullptr;
};
#endif

// Loads the module at `path` and runs its static constructors. Returns null,
// with the system's reason in *error when `error` is given, if it cannot be
// loaded.
HOSTSYSTEM_API HostModule* LoadModule(const std::string& path, std::string* error = nullptr);

// Gives back one use of `module`; the last use unloads it, which runs its
// static destructors. Any object the module made must be destroyed first.
// False for null, for a module not loaded through LoadModule, and when the
// system keeps the module loaded after its last use (its static destructors
// have then not run and its records and resources stay linked).
HOSTSYSTEM_API bool UnloadModule(HostModule* module);

// The path the module was loaded from.
HOSTSYSTEM_API std::string ModulePath(const HostModule* module);

// The records that loading the module linked into ClassRegistry and that are
// still linked, in the order linked.
HOSTSYSTEM_API std::vector<Registry*> ModuleRecords(const HostModule* module);

// The loaded module whose code or data holds `address`, or null when that is
// no module loaded through LoadModule.
HOSTSYSTEM_API HostModule* ModuleOfAddress(const void* address);

// The loaded module that registered `record`, or null.
HOSTSYSTEM_API HostModule* ModuleOfRecord(const Registry* record);

// The resource with number `id` of type `type` (HOST_RESOURCE_BITMAP, ...), or
// null when the module carries none.
HOSTSYSTEM_API const HostResource* FindModuleResource(HostModule* module, uint32_t id, uint32_t type);

// The bytes of a resource that FindModuleResource found; empty for null.
HOSTSYSTEM_API HostResourceData LoadModuleResource(HostModule* module, const HostResource* resource);
