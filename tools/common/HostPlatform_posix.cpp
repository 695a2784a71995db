#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "common/HostPlatform.h"

namespace orvella::host {
namespace {

void Stop(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace

const char kLibraryName[] = "liborvella.so.1";
const char kPathSeparator = '/';

DriverLibrary::DriverLibrary(const std::string& path) : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (!handle) throw std::runtime_error(std::string("cannot load the driver: ") + dlerror());
}

DriverLibrary::~DriverLibrary() {
  dlclose(handle);
}

void* DriverLibrary::Symbol(const char* name) const {
  return dlsym(handle, name);
}

std::string DriverLibrary::Path() const {
  link_map* map = nullptr;
  char path[PATH_MAX];
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !realpath(map->l_name, path)) return std::string();
  return path;
}

// The SONAME link leads to liborvella.so.<version>; the version is in the name.
std::string DriverLibrary::Version() const {
  const std::string path = Path();
  const size_t so = path.find(".so.", path.rfind('/') + 1);
  return so == std::string::npos ? std::string() : path.substr(so + 4);
}

std::string ExecutableDir() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string exe(path, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

bool MakeDir(const std::string& path) {
  struct stat st {};
  return mkdir(path.c_str(), 0755) == 0 || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

std::string MakeTempDir(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  if (!mkdtemp(tmpl.data()))
    throw std::runtime_error("cannot make a temporary directory: " + std::string(std::strerror(errno)));
  return tmpl;
}

SimCamProcess::SimCamProcess(const std::string& program, const std::vector<std::string>& args) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives the host
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  if (child < 0) {
    close(out[0]);
    throw std::runtime_error("fork failed");
  }
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  // With --rtsp the camera to use is the stream, on the second line.
  std::string rtsp;
  if (std::find(args.begin(), args.end(), "--rtsp") != args.end())
    while (read(out[0], &c, 1) == 1 && c != '\n') rtsp += c;
  close(out[0]);  // later output would go nowhere
  const std::string prefix = "listening on ";
  if (line.compare(0, prefix.size(), prefix) != 0) {
    Stop(child);
    throw std::runtime_error("the simulated camera " + program + " did not start (build it with the tools)");
  }
  url = line.substr(prefix.size());
  const std::string trust = " (TlsTrust=";
  const size_t at = url.find(trust);
  if (at != std::string::npos) {
    tlsTrust = url.substr(at + trust.size(), url.find(')', at) - at - trust.size());
    url.erase(at);
  }
  const std::string rtspPrefix = "rtsp on ";
  if (rtsp.compare(0, rtspPrefix.size(), rtspPrefix) == 0)
    url = rtsp.substr(rtspPrefix.size(), rtsp.find(' ', rtspPrefix.size()) - rtspPrefix.size());
  pid = child;
}

SimCamProcess::~SimCamProcess() {
  if (pid > 0) Stop(static_cast<pid_t>(pid));
}

}  // namespace orvella::host
