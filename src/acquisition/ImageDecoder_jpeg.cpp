// Linux decoder: JPEG through libjpeg-turbo, PNG through libpng, BMP / GIF /
// TIFF / ICO (the other formats GDI+ reads) through gdk-pixbuf.
//
// JPEG and PNG decode only what the region needs: the top rows (the decoder
// stops after the last one) and, for JPEG, the left columns. A picture whose
// header claims an enormous size therefore costs no more than its region.
//
// libjpeg and libpng report fatal errors by longjmp. Every setjmp lives in a
// small function of its own that holds no object with a destructor, and only
// library code and plain callbacks lie between a setjmp and its longjmp; the
// C++ caller turns the status into an exception afterwards.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "acquisition/FTPStream.h"
#include "acquisition/ImageDecoder.h"
#include "acquisition/ImageRegion.h"
#include "acquisition/JpegPool.h"
#include "acquisition/PixelTarget.h"
#include "driver/DriverContext.h"
#include "driver/Errors.h"

namespace orvella {

namespace {

// The statuses GDI+ gives for the same failures.
constexpr int kInvalidParameter = 2;  // data it cannot decode
constexpr int kOutOfMemory = 3;

// Whole-picture memory a decoder may take: libjpeg's coefficient store for
// progressive files, interlaced PNG rows, gdk-pixbuf's picture. More than a
// camera picture ever needs; a header claiming more fails as out of memory.
constexpr size_t kMaxPictureMemory = size_t(256) << 20;

// Gray weights 0.299, 0.588, 0.111 (the single-precision values of the GDI+
// colour matrix) in 15-bit fixed point, which fits SSE2's 16-bit multiplies;
// every path uses the same integers, so they agree to the bit. The weights add
// up to 0.998, so white is 254, as GDI+ rounds 254.49.
constexpr uint32_t kWeightR = 9798;
constexpr uint32_t kWeightG = 19268;
constexpr uint32_t kWeightB = 3637;
constexpr uint32_t kHalf = 1u << 14;
constexpr int kShift = 15;

inline unsigned char Gray(uint32_t r, uint32_t g, uint32_t b) {
  return static_cast<unsigned char>((r * kWeightR + g * kWeightG + b * kWeightB + kHalf) >> kShift);
}

// Gray from blue-green-red-x pixels (what libjpeg writes for the gray path).
void GrayFromBgrx(const unsigned char* in, unsigned char* out, uint32_t n) {
  uint32_t i = 0;
#if defined(__SSE2__)
  // 16 pixels a step. In each 32-bit pixel, the mask leaves blue and red as
  // two 16-bit halves and, shifted by 8, green and x; one multiply-add each.
  const __m128i lowBytes = _mm_set1_epi32(0x00FF00FF);
  const __m128i blueRed = _mm_set1_epi32(int(kWeightB | kWeightR << 16));
  const __m128i green = _mm_set1_epi32(int(kWeightG));
  const __m128i half = _mm_set1_epi32(int(kHalf));
  auto four = [&](const unsigned char* p) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i br = _mm_madd_epi16(_mm_and_si128(v, lowBytes), blueRed);
    __m128i g = _mm_madd_epi16(_mm_and_si128(_mm_srli_epi32(v, 8), lowBytes), green);
    return _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(br, g), half), kShift);
  };
  for (; i + 16 <= n; i += 16) {
    const unsigned char* p = in + 4 * i;
    __m128i lo = _mm_packs_epi32(four(p), four(p + 16));
    __m128i hi = _mm_packs_epi32(four(p + 32), four(p + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(lo, hi));
  }
#endif
  for (; i < n; ++i) out[i] = Gray(in[4 * i + 2], in[4 * i + 1], in[4 * i]);
}

void GrayFromBgr(const unsigned char* in, unsigned char* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = Gray(in[3 * i + 2], in[3 * i + 1], in[3 * i]);
}

