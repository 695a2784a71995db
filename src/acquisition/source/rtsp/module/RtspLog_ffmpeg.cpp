#include "acquisition/source/rtsp/module/RtspLog_ffmpeg.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdio>
#include <vector>

#include "acquisition/source/rtsp/RtspModule.h"
#include "driver/Mutex.h"

namespace orvella_rtsp {

namespace {
thread_local std::string* capturedError = nullptr;

// Our sessions' decoder contexts, which the decoders' threads log with.
struct OwnContexts {
  orvella::Mutex lock;
  std::vector<const void*> contexts ORVELLA_GUARDED_BY(lock);

  void Add(const void* context) {
    orvella::ScopedLock<orvella::Mutex> hold(lock);
    contexts.push_back(context);
  }
  void Remove(const void* context) {
    orvella::ScopedLock<orvella::Mutex> hold(lock);
    contexts.erase(std::remove(contexts.begin(), contexts.end(), context), contexts.end());
  }
  bool Has(const void* context) {
    orvella::ScopedLock<orvella::Mutex> hold(lock);
    return std::find(contexts.begin(), contexts.end(), context) != contexts.end();
  }
};
OwnContexts& Own() {
  static OwnContexts* own = new OwnContexts;  // never destroyed: FFmpeg's threads may log late
  return *own;
}

}  // namespace

void LogCallback(void* avcl, int level, const char* fmt, va_list args) {
  if (!capturedError) {
    if (avcl && Own().Has(avcl)) return;
    av_log_default_callback(avcl, level, fmt, args);
    return;
  }
  if (level > AV_LOG_ERROR) return;
  char line[ORVELLA_RTSP_ERROR_SIZE];
  int prefix = 0;
  av_log_format_line2(avcl, level, fmt, args, line, sizeof line, &prefix);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (!text.empty()) *capturedError = text;
}

void OwnDecoder(const void* context) {
  Own().Add(context);
}

void ForgetDecoder(const void* context) {
  Own().Remove(context);
}

CallScope::CallScope() {
  capturedError = &last;
}

CallScope::~CallScope() {
  capturedError = nullptr;
}

void CallScope::Fail(char* error, const char* what, int code) const {
  char text[AV_ERROR_MAX_STRING_SIZE] = "";
  if (code < 0) av_strerror(code, text, sizeof text);
  std::string reason = what;
  if (*text) reason += std::string(": ") + text;
  if (!last.empty() && (!*text || last.find(text) == std::string::npos)) reason += " (" + last + ")";
  std::snprintf(error, ORVELLA_RTSP_ERROR_SIZE, "%s", reason.c_str());
}

}  // namespace orvella_rtsp
