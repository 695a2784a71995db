/* A host in a few lines, built against the installed package: grabs one
 * image from "Camera 1" of DIR/Orvella.ini. Usage: consumer DIR */
#include <stdatomic.h>
#include <stdio.h>
#include <unistd.h>

#include "Orvella.h"

static atomic_int ready;
static void ORVELLA_CALL OnImage(int grabber, int port) {
  (void)grabber, (void)port, ready = 1;
}

int main(int argc, char** argv) {
  static unsigned char image[1200][1600 * 3];
  int size[2] = {0, 0}, rows = 0;
  if (argc != 2 || !initialize(argv[1], 0) || !openCVLPort(0, 1, "Camera 1", size)) return 1;
  setCompleteCallback(0, 1, OnImage);
  doCVLGrab(0, 1);
  for (int i = 0; i < 1000 && !ready; ++i) usleep(10000);
  for (int row = 0; ready && row < size[1]; ++row) rows += getCVLGrabRow(0, 1, image[row], row, 0, size[0] - 1);
  closeCVLPort(0, 1);
  finalize();
  printf("%dx%d image, %d rows copied\n", size[0], size[1], rows);
  return rows == size[1] && rows > 0 ? 0 : 1;
}
