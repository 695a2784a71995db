#include <windows.h>

#include "driver/Errors.h"
#include "driver/ModuleLoader.h"

namespace orvella {

const bool kModulesUseSystemLibraries = false;

std::string ModuleFile(const std::string& name) {
  return "orvella\\" + name + ".dll";
}

void* LoadModule(const std::string& path, std::string& reason) {
  // The module's own imports are searched beside it first, never in the
  // host's current directory before Windows' own. The altered search
  // applies to a full path with backslashes only.
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) reason = Win32Exception().what();
  return reinterpret_cast<void*>(module);
}

void* ModuleSymbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

}  // namespace orvella
