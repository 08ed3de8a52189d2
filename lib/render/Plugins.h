// Finding and loading tool modules, and making tools from their records.
#pragma once

#include <string>
#include <vector>

#include "HostModule.h"
#include "HostSystem.h"

namespace tessellon {

// The class identifier of the stitching tool.
inline constexpr const char* StitchClass = "Orvandel.Tessellon";

// The tool modules of one run, loaded for its whole length.
class Plugins {
public:
    // Loads the modules named by `paths` (files, or folders holding the
    // module); without any, those of TESSELLON_PLUGIN_PATH (separated by
    // ':'); without that, the module in `executableDirectory` or in its
    // ../lib. Throws Error (bad input) when no module loads.
    Plugins(const std::vector<std::string>& paths, const std::string& executableDirectory);
    // Unloads the modules; every tool made from them must be gone.
    ~Plugins();
    Plugins(const Plugins&) = delete;
    Plugins& operator=(const Plugins&) = delete;

    // The record of `classID`. Throws Error when no module registered it.
    const Registry& Find(const char* classID) const;
    // The records the loaded modules registered, in the order linked.
    std::vector<Registry*> Records() const;
    const std::vector<HostModule*>& Modules() const { return modules_; }

private:
    std::vector<HostModule*> modules_;
};

// A tool made through its record, destroyed with this object.
class ToolInstance {
public:
    explicit ToolInstance(const Registry& record);
    ~ToolInstance();
    ToolInstance(const ToolInstance&) = delete;
    ToolInstance& operator=(const ToolInstance&) = delete;

    Operator& Op() const { return *op_; }
    // The input or output named `id`; throws Error when the tool lacks it.
    Input& In(const char* id) const;
    Output& Out(const char* id) const;

private:
    Operator* op_ = nullptr;
};

}  // namespace tessellon