// Colour from red-green-blue(-alpha) pixels of `channels` bytes; alpha is dropped.
void BgrFromRgb(const unsigned char* in, int channels, unsigned char* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i, in += channels, out += 3) {
    out[0] = in[2];
    out[1] = in[1];
    out[2] = in[0];
  }
}

void GrayFromRgb(const unsigned char* in, int channels, unsigned char* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i, in += channels) out[i] = Gray(in[0], in[1], in[2]);
}

[[noreturn]] void Fail(int status, const char* library, const char* detail) {
  GetDriverContext().Log(3, "ImageDecoder::Decode: ERROR: %s: %s\n", library, detail);
  throw GDIException(status);
}

// A level-3 line from inside a library callback: nothing may be thrown
// through the library's C frames.
void LogFromLibrary(const char* format, const char* text) noexcept {
  try {
    GetDriverContext().Log(3, format, text);
  } catch (...) {
  }
}

// ---- libjpeg plumbing -------------------------------------------------------

struct JpegErrors {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  int status;
  bool exhausted;  // the source ran out of data
  bool truncated;  // the decoder needed data past the end
  bool warned;     // one warning logged for this picture
  char message[JMSG_LENGTH_MAX];
};

JpegErrors& ErrorsOf(j_common_ptr c) {
  return *reinterpret_cast<JpegErrors*>(c->err);
}

void JpegErrorExit(j_common_ptr c) {
  JpegErrors& e = ErrorsOf(c);
  c->err->format_message(c, e.message);
  int code = c->err->msg_code;
  e.status = (code == JERR_OUT_OF_MEMORY || code == JERR_NO_BACKING_STORE || code == JERR_IMAGE_TOO_BIG)
                 ? kOutOfMemory
                 : kInvalidParameter;
  std::longjmp(e.jump, 1);
}

// Warnings (level -1) never abort: corrupt data still gives a usable picture,
// and only the first is logged. Data missing at the end is a failure, though:
// it marks a download that stopped early.
void JpegEmitMessage(j_common_ptr c, int level) {
  if (level >= 0) return;  // traces
  JpegErrors& e = ErrorsOf(c);
  c->err->num_warnings++;
  if (c->err->msg_code == JWRN_HIT_MARKER && e.exhausted) e.truncated = true;
  if (!e.warned) {
    e.warned = true;
    char text[JMSG_LENGTH_MAX];
    c->err->format_message(c, text);
    LogFromLibrary("ImageDecoder::Decode: WARNING: JPEG: %s\n", text);
  }
}

void JpegOutputMessage(j_common_ptr) {}

// The downloaded bytes as libjpeg's source. At the end it feeds an EOI
// marker, as libjpeg's own sources do, and notes that the data ran out.
const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void JpegInitSource(j_decompress_ptr) {}
void JpegTermSource(j_decompress_ptr) {}

boolean JpegFillInput(j_decompress_ptr c) {
  ErrorsOf(reinterpret_cast<j_common_ptr>(c)).exhausted = true;
  c->src->next_input_byte = kEndOfImage;
  c->src->bytes_in_buffer = sizeof kEndOfImage;
  return TRUE;
}

void JpegSkipInput(j_decompress_ptr c, long count) {
  if (count <= 0) return;
  if (size_t(count) > c->src->bytes_in_buffer) {
    JpegFillInput(c);
    return;
  }
  c->src->next_input_byte += count;
  c->src->bytes_in_buffer -= size_t(count);
}

// ---- libpng plumbing --------------------------------------------------------

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

bool IsJpeg(const unsigned char* d, size_t n) {
  return n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF;
}
bool IsPng(const unsigned char* d, size_t n) {
  return n >= 8 && png_sig_cmp(d, 0, 8) == 0;
}

