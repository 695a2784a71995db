#include "support/LogCapture.h"

#include <algorithm>
#include <utility>

#include "driver/Mutex.h"

namespace orvella::test {

namespace {

Mutex lock;
// What arrived, and whether it was a message (not a stamp).
std::vector<std::pair<std::string, bool>> pieces ORVELLA_GUARDED_BY(lock);
bool expectMessage ORVELLA_GUARDED_BY(lock) = false;  // survives Clear: a line may be half received

}  // namespace

LogCapture::LogCapture() {
  ScopedLock<Mutex> guard(lock);
  pieces.clear();
  expectMessage = false;
}

void ORVELLA_CALL LogCapture::Callback(const char* text) {
  ScopedLock<Mutex> guard(lock);
  pieces.emplace_back(text ? text : "", expectMessage);
  expectMessage = !expectMessage;
}

std::vector<std::string> LogCapture::Pieces() const {
  ScopedLock<Mutex> guard(lock);
  std::vector<std::string> all;
  for (const auto& p : pieces) all.push_back(p.first);
  return all;
}

std::vector<std::string> LogCapture::Lines() const {
  ScopedLock<Mutex> guard(lock);
  std::vector<std::string> messages;
  for (const auto& p : pieces)
    if (p.second) messages.push_back(p.first);
  return messages;
}

std::string LogCapture::Text() const {
  std::string all;
  for (const auto& l : Lines()) all += l;
  return all;
}

int LogCapture::Count(const std::string& part) const {
  const std::vector<std::string> lines = Lines();
  return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                        [&](const std::string& l) { return l.find(part) != std::string::npos; }));
}

bool LogCapture::Has(const std::string& message) const {
  const std::vector<std::string> lines = Lines();
  return std::find(lines.begin(), lines.end(), message) != lines.end();
}

void LogCapture::Clear() {
  ScopedLock<Mutex> guard(lock);
  pieces.clear();
}

}  // namespace orvella::test
