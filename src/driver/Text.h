// Small text helpers shared by the exports, the camera and the worker.
// URLs have their own file: acquisition/transport/Url.h.
#pragma once

#include <cstddef>
#include <string>

namespace orvella {

// ASCII case-insensitive equality; false when either side is null.
bool EqualsNoCase(const char* a, const char* b);

// The text, or "(null)" for a null pointer, for printing with %s.
inline const char* Printable(const char* s) {
  return s ? s : "(null)";
}

}  // namespace orvella
