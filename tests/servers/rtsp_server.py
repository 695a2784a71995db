#!/usr/bin/python3
"""Loopback RTSP test server (GStreamer's RTSP server) serving a known moving
pattern as H.264 and H.265, for the RTSP tests, the benchmarks and
orvella-simcam --rtsp.

Usage: rtsp_server.py [--bind ADDR] [--port N] [--secure-port N] [--width W]
                      [--height H] [--fps F] [--kbps K] [--user U --password P]
                      [--pem FILE [--tls-port N]]

Mounts (RTSP over TCP or UDP, as the client asks), 0 picks free ports:

  port          /h264, /h265: the pattern, one encoder per mount shared by
                its clients
  secure port   /secure/h264: the same, only with a Digest login
                (--user/--password, default "user"/"p@ss#w:rd",
                in a URL user:p%40ss%23w%3Ard)
  TLS port      /h264 over TLS (rtsps://), with the key and certificate of
                --pem FILE; only when that is given

Once serving it prints "port=N secure_port=M tls_port=T" (T 0 without --pem)
on a line of its own. SIGUSR1 takes the
server down (every session is closed, nobody can connect), SIGUSR2 brings it
back on the same port; SIGSTOP/SIGCONT stall it with its connections open.

The picture (frame n, pixel x, y; every value 0..255) is what pattern() below
draws; the C++ tests compute the same:
  R = 128 + 96 sin(2 pi (x + 4 n) / 128)        moves 4 pixels a frame
  G = 128 + 96 sin(2 pi y / 96)
  B = 128 + 96 cos(2 pi (x + y) / 160)
over which, from the top-left corner, two rows of sixteen 8x8 blocks carry,
most significant bit first, black (16) for 0 and white (240) for 1:
  row 0 (y 0..7)    n mod 65536, the frame number counted from the server's start
  row 1 (y 8..15)   the monotonic clock in ms mod 65536 when the frame was made
"""
import argparse
import signal
import sys
import threading
import time

import gi

gi.require_version("Gio", "2.0")
gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import Gio, GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

import numpy as np  # noqa: E402

BLOCK = 8
BITS = 16
BLACK, WHITE = 16, 240


class Pattern:
    """Frames of the pattern, made from rows computed once."""

    def __init__(self, width, height):
        x = np.arange(width + 128)
        y = np.arange(height)
        self.width, self.height = width, height
        self.red_row = np.round(128 + 96 * np.sin(2 * np.pi * x / 128)).astype(np.uint8)
        green = np.round(128 + 96 * np.sin(2 * np.pi * y / 96)).astype(np.uint8)
        xs, ys = np.meshgrid(np.arange(width), y)
        blue = np.round(128 + 96 * np.cos(2 * np.pi * (xs + ys) / 160)).astype(np.uint8)
        self.base = np.zeros((height, width, 3), np.uint8)
        self.base[:, :, 1] = green[:, None]
        self.base[:, :, 2] = blue

    def frame(self, n, clock_ms):
        out = self.base.copy()
        shift = (4 * n) % 128
        out[:, :, 0] = self.red_row[shift:shift + self.width][None, :]
        for row, value in enumerate((n % 65536, clock_ms % 65536)):
            for bit in range(BITS):
                x0 = bit * BLOCK
                if x0 + BLOCK > self.width or (row + 1) * BLOCK > self.height:
                    continue
                on = (value >> (BITS - 1 - bit)) & 1
                out[row * BLOCK:(row + 1) * BLOCK, x0:x0 + BLOCK, :] = WHITE if on else BLACK
        return out.tobytes()


ENCODERS = {
    "h264": "x264enc tune=zerolatency speed-preset=ultrafast bitrate={kbps} key-int-max={fps} "
            "! video/x-h264,profile=baseline ! rtph264pay name=pay0 pt=96 config-interval=-1",
    "h265": "x265enc tune=zerolatency speed-preset=ultrafast bitrate={kbps} key-int-max={fps} "
            "! rtph265pay name=pay0 pt=96 config-interval=-1",
}


class Feeder:
    """Pushes the pattern into one media's appsrc at the frame rate until the
    media stops taking it. Frame numbers count from the server's start, so a
    client reconnecting sees them go on."""

    def __init__(self, appsrc, pattern, fps, start):
        self.appsrc, self.pattern, self.fps, self.start = appsrc, pattern, fps, start
        self.stopped = threading.Event()
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        n = int((time.monotonic() - self.start) * self.fps) + 1
        while not self.stopped.is_set():
            due = self.start + n / self.fps
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                n = int((time.monotonic() - self.start) * self.fps)  # late: skip to now
            data = self.pattern.frame(n, int(time.monotonic() * 1000))
            buf = Gst.Buffer.new_wrapped(data)
            if self.appsrc.emit("push-buffer", buf) != Gst.FlowReturn.OK:
                break
            n += 1


