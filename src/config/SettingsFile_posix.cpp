// Settings file through our own INI module. Reads parse the file once per
// accessor; writes are collected and committed as one new file that is
// renamed over the old one, so a reader (or a crash) sees either the old file
// or the new one, never a mixture.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "config/IniFile.h"
#include "config/SettingsFile.h"
#include "driver/DriverContext.h"
#include "driver/Mutex.h"
#include "driver/NoCopy.h"

namespace orvella {

namespace {

// Serialises read-modify-write of settings files within the process, so two
// cameras saved at once from two host threads both keep their section.
Mutex& FileLock() {
  static Mutex lock;
  return lock;
}

std::atomic<SettingsFile::BeforeReplaceHook> beforeReplace{nullptr};
std::atomic<unsigned> tempCounter{0};

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd(fd) {}
  ~UniqueFd() { Close(); }
  ORVELLA_NO_COPY(UniqueFd);
  int Get() const { return fd; }
  bool Close() {
    if (fd < 0) return true;
    int result = ::close(fd);
    fd = -1;
    return result == 0;
  }

 private:
  int fd;
};

// Removes the half-made new file unless the save got through.
class TempFile {
 public:
  explicit TempFile(std::string path) : path(std::move(path)) {}
  ~TempFile() {
    if (!kept) ::unlink(path.c_str());
  }
  ORVELLA_NO_COPY(TempFile);
  void Keep() { kept = true; }

 private:
  std::string path;
  bool kept = false;
};

enum class ReadResult { kRead, kAbsent, kFailed };

// Ten small sections fit many times over; anything larger is not ours.
constexpr off_t kMaxSettingsFileBytes = 1 << 20;

// Only a regular file of a sane size is read: opened without blocking (a
// FIFO would wait for a writer forever) and checked before any byte is read
// (a link to /dev/zero would never end).
ReadResult ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.Get() < 0) return (errno == ENOENT || errno == ENOTDIR) ? ReadResult::kAbsent : ReadResult::kFailed;
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxSettingsFileBytes) {
    GetDriverContext().Log(1, "SettingsFile: ERROR: %s is not a regular file of at most %d bytes, not used\n",
                           path.c_str(), int(kMaxSettingsFileBytes));
    return ReadResult::kFailed;
  }
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n > 0 && out.size() + size_t(n) > size_t(kMaxSettingsFileBytes)) return ReadResult::kFailed;  // grew meanwhile
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      return ReadResult::kRead;
    } else if (errno != EINTR) {
      return ReadResult::kFailed;
    }
  }
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes `text` as the new content of `path`: a new file beside it, flushed to
// disk, then renamed over the old one. On any failure the old file stays.
bool ReplaceFile(const std::string& path, const std::string& text) {
  std::string target = path;
  struct stat old {};
  bool exists = false;
  if (::lstat(path.c_str(), &old) == 0) {
    if (S_ISLNK(old.st_mode)) {
      // Replace the file the link names, not the link.
      char* real = ::realpath(path.c_str(), nullptr);
      if (!real) return false;
      target = real;
      std::free(real);
      if (::stat(target.c_str(), &old) != 0) return false;
    }
    exists = true;
  } else if (errno != ENOENT) {
    return false;
  }
  if (exists) {
    if (!S_ISREG(old.st_mode)) return false;
    // A read-only file stays as it is, also for a user whom the permission
    // bits do not stop, as it would on Windows.
    if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(target.c_str(), W_OK) != 0) return false;
  }

  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1);
  std::string temp = dir + "." + base + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(++tempCounter);

  // A new settings file gets the usual mode through the umask; a replaced one
  // gets the old file's owner and mode.
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? S_IRUSR | S_IWUSR : 0666));
  if (fd.Get() < 0) return false;
  TempFile guard(temp);
  if (exists) {
    if (::fchown(fd.Get(), old.st_uid, old.st_gid) != 0) {
      // Only a privileged process may give the file away; keep ours then.
    }
    if (::fchmod(fd.Get(), old.st_mode & 07777) != 0) return false;
  }
  if (!WriteAll(fd.Get(), text) || ::fsync(fd.Get()) != 0 || !fd.Close()) return false;

  if (SettingsFile::BeforeReplaceHook hook = beforeReplace.load()) {
    if (!hook(temp, target)) return false;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) return false;
  guard.Keep();

  // Make the rename itself durable; the file is complete either way.
  UniqueFd dirFd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.Get() >= 0) ::fsync(dirFd.Get());
  return true;
}

}  // namespace

struct SettingsFile::Pending {
  IniFile file;
  bool loaded = false;
  std::vector<std::pair<std::string, std::string>> writes;  // key, text

  // The file as this accessor sees it: read once, with its own writes applied.
  const IniFile& Document(const std::string& path, const std::string& section) {
    if (!loaded) {
      std::string text;
      {
        MutexLock guard(FileLock());
        if (ReadWholeFile(path, text) != ReadResult::kRead) text.clear();
      }
      file = IniFile(text);
      for (const auto& w : writes) file.SetString(section, w.first, w.second);
      loaded = true;
    }
    return file;
  }

  void Write(const std::string& section, const std::string& key, std::string text) {
    if (loaded) file.SetString(section, key, text);
    writes.emplace_back(key, std::move(text));
  }
};

const bool SettingsFile::kReplacesWholeFile = true;

void SettingsFile::SetBeforeReplaceHook(BeforeReplaceHook hook) {
  beforeReplace.store(hook);
}

SettingsFile::SettingsFile(const char* filePath, const char* section)
    : filePath(filePath ? filePath : ""), section(section ? section : ""), pending(std::make_unique<Pending>()) {}

SettingsFile::~SettingsFile() {
  try {
    Commit();
  } catch (...) {
    // A failed save is ignored, as every write failure of the settings file.
  }
}

void SettingsFile::Exchange(Param<int>& p) {
  if (reading) {
    p.value = pending->Document(filePath, section).GetInt(section, p.name, p.value.load());
  } else {
    pending->Write(section, p.name, std::to_string(p.value.load()));  // same text as "%d"
  }
}

void SettingsFile::Exchange(Param<std::string>& p) {
  if (reading) {
    p.value = pending->Document(filePath, section).GetString(section, p.name, p.value);
  } else {
    pending->Write(section, p.name, p.value);
  }
}

bool SettingsFile::Commit() {
  if (pending->writes.empty()) return true;
  std::vector<std::pair<std::string, std::string>> writes;
  writes.swap(pending->writes);

  MutexLock guard(FileLock());
  // Applied to the file as it is now, not as it was first read, so nothing
  // another accessor saved meanwhile is lost.
  std::string text;
  ReadResult read = ReadWholeFile(filePath, text);
  if (read == ReadResult::kFailed) return false;  // never replace a file we could not read
  IniFile file(read == ReadResult::kRead ? text : std::string());
  for (const auto& w : writes) file.SetString(section, w.first, w.second);
  if (!file.Modified()) return true;  // same values: the file stays untouched
  return ReplaceFile(filePath, file.Text());
}

}  // namespace orvella
