#include "acquisition/decode/Format.h"

#include <cstring>

namespace orvella::decode {

namespace {

struct Signature {
  Format format;
  const char* bytes;
  size_t length;
};

// First match wins. A JPEG starts with SOI followed by any marker; TIFF in
// either byte order; an ICO directory is reserved 0, type 1.
constexpr Signature kSignatures[] = {
    {Format::kJpeg, "\xFF\xD8\xFF", 3},
    {Format::kPng, "\x89PNG\r\n\x1A\n", 8},
    {Format::kBmp, "BM", 2},
    {Format::kGif, "GIF87a", 6},
    {Format::kGif, "GIF89a", 6},
    {Format::kTiff, "II*\0", 4},
    {Format::kTiff, "MM\0*", 4},
    {Format::kIco, "\0\0\1\0", 4},
};

struct Name {
  Format format;
  const char* name;
};

constexpr Name kNames[] = {
    {Format::kJpeg, "jpeg"}, {Format::kPng, "png"},   {Format::kBmp, "bmp"},
    {Format::kGif, "gif"},   {Format::kTiff, "tiff"}, {Format::kIco, "ico"},
};

}  // namespace

Format SniffFormat(const unsigned char* data, size_t size) {
  for (const Signature& s : kSignatures) {
    if (size >= s.length && std::memcmp(data, s.bytes, s.length) == 0) return s.format;
  }
  return Format::kUnknown;
}

const char* FormatName(Format format) {
  for (const Name& n : kNames) {
    if (n.format == format) return n.name;
  }
  return "unknown";
}

}  // namespace orvella::decode
