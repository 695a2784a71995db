#include "acquisition/source/mjpeg/MjpegSource.h"

#include <stdexcept>
#include <utility>

#include "acquisition/FTPStream.h"
#include "acquisition/decode/ImageDecoder.h"
#include "acquisition/source/mjpeg/MjpegReader.h"

namespace orvella {

MjpegSource::MjpegSource(FTPStream& s) : stream(s), readers(std::make_shared<std::atomic<int>>(0)) {}

MjpegSource::~MjpegSource() {
  Close();
}

void MjpegSource::SetContinuous(bool on) {
  if (on == continuous) return;
  continuous = on;
  ScopedLock<Mutex> hold(lock);
  if (open) open->SetContinuous(on);
}

MjpegReader* MjpegSource::Open(const std::string& url) {
  std::unique_ptr<MjpegReader> old;  // stopped outside the lock
  ScopedLock<Mutex> hold(lock);
  if (aborted) throw std::runtime_error(FTPStream::kAbortedText);
  if (open && open->Url() == url) return open.get();
  old = std::move(open);
  if (*readers >= kMaxReaders) throw std::runtime_error(MjpegReader::kHangingText);
  open = std::make_unique<MjpegReader>(url, stream.Limits(), stream.Trust(), readers);
  open->SetContinuous(continuous);
  return open.get();
}

void MjpegSource::Next(const std::string& url, Clock::time_point after) {
  // The stream pointer stays valid outside the lock: only this thread
  // replaces or closes it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    switch (Open(url)->Take(after, stream)) {
      case MjpegReader::Took::kPicture:
        return;
      case MjpegReader::Took::kNotAStream:
        Close();
        streamUrl.clear();
        throw NotAStream();
      case MjpegReader::Took::kIdleClosed:
        Close();  // it closed itself unused: connect again
        break;
    }
  }
  throw std::runtime_error(MjpegReader::kEndedText);
}

void MjpegSource::Write(ImageDecoder& decoder, const PixelTarget& target, int width, int height, bool colour) {
  decoder.Decode(stream, target, width, height, colour);
}

void MjpegSource::Abort() {
  ScopedLock<Mutex> hold(lock);
  aborted = true;
  if (open) open->Stop();
}

void MjpegSource::Close() {
  std::unique_ptr<MjpegReader> old;
  ScopedLock<Mutex> hold(lock);
  old = std::move(open);
}

}  // namespace orvella