uint32_t Le16(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t Le32(const unsigned char* p) {
  return Le16(p) | Le16(p + 2) << 16;
}

// The gdk-pixbuf loader for the other formats GDI+ reads, by signature; null
// for anything else, so network data never reaches parsers GDI+ would not use.
const char* PixbufType(const unsigned char* d, size_t n) {
  if (n >= 2 && d[0] == 'B' && d[1] == 'M') return "bmp";
  if (n >= 6 && (std::memcmp(d, "GIF87a", 6) == 0 || std::memcmp(d, "GIF89a", 6) == 0)) return "gif";
  if (n >= 4 && (std::memcmp(d, "II*\0", 4) == 0 || std::memcmp(d, "MM\0*", 4) == 0)) return "tiff";
  if (n >= 4 && std::memcmp(d, "\0\0\1\0", 4) == 0) return "ico";
  return nullptr;
}

// The picture size a BMP or GIF header claims (gdk-pixbuf allocates the
// whole picture before decoding it), or 0 when not known up front.
uint64_t ClaimedPixels(const char* type, const unsigned char* d, size_t n) {
  if (std::strcmp(type, "gif") == 0 && n >= 10) return uint64_t(Le16(d + 6)) * Le16(d + 8);
  if (std::strcmp(type, "bmp") == 0 && n >= 26) {
    if (Le32(d + 14) == 12) return uint64_t(Le16(d + 18)) * Le16(d + 20);
    int32_t w = int32_t(Le32(d + 18)), h = int32_t(Le32(d + 22));
    return uint64_t(w < 0 ? -int64_t(w) : w) * uint64_t(h < 0 ? -int64_t(h) : h);
  }
  return 0;
}

// The ICO loader buffers everything up to the farthest image its directory
// points at, however far that is: a directory must stay inside the data.
bool IcoDirectoryFits(const unsigned char* d, size_t n) {
  if (n < 6) return false;
  const uint32_t count = Le16(d + 4);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = 6 + size_t(i) * 16;
    if (at + 16 > n || uint64_t(Le32(d + at + 12)) + Le32(d + at + 8) > n) return false;
  }
  return true;
}

}  // namespace

// ---- the decoder -------------------------------------------------------------

struct ImageDecoder::Impl {
  Impl() {
    jpeg.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = JpegErrorExit;
    errors.pub.emit_message = JpegEmitMessage;
    errors.pub.output_message = JpegOutputMessage;
    if (CreateJpeg() != 0) throw std::bad_alloc();
    jpeg.mem->max_memory_to_use = long(kMaxPictureMemory);
    pool.Install(&jpeg);  // a steady stream of pictures allocates nothing
    source.init_source = JpegInitSource;
    source.fill_input_buffer = JpegFillInput;
    source.skip_input_data = JpegSkipInput;
    source.resync_to_restart = jpeg_resync_to_restart;
    source.term_source = JpegTermSource;
    for (int v = 0; v < 256; ++v) grayOfGray[v] = Gray(uint32_t(v), uint32_t(v), uint32_t(v));
  }
  ~Impl() { jpeg_destroy_decompress(&jpeg); }

  void Decode(const unsigned char* data, size_t size, const PixelTarget& target, int width, int height, bool colour);

  // JPEG, in three steps around the region (which needs the header).
  int CreateJpeg();
  int ReadJpegHeader(const unsigned char* data, size_t size);
  int StartJpeg(bool colour, uint32_t regionWidth);
  int ReadJpegRows(const ImageRegion& region, bool colour, bool direct);
  void DecodeJpeg(const unsigned char* data, size_t size, const PixelTarget& target, int width, int height, bool colour);
  // Converts `count` decoded pixels of the JPEG's output colour space.
  void ConvertJpegRow(const unsigned char* in, unsigned char* out, uint32_t count, bool colour) const;

  int ReadPngHeader(png_structp png, png_infop info, uint32_t* imageWidth, uint32_t* imageHeight, bool* interlaced);
  int ReadPngRows(png_structp png, const ImageRegion& region, bool colour, uint32_t imageWidth, uint32_t imageHeight,
                  bool interlaced, unsigned char* rows);
  void DecodePng(const unsigned char* data, size_t size, const PixelTarget& target, int width, int height, bool colour);

