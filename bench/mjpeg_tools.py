#!/usr/bin/python3
"""The tools a user would otherwise point at an MJPEG camera, decoding every
part to BGR: the ffmpeg command line and a GStreamer pipeline. Prints the
CPU each spends per frame, measured past its start-up:

  ffmpeg per frame cpu ms X
  gstreamer per frame cpu ms Y

ffmpeg runs twice as a child, for --frames and for three times as many;
the difference of its CPU over the difference of frames leaves its start-up
out. GStreamer runs in this process; its CPU is read between the 25th frame
and the last.

Usage: mjpeg_tools.py --url URL [--frames N] [--tool ffmpeg|gstreamer|both]
"""
import argparse
import resource
import subprocess
import sys
import threading


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def self_cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def ffmpeg_run(url, frames):
    before = children_cpu()
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", url, "-frames:v", str(frames),
                    "-pix_fmt", "bgr24", "-f", "null", "-"], check=True, timeout=600)
    return children_cpu() - before


def ffmpeg_per_frame(url, frames):
    short, long = ffmpeg_run(url, frames), ffmpeg_run(url, 3 * frames)
    return (long - short) / (2 * frames)


def gstreamer_per_frame(url, frames):
    import gi
    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    Gst.init(None)
    pipeline = Gst.parse_launch(
        "souphttpsrc location=%s ! multipartdemux ! jpegdec ! videoconvert ! video/x-raw,format=BGR ! "
        "fakesink name=sink sync=false signal-handoffs=true" % url)
    done = threading.Event()
    seen = {"n": 0, "cpu": []}
    skip = 25

    def handoff(*_):
        seen["n"] += 1
        if seen["n"] in (skip, skip + frames):
            seen["cpu"].append(self_cpu())
        if seen["n"] >= skip + frames:
            done.set()

    pipeline.get_by_name("sink").connect("handoff", handoff)
    pipeline.set_state(Gst.State.PLAYING)
    bus = pipeline.get_bus()
    while not done.is_set():
        message = bus.timed_pop_filtered(200 * Gst.MSECOND, Gst.MessageType.ERROR | Gst.MessageType.EOS)
        if message is not None:
            pipeline.set_state(Gst.State.NULL)
            raise RuntimeError("GStreamer: %s" % (message.parse_error()[0].message
                                                   if message.type == Gst.MessageType.ERROR else "end of stream"))
    pipeline.set_state(Gst.State.NULL)
    return (seen["cpu"][1] - seen["cpu"][0]) / frames


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--url", required=True)
    p.add_argument("--frames", type=int, default=100)
    p.add_argument("--tool", default="both", choices=("ffmpeg", "gstreamer", "both"))
    args = p.parse_args()
    if args.tool in ("ffmpeg", "both"):
        print("ffmpeg per frame cpu ms %.4f" % (1000 * ffmpeg_per_frame(args.url, args.frames)), flush=True)
    if args.tool in ("gstreamer", "both"):
        print("gstreamer per frame cpu ms %.4f" % (1000 * gstreamer_per_frame(args.url, args.frames)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
