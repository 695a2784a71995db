#include "acquisition/decode/FormatDecoder.h"

#include <new>
#include <stdexcept>
#include <string>

#include "driver/DriverContext.h"
#include "driver/Errors.h"

namespace orvella::decode {

const char* const kOverTimeLimit = "more than 1500 ms";
static_assert(kDecodeTimeLimit.count() == 1500, "kOverTimeLimit names the limit");

void Fail(int status, const char* library, const char* detail, const std::string& reason) {
  GetDriverContext().Log(3, "ImageDecoder::Decode: ERROR: %s: %s\n", library, detail);
  if (!reason.empty()) throw GDIException(status, reason);
  throw GDIException(status);
}

void FailWith(int status, const char* library, const char* detail) {
  if (status == kStopped) throw std::runtime_error("ImageDecoder::Decode: stopped");
  if (status != kTooCostly) Fail(status, library, detail);
  GetDriverContext().Log(3, "ImageDecoder::Decode: ERROR: %s: too costly: %s\n", library, detail);
  throw std::runtime_error(std::string("ImageDecoder::Decode: picture too costly to decode (") + library + ": " +
                           detail + ")");
}

std::string NotAPictureText(const std::string& contentType, size_t size) {
  const std::string type = contentType.empty() ? "with no content type" : contentType;
  return "the camera answered " + type + ", " + std::to_string(size) + (size == 1 ? " byte" : " bytes") +
         ", not a picture";
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
