#!/usr/bin/python3
"""Loopback ONVIF cameras for the tests: SOAP 1.2 over HTTP, WS-Security or
HTTP Digest logins, Media (ver10) and Media2 (ver20), and WS-Discovery.

Usage: onvif_server.py [--bind ADDR] [--port N] [--discovery-port N] [--multicast]
                       [--advertise MODE,...] [--http-port N] [--rtsp-port N]
                       [--snapshot-uri URI] [--log FILE]

One HTTP port serves several cameras, one per path prefix:

  /onvif/<service>            the "wsse" camera
  /cam/<mode>/onvif/<service> the camera of that mode (MODES below)

and with --mode-ports each camera also on a port of its own at
/onvif/<service>, where an onvif://host:port address finds it.

with the services device_service, media_service and, where the camera has
Media2, media2_service. GetServices and GetCapabilities hand out absolute
XAddrs on this host and port. Modes:

  wsse          WS-Security UsernameToken (PasswordDigest) only; its clock
                runs 3 h ahead and Created must be within 5 s of it (a
                nonce may come again, as most cameras allow). Media and
                Media2, one H.264 profile.
  digest        HTTP Digest (MD5, qop=auth) only; WS-Security headers are
                ignored, so a request without Digest gets 401.
  media         no Media2 (not in GetServices; its path answers 404).
  media2        an H.265 profile first, then H.264; Media (ver10) lists only
                the H.264 one, as its encodings have no H.265.
  two-profiles  two profiles whose snapshots are different pictures
                (640x480 H.264 and 320x240 JPEG).
  dirty-uris    media URIs wrapped in blanks, tabs, CR and LF.
  no-snapshot   GetSnapshotUri: Media faults ter:ActionNotSupported, Media2
                answers an empty Uri; the capabilities say SnapshotUri false.
  silent        reads the request and never answers.

Every camera but "silent" uses WS-Security unless it is "digest". The login
is USER / PASSWORD below; GetSystemDateAndTime needs none. A refused login
gets a SOAP fault env:Sender / ter:NotAuthorized with HTTP 400, as most
cameras send (some send 401). Unknown operations get env:Receiver /
ter:ActionNotSupported with HTTP 500.

Media URIs point at the test servers: snapshots at http_server.py's
/files/<picture> (--http-port, default $ORVELLA_HTTP_PORT), streams at
rtsp_server.py's /h264 and /h265 (--rtsp-port, default $ORVELLA_RTSP_PORT).
With --snapshot-uri every profile's snapshot is that URI instead
(orvella-simcam --onvif hands out its own /image.jpg).

Everything listens on --bind (default 127.0.0.1).

WS-Discovery: a UDP socket on the same address (--discovery-port, 0 picks one)
answers a Probe for NetworkVideoTransmitter (or no type) with one
ProbeMatches per camera (--advertise; all but "silent" by default), sent
back to the sender. With --multicast it also listens on 239.255.255.250:3702,
joined on the loopback interface: only for a network namespace of its own
whose multicast route is lo (onvif_check.py makes one), never on a shared
network.

Every request goes to the log (--log) as a line "POST <path> <operation>
auth=<ok|none|bad|clock|-> <status>" and every probe as "PROBE
<unicast|multicast> matches=<n>"; no passwords. Once serving it prints
"port=N discovery_port=M".
"""
import argparse
import base64
import datetime
import hashlib
import os
import re
import secrets
import socket
import struct
import sys
import threading
import uuid
import xml.etree.ElementTree as ET
from collections import namedtuple
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import onvif_answers as A

USER, PASSWORD = "admin", "p@ss&w:rd"
CLOCK_SLACK = 5  # seconds either side of the camera's clock
REALM = "SimCam"

Camera = namedtuple("Camera", "auth offset media2 profiles dirty snapshot silent", defaults=(
    "wsse", 0, True, (A.MAIN,), False, True, False))
MODES = {
    "wsse": Camera(offset=3 * 3600),
    "digest": Camera(auth="digest"),
    "media": Camera(media2=False),
    "media2": Camera(profiles=(A.H265, A.MAIN)),
    "two-profiles": Camera(profiles=(A.MAIN, A.SUB)),
    "dirty-uris": Camera(dirty=True),
    "no-snapshot": Camera(snapshot=False),
    "silent": Camera(silent=True),
}
SERVICES = {"device_service": "device", "media_service": "media", "media2_service": "media2"}
PATH = re.compile(r"^(?:/cam/([\w-]+))?/onvif/(\w+)$")


