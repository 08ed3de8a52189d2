// Symbol visibility of the two host libraries. Tools include the host headers
// and link against HostScript and HostSystem; the libraries build with
// HOSTSCRIPT_BUILD / HOSTSYSTEM_BUILD defined.
#pragma once

#if defined(_WIN32)
#  define HOST_EXPORT __declspec(dllexport)
#  define HOST_IMPORT __declspec(dllimport)
#else
#  define HOST_EXPORT __attribute__((visibility("default")))
#  define HOST_IMPORT __attribute__((visibility("default")))
#endif

#if defined(HOSTSCRIPT_BUILD)
#  define HOSTSCRIPT_API HOST_EXPORT
#else
#  define HOSTSCRIPT_API HOST_IMPORT
#endif

#if defined(HOSTSYSTEM_BUILD)
#  define HOSTSYSTEM_API HOST_EXPORT
#else
#  define HOSTSYSTEM_API HOST_IMPORT
#endif
