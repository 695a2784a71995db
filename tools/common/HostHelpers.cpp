#include "common/HostHelpers.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "driver/Mutex.h"

namespace orvella::host {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// True when the line opens a section; `name` is then the section's name.
bool SectionName(const std::string& line, std::string& name) {
  const size_t close = line.find(']');
  if (line.empty() || line[0] != '[' || close == std::string::npos) return false;
  name = line.substr(1, close - 1);
  return true;
}

// The file's lines without their CRs.
std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

Mutex printLock;
bool lineStart ORVELLA_GUARDED_BY(printLock) = true;

}  // namespace

void AddHostOptions(orvella::tools::Options& options, HostOptions& o) {
  // Beside this program in the build tree and the Windows zip; installed on
  // Linux, where the system finds it.
  o.library = ExecutableDir() + kPathSeparator + kLibraryName;
  if (!std::ifstream(o.library)) o.library = kLibraryName;
  options.Text("--url", o.section.url)
      .Text("--tls-trust", o.section.tlsTrust)
      .Text("--library", o.library)
      .Text("--dir", o.dir)
      .Text("--simcam", o.simcamArgs)
      .Number("--width", o.section.width, 1, 8192)
      .Number("--height", o.section.height, 1, 8192)
      .Number("--rate", o.section.rate, 1, 60)
      .Number("--log-level", o.section.logLevel, 0, 4)
      .Flag("--gray", o.section.gray)
      .Flag("--verbose", o.verbose);
}

void WriteCameraSections(const std::string& path, const std::vector<std::string>& cameras, const CameraSection& keys) {
  std::string kept, name;
  bool ours = false;
  for (const std::string& line : ReadLines(path)) {
    if (SectionName(line, name)) {
      ours = false;
      for (const std::string& c : cameras) ours = ours || Lower(c) == Lower(name);
    }
    if (!ours) kept += line + "\n";
  }
  std::ofstream out(path, std::ios::trunc);
  out << kept;
  for (const std::string& c : cameras)
    out << "[" << c << "]\nheight=" << keys.height << "\nwidth=" << keys.width << "\nGrayscale=" << (keys.gray ? 1 : 0)
        << "\nRefreshRate=" << keys.rate << "\nRefreshRateUnit=1\nImageUrl=" << keys.url
        << "\nLogLevel=" << keys.logLevel << "\nConnectionTimeout=3000\n"
        << (keys.tlsTrust.empty() ? "" : "TlsTrust=" + keys.tlsTrust + "\n");
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

bool HasImageUrl(const std::string& path, const std::string& camera) {
  std::string name;
  bool ours = false;
  for (const std::string& line : ReadLines(path)) {
    if (SectionName(line, name)) ours = Lower(name) == Lower(camera);
    if (ours && Lower(line).rfind("imageurl=", 0) == 0 && line.size() > 9) return true;
  }
  return false;
}

std::unique_ptr<SimCamProcess> StartSimCam(int width, int height, const std::string& extraArgs) {
  std::vector<std::string> args{"--port", "0", "--width", std::to_string(width), "--height", std::to_string(height)};
  std::istringstream words(extraArgs);
  for (std::string w; words >> w;) args.push_back(w);
  auto simcam = std::make_unique<SimCamProcess>(ExecutableDir() + kPathSeparator + "orvella-simcam", args);
  std::printf("simulated camera at %s\n", simcam->Url().c_str());
  return simcam;
}

void ORVELLA_CALL PrintDriverLine(const char* text) {
  ScopedLock<Mutex> guard(printLock);
  const size_t n = std::strlen(text);
  std::fprintf(stderr, "%s%s", lineStart ? "driver: " : "", text);
  if (n) lineStart = text[n - 1] == '\n';
}

}  // namespace orvella::host
