// Checks shared by the image readers before a file is opened.
#pragma once

#include <string>

namespace tessellon {

// Refuses, naming `path`, what is no regular file: a missing file, a
// folder, a pipe or a device (which would be read until it ends, if ever).
void CheckRegularFile(const std::string& path);

}  // namespace tessellon
