// Settings file through the Windows profile functions: each key is read or
// written by its own call, which also does the file's locking and caching.
#include <windows.h>

#include <cstdio>

#include "config/IniFile.h"
#include "config/SettingsFile.h"

namespace orvella {

struct SettingsFile::Pending {};

const bool SettingsFile::kReplacesWholeFile = false;

// The profile functions write in place; there is no point to stop at.
void SettingsFile::SetBeforeReplaceHook(BeforeReplaceHook) {}

SettingsFile::SettingsFile(const char* filePath, const char* section)
    : filePath(filePath ? filePath : ""), section(section ? section : "") {}

SettingsFile::~SettingsFile() = default;

void SettingsFile::Exchange(Param<int>& p) {
  if (reading) {
    // The current value is the default: an absent file, section or key keeps it.
    p.value =
        static_cast<int>(GetPrivateProfileIntA(section.c_str(), p.name.c_str(), p.value.load(), filePath.c_str()));
    return;
  }
  char text[16];
  std::snprintf(text, sizeof text, "%d", p.value.load());
  WritePrivateProfileStringA(section.c_str(), p.name.c_str(), text, filePath.c_str());  // failure ignored
}

void SettingsFile::Exchange(Param<std::string>& p) {
  if (reading) {
    char buffer[256] = {};  // the stored text arrives cut to 255 characters
    GetPrivateProfileStringA(section.c_str(), p.name.c_str(), p.value.c_str(), buffer, sizeof buffer, filePath.c_str());
    p.value = buffer;
    return;
  }
  // A line break in the value would start new lines (keys, sections) in the file.
  const std::string text = CutAtLineBreak(p.value);
  WritePrivateProfileStringA(section.c_str(), p.name.c_str(), text.c_str(), filePath.c_str());  // failure ignored
}

bool SettingsFile::Commit() {
  return true;
}

}  // namespace orvella
