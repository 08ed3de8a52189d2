#include "Plugins.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "Error.h"
#include "Text.h"

#ifndef TESSELLON_MODULE_FILE
#define TESSELLON_MODULE_FILE "Tessellon.so"
#endif

namespace tessellon {

namespace fs = std::filesystem;

namespace {

// The separator of TESSELLON_PLUGIN_PATH, as of PATH: ';' on Windows, where
// ':' follows a drive letter, ':' elsewhere.
#if defined(_WIN32)
constexpr char PathListSeparator = ';';
#else
constexpr char PathListSeparator = ':';
#endif

std::vector<std::string> SplitPathList(const std::string& list) {
    std::vector<std::string> parts;
    size_t begin = 0;
    while (begin <= list.size()) {
        const size_t end = std::min(list.find(PathListSeparator, begin), list.size());
        if (end > begin) parts.push_back(list.substr(begin, end - begin));
        begin = end + 1;
    }
    return parts;
}

// A folder stands for the module file in it.
std::string ModuleFileOf(const std::string& path) {
    std::error_code error;
    if (fs::is_directory(path, error)) return (fs::path(path) / TESSELLON_MODULE_FILE).string();
    return path;
}

}  // namespace

Plugins::Plugins(const std::vector<std::string>& paths, const std::string& executableDirectory) {
    std::vector<std::string> candidates;
    if (!paths.empty()) {
        for (const std::string& path : paths) candidates.push_back(ModuleFileOf(path));
    } else if (const char* list = std::getenv("TESSELLON_PLUGIN_PATH"); list && *list) {
        // Like PATH: entries without a module are passed over.
        for (const std::string& path : SplitPathList(list)) {
            std::error_code error;
            if (fs::exists(ModuleFileOf(path), error)) candidates.push_back(ModuleFileOf(path));
        }
        if (candidates.empty())
            BadInput("no tool module " + Quoted(TESSELLON_MODULE_FILE) + " in TESSELLON_PLUGIN_PATH (" + list + ")");
    } else {
        // Found where the build and an installation put it; the first that exists wins.
        const fs::path here = executableDirectory;
        for (const fs::path& path : {here / TESSELLON_MODULE_FILE, here / ".." / "lib" / TESSELLON_MODULE_FILE}) {
            std::error_code error;
            if (fs::exists(path, error)) {
                candidates.push_back(path.lexically_normal().string());
                break;
            }
        }
        if (candidates.empty())
            BadInput("no tool module " + Quoted(TESSELLON_MODULE_FILE) + " next to the executable (" + here.string() +
                     ") or in " + (here / ".." / "lib").lexically_normal().string() +
                     "; name one with --plugin or TESSELLON_PLUGIN_PATH");
    }

    for (const std::string& path : candidates) {
        std::string why;
        HostModule* module = LoadModule(path, &why);
        if (!module) {
            for (HostModule* loaded : modules_) UnloadModule(loaded);
            modules_.clear();
            BadInput("cannot load the tool module " + Quoted(path) + (why.empty() ? "" : ": " + why));
        }
        // The same file named twice is one module with two uses.
        if (std::find(modules_.begin(), modules_.end(), module) != modules_.end())
            UnloadModule(module);
        else
            modules_.push_back(module);
    }
}

Plugins::~Plugins() {
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) UnloadModule(*it);
}

const Registry& Plugins::Find(const char* classID) const {
    for (HostModule* module : modules_)
        for (Registry* record : ModuleRecords(module))
            if (std::string(record->ClassID().Text()) == classID) return *record;
    std::string where;
    for (HostModule* module : modules_) where += (where.empty() ? "" : ", ") + Quoted(ModulePath(module));
    BadInput("no loaded module registers the tool " + Quoted(classID) + " (loaded: " + where + ")");
}

std::vector<Registry*> Plugins::Records() const {
    std::vector<Registry*> records;
    for (HostModule* module : modules_)
        for (Registry* record : ModuleRecords(module)) records.push_back(record);
    return records;
}

ToolInstance::ToolInstance(const Registry& record) {
    op_ = record.Create(ScriptVal(), TagList());
    if (!op_) NoImage("the module's record " + Quoted(record.ClassID().Text()) +
                                                  " made no tool");
}

ToolInstance::~ToolInstance() { delete op_; }

Input& ToolInstance::In(const char* id) const {
    Input* input = op_->FindInput(id);
    if (!input) NoImage("the tool has no input " + Quoted(id));
    return *input;
}

Output& ToolInstance::Out(const char* id) const {
    Output* output = op_->FindOutput(id);
    if (!output) NoImage("the tool has no output " + Quoted(id));
    return *output;
}

}  // namespace tessellon
