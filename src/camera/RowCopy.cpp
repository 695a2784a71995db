#include "camera/RowCopy.h"

#include <memory>

#include "camera/Camera.h"
#include "camera/CameraList.h"
#include "camera/ImageRing.h"
#include "driver/Platform.h"

namespace orvella {

namespace {

// The open camera this thread last copied from: its port, the bindings
// then, and its ring with the picture it pinned.
struct KeptRing {
  int port = 0;
  unsigned bindings = 0;
  ImageRing::Reader reader;
};

// A plain pointer: a thread_local with a destructor crashes at thread exit
// in mingw-w64's runtime; the thread's end lets go through ThreadEnd.
thread_local KeptRing* kept = nullptr;

// On the ending thread: a later call from its own exit starts afresh.
void LetGo(void* value) {
  KeptRing* mine = static_cast<KeptRing*>(value);
  ImageRing::Release(mine->reader);
  if (kept == mine) kept = nullptr;
  delete mine;
}

KeptRing& Kept() {
  if (!kept) {
    static platform::ThreadEnd* end = new platform::ThreadEnd(&LetGo);
    auto mine = std::make_unique<KeptRing>();
    end->Set(mine.get());
    kept = mine.release();
  }
  return *kept;
}

}  // namespace

bool CopyGrabRow(int port, int row, unsigned char* destination, int firstColumn, int lastColumn) {
  KeptRing& mine = Kept();
  if (mine.reader.ring.state && mine.port == port && mine.bindings == Camera::Bindings()) {
    switch (ImageRing::CopyRow(mine.reader, row, destination, firstColumn, lastColumn)) {
      case ImageRing::Quick::kCopied:
        return true;
      case ImageRing::Quick::kRefused:
        return false;
      case ImageRing::Quick::kAskTheCamera:
        break;
    }
  }
  // Read before the look-up: a change meanwhile makes the next row look again.
  const unsigned bindings = Camera::Bindings();
  std::shared_ptr<Camera> camera = CameraList::GetInstance().GetByPort(port);
  ImageRing::Release(mine.reader);
  mine = KeptRing{};
  if (camera->IsOpen()) mine = KeptRing{port, bindings, ImageRing::Reader{camera->Ring()}};
  return camera->CopyRow(row, destination, firstColumn, lastColumn);
}

}  // namespace orvella
