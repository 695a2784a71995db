#!/usr/bin/python3
"""Loopback HTTP/1.1 test server with fault modes chosen per request.

Every answer carries Content-Length and keeps the connection alive (HTTP/1.1)
unless a fault asks otherwise. Paths:

  /bytes/<N>            200, N bytes of known content: byte i is i % 251.
                        Streamed, so any N works (very large bodies too);
                        "Cache-Control: no-store", so no client keeps them.
  /empty                200 with a 0-byte body.
  /status/<N>           status N with the body "status N\\n" (text/plain).
                        For N < 200 the connection closes after the body.
  /html                 200 with a small HTML page (not a picture).
  /files/<name>         200 with the file <name> from the data directory,
                        404 when it does not exist.
  /redirect?to=<url>    302 to <url>: a path on this server or an absolute URL
                        (another port of it is another origin).
  /hang                 reads the request, never answers (until the client
                        goes away or the server stops).
  /echo-login           asks for a Basic login; answers one with status 403
                        whose reason phrase is the password it received, raw
                        and percent-encoded (a server quoting secrets).
  /mjpeg                a camera's picture stream: 200 with Content-Type
                        "multipart/x-mixed-replace; boundary=orvellaframe",
                        one part per frame until the client leaves. Frames
                        are numbered across the server from 1; frame n is a
                        128 x 16 JPEG whose sixteen 8 px wide columns show
                        n's bits, lowest first (white for 1), and its part
                        carries "X-Frame: n". Query parameters:
                          fps=<f>      frames per second (default 25)
                          nolength=1   parts without Content-Length
                          frames=<n>   end the stream after n parts, as
                          end=close    a closing delimiter, then close (default)
                          end=cut      half a part, then close
  /soap                 POST only: a SOAP endpoint. 200 with Content-Type
                        "application/soap+xml; charset=utf-8" and the call
                        echoed: "type=<Content-Type>\nlength=<body length>\n
                        head=<its first 32 bytes>\n". status=<n> answers
                        with status n instead (400 and 500: the echo inside
                        a SOAP Fault envelope); size=<n> with n bytes of the
                        /bytes content instead of the echo. Every fault
                        parameter below applies (delay, stall, nolength, ...).
                        A POST to /redirect or /hang is answered as a GET.
  /_stats               200, text "connections=C requests=R\\n": C counts the
                        accepted connections that carried at least one request
                        outside /_*, R those requests. Control requests never
                        count, so a test can read the numbers between downloads.

Control paths for tests that change a camera's answer while it runs (the
camera keeps one URL; the test decides what it gets):

  /_route?path=<p>&to=<t>   from now on a request for path <p> (any query) is
                        answered as a request for <t> (path and query), which
                        may be any path above; an empty <t> removes the route.
                        With &then=<t2> it answers as <t> once (a request
                        turned away for a login does not count), then as <t2>.
                        A path without a route answers 404.
  /_hits?path=<p>       "hits=N served=M\\n": requests for <p> so far, and how
                        many of them got a whole 200 answer.
  /_closedport          "port=N\\n": a loopback port the server holds bound but
                        not listening, so connections to it are refused.
  /_silentport          "port=N\\n": a loopback port that takes connections
                        and never reads or answers (a TLS handshake there
                        never ends).
  /_openport?port=N     starts answering on that port (same routes and files);
                        on a silent port with https (the certificate `tls_pem`
                        names, set by with_servers.py).
  /_ftpuser?name=<n>&password=<p>   adds or replaces a login of the FTP server
                        started beside this one; an empty password removes it.
  /_lastrequest         the request line and headers of the last request
                        outside /_*, as the server received them.
  /_auth?port=N&path=<p>  "requests=R authorized=A\n": requests for path <p>
                        (any query) that reached port N, and how many of them
                        carried an Authorization header (what a second origin
                        was sent).
  /_mjpeg              "frame=N age_ms=A\n": the last frame whose part was
                        sent whole (0: none yet), and how long ago.
  /_rtsp?signal=<s>     sends the RTSP server started beside this one SIG<s>
                        (USR1, USR2, STOP or CONT; see rtsp_server.py), for
                        test programs that cannot signal a Linux process.
  /_cut                 every body being sent stops at its next chunk and its
                        connection closes (a client that keeps reading a long
                        body it has refused stops costing time).

A query parameter of every path above (also of a route's target):

  auth=basic        a request without "Authorization: Basic ..." gets 401 with
                    a Basic challenge (any user and password pass)

Query parameters that add faults to /bytes, /empty, /status, /html and /files:

  delay=<ms>        wait before sending anything (slow first byte)
  drip=<ms>         send the body in chunks of `chunk` bytes (default 1024)
                    with this pause between them (slow drip)
  chunk=<n>         chunk size for drip
  pieces=<n>        with drip: the body in n chunks of about equal size
                    (a slow but steady camera: drip=4000&pieces=3)
  truncate=<n>      announce the full length, send only n body bytes, close
                    the connection (drop mid-body / Content-Length too long)
  stall=<n>         announce the full length, send n body bytes, then send
                    nothing more but keep the connection open
  close=1           answer with "Connection: close" and close afterwards
  nolength=1        no Content-Length: the body ends when the connection
                    closes (HTTP/1.0 style); the one answer without it
  type=<t>          Content-Type <t> instead of the path's own; type=none
                    sends no Content-Type at all
  flaky=<percent>   that share of requests, at random, fails instead: status
                    500, the body cut at half with the connection closed, or
                    the connection closed before any answer

Examples: /bytes/102400, /files/red.jpg?drip=50&chunk=4096, /html?type=none,
/bytes/1000?truncate=10, /status/404, /bytes/10?delay=5000.

Run by hand: http_server.py [--port P] [--data DIR] (port 0 picks a free one
and prints it).
"""
import argparse
import base64
import io
import os
import random
import signal
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, quote, unquote, urlsplit

