#include <windows.h>

#include <stdexcept>
#include <vector>

#include "common/HostPlatform.h"

namespace orvella::host {
namespace {

std::string Quoted(const std::string& arg) {
  return arg.find_first_of(" \t\"") == std::string::npos ? arg : "\"" + arg + "\"";
}

// The job kills the camera when its last handle closes: however the host
// ends, the camera does not outlive it.
HANDLE MakeKillJob() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
    throw std::runtime_error("cannot make a job object (error " + std::to_string(GetLastError()) + ")");
  return job;
}

// The child's first line on `pipe`, without its line end.
std::string ReadLine(HANDLE pipe) {
  std::string line;
  char c;
  DWORD n;
  while (ReadFile(pipe, &c, 1, &n, nullptr) && n == 1 && c != '\n')
    if (c != '\r') line += c;
  return line;
}

}  // namespace

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

std::string DriverLibrary::Path() const {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(handle), path, MAX_PATH);
  return n == 0 || n >= MAX_PATH ? std::string() : std::string(path, n);
}

std::string DriverLibrary::Version() const {
  const std::string path = Path();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  std::vector<char> info(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, info.data()) ||
      !VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed)
    return std::string();
  return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
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

std::string MakeTempDir(const std::string& prefix) {
  char tmp[MAX_PATH];
  const DWORD n = GetTempPathA(MAX_PATH, tmp);
  if (n == 0 || n >= MAX_PATH) throw std::runtime_error("no temporary directory");
  for (unsigned i = 0; i < 1000; ++i) {
    const std::string dir =
        std::string(tmp) + prefix + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i);
    if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
  }
  throw std::runtime_error("cannot make a temporary directory");
}

SimCamProcess::SimCamProcess(const std::string& program, const std::vector<std::string>& args) {
  std::string command = Quoted(program);  // CreateProcess adds ".exe"
  for (const std::string& a : args) command += " " + Quoted(a);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child{};
  HANDLE killJob = MakeKillJob();
  const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                                      &startup, &child);
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    CloseHandle(killJob);
    throw std::runtime_error("cannot start the simulated camera " + program + " (error " +
                             std::to_string(GetLastError()) + ")");
  }
  AssignProcessToJobObject(killJob, child.hProcess);
  ResumeThread(child.hThread);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  job = killJob;
  pid = static_cast<long>(child.dwProcessId);
  const std::string line = ReadLine(readEnd);
  CloseHandle(readEnd);  // later output would go nowhere; the simcam prints nothing more on stdout
  const std::string prefix = "listening on ";
  if (line.compare(0, prefix.size(), prefix) != 0) {
    CloseHandle(killJob);
    throw std::runtime_error("the simulated camera " + program + " did not start");
  }
  url = line.substr(prefix.size());
}

SimCamProcess::~SimCamProcess() {
  if (job) CloseHandle(static_cast<HANDLE>(job));  // kills the camera
}

}  // namespace orvella::host
