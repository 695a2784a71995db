// libjpeg reports fatal errors by longjmp. Every setjmp lives in a small
// function of its own that holds no object with a destructor, and only
// library code and plain callbacks lie between a setjmp and its longjmp; the
// C++ caller turns the status into an exception afterwards.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "acquisition/ImageRegion.h"
#include "acquisition/decode/Convert.h"
#include "acquisition/decode/JpegDecoder.h"
#include "acquisition/decode/JpegPool.h"

namespace orvella::decode {

namespace {

struct JpegErrors {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  int status;
  bool truncated;  // the decoder needed data past the end
  bool warned;     // one warning logged for this picture
  char message[JMSG_LENGTH_MAX];
};

struct JpegProgress {
  jpeg_progress_mgr pub;
  const Budget* budget;
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
// and only the first is logged. Reaching the end of the picture while
// decoding needed data is a failure, though: the data of those rows is
// missing, whether the download stopped early (the source then feeds an end
// marker) or an end marker follows the cut. Other markers met early (a
// restart marker after damaged data) only end the damage.
void JpegEmitMessage(j_common_ptr c, int level) {
  if (level >= 0) return;  // traces
  JpegErrors& e = ErrorsOf(c);
  c->err->num_warnings++;
  if (c->err->msg_code == JWRN_HIT_MARKER && reinterpret_cast<j_decompress_ptr>(c)->unread_marker == JPEG_EOI)
    e.truncated = true;
  if (!e.warned) {
    e.warned = true;
    char text[JMSG_LENGTH_MAX];
    c->err->format_message(c, text);
    LogFromLibrary("ImageDecoder::Decode: WARNING: JPEG: %s\n", text);
  }
}

void JpegOutputMessage(j_common_ptr) {}

// Called before each batch of rows and, for multi-scan files, each iMCU row
// of every scan: a closing camera, the time limit or more scans than any
// encoder writes (libjpeg only warns about a repeated scan) end the picture.
void JpegProgressMonitor(j_common_ptr c) {
  const Budget* budget = reinterpret_cast<JpegProgress*>(c->progress)->budget;
  const int status = budget ? budget->Check() : 0;
  const bool tooManyScans = reinterpret_cast<j_decompress_ptr>(c)->input_scan_number > kMaxJpegScans;
  if (!status && !tooManyScans) return;
  JpegErrors& e = ErrorsOf(c);
  e.status = status ? status : kTooCostly;
  if (status) {
    std::snprintf(e.message, sizeof e.message, "%s", status == kStopped ? "stopped" : kOverTimeLimit);
  } else {
    std::snprintf(e.message, sizeof e.message, "more than %d scans", kMaxJpegScans);
  }
  std::longjmp(e.jump, 1);
}

// The downloaded bytes as libjpeg's source. At the end it feeds an EOI
// marker, as libjpeg's own sources do.
const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void JpegInitSource(j_decompress_ptr) {}
void JpegTermSource(j_decompress_ptr) {}

boolean JpegFillInput(j_decompress_ptr c) {
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

}  // namespace

struct JpegDecoder::Impl {
  Impl();
  ~Impl() { jpeg_destroy_decompress(&jpeg); }

  // The picture in three steps around the region (which needs the header).
  int Create();
  int ReadHeader(const unsigned char* data, size_t size);
  int Start(bool colour, uint32_t regionWidth);
  int ReadRows(const ImageRegion& region, bool colour, bool direct);
  // Points the row tables at the buffer (direct) or at scratch rows.
  void PrepareRows(const ImageRegion& region, bool direct, Scratch& scratch);
  // Converts `count` decoded pixels of the output colour space.
  void ConvertRow(const unsigned char* in, unsigned char* out, uint32_t count, bool colour) const;

