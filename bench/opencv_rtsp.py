#!/usr/bin/python3
"""What a user would write instead of the driver for an RTSP camera: OpenCV's
VideoCapture (FFmpeg inside, RTSP over TCP), read 10 times a second. Prints
"age_ms=A": the mean age of the pictures it returns, from the moment the
test server made them (its clock, ms mod 65536, in the second row of 8x8
blocks; see tests/servers/rtsp_server.py).

Usage: opencv_rtsp.py --url URL [--seconds 10]
"""
import argparse
import os
import time

os.environ.setdefault("OPENCV_FFMPEG_CAPTURE_OPTIONS", "rtsp_transport;tcp")
import cv2  # noqa: E402


def picture_clock(frame):
    value = 0
    for bit in range(16):
        value = value * 2 + int(frame[12, bit * 8 + 4, 1] > 128)
    return value


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--seconds", type=float, default=10)
    args = parser.parse_args()
    capture = cv2.VideoCapture(args.url, cv2.CAP_FFMPEG)
    if not capture.isOpened() or not capture.read()[0]:
        raise SystemExit("cannot open " + args.url)
    ages = []
    next_time = time.monotonic()
    while len(ages) < args.seconds * 10:
        next_time += 0.1
        time.sleep(max(0.0, next_time - time.monotonic()))
        ok, frame = capture.read()
        if not ok:
            raise SystemExit("the stream ended")
        age = (time.monotonic() * 1000) % 65536 - picture_clock(frame)
        ages.append(age + 65536 if age < 0 else age)
    print("age_ms=%.1f" % (sum(ages) / len(ages)))


if __name__ == "__main__":
    main()
