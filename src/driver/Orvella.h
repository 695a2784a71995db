/* Orvella camera driver: the C interface a host loads.
 * Every export uses the caller-cleans-up convention (cdecl) and a plain name. */
#ifndef ORVELLA_H
#define ORVELLA_H

#ifdef _WIN32
#define ORVELLA_CALL __cdecl
#else
#define ORVELLA_CALL
#endif

#if defined(ORVELLA_BUILDING) && !defined(_WIN32)
#define ORVELLA_API __attribute__((visibility("default")))
#else
#define ORVELLA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void(ORVELLA_CALL* DebugMsgProc)(const char* text);
typedef void(ORVELLA_CALL* CompleteCallback)(int grabberNo, int portNo);

ORVELLA_API int ORVELLA_CALL initialize(const char* systemPath, DebugMsgProc debugMsgProc);
ORVELLA_API int ORVELLA_CALL finalize(void);
ORVELLA_API int ORVELLA_CALL setSystemPath(const char* systemPath);
ORVELLA_API void ORVELLA_CALL setDebugMsgProc(DebugMsgProc debugMsgProc);
ORVELLA_API int ORVELLA_CALL getCVLMaxNoOfGrabbers(void);
ORVELLA_API int ORVELLA_CALL getCVLMaxNoOfPorts(void);
ORVELLA_API int ORVELLA_CALL getCVLNoOfSupportedCameras(void);
ORVELLA_API char** ORVELLA_CALL getCVLCameraConfigNames(void);

ORVELLA_API int ORVELLA_CALL openCVLPort(int grabberNo, int portNo, const char* cameraName, int* imageSize);
ORVELLA_API void ORVELLA_CALL closeCVLPort(int grabberNo, int portNo);
ORVELLA_API int ORVELLA_CALL doCVLGrab(int grabberNo, int portNo);
ORVELLA_API int ORVELLA_CALL getCVLGrabRow(int grabberNo, int portNo, unsigned char* destination, int row,
                                           int firstColumn, int lastColumn);
ORVELLA_API int ORVELLA_CALL setCompleteCallback(int grabberNo, int portNo, CompleteCallback completeCallback);
ORVELLA_API int ORVELLA_CALL getPropertyRange(int grabberNo, int portNo);
ORVELLA_API int ORVELLA_CALL getProperty(int grabberNo, int portNo, const char* prop, int* value);
ORVELLA_API int ORVELLA_CALL setProperty(int grabberNo, int portNo, const char* prop, int value);
ORVELLA_API int ORVELLA_CALL configureCamera(void* parentWindow, const char* cameraName);

#ifdef __cplusplus
}
#endif

#endif