  JpegImagePool pool;  // must outlive the decompressor, which ~Impl destroys first
  jpeg_decompress_struct jpeg{};
  JpegErrors errors{};
  JpegProgress progress{};
  jpeg_source_mgr source{};
  std::vector<JSAMPROW> rowPointers;  // the target's rows, for direct decoding
  std::vector<JSAMPROW> scratchRows;  // rows inside the scratch area
};

JpegDecoder::Impl::Impl() {
  jpeg.err = jpeg_std_error(&errors.pub);
  errors.pub.error_exit = JpegErrorExit;
  errors.pub.emit_message = JpegEmitMessage;
  errors.pub.output_message = JpegOutputMessage;
  if (Create() != 0) throw std::bad_alloc();
  progress.pub.progress_monitor = JpegProgressMonitor;
  jpeg.progress = &progress.pub;
  jpeg.mem->max_memory_to_use = long(kMaxPictureMemory);
  pool.Install(&jpeg);  // a steady stream of pictures allocates nothing
  source.init_source = JpegInitSource;
  source.fill_input_buffer = JpegFillInput;
  source.skip_input_data = JpegSkipInput;
  source.resync_to_restart = jpeg_resync_to_restart;
  source.term_source = JpegTermSource;
}

int JpegDecoder::Impl::Create() {
  if (setjmp(errors.jump)) return errors.status;
  jpeg_create_decompress(&jpeg);
  return 0;
}

int JpegDecoder::Impl::ReadHeader(const unsigned char* data, size_t size) {
  if (setjmp(errors.jump)) return errors.status;
  errors.truncated = errors.warned = false;
  errors.pub.num_warnings = 0;
  source.next_input_byte = data;
  source.bytes_in_buffer = size;
  jpeg.src = &source;
  jpeg_read_header(&jpeg, TRUE);
  return 0;
}

int JpegDecoder::Impl::Start(bool colour, uint32_t regionWidth) {
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

void JpegDecoder::Impl::ConvertRow(const unsigned char* in, unsigned char* out, uint32_t count, bool colour) const {
  switch (jpeg.out_color_space) {
    case JCS_EXT_BGR:
      std::memcpy(out, in, size_t(count) * 3);
      break;
    case JCS_EXT_BGRX:
      GrayFromBgrx(in, out, count);
      break;
    case JCS_GRAYSCALE:
      GrayFromGray(in, out, count);
      break;
    default:  // CMYK: Adobe's files store the inks inverted
      if (colour) {
        BgrFromCmyk(in, jpeg.saw_Adobe_marker, out, count);
      } else {
        GrayFromCmyk(in, jpeg.saw_Adobe_marker, out, count);
      }
      break;
  }
}

int JpegDecoder::Impl::ReadRows(const ImageRegion& region, bool colour, bool direct) {
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
      for (JDIMENSION i = 0; i < got; ++i) ConvertRow(scratchRows[i], region.Row(first + i), region.width, colour);
    }
  }
  return errors.truncated ? kInvalidParameter : 0;
}

void JpegDecoder::Impl::PrepareRows(const ImageRegion& region, bool direct, Scratch& scratch) {
  try {
    if (direct) {
      if (rowPointers.size() < region.height) rowPointers.resize(region.height);
      for (uint32_t r = 0; r < region.height; ++r) rowPointers[r] = region.Row(r);
    } else {
      size_t rowBytes = size_t(jpeg.output_width) * size_t(jpeg.output_components);
      size_t batch = jpeg.rec_outbuf_height > 2 ? size_t(jpeg.rec_outbuf_height) : 2;
      unsigned char* rows = scratch.Get(rowBytes * batch);
      scratchRows.resize(batch);
      for (size_t r = 0; r < batch; ++r) scratchRows[r] = rows + r * rowBytes;
    }
  } catch (const std::bad_alloc&) {
    Fail(kOutOfMemory, "JPEG", "no memory for row pointers");
  }
}

JpegDecoder::JpegDecoder() : state(std::make_unique<Impl>()) {}
JpegDecoder::~JpegDecoder() = default;

void JpegDecoder::Decode(const Request& request, Scratch& scratch) {
  Impl& s = *state;
  struct Abort {
    j_decompress_ptr jpeg;
    ~Abort() { jpeg_abort_decompress(jpeg); }
  } abort{&s.jpeg};

  s.progress.budget = &request.budget;
  if (int status = s.ReadHeader(request.data, request.size)) FailWith(status, "JPEG", s.errors.message);
  ImageRegion region =
      FitRegion(request.width, request.height, s.jpeg.image_width, s.jpeg.image_height, request.target, request.colour);
  if (region.width == 0 || region.height == 0) Fail(kInvalidParameter, "JPEG", "empty region");
  if (int status = s.Start(request.colour, region.width)) FailWith(status, "JPEG", s.errors.message);

  bool direct = request.colour && s.jpeg.out_color_space == JCS_EXT_BGR && s.jpeg.output_width == region.width;
  s.PrepareRows(region, direct, scratch);
  int status = s.ReadRows(region, request.colour, direct);
  if (status > 0 && s.errors.truncated) Fail(status, "JPEG", "premature end of data");
  if (status) FailWith(status, "JPEG", s.errors.message);
}

}  // namespace orvella::decode
