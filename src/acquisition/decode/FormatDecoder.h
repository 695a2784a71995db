// What the per-format decoders share: the request, how they fail, their
// limits (memory, work, time) and a reused scratch area.
//
// Thread safety: a Scratch belongs to one decoder, used by its worker only.
// A Budget is read by the decoding worker; its stop flag is raised by any
// thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "acquisition/PixelTarget.h"

namespace orvella::decode {

// The statuses GDI+ gives for the same failures.
constexpr int kInvalidParameter = 2;  // data it cannot decode
constexpr int kOutOfMemory = 3;
// A decode ended for a reason of ours, not the library's.
constexpr int kStopped = -1;    // the camera is being closed
constexpr int kTooCostly = -2;  // over the picture's budget

// Whole-picture memory a decoder may take: libjpeg's coefficient store for
// progressive files, interlaced PNG rows, a whole-picture decoder's frames
// (gdk-pixbuf, GDI+). More than a camera picture ever needs; a header
// claiming more fails as out of memory.
constexpr size_t kMaxPictureMemory = size_t(256) << 20;

// Pixels decoded in passes over the picture beyond the one that yields the
// region's rows (every scan of a multi-scan JPEG, an interlaced PNG's
// passes): a fixed part plus a part that grows with the region. An honest
// progressive picture of 24 Mpx needs about 160 M, whatever its region.
constexpr uint64_t kPassWorkFloor = uint64_t(256) << 20;
constexpr uint64_t kPassWorkPerRegionPixel = 16;

// Scans of one JPEG: standard encoders write at most about 20.
constexpr int kMaxJpegScans = 100;

// Wall-clock time one picture may take, checked between rows, scans and
// chunks of data. An honest 1600 x 1200 picture takes a few milliseconds.
constexpr std::chrono::milliseconds kDecodeTimeLimit{1500};

// One picture's stop flag and time limit, started when it is made.
class Budget {
 public:
  explicit Budget(const std::atomic<bool>* stop, std::chrono::milliseconds limit = kDecodeTimeLimit)
      : stop(stop), deadline(std::chrono::steady_clock::now() + limit) {}

  // 0 to go on, kStopped once the flag is raised, kTooCostly past the time
  // limit. Never throws: library callbacks call it.
  int Check() const noexcept {
    if (stop && stop->load(std::memory_order_relaxed)) return kStopped;
    return std::chrono::steady_clock::now() > deadline ? kTooCostly : 0;
  }

 private:
  const std::atomic<bool>* stop;
  std::chrono::steady_clock::time_point deadline;
};

// Detail of a kTooCostly status from Budget::Check.
extern const char* const kOverTimeLimit;

// One picture to decode into the top-left region of `target` (see ImageDecoder::Decode).
struct Request {
  const unsigned char* data;
  size_t size;
  const PixelTarget& target;
  int width;
  int height;
  bool colour;
  const Budget& budget;
};

// Logs "ImageDecoder::Decode: ERROR: <library>: <detail>" at level 3 and
// raises GDIException(status), with `reason` in brackets when given.
[[noreturn]] void Fail(int status, const char* library, const char* detail, const std::string& reason = "");

// Ends the picture with any status: a GDI+ status as Fail does; kStopped
// raises "ImageDecoder::Decode: stopped" (not logged: the close wins);
// kTooCostly logs like Fail and raises "ImageDecoder::Decode: picture too
// costly to decode (<library>: <detail>)".
[[noreturn]] void FailWith(int status, const char* library, const char* detail);

// What came instead of a picture (data that starts as no format does):
// "the camera answered text/html, 2312 bytes, not a picture", or "with no
// content type" where the answer had none (ftp, or none sent).
std::string NotAPictureText(const std::string& contentType, size_t size);

// A level-3 line from inside a library callback: nothing may be thrown
// through the library's C frames. `format` takes one %s.
void LogFromLibrary(const char* format, const char* text) noexcept;

// A reused area that only grows, so a steady stream of pictures allocates
// nothing here. Deliberately not 16-byte aligned: libjpeg-turbo's SIMD colour
// conversion writes aligned rows with non-temporal stores, which bypass the
// cache, and reading such a row back straight away costs more than the whole
// conversion.
class Scratch {
 public:
  // At least `bytes` bytes; fails the picture as out of memory when it cannot grow.
  unsigned char* Get(size_t bytes);

 private:
  std::vector<unsigned char> area;
};

}  // namespace orvella::decode
