#include "acquisition/source/mjpeg/MultipartParser.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace orvella {

namespace {
// Longer lines are never a delimiter or a header we read; they still count
// against the limits.
constexpr size_t kMaxLine = 1024;

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// [begin, end) of `text` without the blanks around it.
void TrimRange(const std::string& text, size_t& begin, size_t& end) {
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
}

// Whether text[begin, end) begins with `prefix`, whatever the case.
bool HasPrefixNoCase(const std::string& text, size_t begin, size_t end, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (end - begin < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(text[begin + i])) != prefix[i]) return false;
  return true;
}

long long ParseLength(const std::string& text, size_t begin, size_t end) {
  if (begin == end || end - begin > 18) return -1;
  long long n = 0;
  for (size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    n = n * 10 + (text[i] - '0');
  }
  return n;
}
}  // namespace

MultipartParser::MultipartParser(const std::string& b, Sink& s) : sink(s), boundary(b) {
  line.reserve(kMaxLine);
}

void MultipartParser::Feed(const char* data, size_t size) {
  size_t at = 0;
  while (at < size && state != State::kClosed) {
    if (state == State::kBodyLength) {
      at += TakeLength(data + at, size - at);
    } else if (state == State::kBodyScan) {
      at += TakeScan(data + at, size - at);
    } else {
      at += TakeLine(data + at, size - at);
    }
  }
}

size_t MultipartParser::TakeLine(const char* data, size_t size) {
  const char* end = static_cast<const char*>(std::memchr(data, '\n', size));
  const size_t used = end ? static_cast<size_t>(end - data) + 1 : size;
  const size_t text = end ? used - 1 : used;
  const size_t keep = std::min(text, kMaxLine - std::min(kMaxLine, line.size()));
  line.append(data, keep);
  lineOverflow = lineOverflow || keep < text;
  Skipped(used);
  if (end) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    OnLine();
    line.clear();
    lineOverflow = false;
  }
  return used;
}

void MultipartParser::Skipped(size_t bytes) {
  skipped += bytes;
  const size_t limit = state == State::kHeaders || state == State::kDelimiterTail ? kMaxHeaderBytes : kMaxSkipBytes;
  if (skipped > limit)
    throw std::runtime_error(state == State::kHeaders || state == State::kDelimiterTail
                                 ? "a part's header is too long"
                                 : "no multipart delimiter in the stream's data");
}

void MultipartParser::OnLine() {
  switch (state) {
    case State::kHeaders:
      if (line.empty()) return BeginBody();
      if (!lineOverflow) OnHeaderLine();
      return;
    case State::kDelimiterTail:
      if (StartsWith(line, "--")) {
        state = State::kClosed;
      } else {
        state = State::kHeaders;
        skipped = 0;
      }
      return;
    default: {  // before the first delimiter, or after a part of known length
      const Delimiter d = line.empty() || lineOverflow ? Delimiter::kNone : Classify(line);
      if (d == Delimiter::kClose) state = State::kClosed;
      if (d == Delimiter::kOpen) {
        state = State::kHeaders;
        skipped = 0;
      }
      return;
    }
  }
}

MultipartParser::Delimiter MultipartParser::Classify(const std::string& text) {
  if (delimiter.empty()) LearnDelimiter(text);
  if (delimiter.empty()) return Delimiter::kNone;
  if (text == delimiter) return Delimiter::kOpen;
  if (text.size() == delimiter.size() + 2 && text.compare(0, delimiter.size(), delimiter) == 0 &&
      text.compare(delimiter.size(), 2, "--") == 0)
    return Delimiter::kClose;
  return Delimiter::kNone;
}

void MultipartParser::LearnDelimiter(const std::string& text) {
  const auto is = [&](const std::string& d) { return text == d || text == d + "--"; };
  if (boundary.empty()) {
    // No boundary announced: the first line that looks like a delimiter is one.
    if (text.size() > 2 && StartsWith(text, "--")) delimiter = text;
  } else if (is("--" + boundary)) {
    delimiter = "--" + boundary;
  } else if (StartsWith(boundary, "--") && is(boundary)) {
    delimiter = boundary;  // cameras that put the dashes into the parameter itself
  }
  if (delimiter.empty()) return;
  marker = "\n" + delimiter;
  fallback.assign(marker.size(), 0);
  for (size_t i = 1, k = 0; i < marker.size(); ++i) {
    while (k > 0 && marker[i] != marker[k]) k = fallback[k - 1];
    if (marker[i] == marker[k]) ++k;
    fallback[i] = k;
  }
}

// In place: a part's headers cost no allocation.
void MultipartParser::OnHeaderLine() {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  size_t name = 0, nameEnd = colon, value = colon + 1, valueEnd = line.size();
  TrimRange(line, name, nameEnd);
  TrimRange(line, value, valueEnd);
  const auto is = [&](const char* header) {
    return nameEnd - name == std::strlen(header) && HasPrefixNoCase(line, name, nameEnd, header);
  };
  if (is("content-length")) length = ParseLength(line, value, valueEnd);
  if (is("content-type")) {
    picture = HasPrefixNoCase(line, value, valueEnd, "image/") ||
              HasPrefixNoCase(line, value, valueEnd, "application/octet-stream");
    type.assign(line, value, valueEnd - value);  // the line is bounded; its storage is reused
  }
}

void MultipartParser::BeginBody() {
  forwarding = picture;
  if (forwarding) sink.PartBegin(length, type);
  lastEmitted = 0;
  if (length >= 0) {
    left = length;
    state = State::kBodyLength;
    if (left == 0) EndPart(0);
  } else {
    matched = 0;
    state = State::kBodyScan;
  }
  length = -1;
  picture = true;
  type.clear();
}

size_t MultipartParser::TakeLength(const char* data, size_t size) {
  const size_t n = static_cast<size_t>(std::min<long long>(left, static_cast<long long>(size)));
  Emit(data, n);
  left -= static_cast<long long>(n);
  if (left == 0) EndPart(0);
  return n;
}

// Looks for "\n" + delimiter across pieces: the bytes of a partial match
// are held back (they are the marker's own prefix, so nothing is stored)
// and given to the part when the match fails.
size_t MultipartParser::TakeScan(const char* data, size_t size) {
  size_t i = 0, span = 0;  // data[span, i) is picture not yet passed on
  while (i < size) {
    if (matched == 0) {
      const char* nl = static_cast<const char*>(std::memchr(data + i, '\n', size - i));
      if (!nl) {
        i = size;
        break;
      }
      i = static_cast<size_t>(nl - data);
      Emit(data + span, i - span);
      matched = 1;
      span = ++i;
      continue;
    }
    const char c = data[i];
    while (matched > 0 && c != marker[matched]) {
      const size_t k = fallback[matched - 1];
      Emit(marker.data(), matched - k);
      matched = k;
    }
    span = i;  // c is picture unless it continues the match
    if (c == marker[matched]) {
      ++matched;
      span = i + 1;
    }
    ++i;
    if (matched == marker.size()) {
      EndPart(lastEmitted == '\r' ? 1 : 0);
      matched = 0;
      return i;
    }
  }
  Emit(data + span, i - span);
  return i;
}

void MultipartParser::Emit(const char* data, size_t size) {
  if (size == 0) return;
  if (forwarding) sink.PartBytes(data, size);
  lastEmitted = data[size - 1];
}

void MultipartParser::EndPart(size_t trim) {
  if (forwarding) sink.PartEnd(trim);
  forwarding = false;
  state = state == State::kBodyScan ? State::kDelimiterTail : State::kAfterBody;
  skipped = 0;
}

}  // namespace orvella
