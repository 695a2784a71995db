#include "acquisition/source/rtsp/module/RtspConvert_ffmpeg.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "acquisition/source/rtsp/module/RtspLog_ffmpeg.h"

namespace orvella_rtsp {

namespace {

// YUV pictures are converted with the matrix and range they were encoded
// with (the stream says which), as a JPEG decoder does for its pictures.
void SetColourspace(SwsContext* sws, const AVFrame* frame) {
  const int space = frame->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
  int* inTable = nullptr;
  int* outTable = nullptr;
  int inFull = 0, outFull = 0, brightness = 0, contrast = 0, saturation = 0;
  if (sws_getColorspaceDetails(sws, &inTable, &inFull, &outTable, &outFull, &brightness, &contrast, &saturation) < 0)
    return;  // RGB input: nothing to choose
  const int full = frame->color_range == AVCOL_RANGE_JPEG || inFull;
  sws_setColorspaceDetails(sws, sws_getCoefficients(space), full, sws_getCoefficients(SWS_CS_DEFAULT), 1, brightness,
                           contrast, saturation);
}

}  // namespace

int Convert(OrvellaRtspConvertCall* call) {
  if (!call || call->structSize != sizeof *call || !call->picture || !call->cache) return -2;
  CallScope scope;
  const auto* frame = reinterpret_cast<const AVFrame*>(call->picture);
  const int width = call->width < frame->width ? call->width : frame->width;
  const int height = call->height < frame->height ? call->height : frame->height;
  if (width <= 0 || height <= 0) return 1;
  // The top-left crop is the same planes with a smaller size: only the
  // pixels handed over are converted.
  auto* sws = sws_getCachedContext(static_cast<SwsContext*>(*call->cache), width, height,
                                   static_cast<AVPixelFormat>(frame->format), width, height, AV_PIX_FMT_BGR24,
                                   SWS_POINT, nullptr, nullptr, nullptr);
  *call->cache = sws;
  if (!sws) {
    scope.Fail(call->error, "cannot convert the picture's pixel format", 0);
    return -1;
  }
  SetColourspace(sws, frame);
  uint8_t* out[4] = {call->data, nullptr, nullptr, nullptr};
  int outStride[4] = {call->stride, 0, 0, 0};
  int rows = sws_scale(sws, frame->data, frame->linesize, 0, height, out, outStride);
  if (rows != height) {
    scope.Fail(call->error, "the picture could not be converted", rows < 0 ? rows : 0);
    return -1;
  }
  return 1;
}

void FreeCache(void* cache) {
  sws_freeContext(static_cast<SwsContext*>(cache));
}

}  // namespace orvella_rtsp
