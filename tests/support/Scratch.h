// Scratch directories and small file helpers for tests on both products.
#pragma once

#include <string>

#include "driver/NoCopy.h"

namespace orvella::test {

// A fresh, empty directory under the system's temporary directory, removed
// with everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ORVELLA_NO_COPY(ScratchDir);
  const std::string& path() const { return dir; }
  // path() + separator + name
  std::string File(const std::string& name) const;

 private:
  std::string dir;
};

bool FileExists(const std::string& path);
// Text mode: on Windows CR LF comes back as "\n".
std::string ReadText(const std::string& path);
std::string ReadBinary(const std::string& path);
void WriteBinary(const std::string& path, const std::string& bytes);
// The product's separator between the system path and a file name.
std::string PathSeparator();

}  // namespace orvella::test
