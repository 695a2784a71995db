#include "acquisition/source/SourceTable.h"

#include <stdexcept>

namespace orvella {

SourceTable::SourceTable(std::initializer_list<PictureSource*> list) : sources(list) {}

PictureSource& SourceTable::Pick(const std::string& url) {
  for (PictureSource* s : sources)
    if (s->Serves(url)) return *s;
  throw std::logic_error("SourceTable: no source serves the URL");
}

void SourceTable::Next(const PictureSource::Request& request) {
  current = nullptr;
  try {
    // At most: a snapshot finds a stream, the stream answers with a single
    // picture, the snapshot reads it.
    for (int step = 0; step < 3; ++step) {
      PictureSource& source = Pick(request.url);
      for (PictureSource* other : sources)
        if (other != &source) other->Close();
      switch (source.Next(request)) {
        case PictureSource::Found::kPicture:
          current = &source;
          return;
        case PictureSource::Found::kPictureStream: {
          std::unique_ptr<OpenAnswer> answer = source.TakeAnswer();
          for (PictureSource* s : sources)
            if (s != &source && s->Adopt(request.url, answer)) break;
          break;
        }
        case PictureSource::Found::kNotAStream:
          break;  // the source let go of the URL: the next one reads it
      }
    }
    throw std::runtime_error(kSwitchingText);
  } catch (...) {
    Failed();
    throw;
  }
}

void SourceTable::Write(const PixelTarget& target, int width, int height, bool colour) {
  if (!current) throw std::logic_error("SourceTable::Write without a picture");
  try {
    current->Write(target, width, height, colour);
  } catch (...) {
    Failed();
    throw;
  }
}

void SourceTable::SetContinuous(bool on) {
  for (PictureSource* s : sources) s->SetContinuous(on);
}

void SourceTable::Abort() {
  for (PictureSource* s : sources) s->Abort();
}

void SourceTable::Failed() {
  for (PictureSource* s : sources) s->Failed();
}

}  // namespace orvella
