#!/usr/bin/python3
"""Debian's lighttpd as a camera that wants a login or speaks https, on free
loopback ports, serving the data directory (the test pictures) under

  /basic/<name>         Basic login
  /digest/<name>        Digest login, SHA-256 and MD5 offered
  /digest-md5/<name>    Digest login, MD5 only
  /open/<name>          no login

and the picture stream and SOAP endpoint of our own server (http_server.py's
/mjpeg and /soap, proxied as they come, POST bodies too) under
/<login>/mjpeg and /<login>/soap (login: basic, digest, digest-md5, open),
with the same query, on http (port `http_port`) and https (port `https_port`, a self-signed
certificate for "camera.invalid" made by openssl at start). Logins: the USERS
below. Every request line and header of the login paths goes to `log_path`
(lighttpd writes its error log unbuffered), so a test can count requests and
see which Authorization they carried. `key_pin` is the certificate's public
key in libcurl's pinned-key form, as openssl computes it.

Run by hand: lighttpd_server.py [--data DIR] (prints the ports; Ctrl-C stops).
"""
import argparse
import base64
import ctypes
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# Name and password; the second password holds every character that ends or
# splits a URL's user info.
USERS = [("user", "pass"), ("orvella", "Pa#s@:/?%w0rd")]
PATHS = {"basic": 'method" => "basic"', "digest": 'method" => "digest", "algorithm" => "SHA-256|MD5"',
         "digest-md5": 'method" => "digest", "algorithm" => "MD5"'}
LIGHTTPD = "/usr/sbin/lighttpd"
OPENSSL = "/usr/bin/openssl"


def _die_with_parent():
    # lighttpd must not outlive the servers that started it.
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except Exception:
        pass


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _config(root, users, pem, log, http_port, https_port, stream_port):
    auth = ",\n".join('  "/%s/" => ("%s, "realm" => "camera", "require" => "valid-user")' % (p, m)
                      for p, m in PATHS.items())
    streams = ", ".join('"/%s/%s" => "/%s"' % (p, what, what) for p in list(PATHS) + ["open"]
                        for what in ("mjpeg", "soap"))
    return """server.document-root = "%(root)s"
server.bind = "127.0.0.1"
server.port = %(http)d
server.modules = ("mod_auth", "mod_authn_file", "mod_openssl", "mod_proxy")
server.stream-response-body = 2
server.errorlog = "%(log)s"
server.max-keep-alive-requests = 1000
mimetype.assign = (".jpg" => "image/jpeg", ".png" => "image/png")
auth.backend = "plain"
auth.backend.plain.userfile = "%(users)s"
auth.require = (
%(auth)s
)
debug.log-request-header = "enable"
$HTTP["url"] =~ "^/[a-z0-9-]+/(mjpeg|soap)$" {
  proxy.server = ("" => (("host" => "127.0.0.1", "port" => %(stream)d)))
  proxy.header = ("map-urlpath" => (%(streams)s))
}
$SERVER["socket"] == "127.0.0.1:%(https)d" {
  ssl.engine = "enable"
  ssl.pemfile = "%(pem)s"
}
""" % {"root": root, "http": http_port, "https": https_port, "log": log, "users": users, "pem": pem, "auth": auth,
       "stream": stream_port, "streams": streams}


class LighttpdServer:
    def __init__(self, data_dir, stream_port=0):
        self.data_dir = data_dir
        self.stream_port = stream_port  # our own server's, for /<login>/mjpeg
        self.work = tempfile.mkdtemp(prefix="orvella-lighttpd-")
        self.log_path = os.path.join(self.work, "requests.log")
        self.process = None
        self.http_port = self.https_port = 0
        self.key_pin = ""
        self.pem_path = os.path.join(self.work, "server.pem")  # key and certificate

    def _certificate(self):
        key, cert = os.path.join(self.work, "key.pem"), os.path.join(self.work, "cert.pem")
        subprocess.check_call([OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                               "-days", "2", "-subj", "/CN=camera.invalid"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
        der = subprocess.check_output([OPENSSL, "x509", "-in", cert, "-pubkey", "-noout"])
        spki = subprocess.check_output([OPENSSL, "pkey", "-pubin", "-outform", "der"], input=der)
        self.key_pin = "sha256//" + base64.b64encode(hashlib.sha256(spki).digest()).decode()
        pem = self.pem_path
        with open(pem, "wb") as out:
            for part in (key, cert):
                with open(part, "rb") as f:
                    out.write(f.read())
        return pem

    def start(self):
        root = os.path.join(self.work, "root")
        os.mkdir(root)
        for name in list(PATHS) + ["open"]:
            os.symlink(self.data_dir, os.path.join(root, name))
        users = os.path.join(self.work, "users")
        with open(users, "w") as f:
            f.write("".join("%s:%s\n" % u for u in USERS))
        pem = self._certificate()
        for _ in range(5):  # a port taken between choosing and binding: choose again
            self.http_port, self.https_port = _free_port(), _free_port()
            conf = os.path.join(self.work, "lighttpd.conf")
            with open(conf, "w") as f:
                f.write(_config(root, users, pem, self.log_path, self.http_port, self.https_port,
                                self.stream_port))
            self.process = subprocess.Popen([LIGHTTPD, "-D", "-f", conf], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                            preexec_fn=_die_with_parent)
            if self._serving():
                return
            self.stop_process()
        raise RuntimeError("lighttpd did not start; see " + self.log_path)

    def _serving(self):
        for _ in range(100):
            if self.process.poll() is not None:
                return False
            try:
                for port in (self.http_port, self.https_port):
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.05)
        return False

    def stop_process(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def variables(self):
        return {"ORVELLA_LIGHTTPD_PORT": str(self.http_port), "ORVELLA_LIGHTTPD_TLS_PORT": str(self.https_port),
                "ORVELLA_LIGHTTPD_LOG": self.log_path, "ORVELLA_LIGHTTPD_KEY": self.key_pin}

    def stop(self):
        try:
            self.stop_process()
        finally:
            shutil.rmtree(self.work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description="lighttpd as a camera with logins and https")
    ap.add_argument("--data", default=os.getcwd())
    args = ap.parse_args()
    server = LighttpdServer(os.path.abspath(args.data))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    server.start()
    print(" ".join("%s=%s" % kv for kv in server.variables().items()), flush=True)
    try:
        signal.pause()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