def parse_time(text):
    """An xs:dateTime as seconds since the epoch (UTC when no zone is given)."""
    t = datetime.datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
    if t.tzinfo is None:
        t = t.replace(tzinfo=datetime.timezone.utc)
    return t.timestamp()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "SimCam/1.0"
    disable_nagle_algorithm = True

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        self.send(404, b"", "text/plain")

    def do_POST(self):
        m = PATH.match(self.path.split("?", 1)[0])
        mode = (m.group(1) or self.server.mode) if m else None
        cam = MODES.get(mode)
        service = SERVICES.get(m.group(2)) if m else None
        body = self.rfile.read(int(self.headers.get("Content-Length", 0) or 0))
        if cam is None or service is None or (service == "media2" and not cam.media2):
            return self.send(404, b"", "text/plain")
        if cam.silent:
            self.server.log("POST %s - auth=- silent" % self.path)
            return self.wait_forever()
        prefix = "/cam/%s" % mode if m.group(1) else ""
        ctx = A.Context(self.server.host, self.server.port, prefix, self.server.http_port, self.server.rtsp_port,
                        cam, self.server.clock() + cam.offset, mode, self.server.snapshot_uri)
        try:
            envelope = ET.fromstring(body)
            header = envelope.find("s:Header", A.NS)
            request = list(envelope.find("s:Body", A.NS))[0]
            op = request.tag.rpartition("}")[2]
        except (ET.ParseError, TypeError, IndexError):
            header, request, op = None, None, "-"
        auth = "-"
        if op != "GetSystemDateAndTime":
            # An HTTP login is checked before the body is read as SOAP (clients
            # send an empty body until challenged).
            auth = self.digest_login() if cam.auth == "digest" else self.wsse_login(header, ctx.time_now)
            if auth != "ok" and cam.auth == "digest":
                return self.challenge(op, auth)
        if request is None:
            return self.reply(op, auth, 400, A.fault("Sender", "ter:WellFormed", "Not a SOAP 1.2 envelope"))
        if auth not in ("ok", "-"):
            return self.reply(op, auth, 400, A.fault("Sender", "ter:NotAuthorized", "Sender not Authorized"))
        status, answer = A.answer(ctx, service, request)
        self.reply(op, auth, status, answer)

    # --- logins ------------------------------------------------------------

    def wsse_login(self, header, now):
        token = None if header is None else header.find("wsse:Security/wsse:UsernameToken", A.NS)
        if token is None:
            return "none"
        fields = {k: token.find(k, A.NS) for k in ("wsse:Username", "wsse:Password", "wsse:Nonce", "wsu:Created")}
        if any(v is None or not v.text for v in fields.values()):
            return "bad"
        if not fields["wsse:Password"].get("Type", "").endswith("#PasswordDigest"):
            return "bad"
        try:
            nonce = base64.b64decode(fields["wsse:Nonce"].text.strip(), validate=True)
            created = fields["wsu:Created"].text.strip()
            if abs(parse_time(created) - now) > CLOCK_SLACK:
                return "clock"
        except ValueError:
            return "bad"
        digest = base64.b64encode(hashlib.sha1(nonce + created.encode() + PASSWORD.encode()).digest()).decode()
        if fields["wsse:Username"].text.strip() != USER or not secrets.compare_digest(
                digest, fields["wsse:Password"].text.strip()):
            return "bad"
        return "ok"

    def digest_login(self):
        given = self.headers.get("Authorization", "")
        if not given.startswith("Digest "):
            return "none"
        f = {k: (q if q is not None and q != "" else v) for k, q, v in
             re.findall(r'(\w+)=(?:"((?:[^"\\]|\\.)*)"|([^,\s]*))', given[7:])}
        if (f.get("username") != USER or f.get("realm") != REALM or f.get("qop") != "auth"
                or f.get("algorithm", "MD5").upper() != "MD5" or f.get("uri") != self.path
                or not self.server.known_nonce(f.get("nonce", ""))):
            return "bad"
        md5 = lambda s: hashlib.md5(s.encode()).hexdigest()  # noqa: E731
        ha1 = md5("%s:%s:%s" % (USER, REALM, PASSWORD))
        ha2 = md5("POST:" + self.path)
        want = md5(":".join((ha1, f["nonce"], f.get("nc", ""), f.get("cnonce", ""), "auth", ha2)))
        return "ok" if secrets.compare_digest(want, f.get("response", "")) else "bad"

    def challenge(self, op, auth):
        self.server.log("POST %s %s auth=%s 401" % (self.path, op, auth))
        self.send_response(401)
        self.send_header("WWW-Authenticate", 'Digest realm="%s", qop="auth", algorithm=MD5, nonce="%s"'
                         % (REALM, self.server.new_nonce()))
        self.send_header("Content-Length", "0")
        self.end_headers()

    # --- answers -----------------------------------------------------------

    def reply(self, op, auth, status, xml):
        self.server.log("POST %s %s auth=%s %d" % (self.path, op, auth, status))
        self.send(status, xml.encode(), "application/soap+xml; charset=utf-8")

    def send(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def wait_forever(self):
        self.connection.settimeout(0.2)
        while not self.server.stopping.is_set():
            try:
                if self.connection.recv(4096) == b"":
                    break
            except socket.timeout:
                continue
            except OSError:
                break
        self.close_connection = True


class OnvifServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port, http_port, rtsp_port, log_path, advertise=None, mode="wsse", bind="127.0.0.1",
                 snapshot_uri=None):
        super().__init__((bind, port), Handler)
        self.snapshot_uri = snapshot_uri
        self.mode = mode  # the camera at /onvif/...
        self.host, self.port = self.server_address[:2]
        self.http_port, self.rtsp_port = http_port, rtsp_port
        self.clock = lambda: datetime.datetime.now(datetime.timezone.utc).timestamp()
        self.advertise = advertise or [m for m, cam in MODES.items() if not cam.silent]
        self.stopping = threading.Event()
        self._lock = threading.Lock()
        self._log = open(log_path, "a") if log_path else None
        self._digest_nonces = set()

    def log(self, line):
        with self._lock:
            if self._log:
                self._log.write(line + "\n")
                self._log.flush()

    def new_nonce(self):
        nonce = secrets.token_hex(16)
        with self._lock:
            self._digest_nonces.add(nonce)
        return nonce

    def known_nonce(self, nonce):
        with self._lock:
            return nonce in self._digest_nonces

    def cameras(self):
        """The XAddrs of the cameras that answer discovery."""
        return [("" if mode == "wsse" else "/cam/" + mode, uuid.uuid5(uuid.NAMESPACE_URL, mode))
                for mode in self.advertise]


