#include "support/Scratch.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>


namespace fs = std::filesystem;

namespace orvella::test {

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (;;) {
    fs::path candidate = fs::temp_directory_path() /
                         ("orvella-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      dir = candidate.string();
      return;
    }
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(dir, ec);
}

std::string ScratchDir::File(const std::string& name) const { return dir + PathSeparator() + name; }

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string ReadBinary(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteBinary(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Test support also links into API tests, which see only the exports.
std::string PathSeparator() {
#ifdef _WIN32
  return "\\";
#else
  return "/";
#endif
}

}  // namespace orvella::test
