// The one guarded path of the exports: no exception ever reaches the host.
#pragma once

#include <utility>

namespace orvella {

// Runs an export's body. Whatever it throws (the camera list throws a bare
// "Err" text, below it std::exception and platform errors), `logException`
// writes the export's own level-1 line and the export answers `failure`.
template <class Result, class Body, class LogException>
Result Guarded(Result failure, Body&& body, LogException&& logException) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    try {
      std::forward<LogException>(logException)();
    } catch (...) {  // a failing diagnostic never changes the result
    }
    return failure;
  }
}

// The same for an export without a result.
template <class Body, class LogException>
void Guarded(Body&& body, LogException&& logException) noexcept {
  Guarded(0, [&] { return std::forward<Body>(body)(), 0; }, std::forward<LogException>(logException));
}

}  // namespace orvella
