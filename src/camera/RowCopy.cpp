#include "camera/RowCopy.h"

#include <memory>

#include "camera/Camera.h"
#include "camera/CameraList.h"
#include "camera/ImageRing.h"

namespace orvella {

namespace {

// The open camera this thread last copied from: its port, the bindings
// then, and its ring. Plain data: a thread_local with a destructor crashes
// at thread exit in mingw-w64's runtime, and nothing here needs one.
struct KeptRing {
  int port = 0;
  unsigned bindings = 0;
  ImageRing::Ref ring;
};
thread_local KeptRing kept;

}  // namespace

bool CopyGrabRow(int port, int row, unsigned char* destination, int firstColumn, int lastColumn) {
  KeptRing& mine = kept;
  if (mine.ring.state && mine.port == port && mine.bindings == Camera::Bindings()) {
    switch (ImageRing::CopyRow(mine.ring, row, destination, firstColumn, lastColumn)) {
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
  mine = KeptRing{};
  if (camera->IsOpen()) mine = KeptRing{port, bindings, camera->Ring()};
  return camera->CopyRow(row, destination, firstColumn, lastColumn);
}

}  // namespace orvella
