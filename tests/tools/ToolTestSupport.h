// What the tests of the tools share: a scratch directory, running a tool as
// a shell command, and reading the PNG files the tools write.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace orvella::tooltest {

// A fresh directory under the system's temporary directory, removed with
// its content afterwards.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::filesystem::path path;
};

struct CommandResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};

CommandResult RunCommand(const std::string& command);

// Pixels row by row, channels 1 (gray) or 3 (red, green, blue).
struct Picture {
  int width = 0, height = 0, channels = 0;
  std::vector<unsigned char> pixels;
  int At(int x, int y, int c) const { return pixels[(static_cast<size_t>(y) * width + x) * channels + c]; }
};

// A PNG file, gray kept gray and anything else as RGB; empty when unreadable.
Picture ReadPng(const std::filesystem::path& path);

}  // namespace orvella::tooltest
