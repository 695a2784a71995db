// getCVLGrabRow's path: one row of the image latched on a port.
//
// Thread safety: any host thread. A thread keeps a Reader of the ring of the
// camera it last copied from (ImageRing), so its rows need no look-up in the
// camera list and no reference to the camera, and the rows after row 0 no
// lock. The kept ring is used only while no camera's port or open state
// changed since (Camera::Bindings) and while the ring lives (its
// generation). What the thread pinned goes at the image's last row, at its
// next camera, or when the thread ends.
#pragma once

namespace orvella {

// As Camera::CopyRow on the camera on `port`; raises as CameraList::GetByPort
// when no camera is on it.
bool CopyGrabRow(int port, int row, unsigned char* destination, int firstColumn, int lastColumn);

}  // namespace orvella
