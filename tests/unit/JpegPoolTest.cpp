// libjpeg's per-picture memory from the kept arena: pixels equal to libjpeg's
// own manager, nothing taken from libjpeg's manager once the arena has grown,
// and the limit, progressive files and failed pictures handled.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdlib>
#include <string>
#include <vector>

#include "acquisition/decode/JpegPool.h"
#include "support/TestImages.h"

namespace orvella {
namespace {

using test::ReadTestImage;

struct Errors {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void ErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<Errors*>(cinfo->err)->jump, 1);
}
void Quiet(j_common_ptr) {}

// One decompressor, reused for every picture like the driver's decoder;
// with or without a pool.
class Decompressor {
 public:
  explicit Decompressor(JpegImagePool* pool) {
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = ErrorExit;
    errors.pub.output_message = Quiet;
    jpeg_create_decompress(&cinfo);
    if (pool) pool->Install(&cinfo);
  }
  ~Decompressor() { jpeg_destroy_decompress(&cinfo); }

  // The top `rows` rows of the picture as RGB (all when 0); false when
  // libjpeg gave up. The decompressor is ready for the next picture either way.
  bool Decode(const std::string& jpeg, std::vector<unsigned char>& out, JDIMENSION rows = 0) {
    out.clear();
    const bool ok = Run(jpeg, out, rows);
    jpeg_abort_decompress(&cinfo);
    return ok;
  }

 private:
  bool Run(const std::string& jpeg, std::vector<unsigned char>& out, JDIMENSION rows) {
    if (setjmp(errors.jump)) return false;
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(jpeg.data()), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const JDIMENSION height = rows ? rows : cinfo.output_height;
    const size_t rowBytes = size_t(cinfo.output_width) * cinfo.output_components;
    out.resize(rowBytes * height);
    while (cinfo.output_scanline < height) {
      JSAMPROW row = out.data() + cinfo.output_scanline * rowBytes;
      jpeg_read_scanlines(&cinfo, &row, 1);
    }
    return true;
  }

  jpeg_decompress_struct cinfo{};
  Errors errors{};
};

TEST(JpegPoolTest, SamePixelsAndNothingFromLibjpegOnceGrown) {
  for (const char* file : {"photo_800x600.jpg", "photo_800x600_422.jpg", "pattern_320x240_gray.jpg"}) {
    SCOPED_TRACE(file);
    const std::string jpeg = ReadTestImage(file);
    ASSERT_FALSE(jpeg.empty());
    std::vector<unsigned char> expected, got;
    Decompressor plain(nullptr);
    ASSERT_TRUE(plain.Decode(jpeg, expected));

    JpegImagePool pool;
    Decompressor pooled(&pool);
    ASSERT_TRUE(pooled.Decode(jpeg, got));
    EXPECT_GT(pool.LastSpills(), 0) << "the first picture grows the arena";
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(pooled.Decode(jpeg, got));
      EXPECT_EQ(pool.LastSpills(), 0) << "picture " << i + 2 << " still used libjpeg's own memory";
      EXPECT_TRUE(got == expected) << "picture " << i + 2 << " differs from libjpeg's own manager";
    }
  }
}

// A wide colour picture (4:2:0, a gradient), whose row buffers need far more
// than the arena's first step.
std::string WidePicture(int width, int height) {
  jpeg_compress_struct c{};
  Errors errors{};
  c.err = jpeg_std_error(&errors.pub);
  errors.pub.error_exit = ErrorExit;
  jpeg_create_compress(&c);
  unsigned char* data = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &data, &size);
  c.image_width = JDIMENSION(width);
  c.image_height = JDIMENSION(height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<unsigned char> row(size_t(width) * 3);
  while (c.next_scanline < c.image_height) {
    for (int x = 0; x < width; ++x) {
      row[3 * x] = static_cast<unsigned char>(x);
      row[3 * x + 1] = static_cast<unsigned char>(c.next_scanline * 4);
      row[3 * x + 2] = static_cast<unsigned char>(x / 16);
    }
    JSAMPROW p = row.data();
    jpeg_write_scanlines(&c, &p, 1);
  }
  jpeg_finish_compress(&c);
  std::string jpeg(reinterpret_cast<char*>(data), size);
  jpeg_destroy_compress(&c);
  free(data);
  return jpeg;
}

TEST(JpegPoolTest, GrowsForABiggerPictureAndStaysWithinItsLimit) {
  const std::string small = ReadTestImage("pattern_320x240_gray.jpg");
  const std::string big = WidePicture(6000, 48);
  JpegImagePool pool;
  Decompressor pooled(&pool);
  std::vector<unsigned char> out;
  ASSERT_TRUE(pooled.Decode(small, out));
  const size_t smallCapacity = pool.Capacity();
  ASSERT_TRUE(pooled.Decode(big, out));
  EXPECT_GT(pool.LastSpills(), 0);
  EXPECT_GT(pool.Capacity(), smallCapacity);
  for (const std::string* jpeg : {&big, &small, &big}) {
    ASSERT_TRUE(pooled.Decode(*jpeg, out));
    EXPECT_EQ(pool.LastSpills(), 0);
  }
  EXPECT_LE(pool.Capacity(), JpegImagePool::kDefaultLimit);

  // An arena too small for any picture: libjpeg's manager serves the rest,
  // every time, and the pixels stay right.
  std::vector<unsigned char> expected;
  Decompressor plain(nullptr);
  ASSERT_TRUE(plain.Decode(big, expected));
  JpegImagePool tiny(4096);
  Decompressor limited(&tiny);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(limited.Decode(big, out));
    EXPECT_GT(tiny.LastSpills(), 0);
    EXPECT_LE(tiny.Capacity(), size_t(4096));
    EXPECT_TRUE(out == expected);
  }
}

// Progressive files keep the whole picture in libjpeg's virtual arrays,
// which stay with libjpeg's manager; top rows only (the driver's crop) too.
TEST(JpegPoolTest, ProgressiveAndPartialPicturesDecodeAsWithoutThePool) {
  for (const char* file : {"photo_800x600_progressive.jpg", "pattern_320x240_progressive.jpg", "photo_800x600.jpg"}) {
    SCOPED_TRACE(file);
    const std::string jpeg = ReadTestImage(file);
    std::vector<unsigned char> expected, got;
    Decompressor plain(nullptr);
    JpegImagePool pool;
    Decompressor pooled(&pool);
    for (JDIMENSION rows : {0u, 100u, 0u, 17u}) {
      ASSERT_TRUE(plain.Decode(jpeg, expected, rows));
      ASSERT_TRUE(pooled.Decode(jpeg, got, rows));
      EXPECT_TRUE(got == expected) << rows << " rows";
    }
  }
}

// A picture libjpeg gives up on (longjmp out of the middle) leaves the arena
// ready: the next picture is right and takes nothing from libjpeg.
TEST(JpegPoolTest, FailedPictureLeavesThePoolReady) {
  const std::string good = ReadTestImage("photo_800x600.jpg");
  std::string bad = good.substr(0, 600);  // inside the header tables
  JpegImagePool pool;
  Decompressor pooled(&pool);
  Decompressor plain(nullptr);
  std::vector<unsigned char> expected, out;
  ASSERT_TRUE(plain.Decode(good, expected));
  ASSERT_TRUE(pooled.Decode(good, out));
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(pooled.Decode(bad, out));
    ASSERT_TRUE(pooled.Decode(good, out));
    EXPECT_EQ(pool.LastSpills(), 0);
    EXPECT_TRUE(out == expected);
  }
}

}  // namespace
}  // namespace orvella
