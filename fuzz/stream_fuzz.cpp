// The download stream's IStream rules against a model: any sequence of new
// contents, reads and seeks gives the results, positions and bytes the
// rules say (position within the content, seeks to the end or beyond
// refused, a refused seek changes nothing and reports 0).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "acquisition/FTPStream.h"

namespace {

using orvella::FTPStream;

constexpr size_t kMaxContent = 3 * 102400;

// Content byte i of every download here: i % 251, so a read shows where it came from.
const unsigned char* Pattern() {
  static const std::vector<unsigned char> bytes = [] {
    std::vector<unsigned char> b(kMaxContent);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i % 251);
    return b;
  }();
  return bytes.data();
}

struct Model {
  int32_t length = 0;
  int32_t position = 0;

  HRESULT Seek(int64_t move, uint32_t origin, uint32_t* newPosition) {
    *newPosition = 0;
    const uint32_t low = static_cast<uint32_t>(static_cast<uint64_t>(move) & 0xFFFFFFFFu);
    const uint32_t high = static_cast<uint32_t>(static_cast<uint64_t>(move) >> 32);
    int64_t next;
    if (origin == 0) {
      if (high != 0 || low >= static_cast<uint32_t>(length)) return STG_E_INVALIDPOINTER;
      next = low;
    } else if (origin == 1 || origin == 2) {
      if (high != 0 && high != 0xFFFFFFFFu) return STG_E_INVALIDPOINTER;
      const uint32_t base = static_cast<uint32_t>(origin == 1 ? position : length);
      next = static_cast<int32_t>(base + low);  // 32-bit arithmetic, then signed
      if (next < 0 || next >= length) return STG_E_INVALIDPOINTER;
    } else {
      return STG_E_INVALIDFUNCTION;
    }
    position = static_cast<int32_t>(next);
    *newPosition = static_cast<uint32_t>(next);
    return S_OK;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  FTPStream stream;
  Model model;
  const unsigned char* content = Pattern();
  std::vector<unsigned char> out(1 << 16);
  bool downloaded = false;

  for (int op = 0; op < 64 && in.remaining_bytes() > 0; ++op) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
      case 0: {  // a new download: content replaced, position rewound
        // Mostly small; now and then past the first buffer size, so it grows.
        const size_t n = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 300)
                                          : in.ConsumeIntegralInRange<size_t>(0, kMaxContent);
        stream.SetContent(content, n);
        model.length = static_cast<int32_t>(n);
        model.position = 0;
        downloaded = true;
        Check(stream.Size() == n);
        break;
      }
      case 1: {  // read
        const uint32_t want =
            in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 1 << 16) : in.ConsumeIntegral<uint32_t>();
        const uint32_t cb = want > out.size() ? static_cast<uint32_t>(out.size()) : want;
        const bool countWanted = in.ConsumeBool();
        ULONG got = 0xDEADBEEF;
        std::memset(out.data(), 0xEE, cb < out.size() ? cb + 1 : out.size());
        Check(stream.Read(out.data(), cb, countWanted ? &got : nullptr) == S_OK);
        const int32_t left = model.length - model.position;
        const uint32_t n = cb < static_cast<uint32_t>(left) ? cb : static_cast<uint32_t>(left);
        if (countWanted) Check(got == n);
        if (n > 0) Check(std::memcmp(out.data(), content + model.position, n) == 0);
        if (n < out.size()) Check(out[n] == 0xEE);  // nothing written past what was read
        model.position += static_cast<int32_t>(n);
        break;
      }
      case 2: {  // seek, with any move and origin
        LARGE_INTEGER move;
        move.QuadPart =
            in.ConsumeBool() ? in.ConsumeIntegralInRange<int64_t>(-400000, 400000) : in.ConsumeIntegral<int64_t>();
        const uint32_t origin =
            in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 3) : in.ConsumeIntegral<uint32_t>();
        const bool positionWanted = in.ConsumeBool();
        ULARGE_INTEGER reported;
        reported.QuadPart = 0x1234567812345678ull;
        uint32_t expectedPosition = 0;
        const HRESULT expected = model.Seek(move.QuadPart, origin, &expectedPosition);
        Check(stream.Seek(move, origin, positionWanted ? &reported : nullptr) == expected);
        if (positionWanted) Check(reported.QuadPart == expectedPosition);
        break;
      }
      case 3: {  // descriptor
        STATSTG stat;
        Check(stream.Stat(&stat, in.ConsumeIntegral<uint32_t>()) == S_OK);
        Check(stat.cbSize.QuadPart == static_cast<uint64_t>(model.length));
        if (downloaded) Check(stat.type == STGTY_STREAM);  // before: a zero descriptor
        break;
      }
      case 4: {  // the calls nothing implements change nothing
        ULARGE_INTEGER any;
        any.QuadPart = in.ConsumeIntegral<uint64_t>();
        Check(stream.SetSize(any) == E_NOTIMPL);
        Check(stream.Write(out.data(), 1, nullptr) == E_NOTIMPL);
        Check(stream.AddRef() == 2 && stream.Release() == 1);
        break;
      }
    }
  }
  return 0;
}
