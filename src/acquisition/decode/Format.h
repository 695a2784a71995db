// The picture format of a download, told by its first bytes: the one place
// that decides which decoder a picture reaches. Only the formats GDI+ reads
// are recognised, so network data never reaches a parser GDI+ would not use.
//
// Thread safety: pure functions, callable from any thread.
#pragma once

#include <cstddef>

namespace orvella::decode {

enum class Format { kUnknown, kJpeg, kPng, kBmp, kGif, kTiff, kIco };

// The format whose signature the data starts with; kUnknown for anything else
// (also for data too short to hold a signature).
Format SniffFormat(const unsigned char* data, size_t size);

// Short lower-case name ("jpeg", "png", "bmp", "gif", "tiff", "ico"; "unknown"):
// gdk-pixbuf's loader names, also used in log lines.
const char* FormatName(Format format);

}  // namespace orvella::decode
