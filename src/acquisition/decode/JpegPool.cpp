#include <cstdint>
#include <new>

#include "acquisition/decode/JpegPool.h"

namespace orvella {

namespace {

// libjpeg-turbo aligns every object to 32 bytes and rounds sample rows up to
// 64 samples: its SIMD code reads and writes up to those boundaries. Cache
// lines are 64 bytes, so 64 for everything keeps both promises.
constexpr size_t kAlign = 64;
// The arena grows in steps of this, so slightly different pictures share it.
constexpr size_t kGrowStep = size_t(64) << 10;

constexpr size_t RoundUp(size_t n, size_t step) {
  return (n + step - 1) / step * step;
}

JpegImagePool& PoolOf(j_common_ptr cinfo) {
  return *static_cast<JpegImagePool*>(cinfo->client_data);
}

// Row pointers first, then the rows; null when the sizes overflow or the
// arena has no room (the caller then asks libjpeg).
template <typename Row, typename Element>
Row* RowsFrom(void* (*take)(void*, size_t), void* pool, size_t elementsPerRow, size_t rows) {
  const size_t maxBytes = SIZE_MAX / 4;  // far beyond any arena (also in 32 bits); keeps the products exact
  if (elementsPerRow > maxBytes / sizeof(Element) || rows > maxBytes / kAlign) return nullptr;
  const size_t rowBytes = RoundUp(elementsPerRow * sizeof(Element), kAlign);
  const size_t pointerBytes = RoundUp(rows * sizeof(Row), kAlign);
  if (rows && rowBytes > maxBytes / rows) return nullptr;
  auto* memory = static_cast<unsigned char*>(take(pool, pointerBytes + rowBytes * rows));
  if (!memory) return nullptr;
  auto* result = reinterpret_cast<Row*>(memory);
  unsigned char* row = memory + pointerBytes;
  for (size_t r = 0; r < rows; ++r, row += rowBytes) result[r] = reinterpret_cast<Row>(row);
  return result;
}

}  // namespace

void JpegImagePool::Install(j_decompress_ptr cinfo) {
  library = *cinfo->mem;
  cinfo->client_data = this;
  cinfo->mem->alloc_small = AllocSmall;
  cinfo->mem->alloc_large = AllocLarge;
  cinfo->mem->alloc_sarray = AllocSarray;
  cinfo->mem->alloc_barray = AllocBarray;
  cinfo->mem->free_pool = FreePool;
}

void* JpegImagePool::Take(size_t size) {
  if (size > limit) {  // libjpeg's manager serves it, or refuses it
    ++spills;
    return nullptr;
  }
  const size_t rounded = RoundUp(size ? size : 1, kAlign);
  if (rounded > capacity - used) {
    ++spills;
    spilledBytes += rounded;
    return nullptr;
  }
  void* p = base + used;
  used += rounded;
  return p;
}

void JpegImagePool::Reset() {
  if (spills > 0) {
    // What this picture needed in all, if the arena may hold that much.
    const size_t wanted = RoundUp(used + spilledBytes, kGrowStep);
    if (wanted > capacity && wanted <= limit) {
      std::unique_ptr<unsigned char[]> bigger(new (std::nothrow) unsigned char[wanted + kAlign]);
      if (bigger) {
        block = std::move(bigger);
        const uintptr_t at = reinterpret_cast<uintptr_t>(block.get());
        base = block.get() + (kAlign - at % kAlign) % kAlign;
        capacity = wanted;
      }
    }
  }
  lastSpills = spills;
  spills = 0;
  spilledBytes = 0;
  used = 0;
}

void* JpegImagePool::AllocSmall(j_common_ptr cinfo, int poolId, size_t size) {
  JpegImagePool& self = PoolOf(cinfo);
  if (poolId == JPOOL_IMAGE)
    if (void* p = self.Take(size)) return p;
  return self.library.alloc_small(cinfo, poolId, size);
}

void* JpegImagePool::AllocLarge(j_common_ptr cinfo, int poolId, size_t size) {
  JpegImagePool& self = PoolOf(cinfo);
  if (poolId == JPOOL_IMAGE)
    if (void* p = self.Take(size)) return p;
  return self.library.alloc_large(cinfo, poolId, size);
}

// Image-pool rows from the arena, anything else (or no room) from libjpeg.
template <typename Row, typename Element, typename Library>
Row* JpegImagePool::Rows(j_common_ptr cinfo, int poolId, JDIMENSION perRow, JDIMENSION rows, Library library) {
  JpegImagePool& self = PoolOf(cinfo);
  if (poolId == JPOOL_IMAGE) {
    auto take = [](void* pool, size_t size) { return static_cast<JpegImagePool*>(pool)->Take(size); };
    if (Row* p = RowsFrom<Row, Element>(take, &self, perRow, rows)) return p;
  }
  return (self.library.*library)(cinfo, poolId, perRow, rows);
}

JSAMPARRAY JpegImagePool::AllocSarray(j_common_ptr cinfo, int poolId, JDIMENSION samplesPerRow, JDIMENSION rows) {
  return Rows<JSAMPROW, JSAMPLE>(cinfo, poolId, samplesPerRow, rows, &jpeg_memory_mgr::alloc_sarray);
}

JBLOCKARRAY JpegImagePool::AllocBarray(j_common_ptr cinfo, int poolId, JDIMENSION blocksPerRow, JDIMENSION rows) {
  return Rows<JBLOCKROW, JBLOCK>(cinfo, poolId, blocksPerRow, rows, &jpeg_memory_mgr::alloc_barray);
}

void JpegImagePool::FreePool(j_common_ptr cinfo, int poolId) {
  JpegImagePool& self = PoolOf(cinfo);
  // libjpeg frees what it allocated itself (spills, virtual arrays).
  self.library.free_pool(cinfo, poolId);
  if (poolId == JPOOL_IMAGE) self.Reset();
}

}  // namespace orvella
