#include "support/TestImages.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/Scratch.h"
#include "support/TestEnv.h"

namespace orvella::test {

namespace {
constexpr int kLevels[3] = {0, 128, 255};
constexpr int kBlock = 16;
}  // namespace

Rgb PatternPixel(int x, int y) {
  int i = (x / kBlock * 5 + y / kBlock * 11) % 27;
  return {kLevels[i % 3], kLevels[i / 3 % 3], kLevels[i / 9]};
}

int GrayOf(Rgb c) {
  return int(std::lround(0.299 * c.r + 0.588 * c.g + 0.111 * c.b));
}

std::string DataDir() {
  return Env("ORVELLA_DATA_DIR");
}

std::string ReadTestImage(const std::string& name) {
  std::string dir = DataDir();
  if (dir.empty()) {
    ADD_FAILURE() << "ORVELLA_DATA_DIR is not set: run under tests/servers/with_servers.py";
    return "";
  }
  std::string path = dir + "/" + name;
  // A Windows program under Wine reaches the Linux file system as drive Z:.
  if (!FileExists(path) && path[0] == '/' && FileExists("Z:" + path)) path = "Z:" + path;
  if (!FileExists(path)) {
    ADD_FAILURE() << "missing test picture " << path;
    return "";
  }
  return ReadBinary(path);
}

}  // namespace orvella::test
