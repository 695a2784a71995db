// What the tools that host the driver need from the operating system: loading
// the driver the way a host does, files and directories, and the simulated
// camera process. One implementation file per platform.
#ifndef ORVELLA_TOOLS_HOSTPLATFORM_H
#define ORVELLA_TOOLS_HOSTPLATFORM_H

#include <string>
#include <vector>

namespace orvella::host {

// The driver's file name on this platform (Linux: the SONAME). Given without
// a directory, the system's own search finds it, as for an installed driver.
extern const char kLibraryName[];
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
  // The file the system loaded, links resolved.
  std::string Path() const;
  // The driver's version ("1.0.0.1"): Windows from the DLL's version resource,
  // Linux from the library's file name (liborvella.so.<version>); empty when
  // it has none.
  std::string Version() const;

 private:
  void* handle;
};

std::string ExecutableDir();
bool MakeDir(const std::string& path);  // true when it exists afterwards
// A new directory named after `prefix` in the temporary folder; throws std::runtime_error.
std::string MakeTempDir(const std::string& prefix = "orvella-host");

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
  [[maybe_unused]] void* job = nullptr;  // Windows: the job object that ends the camera with us
  std::string url, tlsTrust;
};

}  // namespace orvella::host

#endif