  void DecodePixbuf(const char* type, const unsigned char* data, size_t size, const PixelTarget& target, int width,
                    int height, bool colour);

  // A reused scratch area that only grows, so a steady stream of pictures
  // allocates nothing here. Deliberately not 16-byte aligned: libjpeg-turbo's
  // SIMD colour conversion writes aligned rows with non-temporal stores, which
  // bypass the cache, and reading such a row back straight away costs more
  // than the whole conversion.
  unsigned char* Scratch(size_t bytes) {
    constexpr size_t kSlack = 64, kOffset = 8;
    if (scratch.size() < bytes + kSlack) {
      try {
        scratch.resize(bytes + kSlack);
      } catch (const std::bad_alloc&) {
        Fail(kOutOfMemory, "decoder", "no memory for decoded rows");
      }
    }
    uintptr_t at = reinterpret_cast<uintptr_t>(scratch.data());
    return scratch.data() + ((kOffset - at % kSlack) + kSlack) % kSlack;
  }

  JpegImagePool pool;  // must outlive the decompressor, which ~Impl destroys first
  jpeg_decompress_struct jpeg{};
  JpegErrors errors{};
  jpeg_source_mgr source{};
  std::vector<unsigned char> scratch;
  std::vector<JSAMPROW> rowPointers;  // the target's rows, for direct decoding
  std::vector<JSAMPROW> scratchRows;  // rows inside `scratch`
  unsigned char grayOfGray[256];
  PngInput png{};
};

int ImageDecoder::Impl::CreateJpeg() {
  if (setjmp(errors.jump)) return errors.status;
  jpeg_create_decompress(&jpeg);
  return 0;
}

int ImageDecoder::Impl::ReadJpegHeader(const unsigned char* data, size_t size) {
  if (setjmp(errors.jump)) return errors.status;
  errors.exhausted = errors.truncated = errors.warned = false;
  errors.pub.num_warnings = 0;
  source.next_input_byte = data;
  source.bytes_in_buffer = size;
  jpeg.src = &source;
  jpeg_read_header(&jpeg, TRUE);
  return 0;
}

int ImageDecoder::Impl::StartJpeg(bool colour, uint32_t regionWidth) {
  if (setjmp(errors.jump)) return errors.status;
  switch (jpeg.jpeg_color_space) {
    case JCS_GRAYSCALE:
      jpeg.out_color_space = colour ? JCS_EXT_BGR : JCS_GRAYSCALE;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      jpeg.out_color_space = JCS_CMYK;
      break;
    default:
      // Gray comes from the decoded colours, as GDI+ computes it; four-byte
      // pixels keep that pass simple and vectorised.
      jpeg.out_color_space = colour ? JCS_EXT_BGR : JCS_EXT_BGRX;
      break;
  }
  jpeg_start_decompress(&jpeg);
  // Columns: ask for one iMCU column more than needed. The upsampler treats
  // the crop's right edge like the picture's, which changes the last pixels;
  // the extra column keeps every pixel kept equal to a full decode.
  JDIMENSION wanted = regionWidth + JDIMENSION(jpeg.max_h_samp_factor) * DCTSIZE;
  if (wanted < jpeg.output_width) {
    JDIMENSION x = 0;
    jpeg_crop_scanline(&jpeg, &x, &wanted);
  }
  return 0;
}

void ImageDecoder::Impl::ConvertJpegRow(const unsigned char* in, unsigned char* out, uint32_t count,
                                        bool colour) const {
  switch (jpeg.out_color_space) {
    case JCS_EXT_BGR:
      std::memcpy(out, in, size_t(count) * 3);
      break;
    case JCS_EXT_BGRX:
      GrayFromBgrx(in, out, count);
      break;
    case JCS_GRAYSCALE:
      for (uint32_t i = 0; i < count; ++i) out[i] = grayOfGray[in[i]];
      break;
    default: {  // CMYK: Adobe's files store the inks inverted
      bool inverted = jpeg.saw_Adobe_marker;
      for (uint32_t i = 0; i < count; ++i, in += 4) {
        uint32_t c = in[0], m = in[1], y = in[2], k = in[3];
        if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
        uint32_t r = (c * k + 127) / 255, g = (m * k + 127) / 255, b = (y * k + 127) / 255;
        if (colour) {
          out[3 * i] = static_cast<unsigned char>(b);
          out[3 * i + 1] = static_cast<unsigned char>(g);
          out[3 * i + 2] = static_cast<unsigned char>(r);
        } else {
          out[i] = Gray(r, g, b);
        }
      }
      break;
    }
  }
}

