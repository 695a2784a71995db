#!/usr/bin/python3
"""What a user would write with GStreamer instead of the driver for an RTSP
camera: rtspsrc latency=0 (over TCP, as the driver asks) ! decodebin !
appsink drop=true max-buffers=1, the newest picture taken 10 times a second,
each at another moment of its frame interval, spread evenly as rtsp_bench
does (the last one again when none came since). Prints "age_ms=A": the mean
age of the pictures taken, from the moment the test server made them (its
clock, ms mod 65536, in the second row of 8x8 blocks; see
tests/servers/rtsp_server.py), read from the luma plane; then
"decoded_ms=D": the mean time from made to the appsink, over every picture.

Usage: gst_rtsp.py --url URL [--seconds 10]
"""
import argparse
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import Gst, GstVideo  # noqa: E402


def luma_clock(info, buf):
    ok, data = buf.map(Gst.MapFlags.READ)
    if not ok:
        raise SystemExit("cannot read a picture")
    try:
        row = info.offset[0] + 12 * info.stride[0]
        value = 0
        for bit in range(16):
            value = value * 2 + int(data.data[row + bit * 8 + 4] > 128)
        return value
    finally:
        buf.unmap(data)


def picture_clock(sample):
    return luma_clock(GstVideo.VideoInfo.new_from_caps(sample.get_caps()), sample.get_buffer())


def age_ms(now_ms, clock_ms):
    age = now_ms % 65536 - clock_ms
    return age + 65536 if age < 0 else age


def watch_arrivals(sink, decoded):
    """Times every picture as it reaches the appsink, in the streaming thread."""
    def probe(pad, info):
        now_ms = time.monotonic() * 1000
        info_ = GstVideo.VideoInfo.new_from_caps(pad.get_current_caps())
        decoded.append(age_ms(now_ms, luma_clock(info_, info.get_buffer())))
        return Gst.PadProbeReturn.OK
    sink.get_static_pad("sink").add_probe(Gst.PadProbeType.BUFFER, probe)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--fps", type=float, default=25)
    args = parser.parse_args()
    Gst.init(None)
    pipeline = Gst.parse_launch(
        "rtspsrc location=%s latency=0 protocols=tcp ! decodebin ! appsink name=sink drop=true max-buffers=1 "
        "sync=false" % args.url)
    sink = pipeline.get_by_name("sink")
    decoded = []
    watch_arrivals(sink, decoded)
    pipeline.set_state(Gst.State.PLAYING)
    sample = sink.emit("try-pull-sample", 20 * Gst.SECOND)
    if sample is None:
        raise SystemExit("cannot open " + args.url)
    del decoded[:]  # from here on, as rtsp_bench counts its own
    ages = []
    next_time = time.monotonic()
    while len(ages) < args.seconds * 10:
        next_time += 0.1
        phase = (len(ages) * 0.6180339887498949) % 1.0
        time.sleep(max(0.0, next_time + phase / args.fps - time.monotonic()))
        newer = sink.emit("try-pull-sample", 0)
        if newer is not None:
            sample = newer
        now_ms = time.monotonic() * 1000
        ages.append(age_ms(now_ms, picture_clock(sample)))
    pipeline.set_state(Gst.State.NULL)
    print("age_ms=%.2f" % (sum(ages) / len(ages)), flush=True)
    print("decoded_ms=%.2f" % (sum(decoded) / max(1, len(decoded))), flush=True)


if __name__ == "__main__":
    main()
