// An output file written under a temporary name beside its target and
// renamed into place only when complete: a failed write leaves nothing.
#pragma once

#include <filesystem>
#include <string>

namespace tessellon {

class PendingFile {
public:
    // Checks that the target's folder exists and picks a hidden, unique
    // temporary name in it that ends in `extension` (writers choose their
    // format by it). Throws Error naming `target`.
    PendingFile(const std::string& target, const std::string& extension);
    // Removes the temporary file unless Commit() went through.
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const std::filesystem::path& Path() const { return temporary_; }
    const std::filesystem::path& Directory() const { return directory_; }

    // Renames the temporary file onto the target. Throws Error.
    void Commit();

private:
    std::string target_;
    std::filesystem::path directory_, temporary_;
    bool committed_ = false;
};

}  // namespace tessellon
