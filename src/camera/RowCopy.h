// getCVLGrabRow's path: one row of the image latched on a port.
//
// Thread safety: any host thread. A thread keeps the ring of the camera it
// last copied from, so its later rows take the ring's lock alone: no look-up
// in the camera list and no reference to the camera per row. The kept ring
// is used only while no camera's port or open state changed since
// (Camera::Bindings) and while the ring lives (its generation); a ring's
// lock and buffers are freed only under that lock (ImageRing).
#pragma once

namespace orvella {

// As Camera::CopyRow on the camera on `port`; raises as CameraList::GetByPort
// when no camera is on it.
bool CopyGrabRow(int port, int row, unsigned char* destination, int firstColumn, int lastColumn);

}  // namespace orvella
