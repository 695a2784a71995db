// The driver's log for API tests, a fresh system directory for its settings
// and log file, and bringing the driver back to its initial state between
// tests.
#pragma once

#include <string>

#include "support/LogCapture.h"
#include "support/Scratch.h"

namespace orvella::test {

class ApiLog : public LogCapture {
 public:
  ApiLog();
  ~ApiLog();
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