class Discovery:
    """WS-Discovery: answers Probes on a unicast port and, when asked, on the
    multicast group."""
    GROUP, PORT = "239.255.255.250", 3702

    def __init__(self, onvif, port, multicast):
        self.onvif = onvif
        self.sockets = [(self._socket((onvif.host, port)), "unicast")]
        self.port = self.sockets[0][0].getsockname()[1]
        if multicast:
            sock = self._socket(("", self.PORT))
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                            struct.pack("4s4s", socket.inet_aton(self.GROUP), socket.inet_aton("127.0.0.1")))
            self.sockets.append((sock, "multicast"))
        self.sequence = 0

    @staticmethod
    def _socket(address):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.settimeout(0.2)
        return sock

    def start(self):
        for sock, kind in self.sockets:
            threading.Thread(target=self.serve, args=(sock, kind), daemon=True).start()

    def serve(self, sock, kind):
        while not self.onvif.stopping.is_set():
            try:
                data, sender = sock.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            answers = A.probe_matches(data, self.onvif.host, self.onvif.port, self.onvif.cameras(), self)
            self.onvif.log("PROBE %s matches=%d" % (kind, len(answers)))
            for answer in answers:
                sock.sendto(answer.encode(), sender)

    def next_number(self):
        self.sequence += 1
        return self.sequence

    def stop(self):
        for sock, _ in self.sockets:
            sock.close()


def main():
    p = argparse.ArgumentParser(description="Loopback ONVIF cameras")
    p.add_argument("--bind", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--discovery-port", type=int, default=0)
    p.add_argument("--multicast", action="store_true")
    p.add_argument("--advertise", type=lambda s: s.split(","), help="modes that answer a Probe (default: all "
                   "but silent; wsse is the camera at /onvif)")
    p.add_argument("--http-port", type=int, default=int(os.environ.get("ORVELLA_HTTP_PORT", "80")))
    p.add_argument("--rtsp-port", type=int, default=int(os.environ.get("ORVELLA_RTSP_PORT", "554")))
    p.add_argument("--snapshot-uri")
    p.add_argument("--log")
    p.add_argument("--mode-ports", action="store_true",
                   help="also serve each camera at /onvif/... on a port of its own, as a camera's address "
                        "names it (printed as <mode>_port=N)")
    args = p.parse_args()
    server = OnvifServer(args.port, args.http_port, args.rtsp_port, args.log, args.advertise, bind=args.bind,
                         snapshot_uri=args.snapshot_uri)
    discovery = Discovery(server, args.discovery_port, args.multicast)
    discovery.start()
    own = []
    if args.mode_ports:
        for mode in MODES:
            one = OnvifServer(0, args.http_port, args.rtsp_port, None, [], mode)
            one._log = server._log
            threading.Thread(target=one.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
            own.append((mode, one))
    print("port=%d discovery_port=%d" % (server.port, discovery.port) +
          "".join(" %s_port=%d" % (mode.replace("-", "_"), one.port) for mode, one in own), flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        discovery.stop()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
