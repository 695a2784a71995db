// Loading a module the driver opens at run time from its private folder (the
// RTSP module, Linux's settings dialog), one implementation per platform:
// ModuleLoader_posix.cpp (the dynamic loader), ModuleLoader_win32.cpp
// (LoadLibraryExA). A module is never unloaded: FFmpeg and GTK keep threads
// and global state. What to load and why it failed stay with the caller.
#pragma once

#include <string>

namespace orvella {

// Where the module `name` lies below the driver's folder:
// "orvella/lib<name>.so", or "orvella\\<name>.dll" (backslashes: Windows'
// altered search order applies to a full Windows path only).
std::string ModuleFile(const std::string& name);
// Whether modules link the system's libraries (Linux) rather than carry
// what they need (Windows).
extern const bool kModulesUseSystemLibraries;

// Loads the module at `path` (a full path) with its own imports, for the
// life of the process: its handle, or null with the system's reason in
// `reason` (empty when the system gave none). Thread-safe.
void* LoadModule(const std::string& path, std::string& reason);

// The address of the exported function `name` of a loaded module, or null.
void* ModuleSymbol(void* module, const char* name);

template <class Fn>
Fn ModuleFunction(void* module, const char* name) {
  return reinterpret_cast<Fn>(ModuleSymbol(module, name));
}

}  // namespace orvella
