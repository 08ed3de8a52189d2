#include "FileChecks.h"

#include <filesystem>
#include <system_error>

#include "Error.h"

namespace tessellon {

void CheckRegularFile(const std::string& path) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) throw BadFile(path, "no such file");
    if (status.type() == std::filesystem::file_type::directory)
        throw BadFile(path, "is a directory, not an image file");
    if (status.type() != std::filesystem::file_type::regular) throw BadFile(path, "is not a regular file");
}

}  // namespace tessellon
