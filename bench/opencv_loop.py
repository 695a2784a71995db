#!/usr/bin/python3
"""What a user would write instead of the driver: fetch the camera's picture
over one keep-alive HTTP/1.1 connection (http.client), decode it with OpenCV,
take the top-left region and convert it. Prints the median time per image.

Usage: opencv_loop.py --url URL [--width 640] [--height 480] [--gray] [--count 200]
Needs Debian's python3-opencv (tools/bench.sh installs it).
"""
import argparse
import http.client
import statistics
import sys
import time
import urllib.parse

import cv2
import numpy as np


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=480)
    parser.add_argument("--gray", action="store_true")
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--warmup", type=int, default=20)
    args = parser.parse_args()

    url = urllib.parse.urlsplit(args.url)
    connection = http.client.HTTPConnection(url.hostname, url.port or 80, timeout=5)
    path = url.path or "/"
    # Gray: the decoder's own gray output is what a user would ask for.
    mode = cv2.IMREAD_GRAYSCALE if args.gray else cv2.IMREAD_COLOR

    def one_image():
        connection.request("GET", path)
        response = connection.getresponse()
        if response.status != 200:
            raise RuntimeError("HTTP %d" % response.status)
        data = response.read()
        picture = cv2.imdecode(np.frombuffer(data, np.uint8), mode)
        if picture is None:
            raise RuntimeError("undecodable picture")
        return np.ascontiguousarray(picture[: args.height, : args.width])

    times = []
    for i in range(args.warmup + args.count):
        start = time.perf_counter()
        image = one_image()
        elapsed = time.perf_counter() - start
        if i >= args.warmup:
            times.append(elapsed * 1000)
    print("image %dx%d, %d channel(s)" % (image.shape[1], image.shape[0], 1 if image.ndim == 2 else image.shape[2]))
    print("per image ms %.4f" % statistics.median(times))
    return 0


if __name__ == "__main__":
    sys.exit(main())
