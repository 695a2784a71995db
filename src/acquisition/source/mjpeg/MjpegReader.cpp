// The parts of a picture stream that do not depend on the internet library:
// the reader thread, the newest-picture hand-over and the stream's limits.
#include "acquisition/source/mjpeg/MjpegReader.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>

#include "acquisition/transport/Download.h"
#include "acquisition/transport/HttpAnswer.h"
#include "driver/Platform.h"

namespace orvella {

namespace {
using std::chrono::milliseconds;

// The backend's longest single wait, so stop, idle and limits are looked at
// now and then even when nothing wakes it.
constexpr milliseconds kLongestWait{1000};

void RunReader(std::shared_ptr<MjpegReader::Impl> reader, std::string url, std::unique_ptr<OpenAnswer> answer,
               std::shared_ptr<std::atomic<int>> readers) {
  try {
    ReadStream(*reader, url, std::move(answer));
    reader->Ended(nullptr);
  } catch (...) {
    reader->Ended(std::current_exception());
  }
  --*readers;
}
}  // namespace

// ---- MjpegReader ---------------------------------------------------------------

MjpegReader::MjpegReader(const std::string& address, std::unique_ptr<OpenAnswer> answer, const TransferLimits& limits,
                         const TlsTrust& trust, std::shared_ptr<std::atomic<int>> readers)
    : reader(std::make_shared<Impl>(limits, trust)), url(address) {
  platform::PinLibrary();  // a reader left running must never meet unloaded code
  ++*readers;
  try {
    std::thread(RunReader, reader, url, std::move(answer), readers).detach();
  } catch (...) {
    --*readers;
    throw;
  }
}

MjpegReader::~MjpegReader() {
  reader->Stop();
}

MjpegReader::Took MjpegReader::Take(Clock::time_point after, MemoryPicture& into) {
  return reader->Take(after, into);
}

void MjpegReader::SetContinuous(bool on) {
  reader->SetContinuous(on);
}

void MjpegReader::Stop() {
  reader->Stop();
}

// ---- Reader: the owner's side ---------------------------------------------------

MjpegReader::Impl::Impl(const TransferLimits& given, const TlsTrust& trusted) : limits(given), trust(trusted) {
  ScopedLock<Mutex> hold(lock);
  clock.Start(limits);
  lastUse = Clock::now();
}

MjpegReader::Took MjpegReader::Impl::Take(Clock::time_point after, MemoryPicture& into) {
  MutexLock hold(lock);
  taking = true;  // no idle close while the owner waits
  try {
    const Took took = WaitForPicture(hold, after, into);
    taking = false;
    lastUse = Clock::now();
    return took;
  } catch (...) {
    taking = false;
    lastUse = Clock::now();
    throw;
  }
}

MjpegReader::Took MjpegReader::Impl::WaitForPicture(MutexLock& hold, Clock::time_point after, MemoryPicture& into) {
  const bool grab = after != Clock::time_point();
  const Clock::time_point deadline = Clock::now() + milliseconds(kPartWaitMs);
  bool caughtUp = false;
  uint64_t first = 0;    // the first picture this Take may have
  changed.notify_all();  // ends a rest
  for (;;) {
    if (stopped) throw std::runtime_error(kStoppedText);
    if (!caughtUp && (waiting || end != End::kRunning)) {
      caughtUp = true;
      first = (grab ? newestNumber : takenNumber) + 1;
    }
    if (caughtUp && newestNumber >= first) {
      into.Adopt(newest, static_cast<uint32_t>(newestSize), newestType);
      takenNumber = newestNumber;
      return Took::kPicture;
    }
    if (end == End::kIdle) return Took::kIdleClosed;
    if (end == End::kNotAStream) return Took::kNotAStream;
    if (end == End::kFailed) std::rethrow_exception(failure);
    // The reader looks at the clock too, but a WinInet reader may sit in a
    // call that a stalled server never ends.
    const Clock::time_point now = Clock::now();
    if (clock.Check() != TransferClock::Verdict::KeepGoing) {
      Fail(std::make_exception_ptr(std::runtime_error(clock.Reason())));
    } else if (now >= deadline) {
      Fail(std::make_exception_ptr(std::runtime_error(kNoPictureText)));
    } else {
      hold.WaitUntil(changed, std::min(deadline, now + clock.NextWait()));
    }
  }
}

void MjpegReader::Impl::SetContinuous(bool on) {
  ScopedLock<Mutex> hold(lock);
  continuous = on;
}

void MjpegReader::Impl::Stop() {
  {
    ScopedLock<Mutex> hold(lock);
    stopped = true;
    if (waker) waker();
  }
  changed.notify_all();
}

void MjpegReader::Impl::Fail(std::exception_ptr error) {
  if (end == End::kRunning) {
    end = End::kFailed;
    failure = std::move(error);
  }
  if (waker) waker();
  changed.notify_all();
}

// ---- Reader: the reader thread's side --------------------------------------------

void MjpegReader::Impl::Answered(long status, const std::string& contentType) {
  {
    ScopedLock<Mutex> hold(lock);
    clock.Progress(0);
  }
  if (IsRefusal(status)) throw std::runtime_error(Download::kNotAvailableText);
  if (!IsPictureStreamType(contentType)) throw NotAStream();
  parser = std::make_unique<MultipartParser>(BoundaryOf(contentType), static_cast<MultipartParser::Sink&>(*this));
}

void MjpegReader::Impl::Received(const char* data, size_t size) {
  if (!parser) throw NotAStream();  // a backend that skipped Answered
  parser->Feed(data, size);
  received += static_cast<int64_t>(size);
  ScopedLock<Mutex> hold(lock);
  clock.Progress(received);
}

bool MjpegReader::Impl::KeepGoing(Plan& plan) {
  ScopedLock<Mutex> hold(lock);
  if (stopped || end != End::kRunning) return false;
  const Clock::time_point now = Clock::now();
  const auto idle = std::chrono::duration_cast<milliseconds>(now - lastUse);
  const bool unused = !continuous && !taking;
  if (unused && idle.count() >= kIdleCloseMs) {
    end = End::kIdle;
    changed.notify_all();
    return false;
  }
  if (clock.Check() != TransferClock::Verdict::KeepGoing) {
    Fail(std::make_exception_ptr(std::runtime_error(clock.Reason())));
    return false;
  }
  plan.rest = continuous && !taking;
  plan.wait = std::min(clock.NextWait(), plan.rest ? milliseconds(kRestMs) : kLongestWait);
  if (unused) plan.wait = std::min(plan.wait, milliseconds(kIdleCloseMs) - idle);
  plan.wait = std::max(plan.wait, milliseconds(1));
  return true;
}

void MjpegReader::Impl::Waiting(bool on) {
  {
    ScopedLock<Mutex> hold(lock);
    waiting = on;
    if (!on || !taking) return;
  }
  changed.notify_all();  // a Take waits for the reader to catch up
}

void MjpegReader::Impl::Rest(milliseconds most) {
  MutexLock hold(lock);
  const Clock::time_point until = Clock::now() + most;
  while (!stopped && !taking && end == End::kRunning && continuous)
    if (!hold.WaitUntil(changed, until)) break;
}

void MjpegReader::Impl::SetWaker(std::function<void()> wake) {
  ScopedLock<Mutex> hold(lock);
  waker = std::move(wake);
}

void MjpegReader::Impl::Ended(std::exception_ptr error) {
  ScopedLock<Mutex> hold(lock);
  waker = nullptr;
  if (end != End::kRunning || stopped) {
    changed.notify_all();
    return;
  }
  if (error) {
    try {
      std::rethrow_exception(error);
    } catch (const NotAStream&) {
      end = End::kNotAStream;
      changed.notify_all();
      return;
    } catch (...) {
    }
    return Fail(error);
  }
  // A stream has no end of its own: the camera closed it, cleanly or not.
  const bool cut = parser && parser->InPart();
  Fail(std::make_exception_ptr(std::runtime_error(cut ? kCutText : kEndedText)));
}

// ---- Reader: the parts ------------------------------------------------------------

void MjpegReader::Impl::PartBegin(long long length, const std::string& type) {
  if (length > kMaxBodyBytes) throw std::runtime_error(kTooLargeText);
  fill = 0;
  fillingType = type;
  if (length > 0) Reserve(static_cast<size_t>(length));
}

void MjpegReader::Impl::PartBytes(const char* data, size_t size) {
  Reserve(size);
  std::memcpy(filling.At(fill), data, size);
  fill += static_cast<int>(size);
}

void MjpegReader::Impl::Reserve(size_t more) {
  if (more > static_cast<size_t>(kMaxBodyBytes - fill)) throw std::runtime_error(kTooLargeText);
  while (static_cast<size_t>(filling.Capacity() - fill) < more) filling.Grow(kMaxBodyBytes);
}

void MjpegReader::Impl::PartEnd(size_t trim) {
  const int size = fill - static_cast<int>(std::min(trim, static_cast<size_t>(fill)));
  fill = 0;
  if (size == 0) return;  // an empty part is no picture
  {
    ScopedLock<Mutex> hold(lock);
    std::swap(newest, filling);
    std::swap(newestType, fillingType);
    newestSize = size;
    ++newestNumber;
  }
  changed.notify_all();
}

}  // namespace orvella
