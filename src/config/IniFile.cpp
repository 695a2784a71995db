#include "config/IniFile.h"

#include <climits>

namespace orvella {

namespace {

const char kBom[] = "\xEF\xBB\xBF";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string Trim(const std::string& s, std::size_t from, std::size_t to) {
  while (from < to && IsBlank(s[from])) ++from;
  while (to > from && IsBlank(s[to - 1])) --to;
  return s.substr(from, to - from);
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Section and key names match as the profile functions match them: ASCII
// letters without regard to case.
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string StripQuotes(const std::string& value) {
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

bool HasLineBreak(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

std::string CutAtLineBreak(const std::string& text) {
  return text.substr(0, text.find_first_of(std::string("\r\n\0", 3)));
}

int ParseIniInt(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Magnitude capped just past the int range, so no overflow on any input.
  const long long limit = static_cast<long long>(INT_MAX) + 1;
  long long magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > limit) magnitude = limit;
  }
  long long result = negative ? -magnitude : magnitude;
  if (result > INT_MAX) result = INT_MAX;
  return static_cast<int>(result);
}

IniFile::IniFile(const std::string& text) {
  std::size_t pos = 0;
  if (text.compare(0, 3, kBom) == 0) {
    bom = kBom;
    pos = 3;
  }
  bool endSeen = false;
  while (pos < text.size()) {
    std::size_t stop = text.find_first_of("\r\n", pos);
    Line line;
    if (stop == std::string::npos) {
      line.text = text.substr(pos);
      pos = text.size();
    } else {
      line.text = text.substr(pos, stop - pos);
      std::size_t endLength = (text[stop] == '\r' && stop + 1 < text.size() && text[stop + 1] == '\n') ? 2 : 1;
      line.end = text.substr(stop, endLength);
      pos = stop + endLength;
      if (!endSeen) {
        lineEnd = line.end;
        endSeen = true;
      }
    }
    Classify(line);
    lines.push_back(std::move(line));
  }
}

void IniFile::Classify(Line& line) {
  const std::string& t = line.text;
  std::size_t first = 0;
  while (first < t.size() && IsBlank(t[first])) ++first;
  line.name.clear();
  line.value.clear();
  line.hasValue = false;
  if (first == t.size()) {
    line.kind = Kind::kBlank;
    return;
  }
  if (t[first] == ';' || t[first] == '#') {
    line.kind = Kind::kComment;
    return;
  }
  std::size_t close = t.rfind(']');
  if (t[first] == '[' && close != std::string::npos && close > first) {
    line.kind = Kind::kSection;
    line.name = Trim(t, first + 1, close);
    return;
  }
  // Anything else is a key; one without "=" has a name but no value, and
  // reads as absent, as with the profile functions.
  line.kind = Kind::kKey;
  std::size_t equals = t.find('=', first);
  if (equals == std::string::npos) {
    line.name = Trim(t, first, t.size());
    return;
  }
  line.name = Trim(t, first, equals);
  line.value = Trim(t, equals + 1, t.size());
  line.hasValue = true;
}

std::string IniFile::Text() const {
  std::string out = bom;
  for (const Line& line : lines) {
    out += line.text;
    out += line.end;
  }
  return out;
}

long IniFile::FindSection(const std::string& section) const {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind == Kind::kSection && SameName(lines[i].name, section)) return static_cast<long>(i);
  }
  return -1;
}

long IniFile::FindKey(long header, const std::string& key) const {
  for (std::size_t i = static_cast<std::size_t>(header) + 1; i < lines.size(); ++i) {
    if (lines[i].kind == Kind::kSection) break;
    if (lines[i].kind == Kind::kKey && SameName(lines[i].name, key)) return static_cast<long>(i);
  }
  return -1;
}

const IniFile::Line* IniFile::FindValue(const std::string& section, const std::string& key) const {
  long header = FindSection(section);
  if (header < 0) return nullptr;
  long at = FindKey(header, key);
  if (at < 0 || !lines[static_cast<std::size_t>(at)].hasValue) return nullptr;
  return &lines[static_cast<std::size_t>(at)];
}

int IniFile::GetInt(const std::string& section, const std::string& key, int defaultValue) const {
  const Line* line = FindValue(section, key);
  if (!line) return defaultValue;
  std::string text = StripQuotes(line->value);
  return text.empty() ? defaultValue : ParseIniInt(text);
}

std::string IniFile::GetString(const std::string& section, const std::string& key,
                               const std::string& defaultValue) const {
  const Line* line = FindValue(section, key);
  std::string text = line ? StripQuotes(line->value) : defaultValue;
  if (text.size() > kIniMaxText) text.resize(kIniMaxText);
  return text;
}

void IniFile::InsertLine(std::size_t at, const std::string& text) {
  if (at > 0 && lines[at - 1].end.empty()) lines[at - 1].end = lineEnd;
  Line line;
  line.text = text;
  line.end = lineEnd;
  Classify(line);
  lines.insert(lines.begin() + static_cast<long>(at), std::move(line));
}

bool IniFile::SetString(const std::string& section, const std::string& key, const std::string& value) {
  // Names that would not read back as the same section or key are refused.
  if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key)) return false;
  if (Trim(section, 0, section.size()) != section || section.find(']') != std::string::npos) return false;
  if (Trim(key, 0, key.size()) != key || key.find('=') != std::string::npos) return false;
  if (key[0] == '[' || key[0] == ';' || key[0] == '#') return false;

  const std::string safeValue = CutAtLineBreak(value);
  long header = FindSection(section);
  if (header < 0) {
    InsertLine(lines.size(), "[" + section + "]");
    InsertLine(lines.size(), key + "=" + safeValue);
    modified = true;
    return true;
  }

  long at = FindKey(header, key);
  if (at >= 0) {
    Line& line = lines[static_cast<std::size_t>(at)];
    // The same value leaves the line (and the file) as it is.
    if (line.hasValue && line.value == Trim(safeValue, 0, safeValue.size())) return true;
    // The key keeps the spelling it has in the file.
    line.text = line.name + "=" + safeValue;
    Classify(line);
    modified = true;
    return true;
  }

  // After the section's last key, so blank lines and comments that lead
  // into the next section stay in front of it.
  std::size_t insertAt = static_cast<std::size_t>(header) + 1;
  for (std::size_t i = insertAt; i < lines.size() && lines[i].kind != Kind::kSection; ++i) {
    if (lines[i].kind == Kind::kKey) insertAt = i + 1;
  }
  InsertLine(insertAt, key + "=" + safeValue);
  modified = true;
  return true;
}

}  // namespace orvella
