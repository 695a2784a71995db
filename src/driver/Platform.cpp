#include "driver/Platform.h"

#include <chrono>

namespace orvella::platform {

namespace {
const auto kLoadTime = std::chrono::steady_clock::now();
}

// The steady clock never reports failure, so -1 never comes from here.
long ElapsedMs() {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - kLoadTime).count());
}

std::tm LocalTimeNow() {
  std::tm out{};
  LocalTime(std::time(nullptr), out);
  return out;
}

}  // namespace orvella::platform
