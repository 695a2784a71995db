#include <windows.h>

#include <stdexcept>

#include "common/HostPlatform.h"

namespace orvella::host {

const char kLibraryName[] = "Orvella.dll";
const char kPathSeparator = '\\';

DriverLibrary::DriverLibrary(const std::string& path) : handle(LoadLibraryA(path.c_str())) {
  if (!handle)
    throw std::runtime_error("cannot load the driver " + path + " (error " + std::to_string(GetLastError()) + ")");
}

DriverLibrary::~DriverLibrary() {
  FreeLibrary(static_cast<HMODULE>(handle));
}

void* DriverLibrary::Symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

std::string ExecutableDir() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return ".";
  std::string exe(path, n);
  return exe.substr(0, exe.find_last_of("\\/"));
}

bool MakeDir(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return true;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string MakeTempDir() {
  char tmp[MAX_PATH];
  const DWORD n = GetTempPathA(MAX_PATH, tmp);
  if (n == 0 || n >= MAX_PATH) throw std::runtime_error("no temporary directory");
  for (unsigned i = 0; i < 1000; ++i) {
    const std::string dir =
        std::string(tmp) + "orvella-host-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i);
    if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
  }
  throw std::runtime_error("cannot make a temporary directory");
}

// The simulated camera is a Linux program; on Windows the host needs a real
// camera's URL.
SimCamProcess::SimCamProcess(const std::string&, const std::vector<std::string>&) {
  throw std::runtime_error("the simulated camera runs on Linux only: give a camera with --url");
}

SimCamProcess::~SimCamProcess() = default;

}  // namespace orvella::host
