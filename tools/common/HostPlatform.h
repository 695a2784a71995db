// What the tools that host the driver need from the operating system: loading
// the driver the way a host does, files and directories, and the simulated
// camera process. One implementation file per platform.
#ifndef ORVELLA_TOOLS_HOSTPLATFORM_H
#define ORVELLA_TOOLS_HOSTPLATFORM_H

#include <string>
#include <vector>

namespace orvella::host {

extern const char kLibraryName[];  // the driver's file name on this platform
extern const char kPathSeparator;

// The driver library, loaded at run time (dlopen / LoadLibraryA) and
// unloaded by the destructor. Throws std::runtime_error when it cannot load.
class DriverLibrary {
 public:
  explicit DriverLibrary(const std::string& path);
  ~DriverLibrary();
  DriverLibrary(const DriverLibrary&) = delete;
  DriverLibrary& operator=(const DriverLibrary&) = delete;
  // The exported function of that name, or null.
  void* Symbol(const char* name) const;

 private:
  void* handle;
};

std::string ExecutableDir();
bool MakeDir(const std::string& path);  // true when it exists afterwards
std::string MakeTempDir();              // throws std::runtime_error

// orvella-simcam as a child process: started by the constructor, which reads
// its first output line ("listening on URL", then " (TlsTrust=KEY)" with
// --tls); stopped by the destructor.
class SimCamProcess {
 public:
  SimCamProcess(const std::string& program, const std::vector<std::string>& args);
  ~SimCamProcess();
  SimCamProcess(const SimCamProcess&) = delete;
  SimCamProcess& operator=(const SimCamProcess&) = delete;
  const std::string& Url() const { return url; }
  const std::string& TlsTrust() const { return tlsTrust; }  // "" without TLS

 private:
  long pid = -1;
  std::string url, tlsTrust;
};

}  // namespace orvella::host

#endif
