// What `tessellon` tells its user, and how a command ends.
//
// Errors and warnings go to stderr as one line each, "tessellon ERROR: ..."
// and "tessellon WARNING: ...". A command that cannot go on throws
// CommandError with the exit status it ends with; main prints it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tessellon {

// Exit statuses of every command.
inline constexpr int ExitWritten = 0;    // done; the output was written
inline constexpr int ExitNoImage = 1;    // the tool produced no image, or the run failed inside
inline constexpr int ExitBadInput = 2;   // bad arguments or bad input; nothing was done

class CommandError : public std::runtime_error {
public:
    CommandError(int status, const std::string& what) : std::runtime_error(what), status_(status) {}
    int Status() const { return status_; }

private:
    int status_;
};

// Shorthands for the two kinds the commands throw most.
[[noreturn]] void BadInput(const std::string& what);
[[noreturn]] void NoImage(const std::string& what);

// One line on stderr: "tessellon ERROR: what" / "tessellon WARNING: what".
void PrintError(const std::string& what);
void PrintWarning(const std::string& what);

// A path as messages quote it.
std::string Quoted(const std::string& path);

// A byte count for people: "512 B", "3.4 MiB", "12.0 GiB".
std::string ByteText(double bytes);

// Reads a byte count as options give it: "1073741824", "512M", "4G", "1.5T"
// (binary multiples; a trailing "B" or "iB" allowed). Throws
// std::invalid_argument for anything else, for zero and for overflow.
uint64_t ParseByteCount(const std::string& text);

}  // namespace tessellon