int ImageDecoder::Impl::ReadJpegRows(const ImageRegion& region, bool colour, bool direct) {
  if (setjmp(errors.jump)) return errors.status;
  if (direct) {
    // Straight into the buffer: its rows are exactly what libjpeg writes.
    while (jpeg.output_scanline < region.height) {
      jpeg_read_scanlines(&jpeg, &rowPointers[jpeg.output_scanline], region.height - jpeg.output_scanline);
    }
  } else {
    // Through scratch rows: wider than the region, or to be converted.
    JDIMENSION batch = JDIMENSION(scratchRows.size());
    while (jpeg.output_scanline < region.height) {
      JDIMENSION first = jpeg.output_scanline;
      JDIMENSION want = region.height - first < batch ? region.height - first : batch;
      JDIMENSION got = jpeg_read_scanlines(&jpeg, scratchRows.data(), want);
      for (JDIMENSION i = 0; i < got; ++i) ConvertJpegRow(scratchRows[i], region.Row(first + i), region.width, colour);
    }
  }
  return errors.truncated ? kInvalidParameter : 0;
}

void ImageDecoder::Impl::DecodeJpeg(const unsigned char* data, size_t size, const PixelTarget& target, int width, int height,
                                    bool colour) {
  // Every way out leaves the decompressor ready for the next picture.
  struct Abort {
    j_decompress_ptr jpeg;
    ~Abort() { jpeg_abort_decompress(jpeg); }
  } abort{&jpeg};

  if (int status = ReadJpegHeader(data, size)) Fail(status, "JPEG", errors.message);
  ImageRegion region = FitRegion(width, height, jpeg.image_width, jpeg.image_height, target, colour);
  if (region.width == 0 || region.height == 0) Fail(kInvalidParameter, "JPEG", "empty region");
  if (int status = StartJpeg(colour, region.width)) Fail(status, "JPEG", errors.message);

  bool direct = colour && jpeg.out_color_space == JCS_EXT_BGR && jpeg.output_width == region.width;
  try {
    if (direct) {
      if (rowPointers.size() < region.height) rowPointers.resize(region.height);
      for (uint32_t r = 0; r < region.height; ++r) rowPointers[r] = region.Row(r);
    } else {
      size_t rowBytes = size_t(jpeg.output_width) * size_t(jpeg.output_components);
      size_t batch = jpeg.rec_outbuf_height > 2 ? size_t(jpeg.rec_outbuf_height) : 2;
      unsigned char* rows = Scratch(rowBytes * batch);
      scratchRows.resize(batch);
      for (size_t r = 0; r < batch; ++r) scratchRows[r] = rows + r * rowBytes;
    }
  } catch (const std::bad_alloc&) {
    Fail(kOutOfMemory, "JPEG", "no memory for row pointers");
  }
  int status = ReadJpegRows(region, colour, direct);
  if (status && errors.truncated) Fail(status, "JPEG", "premature end of data");
  if (status) Fail(status, "JPEG", errors.message);
}

// ---- PNG ---------------------------------------------------------------------

