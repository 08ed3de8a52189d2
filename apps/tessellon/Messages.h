// What `tessellon` tells its user, and how a command ends.
//
// Errors and warnings go to stderr as one line each, "tessellon ERROR: ..."
// and "tessellon WARNING: ...". A command that cannot go on throws an Error
// (Error.h), whose kind gives the exit status; main prints it.
#pragma once

#include <string>

#include "Error.h"
#include "Text.h"

namespace tessellon {

// Exit statuses of every command.
inline constexpr int ExitWritten = 0;    // done; the output was written
inline constexpr int ExitNoImage = 1;    // the tool produced no image, or the run failed inside
inline constexpr int ExitBadInput = 2;   // bad arguments or bad input; nothing was done

// One line on stderr: "tessellon ERROR: what" / "tessellon WARNING: what".
void PrintError(const std::string& what);
void PrintWarning(const std::string& what);

}  // namespace tessellon
