// The INI module on any file text and any writes: the text survives a parse
// unchanged, a refused write changes nothing, what is written reads back
// (also after the file text is parsed again), and a write touches no other
// key.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "FuzzCheck.h"
#include "config/IniFile.h"

namespace {

using orvella::IniFile;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// A value that reads back exactly as written: one line, no surrounding
// blanks (the reader drops them), no surrounding quotes (it drops those
// too), not longer than a read returns.
bool ReadsBackVerbatim(const std::string& value) {
  if (value != orvella::CutAtLineBreak(value) || value.size() > orvella::kIniMaxText) return false;
  if (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back()))) return false;
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) return false;
  return true;
}

// Names from a small alphabet collide often (same key in other letter case,
// the same section twice); the rest come straight from the input.
std::string Name(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return in.ConsumeRandomLengthString(12);
  static const char* const kNames[] = {"Camera 1", "camera 1", "width", "WIDTH", "ImageUrl",
                                       "a",        "A",        "[x]",   "k=v",   ""};
  return kNames[in.ConsumeIntegralInRange<size_t>(0, sizeof kNames / sizeof kNames[0] - 1)];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string text = in.ConsumeRandomLengthString(4096);
  IniFile file(text);
  Check(file.Text() == text);  // parsing alone never changes a byte

  std::vector<std::pair<std::string, std::string>> written;  // section, key
  for (int op = 0; op < 16 && in.remaining_bytes() > 0; ++op) {
    const std::string section = Name(in);
    const std::string key = Name(in);
    const bool number = in.ConsumeBool();
    const int n = in.ConsumeIntegral<int>();
    const std::string value = number ? std::to_string(n) : in.ConsumeRandomLengthString(300);

    // What the other keys read before this write.
    std::vector<std::string> before;
    for (const auto& [s, k] : written) before.push_back(file.GetString(s, k, "\x01"));
    const std::string textBefore = file.Text();

    if (!file.SetString(section, key, value)) {
      Check(file.Text() == textBefore);
      continue;
    }
    const std::string got = file.GetString(section, key, "\x01");
    if (number) Check(file.GetInt(section, key, n == 0 ? 1 : 0) == n);
    if (ReadsBackVerbatim(value)) Check(got == value);

    // The new text means the same when parsed again, and keeps its bytes.
    IniFile reparsed(file.Text());
    Check(reparsed.Text() == file.Text());
    Check(reparsed.GetString(section, key, "\x01") == got);

    for (size_t i = 0; i < written.size(); ++i) {
      const auto& [s, k] = written[i];
      if (SameName(s, section) && SameName(k, key)) continue;
      Check(file.GetString(s, k, "\x01") == before[i]);
      Check(reparsed.GetString(s, k, "\x01") == before[i]);
    }
    written.emplace_back(section, key);
  }
  return 0;
}