class Server:
    """One RTSP server on one port: the open mounts, (`secure`) the
    login-only one, or (`pem`) /h264 over TLS. GStreamer answers an anonymous
    client that may not see a mount with 404 instead of 401, and a
    certificate makes every connection of a server TLS, so each is a server
    of its own."""

    def __init__(self, args, pattern, start, port, secure, pem=None):
        self.args, self.pattern, self.start = args, pattern, start
        self.server = GstRtspServer.RTSPServer()
        self.server.set_address(args.bind)
        self.server.set_service(str(port))
        mounts = self.server.get_mount_points()
        if secure:
            self.server.set_auth(self.auth())
            mounts.add_factory("/secure/h264", self.factory("h264", "user"))
        elif pem:
            self.server.set_auth(self.tls_auth(pem))
            mounts.add_factory("/h264", self.factory("h264", "anonymous"))
        else:
            for codec in ENCODERS:
                mounts.add_factory("/" + codec, self.factory(codec, None))
        self.source = None

    def auth(self):
        auth = GstRtspServer.RTSPAuth()
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
        auth.set_realm("orvella")
        token = GstRtspServer.RTSPToken()
        token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "user")
        auth.add_digest(self.args.user, self.args.password, token)
        return auth

    @staticmethod
    def tls_auth(pem):
        """TLS with the certificate of `pem`; everyone may play."""
        auth = GstRtspServer.RTSPAuth()
        auth.set_tls_certificate(Gio.TlsCertificate.new_from_file(pem))
        token = GstRtspServer.RTSPToken()
        token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "anonymous")
        auth.set_default_token(token)
        return auth

    def factory(self, codec, role):
        a = self.args
        caps = "video/x-raw,format=RGB,width=%d,height=%d,framerate=%d/1" % (a.width, a.height, a.fps)
        launch = ("( appsrc name=src is-live=true do-timestamp=true format=time caps=%s "
                  "! videoconvert ! video/x-raw,format=I420 ! %s )"
                  % (caps, ENCODERS[codec].format(kbps=a.kbps, fps=a.fps)))
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch)
        factory.set_shared(True)
        if role:
            factory.add_role_from_structure(Gst.Structure.from_string(
                "%s, media.factory.access=(boolean)true, media.factory.construct=(boolean)true" % role)[0])
        factory.connect("media-configure", self.on_media)
        return factory

    def on_media(self, _factory, media):
        appsrc = media.get_element().get_by_name_recurse_up("src")
        feeder = Feeder(appsrc, self.pattern, self.args.fps, self.start)
        media.connect("unprepared", lambda *_: feeder.stopped.set())

    def port(self):
        return self.server.get_bound_port()

    def up(self):
        if self.source is None:
            self.source = self.server.attach(None)
            self.server.set_service(str(self.port()))  # the same port after a restart

    def down(self):
        if self.source is not None:
            GLib.source_remove(self.source)
            self.source = None
            self.server.client_filter(lambda *_: GstRtspServer.RTSPFilterResult.REMOVE)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--bind", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--secure-port", type=int, default=0)
    p.add_argument("--width", type=int, default=640)
    p.add_argument("--height", type=int, default=480)
    p.add_argument("--fps", type=int, default=25)
    p.add_argument("--kbps", type=int, default=3000)
    p.add_argument("--user", default="user")
    p.add_argument("--password", default="p@ss#w:rd")
    p.add_argument("--pem", default="")
    p.add_argument("--tls-port", type=int, default=0)
    args = p.parse_args()
    Gst.init(None)
    pattern, start = Pattern(args.width, args.height), time.monotonic()
    servers = [Server(args, pattern, start, args.port, False), Server(args, pattern, start, args.secure_port, True)]
    if args.pem:
        servers.append(Server(args, pattern, start, args.tls_port, False, args.pem))
    loop = GLib.MainLoop()

    def each(action):
        def handler(*_):
            for server in servers:
                getattr(server, action)()
            return GLib.SOURCE_CONTINUE
        return handler

    each("up")()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, each("down"))
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR2, each("up"))
    for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, s, lambda *_: loop.quit() or GLib.SOURCE_REMOVE)
    tls_port = servers[2].port() if args.pem else 0
    print("port=%d secure_port=%d tls_port=%d" % (servers[0].port(), servers[1].port(), tls_port), flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