int ImageDecoder::Impl::ReadPngHeader(png_structp p, png_infop info, uint32_t* imageWidth, uint32_t* imageHeight,
                                      bool* interlaced) {
  if (setjmp(png_jmpbuf(p))) return kInvalidParameter;
  png_read_info(p, info);
  // Always 8-bit blue-green-red: palettes, gray and 16-bit samples widened or
  // narrowed, alpha dropped (the region is copied, not composed).
  png_set_expand(p);
  png_set_strip_16(p);
  png_set_strip_alpha(p);
  png_set_gray_to_rgb(p);
  png_set_bgr(p);
  *interlaced = png_set_interlace_handling(p) > 1;
  png_read_update_info(p, info);
  *imageWidth = png_get_image_width(p, info);
  *imageHeight = png_get_image_height(p, info);
  return 0;
}

int ImageDecoder::Impl::ReadPngRows(png_structp p, const ImageRegion& region, bool colour, uint32_t imageWidth,
                                    uint32_t imageHeight, bool interlaced, unsigned char* rows) {
  if (setjmp(png_jmpbuf(p))) return kInvalidParameter;
  const size_t rowBytes = size_t(imageWidth) * 3;
  if (!interlaced) {
    bool direct = colour && imageWidth == region.width;
    for (uint32_t r = 0; r < region.height; ++r) {
      unsigned char* row = direct ? region.Row(r) : rows;
      png_read_row(p, row, nullptr);
      if (colour && !direct) std::memcpy(region.Row(r), row, size_t(region.width) * 3);
      if (!colour) GrayFromBgr(row, region.Row(r), region.width);
    }
    return 0;
  }
  // Interlaced: each pass adds pixels to every row, so the region's rows
  // stay in scratch until the last pass; later rows are read and dropped.
  const int passes = 7;
  for (int pass = 0; pass < passes; ++pass) {
    for (uint32_t y = 0; y < imageHeight; ++y) {
      if (pass == passes - 1 && y >= region.height) break;
      png_read_row(p, y < region.height ? rows + y * rowBytes : nullptr, nullptr);
    }
  }
  for (uint32_t r = 0; r < region.height; ++r) {
    const unsigned char* row = rows + r * rowBytes;
    if (colour) {
      std::memcpy(region.Row(r), row, size_t(region.width) * 3);
    } else {
      GrayFromBgr(row, region.Row(r), region.width);
    }
  }
  return 0;
}

void ImageDecoder::Impl::DecodePng(const unsigned char* data, size_t size, const PixelTarget& target, int width, int height,
                                   bool colour) {
  png = PngInput{data, size, 0, false, {}};
  png_structp p = png_create_read_struct(PNG_LIBPNG_VER_STRING, &png, PngError, PngWarning);
  png_infop info = p ? png_create_info_struct(p) : nullptr;
  struct Destroy {
    png_structp* p;
    png_infop* info;
    ~Destroy() { png_destroy_read_struct(p, info, nullptr); }
  } destroy{&p, &info};
  if (!info) Fail(kOutOfMemory, "PNG", "no memory for the reader");
  png_set_read_fn(p, &png, PngRead);

  uint32_t imageWidth = 0, imageHeight = 0;
  bool interlaced = false;
  if (ReadPngHeader(p, info, &imageWidth, &imageHeight, &interlaced)) Fail(kInvalidParameter, "PNG", png.message);
  ImageRegion region = FitRegion(width, height, imageWidth, imageHeight, target, colour);
  if (region.width == 0 || region.height == 0) Fail(kInvalidParameter, "PNG", "empty region");
  size_t rowBytes = size_t(imageWidth) * 3;
  size_t rowCount = interlaced ? region.height : 1;
  if (rowBytes * rowCount > kMaxPictureMemory) Fail(kOutOfMemory, "PNG", "picture too large");
  unsigned char* rows = Scratch(rowBytes * rowCount);
  if (ReadPngRows(p, region, colour, imageWidth, imageHeight, interlaced, rows)) {
    bool memory = std::strstr(png.message, "memory") != nullptr;
    Fail(memory ? kOutOfMemory : kInvalidParameter, "PNG", png.message);
  }
}

// ---- BMP, GIF, TIFF, ICO -------------------------------------------------------

