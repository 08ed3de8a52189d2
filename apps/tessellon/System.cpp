#include "System.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#if defined(_WIN32)
#  include <io.h>
#  include <windows.h>
#  include <psapi.h>
#else
#  include <sys/resource.h>
#  include <unistd.h>
#endif

namespace tessellon {

namespace fs = std::filesystem;

#if defined(_WIN32)

std::string ExecutableDirectory() {
    // Paths longer than MAX_PATH exist; grow the buffer until the name fits.
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, name.data(), DWORD(name.size()));
        if (length == 0) return ".";
        if (length < name.size()) {
            name.resize(length);
            return fs::path(name).parent_path().string();
        }
        if (name.size() >= 32768) return ".";
        name.resize(name.size() * 2);
    }
}

uint64_t PhysicalMemoryBytes() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? uint64_t(status.ullTotalPhys) : 0;
}

double PeakResidentBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0.0;
    return double(counters.PeakWorkingSetSize);
}

uint64_t BytesRead() {
    IO_COUNTERS counters{};
    return GetProcessIoCounters(GetCurrentProcess(), &counters) ? uint64_t(counters.ReadTransferCount) : 0;
}

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

#else

std::string ExecutableDirectory() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

uint64_t PhysicalMemoryBytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return uint64_t(pages) * uint64_t(pageSize);
}

double PeakResidentBytes() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0.0;
    return double(usage.ru_maxrss) * 1024.0;   // kilobytes on Linux
}

uint64_t BytesRead() {
    // "rchar": every byte read() and its kin returned, from the page cache or not.
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return 0;
}

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

#endif

}  // namespace tessellon
