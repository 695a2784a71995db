#include "acquisition/source/mjpeg/MjpegSource.h"

#include <stdexcept>
#include <utility>

#include "acquisition/decode/ImageDecoder.h"
#include "acquisition/source/mjpeg/MjpegReader.h"

namespace orvella {

MjpegSource::MjpegSource(ImageDecoder& d) : decoder(d), readers(std::make_shared<std::atomic<int>>(0)) {}

MjpegSource::~MjpegSource() {
  Close();
}

bool MjpegSource::Adopt(const std::string& url, std::unique_ptr<OpenAnswer>& answer) {
  Close();
  streamUrl = url;
  found = std::move(answer);
  return true;
}

void MjpegSource::SetContinuous(bool on) {
  if (on == continuous) return;
  continuous = on;
  ScopedLock<Mutex> hold(lock);
  if (open) open->SetContinuous(on);
}

MjpegReader* MjpegSource::Open(const Request& request) {
  std::unique_ptr<MjpegReader> old;  // stopped outside the lock
  ScopedLock<Mutex> hold(lock);
  if (aborted) throw std::runtime_error(MjpegReader::kStoppedText);
  if (open && open->Url() == request.url) return open.get();
  old = std::move(open);
  if (*readers >= kMaxReaders) throw std::runtime_error(MjpegReader::kHangingText);
  open = std::make_unique<MjpegReader>(request.url, std::move(found), request.limits, request.trust, readers);
  open->SetContinuous(continuous);
  return open.get();
}

PictureSource::Found MjpegSource::Next(const Request& request) {
  // The stream pointer stays valid outside the lock: only this thread
  // replaces or closes it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    switch (Open(request)->Take(request.after, picture)) {
      case MjpegReader::Took::kPicture:
        return Found::kPicture;
      case MjpegReader::Took::kNotAStream:
        Close();
        streamUrl.clear();
        return Found::kNotAStream;
      case MjpegReader::Took::kIdleClosed:
        Close();  // it closed itself unused: connect again
        break;
    }
  }
  throw std::runtime_error(MjpegReader::kEndedText);
}

void MjpegSource::Write(const PixelTarget& target, int width, int height, bool colour) {
  decoder.Decode(picture, target, width, height, colour);
}

void MjpegSource::Abort() {
  ScopedLock<Mutex> hold(lock);
  aborted = true;
  if (open) open->Stop();
}

void MjpegSource::Close() {
  found.reset();
  std::unique_ptr<MjpegReader> old;
  ScopedLock<Mutex> hold(lock);
  old = std::move(open);
}

}  // namespace orvella
