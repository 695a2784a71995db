// libjpeg's per-picture memory from an arena that is kept from one picture
// to the next, so a steady stream of pictures costs no heap allocation.
//
// libjpeg allocates its working memory (row buffers, component tables) in an
// image pool and frees the pool after every picture. The pool takes over the
// decompressor's image-pool allocations and, when libjpeg frees the pool,
// resets the arena instead. What does not fit goes to libjpeg's own manager,
// and the arena grows to the size that picture needed once it is done, up to
// a limit; bigger pictures keep using libjpeg's manager for the excess.
// Virtual arrays (progressive files keep every coefficient of the picture)
// stay with libjpeg's manager altogether.
//
// Thread safety: belongs to one decompressor and is used by whichever thread
// runs that decompressor.
#pragma once

// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <memory>

#include "driver/NoCopy.h"

namespace orvella {

class JpegImagePool {
 public:
  static constexpr size_t kDefaultLimit = size_t(32) << 20;

  explicit JpegImagePool(size_t limit = kDefaultLimit) : limit(limit) {}
  ORVELLA_NO_COPY(JpegImagePool);

  // Takes over the image pool of a created decompressor (after
  // jpeg_create_decompress, before its first picture). Uses its client_data.
  // The pool must outlive the decompressor.
  void Install(j_decompress_ptr cinfo);

  // Bytes the arena holds for the next picture.
  size_t Capacity() const { return capacity; }
  // Requests of the last finished picture that went to libjpeg's manager.
  int LastSpills() const { return lastSpills; }

 private:
  static void* AllocSmall(j_common_ptr cinfo, int poolId, size_t size);
  static void* AllocLarge(j_common_ptr cinfo, int poolId, size_t size);
  static JSAMPARRAY AllocSarray(j_common_ptr cinfo, int poolId, JDIMENSION samplesPerRow, JDIMENSION rows);
  static JBLOCKARRAY AllocBarray(j_common_ptr cinfo, int poolId, JDIMENSION blocksPerRow, JDIMENSION rows);
  template <typename Row, typename Element, typename Library>
  static Row* Rows(j_common_ptr cinfo, int poolId, JDIMENSION perRow, JDIMENSION rows, Library library);
  static void FreePool(j_common_ptr cinfo, int poolId);

  // Arena memory for `size` bytes, or null when it does not fit (noted).
  void* Take(size_t size);
  // The picture is done: every byte is free again; grow if it spilled.
  void Reset();

  const size_t limit;
  jpeg_memory_mgr library{};  // libjpeg's own methods
  std::unique_ptr<unsigned char[]> block;
  unsigned char* base = nullptr;  // `block` rounded up to the alignment
  size_t capacity = 0;
  size_t used = 0;
  size_t spilledBytes = 0;
  int spills = 0;
  int lastSpills = 0;
};

}  // namespace orvella
