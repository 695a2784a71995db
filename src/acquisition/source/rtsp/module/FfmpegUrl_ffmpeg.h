// The first fields of FFmpeg 5.x's private URLProtocol and URLContext
// (libavformat/url.h), unchanged for many releases: what the module reads of
// an RTSP connection (its TLS session, its reads). One layout, checked again
// for a new libavformat major version; every user checks class names first.
#pragma once

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/dict.h>
}

#include <cstdint>

namespace orvella_rtsp {

struct FfUrl;
struct FfProtocol {
  const char* name;
  int (*url_open)(FfUrl*, const char*, int);
  int (*url_open2)(FfUrl*, const char*, int, AVDictionary**);
  int (*url_accept)(FfUrl*, FfUrl**);
  int (*url_handshake)(FfUrl*);
  int (*url_read)(FfUrl*, unsigned char*, int);
  int (*url_write)(FfUrl*, const unsigned char*, int);
  int64_t (*url_seek)(FfUrl*, int64_t, int);
  int (*url_close)(FfUrl*);
  int (*url_read_pause)(FfUrl*, int);
  int64_t (*url_read_seek)(FfUrl*, int, int64_t, int);
  int (*url_get_file_handle)(FfUrl*);
  int (*url_get_multi_file_handle)(FfUrl*, int**, int*);
  int (*url_get_short_seek)(FfUrl*);
  int (*url_shutdown)(FfUrl*, int);
  const AVClass* priv_data_class;
  int priv_data_size;
  int flags;
  int (*url_check)(FfUrl*, int);
  int (*url_open_dir)(FfUrl*);
  int (*url_read_dir)(FfUrl*, void**);
  int (*url_close_dir)(FfUrl*);
  int (*url_delete)(FfUrl*);
  int (*url_move)(FfUrl*, FfUrl*);
  const char* default_whitelist;
};

struct FfUrl {
  const AVClass* av_class;
  const FfProtocol* prot;
  void* priv_data;
  char* filename;
  int flags;
  int max_packet_size;
  int is_streamed;
  int is_connected;
  AVIOInterruptCB interrupt_callback;
};

}  // namespace orvella_rtsp
