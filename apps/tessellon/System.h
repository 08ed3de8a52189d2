// What the command-line host asks of the operating system. Everything
// system-specific outside the image files is in System.cpp.
#pragma once

#include <cstdint>
#include <string>

namespace tessellon {

// The folder the running executable is in; "." when the system does not say.
std::string ExecutableDirectory();

// The machine's physical memory in bytes; 0 when the system does not say.
uint64_t PhysicalMemoryBytes();

// Peak resident memory of this process so far, in bytes; 0 when the system
// does not say.
double PeakResidentBytes();

// Bytes this process has read through the system so far (files, pipes);
// 0 when the system does not say.
uint64_t BytesRead();

// Whether the standard error stream is a terminal, where progress lines
// that redraw themselves belong.
bool StandardErrorIsTerminal();

}  // namespace tessellon
