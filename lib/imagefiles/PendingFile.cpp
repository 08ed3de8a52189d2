#include "PendingFile.h"

#include <atomic>
#include <cstdint>
#include <system_error>

#if defined(_WIN32)
#  include <process.h>
#else
#  include <unistd.h>
#endif

#include "ImageFiles.h"

namespace fs = std::filesystem;

namespace tessellon {

namespace {

std::atomic<uint64_t> temporaryCount{0};

long ProcessId() {
#if defined(_WIN32)
    return long(_getpid());
#else
    return long(::getpid());
#endif
}

}  // namespace

PendingFile::PendingFile(const std::string& target, const std::string& extension) : target_(target) {
    const fs::path path(target);
    directory_ = path.parent_path();
    if (directory_.empty()) directory_ = ".";
    std::error_code ec;
    if (!fs::is_directory(directory_, ec))
        throw BadFile(target, "the output directory '" + directory_.string() + "' does not exist");
    std::string hidden = ".";
    hidden += path.stem().string();
    hidden += ".tmp." + std::to_string(ProcessId()) + "." + std::to_string(temporaryCount.fetch_add(1));
    hidden += extension;
    temporary_ = directory_ / hidden;
}

PendingFile::~PendingFile() {
    if (!committed_) {
        std::error_code ec;
        fs::remove(temporary_, ec);
    }
}

void PendingFile::Commit() {
    std::error_code ec;
    fs::rename(temporary_, fs::path(target_), ec);
    if (ec)
        throw BadFile(target_, "cannot move the written file into place: " + ec.message());
    committed_ = true;
}

}  // namespace tessellon