PATTERN_PERIOD = 251
# A block of the pattern whose length is a multiple of the period, so slices
# of it continue the pattern at any offset.
_BLOCK = bytes(i % PATTERN_PERIOD for i in range(PATTERN_PERIOD * 256))

HTML_PAGE = (b"<!DOCTYPE html>\n<html><head><title>Camera</title></head>\n"
             b"<body><p>This is a web page, not a picture.</p></body></html>\n")

SOAP_FAULT = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
              b'<env:Envelope xmlns:env="http://www.w3.org/2003/05/soap-envelope"><env:Body><env:Fault>'
              b'<env:Code><env:Value>env:Sender</env:Value></env:Code>'
              b'<env:Reason><env:Text xml:lang="en">%s</env:Text></env:Reason>'
              b'</env:Fault></env:Body></env:Envelope>\n')


def pattern(offset, length):
    """The known content of /bytes between offset and offset + length."""
    out = bytearray()
    start = offset % PATTERN_PERIOD
    while len(out) < length:
        take = min(len(_BLOCK) - start, length - len(out))
        out += _BLOCK[start:start + take]
        start = 0
    return bytes(out)


MJPEG_BOUNDARY = "orvellaframe"
_FRAMES = {}


def frame_picture(n):
    """Frame n of /mjpeg: its 16 lowest bits as white 8 x 16 px columns."""
    if n not in _FRAMES:
        from PIL import Image  # only the stream needs it
        img = Image.new("RGB", (128, 16), (0, 0, 0))
        for bit in range(16):
            if n >> bit & 1:
                img.paste((255, 255, 255), (bit * 8, 0, bit * 8 + 8, 16))
        out = io.BytesIO()
        img.save(out, "JPEG", quality=90, subsampling=0)
        _FRAMES[n] = out.getvalue()
    return _FRAMES[n]


