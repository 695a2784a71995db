// Where the loopback servers are and a scratch directory for each test.
#pragma once

#include <string>

namespace orvella::test {

// Environment variable, or `fallback` when unset.
std::string Env(const char* name, const std::string& fallback = "");

}  // namespace orvella::test
