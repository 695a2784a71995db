#include "support/TestEnv.h"

#include <cstdlib>

namespace orvella::test {

std::string Env(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : fallback;
}

}  // namespace orvella::test
