#!/usr/bin/python3
"""A hostile RTSP camera over TCP, for the RTSP fault tests: hand-made H.264
(no encoder) and answers a real camera would never give.

Usage: rtsp_hostile_server.py [--data-dir DIR] [--pem FILE]

Ports (free loopback ports; printed as "port=N other_port=M tls_port=T"):

  port        the camera:
    /small          a 64x48 H.264 stream (I_PCM key frames: the picture is
                    exact), 10 pictures a second, RTP interleaved over TCP
    /huge           a stream whose parameter sets claim 16000x16000 pictures
                    with 16 reference pictures; the pictures are all-skip
                    P slices after one tiny key frame
    /deep           the same at 6000x6000: one picture fits the cap, sixteen
                    do not
    /huge-answer    DESCRIBE answered with Content-Length: 1900000000 and
                    zeros as fast as the client takes them
    /redirect-away  DESCRIBE answered 302 to other_port's /stream
    /redirect-home  DESCRIBE answered 302 to this port's /small
    /forbidden      every request but OPTIONS answered 403, each logged as
                    "REFUSED <method>" to DIR/rtsp_refused.log
  other_port  another camera that asks every request for a Basic login
              (401); it appends "CONNECT", "REQUEST <method>" and
              "AUTHORIZATION <value>" lines to DIR/rtsp_other.log
  tls_port    the paths of `port` over TLS (rtsps) with the certificate
              of FILE (key and certificate), when given

Check by hand with an independent client, e.g.
  ffprobe -rtsp_transport tcp rtsp://127.0.0.1:N/small
  gst-launch-1.0 rtspsrc location=rtsp://127.0.0.1:N/small protocols=tcp ! fakesink
"""
import argparse
import base64
import os
import socket
import ssl
import struct
import sys
import threading
import time

WIDTH, HEIGHT = 64, 48
SIZES = {"/huge": 16000, "/deep": 6000}  # pixels a side
CONTENT_LENGTH = 1900000000


