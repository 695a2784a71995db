/* What crosses between the driver and its RTSP module (liborvella-rtsp.so,
 * built on FFmpeg's libraries and loaded on first use), as plain C: the
 * module and the driver may come from different builds, and the driver
 * itself never links FFmpeg.
 *
 * Every call takes a struct whose first field is the caller's sizeof of it;
 * a module from another build answers -2 instead of reading past the end.
 * Results: 1 done, -1 failed (the reason is in `error`), -2 mismatch.
 *
 * Threads: one session is used by one thread at a time (open, read, close);
 * pictures may be converted and released on any thread, also while their
 * session goes on reading; a conversion cache is used by one thread at a time.
 */
#ifndef ORVELLA_RTSP_MODULE_H
#define ORVELLA_RTSP_MODULE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ORVELLA_RTSP_ABI_VERSION 3
#define ORVELLA_RTSP_ERROR_SIZE 512

typedef struct OrvellaRtspSession OrvellaRtspSession;
typedef struct OrvellaRtspPicture OrvellaRtspPicture;

/* Asked while a call waits on the network: nonzero ends the call now. */
typedef int (*OrvellaRtspInterruptFn)(void* opaque);
/* Asked once the camera redirected the stream to `url`, before anything
 * reaches that address: nonzero ends the open there. */
typedef int (*OrvellaRtspRedirectFn)(void* opaque, const char* url);
/* Asked once the TLS handshake of an rtsps:// connection is done, before a
 * byte of RTSP goes over it: the camera's certificate (DER) and, when the
 * open asked for the system's check, why the system's trusted certificates
 * or the host name refuse it ("" when they accept it). Nonzero ends the
 * open there. A module that cannot show the certificate of the connection
 * fails the open with a reason that says so. */
typedef int (*OrvellaRtspCertificateFn)(void* opaque, const unsigned char* der, size_t size, const char* systemRefusal);

typedef struct OrvellaRtspOpenCall {
  size_t structSize;
  const char* url;                  /* rtsp:// or rtsps://, credentials in it */
  int tcp;                          /* 1: RTP interleaved in the RTSP connection */
  OrvellaRtspInterruptFn interrupt; /* kept for the session's life */
  void* opaque;
  OrvellaRtspRedirectFn redirect;       /* with the same opaque; null follows all */
  OrvellaRtspCertificateFn certificate; /* with the same opaque; null: any certificate */
  int checkSystem;                      /* 1: the system's check too (see above) */
  size_t pictureMemory;                 /* what the session's pictures may take */
  OrvellaRtspSession* session;          /* out */
  int status;                           /* out: 401 or 403 when the camera refused */
  char error[ORVELLA_RTSP_ERROR_SIZE];
} OrvellaRtspOpenCall;

/* Reads and decodes until the next whole picture. */
typedef struct OrvellaRtspReadCall {
  size_t structSize;
  OrvellaRtspSession* session;
  OrvellaRtspPicture* picture; /* out, owned by the caller: releasePicture */
  int width;                   /* out */
  int height;                  /* out */
  char error[ORVELLA_RTSP_ERROR_SIZE];
} OrvellaRtspReadCall;

/* Blue-green-red bytes of the picture's top-left width x height pixels
 * (at most the picture's size) into `data`, row r at data + r * stride. */
typedef struct OrvellaRtspConvertCall {
  size_t structSize;
  const OrvellaRtspPicture* picture;
  unsigned char* data;
  int stride;
  int width;
  int height;
  void** cache; /* the caller's slot, kept between calls; freeCache at the end */
  char error[ORVELLA_RTSP_ERROR_SIZE];
} OrvellaRtspConvertCall;

typedef struct OrvellaRtspApi {
  size_t structSize;
  int version;
  const char* libraries; /* the FFmpeg library versions, for a log line */
  int (*open)(OrvellaRtspOpenCall* call);
  int (*read)(OrvellaRtspReadCall* call);
  int (*convert)(OrvellaRtspConvertCall* call);
  void (*releasePicture)(OrvellaRtspPicture* picture);
  void (*freeCache)(void* cache);
  void (*close)(OrvellaRtspSession* session); /* ends a session; null is fine */
} OrvellaRtspApi;

/* The module's one export: its table, or null when it was built for another
 * ABI version or a larger table. */
typedef const OrvellaRtspApi* (*OrvellaRtspGetApiFn)(int version, size_t apiSize);
#define ORVELLA_RTSP_GET_API "orvellaRtspGetApi"

#ifdef __cplusplus
}
#endif

#endif