void ImageDecoder::Impl::DecodePixbuf(const char* type, const unsigned char* data, size_t size, const PixelTarget& target,
                                      int width, int height, bool colour) {
  // gdk-pixbuf decodes whole pictures: refuse sizes no camera sends before it
  // allocates them.
  if (ClaimedPixels(type, data, size) * 4 > kMaxPictureMemory) Fail(kOutOfMemory, type, "picture too large");
  // Its BMP loader also buffers the info header and the palette at whatever
  // length the file gives them (up to 4 GiB): no info header is longer than
  // 124 bytes, and the pixels must start inside the data.
  if (std::strcmp(type, "bmp") == 0 && (size < 18 || Le32(data + 14) > 124 || Le32(data + 10) > size))
    Fail(kInvalidParameter, type, "bad header");
  if (std::strcmp(type, "ico") == 0 && !IcoDirectoryFits(data, size))
    Fail(kInvalidParameter, type, "directory points past the data");

  struct Loader {
    GdkPixbufLoader* loader;
    GError* error = nullptr;
    ~Loader() {
      if (error) g_error_free(error);
      if (loader) g_object_unref(loader);
    }
  } l{nullptr};
  l.loader = gdk_pixbuf_loader_new_with_type(type, &l.error);
  bool ok = l.loader != nullptr;
  if (ok) ok = gdk_pixbuf_loader_write(l.loader, data, size, &l.error);
  if (l.loader) {
    // Closing is required even after a failed write; its own error then adds nothing.
    bool closed = gdk_pixbuf_loader_close(l.loader, ok ? &l.error : nullptr);
    ok = ok && closed;
  }
  GdkPixbuf* picture = ok ? gdk_pixbuf_loader_get_pixbuf(l.loader) : nullptr;
  if (!picture || gdk_pixbuf_get_bits_per_sample(picture) != 8 ||
      gdk_pixbuf_get_colorspace(picture) != GDK_COLORSPACE_RGB) {
    bool memory =
        l.error && l.error->domain == GDK_PIXBUF_ERROR && l.error->code == GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY;
    Fail(memory ? kOutOfMemory : kInvalidParameter, type, l.error ? l.error->message : "no picture");
  }
  ImageRegion region = FitRegion(width, height, uint32_t(gdk_pixbuf_get_width(picture)),
                                 uint32_t(gdk_pixbuf_get_height(picture)), target, colour);
  if (region.width == 0 || region.height == 0) Fail(kInvalidParameter, type, "empty region");
  const guint8* pixels = gdk_pixbuf_read_pixels(picture);
  int channels = gdk_pixbuf_get_n_channels(picture);
  size_t stride = size_t(gdk_pixbuf_get_rowstride(picture));
  for (uint32_t r = 0; r < region.height; ++r) {
    if (colour) {
      BgrFromRgb(pixels + r * stride, channels, region.Row(r), region.width);
    } else {
      GrayFromRgb(pixels + r * stride, channels, region.Row(r), region.width);
    }
  }
}

void ImageDecoder::Impl::Decode(const unsigned char* data, size_t size, const PixelTarget& target, int width, int height,
                                bool colour) {
  if (IsJpeg(data, size)) return DecodeJpeg(data, size, target, width, height, colour);
  if (IsPng(data, size)) return DecodePng(data, size, target, width, height, colour);
  if (const char* type = PixbufType(data, size)) return DecodePixbuf(type, data, size, target, width, height, colour);
  Fail(kInvalidParameter, "decoder", size ? "not a picture format GDI+ reads" : "no data");
}

ImageDecoder::ImageDecoder() : impl(std::make_unique<Impl>()) {}
ImageDecoder::~ImageDecoder() = default;

// Nothing to start or stop: the libraries need no global set-up.
void ImageDecoder::Start() {}
void ImageDecoder::Shutdown() {}

void ImageDecoder::Decode(FTPStream& stream, const PixelTarget& target, int width, int height, bool colour) {
  impl->Decode(stream.Data(), stream.Size(), target, width, height, colour);
}

}  // namespace orvella
