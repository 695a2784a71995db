/* The values the camera settings dialog edits, as plain C data.
 *
 * This is all that crosses into the separately loaded GTK dialog module on
 * Linux, so it holds no C++ types: the module and the driver may come from
 * different compilers or standard libraries. */
#ifndef ORVELLA_CAMERA_PROP_DATA_H
#define ORVELLA_CAMERA_PROP_DATA_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The most an edit box takes: the Windows edit control's own default limit.
 * The URL buffer holds that many bytes plus the terminating NUL. */
#define ORVELLA_URL_MAX_LENGTH 32767

typedef struct OrvellaIntValue {
  int value;
  int minimum;
  int maximum;
} OrvellaIntValue;

typedef struct OrvellaCameraPropData {
  OrvellaIntValue width;
  OrvellaIntValue height;
  OrvellaIntValue refreshRate;
  OrvellaIntValue refreshRateUnit;
  OrvellaIntValue grayscale;
  OrvellaIntValue logLevel;
  OrvellaIntValue logIntoFile;
  char imageUrl[ORVELLA_URL_MAX_LENGTH + 1];
} OrvellaCameraPropData;

/* One call into the GTK dialog module. `structSize` is the caller's
 * sizeof(OrvellaDialogCall): a module from another build refuses the call
 * instead of reading past the end. */
typedef struct OrvellaDialogCall {
  size_t structSize;
  void* parentWindow;          /* the host's GtkWindow*, or null */
  const char* title;           /* UTF-8 */
  const char* message;         /* message box text (orvellaShowMessage only) */
  OrvellaCameraPropData* data; /* settings dialog only: in the values shown, out what the controls held */
  char error[256];             /* why nothing could be shown, when the result is -1 */
} OrvellaDialogCall;

/* Settings dialog: 1 after OK, 2 after Cancel, -1 when it cannot be shown. */
typedef int (*OrvellaRunCameraDialogFn)(OrvellaDialogCall* call);
/* Modal warning box with an OK button: 1 when dismissed, -1 when it cannot be shown. */
typedef int (*OrvellaShowMessageFn)(OrvellaDialogCall* call);

#define ORVELLA_RUN_CAMERA_DIALOG "orvellaRunCameraDialog"
#define ORVELLA_SHOW_MESSAGE "orvellaShowMessage"

#ifdef __cplusplus
}
#endif

#endif
