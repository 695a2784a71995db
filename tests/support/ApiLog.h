// Collects the driver's debug-callback lines for API tests, and brings the
// driver back to its initial state between tests.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "driver/Orvella.h"
#include "support/Scratch.h"

namespace orvella::test {

class ApiLog {
 public:
  ApiLog();
  ~ApiLog();
  // The host callback: a stamp, then a message (the stamp is dropped here).
  static void ORVELLA_CALL Callback(const char* text);
  std::vector<std::string> Lines() const;
  std::string Text() const;
  bool Contains(const std::string& part) const;
  int Count(const std::string& part) const;
  void Clear();
  // Writes LogLevel for every camera section so the next open takes it.
  void SetLevel(int level);
  const std::string& dir() const { return scratch.path(); }

 private:
  ScratchDir scratch;
  bool levelChanged = false;
};

// finalize until no camera list is left, and the log level back to 1.
void ResetDriver();

}  // namespace orvella::test
