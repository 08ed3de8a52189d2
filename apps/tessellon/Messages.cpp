#include "Messages.h"

#include <cstdio>

namespace tessellon {

namespace {

// Written whole with one call, so that lines of several threads never mix.
void PrintLine(const char* kind, const std::string& what) {
    const std::string line = std::string("tessellon ") + kind + ": " + what + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

void PrintError(const std::string& what) { PrintLine("ERROR", what); }
void PrintWarning(const std::string& what) { PrintLine("WARNING", what); }

}  // namespace tessellon
