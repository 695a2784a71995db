#include "acquisition/transport/HttpAnswer.h"

#include <cctype>
#include <cstring>
#include <stdexcept>

#include "driver/Errors.h"

namespace orvella {

namespace {

// The server's words in a reason: printable ASCII, at most 64 characters.
std::string Tidy(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c >= 0x20 && c < 0x7F && out.size() < 64) out += c;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(0, 1);
  return out;
}

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

bool IsTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

struct Cursor {
  const std::string& text;
  size_t at = 0;
  void SkipSpace() {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  }
  std::string Token() {
    SkipSpace();
    size_t from = at;
    while (at < text.size() && IsTokenChar(text[at])) ++at;
    return text.substr(from, at - from);
  }
  std::string Quoted() {  // after the opening quote
    std::string out;
    for (++at; at < text.size() && text[at] != '"'; ++at) {
      if (text[at] == '\\' && at + 1 < text.size()) ++at;
      out += text[at];
    }
    ++at;
    return out;
  }
};

}  // namespace

std::string AsciiLower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<Challenge> ParseChallenges(const std::string& header) {
  std::vector<Challenge> out;
  Cursor cur{header};
  while (cur.at < header.size()) {
    cur.SkipSpace();
    if (cur.at < header.size() && header[cur.at] == ',') {
      ++cur.at;
      continue;
    }
    const size_t before = cur.at;
    std::string token = cur.Token();
    if (token.empty()) {
      ++cur.at;  // a character no token holds
      continue;
    }
    cur.SkipSpace();
    if (cur.at < header.size() && header[cur.at] == '=' && !out.empty()) {
      ++cur.at;  // a parameter of the challenge before
      cur.SkipSpace();
      std::string value = cur.at < header.size() && header[cur.at] == '"' ? cur.Quoted() : cur.Token();
      out.back().params[AsciiLower(token)] = value;
    } else if (cur.at < header.size() && header[cur.at] == '=') {
      cur.at = before + token.size() + 1;  // a parameter without a challenge: skip it
    } else {
      out.push_back(Challenge{token, {}});
    }
  }
  return out;
}

std::string SchemeNames(const std::vector<Challenge>& challenges) {
  std::string names;
  for (const Challenge& c : challenges) {
    const std::string name = Tidy(c.scheme);
    if (name.empty() || (" " + names + " ").find(" " + name + " ") != std::string::npos) continue;
    names += (names.empty() ? "" : " or ") + name;
  }
  return names;
}

namespace {
// "HTTP/1.1 404 Not Found": true for a status line; then `code` is its
// status and `phrase` the offset of its reason phrase (line end included).
bool ParseStatusLine(const char* data, size_t length, long& code, size_t& phrase) {
  if (length <= 5 || std::memcmp(data, "HTTP/", 5) != 0) return false;
  size_t i = 5;
  while (i < length && data[i] != ' ') ++i;
  while (i < length && data[i] == ' ') ++i;
  code = 0;
  while (i < length && data[i] >= '0' && data[i] <= '9' && code < 100000) code = code * 10 + (data[i++] - '0');
  phrase = i;
  return true;
}

bool StartsNoCase(const char* line, size_t length, const char* prefix, size_t prefixLength) {
  if (length < prefixLength) return false;
  for (size_t i = 0; i < prefixLength; ++i)
    if (std::tolower(static_cast<unsigned char>(line[i])) != prefix[i]) return false;
  return true;
}
}  // namespace

bool AnswerHeaders::Feed(const char* line, size_t length) {
  size_t at = 0;
  if (ParseStatusLine(line, length, status, at)) {
    phrase.assign(line + at, length - at);
    challenges.clear();
    contentType.clear();
    contentLength = -1;
    return true;
  }
  constexpr char kType[] = "content-type:";
  if (StartsNoCase(line, length, kType, sizeof kType - 1)) {
    contentType = Trim(std::string(line + sizeof kType - 1, length - (sizeof kType - 1)));
    return false;
  }
  constexpr char kLength[] = "content-length:";
  if (StartsNoCase(line, length, kLength, sizeof kLength - 1)) {
    const std::string value = Trim(std::string(line + sizeof kLength - 1, length - (sizeof kLength - 1)));
    contentLength = !value.empty() && value.size() <= 18 && value.find_first_not_of("0123456789") == std::string::npos
                        ? std::stoll(value)
                        : -1;
    return false;
  }
  constexpr char kAuthenticate[] = "www-authenticate:";
  constexpr size_t kAuthenticateLength = sizeof kAuthenticate - 1;
  if (StartsNoCase(line, length, kAuthenticate, kAuthenticateLength))
    for (Challenge& c : ParseChallenges(std::string(line + kAuthenticateLength, length - kAuthenticateLength)))
      challenges.push_back(std::move(c));
  return false;
}

std::string AnswerHeaders::RefusalText() const {
  return HttpRefusalText(status, phrase, SchemeNames(challenges));
}

void AnswerHeaders::Clear() {
  status = 0;
  phrase.clear();
  challenges.clear();
  contentType.clear();
  contentLength = -1;
}

void ThrowRefusal(long status, bool withLogin, const std::string& reason) {
  if (withLogin && (status == 401 || status == 403)) throw LoginRefused(reason);
  throw std::runtime_error(reason);
}

std::string HttpRefusalText(long status, const std::string& phrase, const std::string& schemes) {
  std::string text = "File not available (HTTP " + std::to_string(status);
  const std::string words = Tidy(phrase);
  if (!words.empty()) text += " " + words;
  if (status == 401) {
    const std::string asked = Tidy(schemes);
    if (!asked.empty()) text += ": the camera asks for " + asked;
    text += "; check the user name and password in ImageUrl";
  }
  return text + ")";
}

std::string ServerWords(const std::string& text) {
  return Tidy(text);
}

bool IsPictureStreamType(const std::string& contentType) {
  return AsciiLower(Trim(contentType)).compare(0, 25, "multipart/x-mixed-replace") == 0;
}

std::string BoundaryOf(const std::string& contentType) {
  const std::string lower = AsciiLower(contentType);
  for (size_t at = lower.find(';'); at != std::string::npos; at = lower.find(';', at + 1)) {
    size_t name = at + 1;
    while (name < lower.size() && std::isspace(static_cast<unsigned char>(lower[name]))) ++name;
    if (lower.compare(name, 9, "boundary=") != 0) continue;
    std::string value = contentType.substr(name + 9);
    value = Trim(value.substr(0, value.find(';')));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    return value;
  }
  return "";
}

}  // namespace orvella
