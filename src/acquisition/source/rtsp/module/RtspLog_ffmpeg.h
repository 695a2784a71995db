// FFmpeg's log, as the RTSP module routes it. The log is process-wide:
// lines written inside our calls are kept (the last error becomes part of
// the failure reason, so nothing reaches stderr with a URL in it); lines of
// our decoders' own threads (slice threads complaining about damaged data)
// are dropped: a driver never writes to its host's stderr. Lines from any
// other FFmpeg user in the process go to FFmpeg's default output as before.
#pragma once

#include <cstdarg>
#include <string>

#include "driver/NoCopy.h"

namespace orvella_rtsp {

// Installed with av_log_set_callback.
void LogCallback(void* avcl, int level, const char* fmt, va_list args);
// A decoder context of ours: its threads' lines are dropped.
void OwnDecoder(const void* context);
void ForgetDecoder(const void* context);

// Marks one call of ours for the log callback: its error lines are kept.
class CallScope {
 public:
  CallScope();
  ~CallScope();
  ORVELLA_NO_COPY(CallScope);

  // "what: library text (last logged error)" into a call's error field.
  void Fail(char* error, const char* what, int code) const;

 private:
  std::string last;
};

}  // namespace orvella_rtsp
