// Modules through the dynamic loader; a module's own libraries (FFmpeg's,
// GTK's) are found as the system finds any library's.
#include <dlfcn.h>

#include "driver/ModuleLoader.h"

namespace orvella {

const bool kModulesUseSystemLibraries = true;

std::string ModuleFile(const std::string& name) {
  return "orvella/lib" + name + ".so";
}

void* LoadModule(const std::string& path, std::string& reason) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* text = dlerror();
    reason = text ? text : "";
  }
  return handle;
}

void* ModuleSymbol(void* module, const char* name) {
  return dlsym(module, name);
}

}  // namespace orvella
