// The driver's log as a host's debug callback receives it: a time stamp, then
// the message, for every line. The callback carries no user pointer, so there
// is one capture at a time: the newest, from construction to destruction.
#pragma once

#include <string>
#include <vector>

#include "driver/NoCopy.h"
#include "driver/Orvella.h"

namespace orvella::test {

class LogCapture {
 public:
  LogCapture();
  ORVELLA_NO_COPY(LogCapture);

  // The callback to hand the driver (any thread).
  static void ORVELLA_CALL Callback(const char* text);
  // Everything received, stamps and messages, in order.
  std::vector<std::string> Pieces() const;
  // The messages alone: pieces alternate, a stamp first.
  std::vector<std::string> Lines() const;
  std::string Text() const;  // the messages, joined
  bool Contains(const std::string& part) const { return Count(part) > 0; }
  int Count(const std::string& part) const;    // messages containing `part`
  bool Has(const std::string& message) const;  // a message equal to `message`
  void Clear();
};

}  // namespace orvella::test
