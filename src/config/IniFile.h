// Our own INI module: the settings-file format of the Windows profile
// functions, for the product that has no such functions.
//
// IniFile is an in-memory copy of a file's text. Reading follows the profile
// functions: the first section and the first key whose names match without
// regard to letter case, surrounding blanks dropped, matching quotes around a
// value dropped, text cut to kIniMaxText characters, and the caller's default
// for an absent section or key. Writing changes only the one line of the key
// (or adds lines), so every other byte of the file (comments, blank lines,
// CR LF or LF line ends, a UTF-8 byte order mark) stays as it was.
//
// Thread safety: none; one thread per object. No file access here: the caller
// reads and writes the file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace orvella {

// Longest text a read returns: what fits a 256-byte buffer with its NUL.
constexpr std::size_t kIniMaxText = 255;

// `text` up to its first CR, LF or NUL. A stored value must stay on its own
// line, or it could add keys and sections to the file.
std::string CutAtLineBreak(const std::string& text);

// Integer from stored text: leading blanks skipped, an optional sign, then
// the leading decimal digits (saturated to the int range); 0 when no digit
// follows. Whatever "%d" wrote reads back as the same number.
int ParseIniInt(const std::string& text);

class IniFile {
 public:
  IniFile() = default;
  explicit IniFile(const std::string& text);

  // The whole file as it would be written.
  std::string Text() const;
  // True once a SetString has changed the text.
  bool Modified() const { return modified; }

  // The key's integer; `defaultValue` when the section or key is absent or
  // the stored text is empty.
  int GetInt(const std::string& section, const std::string& key, int defaultValue) const;
  // The key's text, or `defaultValue` when the section or key is absent;
  // either way cut to kIniMaxText characters.
  std::string GetString(const std::string& section, const std::string& key, const std::string& defaultValue) const;

  // Sets key=value in the section: replaces the key's line where it stands,
  // or adds the key after the section's last key, or adds the section at the
  // end of the file. The value is cut at its first line break. False (and
  // nothing changes) for a section or key name that cannot be stored.
  bool SetString(const std::string& section, const std::string& key, const std::string& value);

 private:
  enum class Kind { kBlank, kComment, kSection, kKey };
  struct Line {
    std::string text;  // without its line end
    std::string end;   // "\r\n", "\n", "\r" or "" (last line without one)
    Kind kind = Kind::kBlank;
    std::string name;   // section or key name, blanks dropped
    std::string value;  // key value, blanks dropped
    bool hasValue = false;
  };

  static void Classify(Line& line);
  // Index of the first section header named `section`, or -1.
  long FindSection(const std::string& section) const;
  // Index of the first key line named `key` in the section at `header`, or -1.
  long FindKey(long header, const std::string& key) const;
  const Line* FindValue(const std::string& section, const std::string& key) const;
  void InsertLine(std::size_t at, const std::string& text);

  std::string bom;             // UTF-8 byte order mark, kept but never parsed
  std::string lineEnd = "\n";  // for lines we add: the first line end the file uses
  std::vector<Line> lines;
  bool modified = false;
};

}  // namespace orvella
