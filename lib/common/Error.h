// The one error type of Tessellon's libraries and command line.
//
// Whatever refuses to go on throws an Error: its kind says how the command
// ends (bad input: exit 2, nothing done; no image: exit 1) and its location
// names the file, and the line and column where they apply, that caused it.
// what() reads "file:line:column: message", the form compilers use.
#pragma once

#include <stdexcept>
#include <string>

namespace tessellon {

enum class ErrorKind {
    BadInput,   // bad arguments or bad input; nothing was written
    NoImage,    // the tool produced no image, or the render failed inside
};

// Where in the input an error lies. Line and column count from 1; 0 where
// they do not apply (a whole-file error, or one about a whole line).
struct Location {
    Location() = default;
    Location(std::string file, int line = 0, int column = 0) : File(std::move(file)), Line(line), Column(column) {}
    Location(const char* file, int line = 0, int column = 0) : Location(std::string(file), line, column) {}

    std::string File;
    int Line = 0;
    int Column = 0;

    bool Empty() const { return File.empty(); }
    // "file", "file:line" or "file:line:column".
    std::string Text() const;
};

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, Location where, const std::string& message);

    ErrorKind Kind() const { return kind_; }
    const Location& Where() const { return where_; }
    // The message without its location.
    const std::string& Message() const { return message_; }
    // 2 for bad input, 1 for no image.
    int ExitStatus() const;

private:
    ErrorKind kind_;
    Location where_;
    std::string message_;
};

// Bad input found in a file, at a line and column where they apply.
Error BadFile(Location where, const std::string& message);

// Throw the two kinds without a location (the message names what it needs).
[[noreturn]] void BadInput(const std::string& message);
[[noreturn]] void NoImage(const std::string& message);

}  // namespace tessellon
