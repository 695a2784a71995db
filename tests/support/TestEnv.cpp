#include "support/TestEnv.h"

#include <cstdlib>
#include <fstream>
#include <map>

#include "support/Servers.h"

namespace orvella::test {

namespace {

// The servers file, read once: it does not change while the servers run.
const std::map<std::string, std::string>& ServersFile() {
  static const std::map<std::string, std::string> values = [] {
    std::map<std::string, std::string> v;
    const char* path = std::getenv(kServersFileVariable);
    if (!path || std::string(path) == kNoServers) return v;
    std::ifstream in(NativePath(path));
    for (std::string line; std::getline(in, line);) {
      const size_t equals = line.find('=');
      if (equals != std::string::npos) v[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return v;
  }();
  return values;
}

}  // namespace

std::string Env(const char* name, const std::string& fallback) {
  if (const char* v = std::getenv(name)) return v;
  const auto found = ServersFile().find(name);
  return found != ServersFile().end() ? found->second : fallback;
}

}  // namespace orvella::test
