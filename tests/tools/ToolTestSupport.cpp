#include "ToolTestSupport.h"

#include <png.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>

namespace fs = std::filesystem;

namespace orvella::tooltest {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "orvella-tools-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("cannot make " + tmpl);
  path = tmpl;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

CommandResult RunCommand(const std::string& command) {
  CommandResult r;
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.output.append(buffer, n);
  const int status = pclose(pipe);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

Picture ReadPng(const fs::path& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Picture p;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return p;
  p.channels = PNG_IMAGE_SAMPLE_CHANNELS(image.format) == 1 ? 1 : 3;
  image.format = p.channels == 1 ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
  p.width = static_cast<int>(image.width), p.height = static_cast<int>(image.height);
  p.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, p.pixels.data(), 0, nullptr)) return Picture{};
  return p;
}

}  // namespace orvella::tooltest
