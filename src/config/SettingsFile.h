// Short-lived accessor for one section of the settings file.
//
// One implementation per platform: SettingsFile_win32.cpp goes through the
// Windows profile functions, one call per key; SettingsFile_posix.cpp uses our
// own INI module, collects the writes and replaces the whole file in one step
// (a new file renamed over the old one), so a save never leaves a torn file.
//
// Thread safety: one thread per object. Objects on different threads may
// read and save the same file at once; saves are serialised inside.
#pragma once

#include <memory>
#include <string>

#include "config/Param.h"
#include "driver/NoCopy.h"

namespace orvella {

class SettingsFile {
 public:
  // True where a save reaches the file as one replacement at Commit; false
  // where each written key goes to the file at once.
  static const bool kReplacesWholeFile;

  // Tests only: called once the new file is complete beside the old one and
  // before it takes the old one's place (the point where a dying process
  // leaves the old file whole); returning false abandons the save there and
  // removes the new file. Null removes the hook. Never called where
  // kReplacesWholeFile is false.
  using BeforeReplaceHook = bool (*)(const std::string& newFile, const std::string& settingsFile);
  static void SetBeforeReplaceHook(BeforeReplaceHook hook);

  // Null texts count as empty. `reading` starts as true.
  SettingsFile(const char* filePath, const char* section);
  // Commits whatever is still pending.
  ~SettingsFile();
  ORVELLA_NO_COPY(SettingsFile);

  // Reads p from the file (absent file, section or key: p unchanged; text cut
  // to 255 characters) or writes it ("%d" for integers; text cut at its first
  // line break), as `reading` says. No range check.
  void Exchange(Param<int>& p);
  void Exchange(Param<std::string>& p);

  // Puts the writes made so far into the file. False when the file could
  // not be written; the old file is then left as it was. Nothing to do (and
  // true) where writes reach the file at once.
  bool Commit();

  std::string filePath;
  std::string section;
  bool reading = true;

 private:
  struct Pending;  // platform state: the file as read and the writes waiting
  std::unique_ptr<Pending> pending;
};

}  // namespace orvella
