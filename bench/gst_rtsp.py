#!/usr/bin/python3
"""What a user would write with GStreamer instead of the driver for an RTSP
camera: rtspsrc latency=0 (over TCP, as the driver asks) ! decodebin !
appsink drop=true max-buffers=1, the newest picture taken 10 times a second,
each at a random moment of its frame interval as rtsp_bench does (the last
one again when none came since). Prints "age_ms=A": the mean age of
the pictures taken, from the moment the test server made them (its clock, ms
mod 65536, in the second row of 8x8 blocks; see tests/servers/rtsp_server.py),
read from the luma plane.

Usage: gst_rtsp.py --url URL [--seconds 10]
"""
import argparse
import random
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import Gst, GstVideo  # noqa: E402


def picture_clock(sample):
    info = GstVideo.VideoInfo.new_from_caps(sample.get_caps())
    buf = sample.get_buffer()
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
    pipeline.set_state(Gst.State.PLAYING)
    sample = sink.emit("try-pull-sample", 20 * Gst.SECOND)
    if sample is None:
        raise SystemExit("cannot open " + args.url)
    ages = []
    chance = random.Random(12345)
    next_time = time.monotonic()
    while len(ages) < args.seconds * 10:
        next_time += 0.1
        time.sleep(max(0.0, next_time + chance.uniform(0, 1 / args.fps) - time.monotonic()))
        newer = sink.emit("try-pull-sample", 0)
        if newer is not None:
            sample = newer
        age = (time.monotonic() * 1000) % 65536 - picture_clock(sample)
        ages.append(age + 65536 if age < 0 else age)
    pipeline.set_state(Gst.State.NULL)
    print("age_ms=%.1f" % (sum(ages) / len(ages)), flush=True)


if __name__ == "__main__":
    main()