class Body:
    """A body known by its length and a function giving any slice of it."""

    def __init__(self, length, read):
        self.length = length
        self.read = read  # read(offset, size) -> bytes

    @staticmethod
    def of(data):
        return Body(len(data), lambda off, n: data[off:off + n])


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OrvellaTest/1.0"
    # Headers and body go out in separate writes: without this, Nagle's
    # algorithm meets the client's delayed ACK and every answer waits 40 ms.
    disable_nagle_algorithm = True
    counted = False  # this connection has carried a counted request
    routed_from = None  # the routed path of the request being answered

    def log_message(self, fmt, *args):  # quiet: the test output is the program's
        pass

    def do_GET(self):
        parts = urlsplit(self.path)
        path = unquote(parts.path)
        query = {k: v[-1] for k, v in parse_qs(parts.query).items()}
        if path.startswith("/_"):
            return self.control(path, query)
        self.server.count_request(self)
        self.server.root.note_request(self.raw_requestline + bytes(self.headers))
        self.server.root.note_auth(self.server.port, path, "Authorization" in self.headers)
        target = self.server.root.routed(path)
        self.routed_from = path if target else None
        if target is not None:
            if not target:
                return self.answer(404, Body.of(b"no route\n"), "text/plain", {})
            parts = urlsplit(target)
            path = unquote(parts.path)
            query = {k: v[-1] for k, v in parse_qs(parts.query).items()}
        if query.get("auth") == "basic" and not self.headers.get("Authorization", "").startswith("Basic "):
            return self.challenge("camera")
        if self.routed_from:
            self.server.root.route_taken(self.routed_from)

        if path.startswith("/bytes/"):
            n = self.int_arg(path[len("/bytes/"):])
            if n is None or n < 0:
                return self.simple(400, b"bad length\n")
            # Not to be stored: WinInet (under Wine) would keep every refused
            # 64 MiB body of the size-bound tests in its cache on disk.
            return self.answer(200, Body(n, pattern), "application/octet-stream", query, store=False)
        if path == "/empty":
            return self.answer(200, Body.of(b""), "application/octet-stream", query)
        if path.startswith("/status/"):
            code = self.int_arg(path[len("/status/"):])
            if code is None or not 100 <= code <= 999:
                return self.simple(400, b"bad status\n")
            return self.answer(code, Body.of(b"status %d\n" % code), "text/plain", query)
        if path == "/html":
            return self.answer(200, Body.of(HTML_PAGE), "text/html", query)
        if path.startswith("/files/"):
            name = path[len("/files/"):]
            full = os.path.realpath(os.path.join(self.server.data_dir, name))
            root = os.path.realpath(self.server.data_dir)
            if not full.startswith(root + os.sep) or not os.path.isfile(full):
                return self.answer(404, Body.of(b"no such file\n"), "text/plain", query)
            with open(full, "rb") as f:
                data = f.read()
            return self.answer(200, Body.of(data), "application/octet-stream", query)
        if path == "/redirect":
            return self.redirect(query)
        if path == "/hang":
            self.wait_forever()
            return None
        if path == "/echo-login":
            return self.echo_login()
        if path == "/mjpeg":
            return self.mjpeg(query)
        return self.simple(404, b"unknown path\n")

    def do_POST(self):
        # The body first, whatever the answer: the connection stays usable.
        length = self.int_arg(self.headers.get("Content-Length", "0")) or 0
        body = self.rfile.read(length) if length > 0 else b""
        parts = urlsplit(self.path)
        path = unquote(parts.path)
        query = {k: v[-1] for k, v in parse_qs(parts.query).items()}
        self.server.count_request(self)
        self.server.root.note_request(self.raw_requestline + bytes(self.headers))
        self.server.root.note_auth(self.server.port, path, "Authorization" in self.headers)
        if query.get("auth") == "basic" and not self.headers.get("Authorization", "").startswith("Basic "):
            return self.challenge("camera")
        if path == "/soap":
            return self.soap(body, query)
        if path == "/redirect":
            return self.redirect(query)
        if path == "/hang":
            return self.wait_forever()
        return self.simple(404, b"unknown path\n")

    def soap(self, body, query):
        """A SOAP call's answer: the call echoed, a fault, or a sized body."""
        code = self.int_arg(query.get("status", "200")) or 200
        content_type = "application/soap+xml; charset=utf-8"
        if "size" in query:
            n = self.int_arg(query["size"]) or 0
            return self.answer(code, Body(n, pattern), content_type, query, store=False)
        echo = b"type=%s\nlength=%d\nhead=%s\n" % (
            self.headers.get("Content-Type", "").encode("latin-1"), len(body), body[:32])
        if code in (400, 500):
            echo = SOAP_FAULT % echo
        return self.answer(code, Body.of(echo), content_type, query)

    def redirect(self, query):
        self.send_response(302)
        self.send_header("Location", query.get("to", "/bytes/10"))
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_HEAD(self):
        self.simple(405, b"")

    # --- helpers -----------------------------------------------------------

    @staticmethod
    def int_arg(text):
        try:
            return int(text)
        except ValueError:
            return None

    def control(self, path, query):
        root = self.server.root
        if path == "/_stats":
            c, r = root.stats()
            return self.simple(200, b"connections=%d requests=%d\n" % (c, r))
        if path == "/_route" and "path" in query:
            root.set_route(query["path"], query.get("to", ""), query.get("then"))
            return self.simple(200, b"ok\n")
        if path == "/_hits" and "path" in query:
            return self.simple(200, b"hits=%d served=%d\n" % root.hits(query["path"]))
        if path == "/_closedport":
            return self.simple(200, b"port=%d\n" % root.closed_port())
        if path == "/_silentport":
            return self.simple(200, b"port=%d\n" % root.silent_port())
        if path == "/_openport":
            port = self.int_arg(query.get("port", ""))
            if port is None or not root.open_port(port):
                return self.simple(404, b"no such closed port\n")
            return self.simple(200, b"ok\n")
        if path == "/_lastrequest":
            return self.simple(200, root.last_request())
        if path == "/_auth" and "path" in query:
            port = self.int_arg(query.get("port", "")) or 0
            return self.simple(200, b"requests=%d authorized=%d\n" % root.auth_seen(port, query["path"]))
        if path == "/_mjpeg":
            n, age = root.last_frame()
            return self.simple(200, b"frame=%d age_ms=%d\n" % (n, age))
        if path == "/_cut":
            root.cut()
            return self.simple(200, b"ok\n")
        if path == "/_rtsp" and query.get("signal") in ("USR1", "USR2", "STOP", "CONT"):
            if root.rtsp_pid is None:
                return self.simple(404, b"no RTSP server\n")
            os.kill(root.rtsp_pid, getattr(signal, "SIG" + query["signal"]))
            return self.simple(200, b"ok\n")
        if path == "/_ftpuser" and "name" in query:
            if root.ftp is None:
                return self.simple(404, b"no FTP server\n")
            root.ftp.set_user(query["name"], query.get("password", ""))
            return self.simple(200, b"ok\n")
        return self.simple(404, b"unknown control path\n")

    def challenge(self, realm):
        self.send_response(401)
        self.send_header("WWW-Authenticate", 'Basic realm="%s"' % realm)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def echo_login(self):
        given = self.headers.get("Authorization", "")
        if not given.startswith("Basic "):
            return self.challenge("echo")
        password = base64.b64decode(given[6:]).decode("utf-8", "replace").partition(":")[2]
        self.send_response(403, "%s %s" % (password, quote(password, safe="")))
        self.send_header("Content-Length", "0")
        self.end_headers()
    def mjpeg(self, query):
        """The picture stream of /mjpeg, until the client leaves or it ends."""
        fps = float(query.get("fps", "25") or 25)
        frames = self.int_arg(query.get("frames", ""))
        nolength = query.get("nolength") == "1"
        root = self.server.root
        self.send_response(200)
        self.send_header("Content-Type", "multipart/x-mixed-replace; boundary=" + MJPEG_BOUNDARY)
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        sent = 0
        try:
            while frames is None or sent < frames:
                if sent > 0 and self.client_gone():
                    return  # frames are numbered across streams: waste none
                n = root.next_frame()
                picture = frame_picture(n)
                head = "--%s\r\nContent-Type: image/jpeg\r\n" % MJPEG_BOUNDARY
                if not nolength:
                    head += "Content-Length: %d\r\n" % len(picture)
                head += "X-Frame: %d\r\n\r\n" % n
                self.wfile.write(head.encode() + picture + b"\r\n")
                self.wfile.flush()
                root.frame_sent(n)
                sent += 1
                if self.server.stopping.wait(1.0 / fps):
                    return
            if query.get("end") == "cut":
                self.wfile.write(b"--%s\r\nContent-Type: image/jpeg\r\n\r\n" % MJPEG_BOUNDARY.encode()
                                 + frame_picture(0)[:100])
            else:
                self.wfile.write(b"--%s--\r\n" % MJPEG_BOUNDARY.encode())
            self.wfile.flush()
        except OSError:
            pass

    def client_gone(self):
        try:
            return self.connection.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b""
        except BlockingIOError:
            return False
        except OSError:
            return True

    def simple(self, code, body):
        self.send_response(code)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body:
            self.wfile.write(body)

    def wait_forever(self):
        """Sends nothing until the client leaves or the server stops."""
        conn = self.connection
        conn.settimeout(0.1)
        while not self.server.stopping.is_set():
            try:
                if conn.recv(4096) == b"":
                    break  # the client closed its end
            except socket.timeout:
                continue
            except OSError:
                break
        self.close_connection = True

    def answer(self, code, body, content_type, query, store=True):
        delay = self.int_arg(query.get("delay", "0")) or 0
        drip = self.int_arg(query.get("drip", "0")) or 0
        chunk = max(1, self.int_arg(query.get("chunk", "1024")) or 1024)
        pieces = self.int_arg(query.get("pieces", "0")) or 0
        if pieces > 0:
            chunk = max(1, -(-body.length // pieces))
        truncate = self.int_arg(query["truncate"]) if "truncate" in query else None
        stall = self.int_arg(query["stall"]) if "stall" in query else None
        nolength = query.get("nolength") == "1"
        content_type = query.get("type", content_type)
        close = query.get("close") == "1" or code < 200 or nolength
        flaky = self.int_arg(query.get("flaky", "0")) or 0
        if flaky > 0 and random.randrange(100) < flaky:
            way = random.randrange(3)
            if way == 0:
                code, body, content_type = 500, Body.of(b"status 500\n"), "text/plain"
            elif way == 1:
                truncate = body.length // 2
            else:
                self.close_connection = True
                return

        if delay > 0 and self.server.stopping.wait(delay / 1000.0):
            return
        self.send_response(code)
        if content_type != "none":
            self.send_header("Content-Type", content_type)
        if not store:
            self.send_header("Cache-Control", "no-store")
        if not nolength:
            self.send_header("Content-Length", str(body.length))
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.flush()

        limit = body.length
        for cut in (truncate, stall):
            if cut is not None:
                limit = min(limit, max(0, cut))
        step = chunk if drip > 0 else 256 * 1024
        sent = 0
        generation = self.server.root.cuts
        try:
            while sent < limit:
                if self.server.root.cuts != generation:
                    self.close_connection = True
                    return
                n = min(step, limit - sent)
                self.wfile.write(body.read(sent, n))
                self.wfile.flush()
                sent += n
                # A pause between chunks, none after the last.
                if drip > 0 and sent < limit and self.server.stopping.wait(drip / 1000.0):
                    break
        except OSError:
            self.close_connection = True
            return
        if sent == body.length and code == 200 and self.routed_from:
            self.server.root.count_served(self.routed_from)
        if sent < body.length:
            if stall is not None and (truncate is None or stall <= truncate):
                self.wait_forever()
            self.close_connection = True


class TestHTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, data_dir, root=None, sock=None):
        # A server on a port handed out by /_closedport shares the root's
        # state and starts listening on the socket the root kept bound.
        super().__init__(address, Handler, bind_and_activate=sock is None)
        if sock is not None:
            self.socket.close()
            self.socket = sock
            self.server_address = sock.getsockname()
            self.server_activate()
        self.root = root or self
        self.data_dir = data_dir
        self.stopping = self.root.stopping if root else threading.Event()
        self.ftp = None  # set by with_servers.py for /_ftpuser
        self.rtsp_pid = None  # set by with_servers.py for /_rtsp
        self._lock = threading.Lock()
        self._connections = 0
        self._requests = 0
        self._routes = {}
        self._then = {}  # path -> its route's target after the first answer
        self._hits = {}
        self._served = {}
        self._closed = {}  # port -> bound socket, not listening
        self._silent = {}  # port -> listening socket nobody accepts on
        self.tls_pem = None  # key and certificate for silent ports opened
        self.cuts = 0  # /_cut calls so far
        self._last_request = b""
        self._auth = {}  # (port, path) -> [requests, with Authorization]
        self._frames = 0  # /mjpeg frames numbered so far
        self._last_frame = (0, time.monotonic())  # the last one sent whole, and when
        self._extra = []   # servers started by /_openport

    def count_request(self, handler):
        if self.root is not self:
            return self.root.count_request(handler)
        with self._lock:
            self._requests += 1
            if not handler.counted:
                handler.counted = True
                self._connections += 1
        return None

    def stats(self):
        with self._lock:
            return self._connections, self._requests

    def set_route(self, path, target, then=None):
        with self._lock:
            self._routes[path] = target
            self._then[path] = then

    def route_taken(self, path):
        with self._lock:
            then = self._then.pop(path, None)
            if then is not None:
                self._routes[path] = then

    def routed(self, path):
        """The route's target for path ("" when removed), None when it has none."""
        with self._lock:
            if path not in self._routes:
                return None
            self._hits[path] = self._hits.get(path, 0) + 1
            return self._routes[path]

    def note_request(self, raw):
        with self._lock:
            self._last_request = raw

    def note_auth(self, port, path, authorized):
        with self._lock:
            seen = self._auth.setdefault((port, path), [0, 0])
            seen[0] += 1
            seen[1] += 1 if authorized else 0

    def auth_seen(self, port, path):
        with self._lock:
            return tuple(self._auth.get((port, path), (0, 0)))

    def last_request(self):
        with self._lock:
            return self._last_request

    def next_frame(self):
        with self._lock:
            self._frames += 1
            return self._frames

    def frame_sent(self, n):
        with self._lock:
            self._last_frame = (n, time.monotonic())

    def last_frame(self):
        with self._lock:
            n, at = self._last_frame
        return n, int((time.monotonic() - at) * 1000)

    def cut(self):
        with self._lock:
            self.cuts += 1

    def hits(self, path):
        with self._lock:
            return self._hits.get(path, 0), self._served.get(path, 0)

    def count_served(self, path):
        with self._lock:
            self._served[path] = self._served.get(path, 0) + 1

    def closed_port(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
        with self._lock:
            self._closed[port] = sock
        return port

    def silent_port(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind(("127.0.0.1", 0))
        sock.listen(16)
        port = sock.getsockname()[1]
        with self._lock:
            self._silent[port] = sock
        return port

    def open_port(self, port):
        with self._lock:
            sock = self._closed.pop(port, None)
            silent = self._silent.pop(port, None)
        if silent is not None and self.tls_pem:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(self.tls_pem)
            sock = context.wrap_socket(silent, server_side=True)
        if sock is None:
            return False
        extra = TestHTTPServer(("127.0.0.1", port), self.data_dir, root=self, sock=sock)
        with self._lock:
            self._extra.append(extra)
        extra.start()
        return True

    @property
    def port(self):
        return self.server_address[1]

    def start(self):
        t = threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.1},
                             name="http-server", daemon=True)
        t.start()
        return t

    def stop(self):
        self.stopping.set()
        with self._lock:
            extra, self._extra = self._extra, []
            closed, self._closed = list(self._closed.values()) + list(self._silent.values()), {}
            self._silent = {}
        for server in extra:
            server.shutdown()
            server.server_close()
        for sock in closed:
            sock.close()
        self.shutdown()
        self.server_close()


def main():
    ap = argparse.ArgumentParser(description="Loopback HTTP test server")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--data", default=os.getcwd())
    args = ap.parse_args()
    server = TestHTTPServer(("127.0.0.1", args.port), args.data)
    print("http://127.0.0.1:%d/ serving %s" % (server.port, args.data), flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
