// A body as it arrives: a growable byte array and the limit on its size.
//
// Thread safety: none; a buffer belongs to whoever fills or reads it.
#pragma once

#include <memory>

namespace orvella {

// A larger body fails: a 32-bit host cannot afford to let a server grow a
// buffer without bound.
constexpr int kMaxBodyBytes = 64 * 1024 * 1024;
constexpr const char* kTooLargeText = "FTPStream::ReadFile: response larger than 64 MiB (67108864 bytes)";

// Starts at 102,400 bytes, grows only by doubling (never past the limit its
// owner gives), never shrinks.
class ReceiveBuffer {
 public:
  static constexpr int kInitialCapacity = 102400;

  ReceiveBuffer();
  ReceiveBuffer(const ReceiveBuffer&) = delete;
  ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;
  // A moved-from buffer is empty (capacity 0) until assigned again.
  ReceiveBuffer(ReceiveBuffer&& other) noexcept;
  ReceiveBuffer& operator=(ReceiveBuffer&& other) noexcept;

  // Address of the byte at `offset`; raises std::invalid_argument("Offset in
  // receive buffer is invalid") unless 0 <= offset < Capacity().
  unsigned char* At(int offset);
  const unsigned char* Data() const { return bytes.get(); }
  int Capacity() const { return capacity; }

  // Doubles the capacity, but to at most `maxCapacity`, keeping the bytes.
  // Raises std::bad_alloc when memory runs out (the buffer is then unchanged).
  void Grow(int maxCapacity);

  // Before reading into the buffer at `fill`: doubles it when full (to at
  // most kMaxBodyBytes + 1, so one byte more than the limit shows an
  // oversized body); raises kTooLargeText once the body has passed the limit.
  void MakeRoom(int fill);

 private:
  std::unique_ptr<unsigned char[]> bytes;
  int capacity = 0;
};

}  // namespace orvella
