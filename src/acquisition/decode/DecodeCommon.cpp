#include "acquisition/decode/DecodeCommon.h"

#include <cstdint>
#include <new>

#include "driver/DriverContext.h"
#include "driver/Errors.h"

namespace orvella::decode {

void Fail(int status, const char* library, const char* detail) {
  GetDriverContext().Log(3, "ImageDecoder::Decode: ERROR: %s: %s\n", library, detail);
  throw GDIException(status);
}

void LogFromLibrary(const char* format, const char* text) noexcept {
  try {
    GetDriverContext().Log(3, format, text);
  } catch (...) {
  }
}

unsigned char* Scratch::Get(size_t bytes) {
  constexpr size_t kSlack = 64, kOffset = 8;
  if (area.size() < bytes + kSlack) {
    try {
      area.resize(bytes + kSlack);
    } catch (const std::bad_alloc&) {
      Fail(kOutOfMemory, "decoder", "no memory for decoded rows");
    }
  }
  uintptr_t at = reinterpret_cast<uintptr_t>(area.data());
  return area.data() + ((kOffset - at % kSlack) + kSlack) % kSlack;
}

}  // namespace orvella::decode
