#include "acquisition/transport/ReceiveBuffer.h"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace orvella {

ReceiveBuffer::ReceiveBuffer()
    : bytes(std::make_unique<unsigned char[]>(kInitialCapacity)), capacity(kInitialCapacity) {}

ReceiveBuffer::ReceiveBuffer(ReceiveBuffer&& other) noexcept : bytes(std::move(other.bytes)), capacity(other.capacity) {
  other.capacity = 0;
}

ReceiveBuffer& ReceiveBuffer::operator=(ReceiveBuffer&& other) noexcept {
  bytes = std::move(other.bytes);
  capacity = other.capacity;
  other.capacity = 0;
  return *this;
}

unsigned char* ReceiveBuffer::At(int offset) {
  if (offset < 0 || offset >= capacity) throw std::invalid_argument("Offset in receive buffer is invalid");
  return bytes.get() + offset;
}

void ReceiveBuffer::Grow(int maxCapacity) {
  int next = capacity > maxCapacity / 2 ? maxCapacity : capacity * 2;
  if (next <= capacity) return;
  auto grown = std::make_unique<unsigned char[]>(next);  // may raise; nothing changes then
  if (capacity > 0) std::memcpy(grown.get(), bytes.get(), static_cast<size_t>(capacity));
  bytes = std::move(grown);
  capacity = next;
}

void ReceiveBuffer::MakeRoom(int fill) {
  if (fill < capacity) return;
  if (fill > kMaxBodyBytes) throw std::runtime_error(kTooLargeText);
  Grow(kMaxBodyBytes + 1);
}

}  // namespace orvella
