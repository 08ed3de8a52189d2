// What the tests that run the tessellon binary share.
#pragma once

#include <algorithm>
#include <string>

// Takes the progress lines out of a run's stderr ("tessellon:   1.2 s
// reading frames 3/5"), so that what stays holds only errors and warnings,
// and returns them.
inline std::string TakeProgressLines(std::string& err) {
    std::string log, rest;
    size_t at = 0;
    while (at < err.size()) {
        const size_t end = std::min(err.find('\n', at), err.size() - 1) + 1;
        const std::string line = err.substr(at, end - at);
        const bool progress = line.rfind("tessellon: ", 0) == 0 && line.find(" s  ") != std::string::npos;
        (progress ? log : rest) += line;
        at = end;
    }
    err = rest;
    return log;
}
