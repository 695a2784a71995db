// A LogCapture that is the process's driver log callback at a chosen level
// for its lifetime; the earlier callback and level come back afterwards.
// Unit tests only (it reaches the driver's context, not the exports).
#pragma once

#include "driver/DriverContext.h"
#include "support/LogCapture.h"

namespace orvella::test {

class DriverLogCapture : public LogCapture {
 public:
  explicit DriverLogCapture(int level)
      : oldProc(GetDriverContext().debugMsgProc.exchange(Callback)),
        oldLevel(GetDriverContext().logLevel.exchange(level)) {}
  ~DriverLogCapture() {
    GetDriverContext().debugMsgProc = oldProc;
    GetDriverContext().logLevel = oldLevel;
  }

 private:
  DebugMsgProc oldProc;
  int oldLevel;
};

}  // namespace orvella::test