class Bits:
    """An RBSP bit writer with Exp-Golomb codes."""

    def __init__(self):
        self.chunks = []
        self.size = 0

    def u(self, n, value):
        self.add(format(value, "0%db" % n) if n else "")

    def add(self, text):
        """Bits as a string of '0' and '1'."""
        self.chunks.append(text)
        self.size += len(text)

    def ue(self, value):
        v = value + 1
        n = v.bit_length()
        self.u(n - 1, 0)
        self.u(n, v)

    def se(self, value):
        self.ue(2 * value - 1 if value > 0 else -2 * value)

    def align_zero(self):
        self.add("0" * (-self.size % 8))

    def raw(self, data):
        self.add("".join(format(b, "08b") for b in data))

    def rbsp(self):
        self.add("1")
        self.align_zero()
        return int("".join(self.chunks), 2).to_bytes(self.size // 8, "big")


def nal(header, rbsp):
    """A NAL unit with emulation prevention."""
    out = bytearray([header])
    zeros = 0
    for b in rbsp:
        if zeros >= 2 and b <= 3:
            out.append(3)
            zeros = 0
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def sps(width_mbs, height_mbs, refs):
    b = Bits()
    b.u(8, 66)  # baseline
    b.u(8, 0)
    b.u(8, 51)  # level 5.1
    b.ue(0)  # seq_parameter_set_id
    b.ue(0)  # log2_max_frame_num_minus4: 16 frame numbers
    b.ue(2)  # pic_order_cnt_type: output order is decode order
    b.ue(refs)
    b.u(1, 0)  # gaps_in_frame_num_value_allowed_flag
    b.ue(width_mbs - 1)
    b.ue(height_mbs - 1)
    b.u(1, 1)  # frame_mbs_only_flag
    b.u(1, 1)  # direct_8x8_inference_flag
    b.u(1, 0)  # frame_cropping_flag
    b.u(1, 0)  # vui_parameters_present_flag
    return nal(0x67, b.rbsp())


def pps():
    b = Bits()
    b.ue(0)
    b.ue(0)
    b.u(1, 0)  # CAVLC
    b.u(1, 0)
    b.ue(0)  # one slice group
    b.ue(0)
    b.ue(0)
    b.u(1, 0)
    b.u(2, 0)
    b.se(0)
    b.se(0)
    b.se(0)
    b.u(1, 1)  # deblocking_filter_control_present_flag
    b.u(1, 0)
    b.u(1, 0)
    return nal(0x68, b.rbsp())


def idr(mbs, pcm, idr_id):
    """An IDR picture: I_PCM macroblocks carrying the given 384 bytes each,
    then flat ones (16x16 DC prediction, no residual: one byte each)."""
    b = Bits()
    b.ue(0)  # first_mb_in_slice
    b.ue(7)  # I, all slices
    b.ue(0)
    b.u(4, 0)  # frame_num
    b.ue(idr_id)
    b.u(1, 0)  # no_output_of_prior_pics_flag
    b.u(1, 0)  # long_term_reference_flag
    b.se(0)
    b.ue(1)  # deblocking off
    for block in pcm[:mbs]:
        b.ue(25)  # I_PCM
        b.align_zero()
        b.raw(block)
    # I_16x16 DC without coded blocks (ue 3), chroma DC (ue 0), mb_qp_delta 0,
    # and a DC block without coefficients
    b.add("00100111" * (mbs - len(pcm)))
    return nal(0x65, b.rbsp())


def skipped(mbs, frame_num):
    """A reference P picture whose every macroblock is skipped."""
    b = Bits()
    b.ue(0)
    b.ue(5)  # P, all slices
    b.ue(0)
    b.u(4, frame_num % 16)
    b.u(1, 0)  # num_ref_idx_active_override_flag
    b.u(1, 0)  # ref_pic_list_modification_flag_l0
    b.u(1, 0)  # adaptive_ref_pic_marking_mode_flag
    b.se(0)
    b.ue(1)
    b.ue(mbs)  # mb_skip_run
    return nal(0x61, b.rbsp())


def small_blocks():
    """The 64x48 picture's macroblocks: luma 16 + 12 * mb index, flat gray chroma."""
    return [bytes([16 + 12 * i] * 256 + [128] * 128) for i in range((WIDTH // 16) * (HEIGHT // 16))]


class Stream:
    """Access units of one path, as lists of NAL units."""

    def __init__(self, path):
        self.huge = path in SIZES
        if self.huge:
            side = SIZES[path] // 16
            self.sps, self.mbs = sps(side, side, 16), side * side
        else:
            self.sps, self.mbs = sps(WIDTH // 16, HEIGHT // 16, 1), (WIDTH // 16) * (HEIGHT // 16)
        self.pps = pps()
        blocks = [] if self.huge else small_blocks()
        self.idr = [idr(self.mbs, blocks, i) for i in range(2)]

    def sdp(self, base):
        sets = ",".join(base64.b64encode(x).decode() for x in (self.sps, self.pps))
        return ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=hostile\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
                "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                "a=fmtp:96 packetization-mode=1;profile-level-id=42e033;sprop-parameter-sets=%s\r\n"
                "a=control:%strack1\r\n" % (sets, base))

    def unit(self, n):
        if n % 50 == 0 or not self.huge:
            return [self.sps, self.pps, self.idr[n % 2]]
        return [skipped(self.mbs, n % 50)]


def rtp_packets(nals, seq, ts):
    """RTP packets (single NAL or FU-A) of one access unit."""
    out = []
    chunks = []
    for unit in nals:
        if len(unit) <= 1400:
            chunks.append(unit)
            continue
        head, body = unit[0], unit[1:]
        for i in range(0, len(body), 1400):
            start, end = i == 0, i + 1400 >= len(body)
            chunks.append(bytes([(head & 0xe0) | 28, (0x80 if start else 0) | (0x40 if end else 0) | (head & 0x1f)])
                          + body[i:i + 1400])
    for i, chunk in enumerate(chunks):
        marker = 0x80 if i == len(chunks) - 1 else 0
        out.append(struct.pack("!BBHII", 0x80, marker | 96, (seq + i) & 0xffff, ts & 0xffffffff, 0x4f52564c) + chunk)
    return out


class Connection:
    def __init__(self, server, sock, port):
        self.server, self.sock, self.port = server, sock, port
        self.lock = threading.Lock()
        self.playing = None
        self.closed = threading.Event()

    def send(self, data):
        with self.lock:
            self.sock.sendall(data)

    def answer(self, cseq, status="200 OK", headers=(), body=b""):
        head = "RTSP/1.0 %s\r\nCSeq: %s\r\n" % (status, cseq) + "".join(h + "\r\n" for h in headers)
        if body:
            head += "Content-Length: %d\r\n" % len(body)
        self.send(head.encode() + b"\r\n" + body)

    def requests(self):
        """(method, url, headers) of each request; interleaved data is skipped."""
        buf = b""
        while True:
            while buf[:1] == b"$":
                if len(buf) < 4:
                    break
                size = struct.unpack("!H", buf[2:4])[0]
                if len(buf) < 4 + size:
                    break
                buf = buf[4 + size:]
            end = buf.find(b"\r\n\r\n")
            if end >= 0 and buf[:1] != b"$":
                lines = buf[:end].decode("latin-1").split("\r\n")
                buf = buf[end + 4:]
                headers = {}
                for line in lines[1:]:
                    if ":" in line:
                        k, v = line.split(":", 1)
                        headers[k.strip().lower()] = v.strip()
                body = int(headers.get("content-length", "0"))
                while len(buf) < body:
                    more = self.sock.recv(65536)
                    if not more:
                        return
                    buf += more
                buf = buf[body:]
                parts = lines[0].split()
                yield (parts[0] if parts else "", parts[1] if len(parts) > 1 else "", headers)
                continue
            more = self.sock.recv(65536)
            if not more:
                return
            buf += more

    def serve(self):
        try:
            for method, url, headers in self.requests():
                if not self.handle(method, url, headers):
                    break
        except (OSError, ssl.SSLError):
            pass
        finally:
            self.closed.set()
            try:
                self.sock.close()
            except OSError:
                pass

    def handle(self, method, url, headers):
        cseq = headers.get("cseq", "0")
        path = "/" + url.split("://", 1)[-1].split("/", 1)[-1] if "://" in url else url
        path = path.rstrip("/")
        if method == "OPTIONS":
            self.answer(cseq, headers=["Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER"])
            return True
        if path.startswith("/forbidden"):
            if self.server.refused_log:
                with open(self.server.refused_log, "a") as f:
                    f.write("REFUSED %s\n" % method)
            self.answer(cseq, "403 Forbidden")
            return True
        if method == "DESCRIBE":
            return self.describe(cseq, path)
        if method == "SETUP":
            self.answer(cseq, headers=["Transport: RTP/AVP/TCP;unicast;interleaved=0-1", "Session: 4f52564c;timeout=60"])
            return True
        if method == "PLAY":
            self.answer(cseq, headers=["Session: 4f52564c"])
            if self.playing is None:
                stream = Stream(path.rsplit("/track1", 1)[0])
                self.playing = threading.Thread(target=self.play, args=(stream,), daemon=True)
                self.playing.start()
            return True
        if method == "TEARDOWN":
            self.answer(cseq, headers=["Session: 4f52564c"])
            return False
        self.answer(cseq, headers=["Session: 4f52564c"])
        return True

    def describe(self, cseq, path):
        host = "127.0.0.1"
        if path == "/redirect-away":
            self.answer(cseq, "302 Moved", ["Location: rtsp://%s:%d/stream" % (host, self.server.other_port)])
            return True
        if path == "/redirect-home":
            self.answer(cseq, "302 Moved", ["Location: %s://%s:%d/small" % (self.scheme(), host, self.port)])
            return True
        if path == "/huge-answer":
            self.send(("RTSP/1.0 200 OK\r\nCSeq: %s\r\nContent-Type: application/sdp\r\nContent-Length: %d\r\n\r\n" %
                       (cseq, CONTENT_LENGTH)).encode())
            zeros = bytes(1 << 20)
            for _ in range(CONTENT_LENGTH >> 20):
                self.send(zeros)
            return False
        if path not in ("/small", "/huge", "/deep"):
            self.answer(cseq, "404 Not Found")
            return True
        base = "%s://%s:%d%s/" % (self.scheme(), host, self.port, path)
        body = Stream(path).sdp(base).encode()
        self.answer(cseq, headers=["Content-Type: application/sdp", "Content-Base: " + base], body=body)
        return True

    def scheme(self):
        return "rtsps" if isinstance(self.sock, ssl.SSLSocket) else "rtsp"

    def play(self, stream):
        seq, n = 0, 0
        start = time.monotonic()
        try:
            while not self.closed.is_set():
                for packet in rtp_packets(stream.unit(n), seq, n * 9000):
                    self.send(b"$\x00" + struct.pack("!H", len(packet)) + packet)
                    seq += 1
                n += 1
                delay = start + n * 0.1 - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        except OSError:
            pass


class Other:
    """The camera a redirect leads to: logs what reaches it, asks for Basic."""

    def __init__(self, sock, log_path):
        self.sock, self.log_path = sock, log_path

    def log(self, line):
        if self.log_path:
            with open(self.log_path, "a") as f:
                f.write(line + "\n")

    def serve(self):
        self.log("CONNECT")
        conn = Connection(None, self.sock, 0)
        try:
            for method, _url, headers in conn.requests():
                self.log("REQUEST " + method)
                if "authorization" in headers:
                    self.log("AUTHORIZATION " + headers["authorization"])
                conn.answer(headers.get("cseq", "0"), "401 Unauthorized", ['WWW-Authenticate: Basic realm="other"'])
        except OSError:
            pass
        finally:
            self.sock.close()


def listen():
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    sock.listen(16)
    return sock


def accept_loop(sock, handle):
    while True:
        try:
            client, _ = sock.accept()
        except OSError:
            return
        threading.Thread(target=handle, args=(client,), daemon=True).start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data-dir", default="")
    parser.add_argument("--pem", default="")
    args = parser.parse_args()

    class Server:
        pass

    server = Server()
    camera, other = listen(), listen()
    server.other_port = other.getsockname()[1]
    port = camera.getsockname()[1]
    log_path = os.path.join(args.data_dir, "rtsp_other.log") if args.data_dir else ""
    server.refused_log = os.path.join(args.data_dir, "rtsp_refused.log") if args.data_dir else ""
    threading.Thread(target=accept_loop, args=(camera, lambda c: Connection(server, c, port).serve()),
                     daemon=True).start()
    threading.Thread(target=accept_loop, args=(other, lambda c: Other(c, log_path).serve()), daemon=True).start()
    tls_port = 0
    if args.pem:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.pem)
        secure = listen()
        tls_port = secure.getsockname()[1]

        def handle_tls(client):
            try:
                client.settimeout(10)
                wrapped = context.wrap_socket(client, server_side=True)
                wrapped.settimeout(None)
            except (OSError, ssl.SSLError):
                client.close()
                return
            Connection(server, wrapped, tls_port).serve()

        threading.Thread(target=accept_loop, args=(secure, handle_tls), daemon=True).start()
    print("port=%d other_port=%d tls_port=%d" % (port, server.other_port, tls_port), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
