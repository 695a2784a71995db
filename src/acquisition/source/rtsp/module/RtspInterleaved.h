// What an RTSP-over-TCP connection carries, followed byte by byte as
// FFmpeg's RTSP reader takes it (libavformat/rtspdec.c ff_rtsp_tcp_read_packet,
// rtsp.c ff_rtsp_read_reply): the marker bit and timestamp of the last whole
// RTP packet of one channel and payload type (RtspFraming_ffmpeg.cpp).
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdlib>

namespace orvella_rtsp {

// Replies and requests up to their blank line and Content-Length; "$" at a
// line's start for an interleaved packet (channel, length) that FFmpeg reads
// only from 8 bytes.
struct InterleavedReader {
  int channel = 0, payloadType = 0;  // the RTP packets looked for

  enum class Part { kLine, kHeader, kPayload, kBody } part = Part::kLine;
  bool lineStart = true, firstLine = true;
  char line[4096] = {};  // as long as FFmpeg keeps
  int lineLength = 0;
  long body = 0, contentLength = 0;
  unsigned char head[8] = {};
  int got = 0, left = 0, on = -1;

  uint64_t count = 0;  // whole RTP packets of the channel
  bool marker = false;
  uint32_t timestamp = 0;

  // FFmpeg's av_stristart.
  static bool StartsWith(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix)
      if (std::tolower(static_cast<unsigned char>(*text)) != std::tolower(static_cast<unsigned char>(*prefix)))
        return false;
    return true;
  }

  void EndLine() {
    line[lineLength] = 0;
    if (lineLength == 0) {
      part = contentLength > 0 ? Part::kBody : Part::kLine;  // FFmpeg reads no body of a length <= 0
      body = contentLength > 0 ? contentLength : 0;
      contentLength = 0;
      firstLine = true;
    } else {
      // FFmpeg keeps the length in an int and reads no header on the first line.
      if (!firstLine && StartsWith(line, "Content-Length:"))
        contentLength = static_cast<int>(std::strtol(line + 15, nullptr, 10));
      firstLine = false;
    }
    lineLength = 0;
    lineStart = true;
  }

  void Text(unsigned char c) {
    if (c == '$' && lineStart) {
      part = Part::kHeader;
      got = 0;
      contentLength = 0;
      firstLine = true;
      return;
    }
    if (c == '\n') return EndLine();
    if (c == '\r') return;
    lineStart = false;
    if (lineLength < int(sizeof line) - 1) line[lineLength++] = char(c);
  }

  void Packet(const unsigned char* data, int n) {
    for (int i = 0; i < n && got < 8; ++i) head[got++] = data[i];
    left -= n;
    if (left > 0) return;
    part = Part::kLine;
    lineStart = true;
    const bool rtcp = (head[1] >= 192 && head[1] <= 195) || (head[1] >= 200 && head[1] <= 210);  // as FFmpeg
    if (on != channel || (head[0] & 0xc0) != 0x80 || rtcp || (head[1] & 0x7f) != payloadType) return;
    marker = (head[1] & 0x80) != 0;
    timestamp = uint32_t(head[4]) << 24 | uint32_t(head[5]) << 16 | uint32_t(head[6]) << 8 | head[7];
    ++count;
  }

  void Feed(const unsigned char* data, int n) {
    while (n > 0) {
      if (part == Part::kLine) {
        Text(*data++);
        --n;
      } else if (part == Part::kHeader) {
        head[got++] = *data++;
        --n;
        if (got < 3) continue;
        on = head[0];
        left = head[1] << 8 | head[2];
        got = 0;
        part = left >= 8 ? Part::kPayload : Part::kLine;
        lineStart = true;
      } else if (part == Part::kPayload) {
        const int take = n < left ? n : left;
        Packet(data, take);
        data += take, n -= take;
      } else {
        const int take = n < body ? n : int(body);
        body -= take;
        data += take, n -= take;
        if (body == 0) part = Part::kLine;
      }
    }
  }
};

}  // namespace orvella_rtsp
