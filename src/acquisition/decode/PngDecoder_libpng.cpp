// libpng reports fatal errors by longjmp. Every setjmp lives in a small
// function of its own that holds no object with a destructor, and only
// library code and plain callbacks lie between a setjmp and its longjmp; the
// C++ caller turns the status into an exception afterwards.
#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "acquisition/ImageRegion.h"
#include "acquisition/decode/Convert.h"
#include "acquisition/decode/PngDecoder.h"

namespace orvella::decode {

namespace {

struct PngInput {
  const unsigned char* data;
  size_t size;
  size_t position;
  bool warned;
  char message[256];
};

void PngRead(png_structp png, png_bytep out, size_t count) {
  auto* in = static_cast<PngInput*>(png_get_io_ptr(png));
  if (count > in->size - in->position) png_error(png, "premature end of PNG data");
  std::memcpy(out, in->data + in->position, count);
  in->position += count;
}

// Must not return: libpng would print the message before its own longjmp.
void PngError(png_structp png, png_const_charp text) {
  auto* in = static_cast<PngInput*>(png_get_error_ptr(png));
  std::snprintf(in->message, sizeof in->message, "%s", text ? text : "");
  png_longjmp(png, 1);
}

void PngWarning(png_structp png, png_const_charp text) {
  auto* in = static_cast<PngInput*>(png_get_error_ptr(png));
  if (in->warned) return;
  in->warned = true;
  LogFromLibrary("ImageDecoder::Decode: WARNING: PNG: %s\n", text ? text : "");
}

struct PngHeader {
  uint32_t width;
  uint32_t height;
  bool interlaced;
};

int ReadHeader(png_structp p, png_infop info, PngHeader* header) {
  if (setjmp(png_jmpbuf(p))) return kInvalidParameter;
  png_read_info(p, info);
  // Always 8-bit blue-green-red: palettes, gray and 16-bit samples widened or
  // narrowed, alpha dropped (the region is copied, not composed).
  png_set_expand(p);
  png_set_strip_16(p);
  png_set_strip_alpha(p);
  png_set_gray_to_rgb(p);
  png_set_bgr(p);
  header->interlaced = png_set_interlace_handling(p) > 1;
  png_read_update_info(p, info);
  header->width = png_get_image_width(p, info);
  header->height = png_get_image_height(p, info);
  return 0;
}

void StoreRow(const unsigned char* row, const ImageRegion& region, uint32_t r, bool colour) {
  if (colour) {
    std::memcpy(region.Row(r), row, size_t(region.width) * 3);
  } else {
    GrayFromBgr(row, region.Row(r), region.width);
  }
}

// Between rows: a closing camera or the time limit ends the picture.
int ReadRows(png_structp p, const ImageRegion& region, bool colour, const PngHeader* header, unsigned char* rows,
             const Budget* budget) {
  if (setjmp(png_jmpbuf(p))) return kInvalidParameter;
  if (!header->interlaced) {
    bool direct = colour && header->width == region.width;
    for (uint32_t r = 0; r < region.height; ++r) {
      if (int status = budget->Check()) return status;
      unsigned char* row = direct ? region.Row(r) : rows;
      png_read_row(p, row, nullptr);
      if (!direct) StoreRow(row, region, r, colour);
    }
    return 0;
  }
  // Interlaced: each pass adds pixels to every row, so the region's rows
  // stay in scratch until the last pass; later rows are read and dropped
  // (the next pass's data follows them), except in the last pass.
  const size_t rowBytes = size_t(header->width) * 3;
  const int passes = 7;
  for (int pass = 0; pass < passes; ++pass) {
    for (uint32_t y = 0; y < header->height; ++y) {
      if (pass == passes - 1 && y >= region.height) break;
      if (int status = budget->Check()) return status;
      png_read_row(p, y < region.height ? rows + y * rowBytes : nullptr, nullptr);
    }
  }
  for (uint32_t r = 0; r < region.height; ++r) StoreRow(rows + r * rowBytes, region, r, colour);
  return 0;
}

}  // namespace

void DecodePng(const Request& request, Scratch& scratch) {
  PngInput input{request.data, request.size, 0, false, {}};
  png_structp p = png_create_read_struct(PNG_LIBPNG_VER_STRING, &input, PngError, PngWarning);
  png_infop info = p ? png_create_info_struct(p) : nullptr;
  struct Destroy {
    png_structp* p;
    png_infop* info;
    ~Destroy() { png_destroy_read_struct(p, info, nullptr); }
  } destroy{&p, &info};
  if (!info) Fail(kOutOfMemory, "PNG", "no memory for the reader");
  png_set_read_fn(p, &input, PngRead);

  PngHeader header{};
  if (ReadHeader(p, info, &header)) Fail(kInvalidParameter, "PNG", input.message);
  ImageRegion region =
      FitRegion(request.width, request.height, header.width, header.height, request.target, request.colour);
  if (region.width == 0 || region.height == 0) Fail(kInvalidParameter, "PNG", "empty region");
  size_t rowBytes = size_t(header.width) * 3;
  size_t rowCount = header.interlaced ? region.height : 1;
  if (rowBytes * rowCount > kMaxPictureMemory) Fail(kOutOfMemory, "PNG", "picture too large");
  unsigned char* rows = scratch.Get(rowBytes * rowCount);
  if (int status = ReadRows(p, region, request.colour, &header, rows, &request.budget)) {
    if (status < 0) FailWith(status, "PNG", kOverTimeLimit);
    bool memory = std::strstr(input.message, "memory") != nullptr;
    Fail(memory ? kOutOfMemory : kInvalidParameter, "PNG", input.message);
  }
}

}  // namespace orvella::decode
