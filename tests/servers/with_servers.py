#!/usr/bin/python3
"""Runs a test program with the loopback test servers around it, or keeps the
servers running in the background for many programs.

Usage: with_servers.py [-- program [args...]]
       with_servers.py --start FILE | --stop FILE
       with_servers.py --use FILE -- program [args...]

Starts the HTTP server (http_server.py), the FTP server (ftp_server.py) and
the RTSP server (rtsp_server.py, GStreamer; left out with a warning when
GStreamer's Python bindings are missing), lighttpd as a camera with logins
and https (lighttpd_server.py) and ONVIF cameras (onvif_server.py) on free
loopback ports, serving a fresh
temporary data directory that make_test_images.py (when present) fills with
test pictures. The program sees:

  ORVELLA_HTTP_PORT   port of the HTTP server
  ORVELLA_FTP_PORT    port of the FTP server (user "user"/"pass", anonymous)
  ORVELLA_RTSP_PORT, ORVELLA_RTSP_SECURE_PORT, ORVELLA_RTSP_TLS_PORT, ORVELLA_RTSP_PID
                      the RTSP server's open, login and rtsps ports ("user"/"p@ss#w:rd";
                      rtsps with lighttpd's certificate) and its process, which
                      tests signal (see rtsp_server.py; Windows programs through
                      the HTTP server's /_rtsp)
  ORVELLA_DATA_DIR    the data directory (a Linux path)
  ORVELLA_PYTHON      this Python interpreter
  ORVELLA_RTSP_HOSTILE_PORT, ORVELLA_RTSP_HOSTILE_TLS_PORT
                      the hostile RTSP camera (rtsp_hostile_server.py) and
                      its rtsps port; it logs to ORVELLA_DATA_DIR/rtsp_other.log
  ORVELLA_LIGHTTPD_PORT, ORVELLA_LIGHTTPD_TLS_PORT, ORVELLA_LIGHTTPD_LOG,
  ORVELLA_LIGHTTPD_KEY  lighttpd's http and https ports, its request log
                      and its certificate's key (see lighttpd_server.py)
  ORVELLA_ONVIF_PORT, ORVELLA_ONVIF_DISCOVERY_PORT, ORVELLA_ONVIF_LOG
                      the ONVIF cameras (onvif_server.py: one per path
                      prefix), their WS-Discovery port (unicast UDP) and
                      their request log

The servers stop and the directory goes when the program ends, however it
ends; the exit code is the program's (128 + signal when a signal killed it).
Without a program the servers run until interrupted (Ctrl-C), for use by hand.

--start FILE starts the servers in the background and returns once they
serve; FILE then holds the four variables above as NAME=VALUE lines (test
programs read it when ORVELLA_SERVERS_FILE names it), its log goes to
FILE.log. They run until --stop FILE, or until the process that ran --start
(ctest: the fixture that starts them once for every test) has ended.
--use FILE runs a program with the variables of servers started so.
"""
import ctypes
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


class Stop(Exception):
    pass


def _raise_stop(signum, _frame):
    raise Stop(signum)


def _die_with_parent():
    # The program must not outlive us if we are killed outright.
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except Exception:
        pass


def _start_ports(script, args, name, hint=""):
    """A server script printing its "port=N ..." line: the process and the
    line's values, or (None, {}) when it cannot start."""
    try:
        server = subprocess.Popen([sys.executable, os.path.join(HERE, script)] + args, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, preexec_fn=_die_with_parent)
    except OSError as e:
        sys.stderr.write("with_servers: no %s: %s\n" % (name, e))
        return None, {}
    ready, _, _ = select.select([server.stdout], [], [], 30)
    line = server.stdout.readline().decode() if ready else ""
    ports = dict(kv.split("=", 1) for kv in line.split() if "=" in kv)
    if "port" not in ports:
        sys.stderr.write("with_servers: the %s did not start%s\n" % (name, hint))
        _end(server)
        return None, {}
    return server, ports


def _start_rtsp(pem):
    """The RTSP server process and its "port=N secure_port=M tls_port=T" line's values."""
    return _start_ports("rtsp_server.py", ["--pem", pem], "RTSP server",
                        " (GStreamer's RTSP server for Python missing?)")


def _start_hostile(data_dir, pem):
    """The hostile RTSP camera (rtsp_hostile_server.py) and its ports."""
    return _start_ports("rtsp_hostile_server.py", ["--data-dir", data_dir, "--pem", pem], "hostile RTSP camera")


def _start_onvif(data_dir, http_port, rtsp_ports):
    """The ONVIF cameras (onvif_server.py), pointing at our HTTP and RTSP servers."""
    return _start_ports("onvif_server.py", ["--http-port", str(http_port), "--rtsp-port", rtsp_ports.get("port", "0"),
                                            "--log", os.path.join(data_dir, "onvif.log"), "--mode-ports"],
                        "ONVIF cameras")


def _end(process):
    process.send_signal(signal.SIGCONT)  # a test may have left it stopped
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Servers:
    """The servers and their data directory, from start() to stop()."""

    def __init__(self):
        self.data_dir = tempfile.mkdtemp(prefix="orvella-data-")
        self.http = self.ftp = self.rtsp = self.lighttpd = None
        self.rtsp_ports = {}
        self.hostile, self.hostile_ports = None, {}
        self.onvif, self.onvif_ports = None, {}

    def start(self):
        from ftp_server import TestFTPServer
        from http_server import TestHTTPServer
        from lighttpd_server import LighttpdServer

        maker = os.path.join(HERE, "make_test_images.py")
        if os.path.exists(maker):
            subprocess.check_call([sys.executable, maker, self.data_dir])
        self.http = TestHTTPServer(("127.0.0.1", 0), self.data_dir)
        self.http.start()
        self.ftp = TestFTPServer(("127.0.0.1", 0), self.data_dir)
        self.ftp.start()
        self.http.ftp = self.ftp
        self.lighttpd = LighttpdServer(self.data_dir, self.http.port)
        self.lighttpd.start()
        self.http.tls_pem = self.lighttpd.pem_path
        self.rtsp, self.rtsp_ports = _start_rtsp(self.lighttpd.pem_path)
        self.http.rtsp_pid = self.rtsp.pid if self.rtsp else None
        self.hostile, self.hostile_ports = _start_hostile(self.data_dir, self.lighttpd.pem_path)
        self.onvif, self.onvif_ports = _start_onvif(self.data_dir, self.http.port, self.rtsp_ports)

    def variables(self):
        v = {"ORVELLA_HTTP_PORT": str(self.http.port), "ORVELLA_FTP_PORT": str(self.ftp.port),
             "ORVELLA_DATA_DIR": self.data_dir, "ORVELLA_PYTHON": sys.executable}
        if self.rtsp is not None:
            v.update(ORVELLA_RTSP_PORT=self.rtsp_ports["port"], ORVELLA_RTSP_SECURE_PORT=self.rtsp_ports["secure_port"],
                     ORVELLA_RTSP_TLS_PORT=self.rtsp_ports["tls_port"], ORVELLA_RTSP_PID=str(self.rtsp.pid))
        if self.hostile is not None:
            v.update(ORVELLA_RTSP_HOSTILE_PORT=self.hostile_ports["port"],
                     ORVELLA_RTSP_HOSTILE_TLS_PORT=self.hostile_ports["tls_port"])
        if self.onvif is not None:
            v.update(ORVELLA_ONVIF_PORT=self.onvif_ports["port"],
                     ORVELLA_ONVIF_DISCOVERY_PORT=self.onvif_ports["discovery_port"],
                     ORVELLA_ONVIF_LOG=os.path.join(self.data_dir, "onvif.log"),
                     ORVELLA_ONVIF_MODE_PORTS=",".join("%s=%s" % (k[:-5], v) for k, v in self.onvif_ports.items()
                                                       if k.endswith("_port") and k != "discovery_port"))
        v.update(self.lighttpd.variables())
        return v

    def stop(self):
        try:
            if self.http is not None:
                self.http.stop()
            if self.ftp is not None:
                self.ftp.stop()
            if self.rtsp is not None:
                _end(self.rtsp)
            if self.lighttpd is not None:
                self.lighttpd.stop()
            if self.hostile is not None:
                _end(self.hostile)
            if self.onvif is not None:
                _end(self.onvif)
        finally:
            shutil.rmtree(self.data_dir, ignore_errors=True)


def _ignore_signals():
    # A second signal (timeout(1) signals the whole group) must not cut the
    # clean-up short.
    for s in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(s, signal.SIG_IGN)


def run(argv):
    servers = Servers()
    child = None
    code = 1
    signal.signal(signal.SIGTERM, _raise_stop)
    signal.signal(signal.SIGHUP, _raise_stop)
    try:
        servers.start()
        env = os.environ.copy()
        env.update(servers.variables())
        if not argv:
            print(" ".join("%s=%s" % kv for kv in servers.variables().items() if kv[0] != "ORVELLA_PYTHON"),
                  flush=True)
            print("Serving; Ctrl-C stops.", flush=True)
            while True:
                signal.pause()
        child = subprocess.Popen(argv, env=env, preexec_fn=_die_with_parent)
        code = child.wait()
        child = None
        if code < 0:
            code = 128 - code
    except (KeyboardInterrupt, Stop):
        code = 130
    finally:
        _ignore_signals()
        try:
            if child is not None:
                child.terminate()
                try:
                    child.wait(5)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        finally:
            servers.stop()
    return code


def _alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def serve(path, watched):
    """The background side of --start: serves until SIGTERM or until the
    watched process has ended, then removes `path`."""
    servers = Servers()
    signal.signal(signal.SIGTERM, _raise_stop)
    signal.signal(signal.SIGHUP, _raise_stop)
    try:
        servers.start()
        variables = dict(servers.variables(), ORVELLA_SERVERS_PID=str(os.getpid()))
        with open(path + ".tmp", "w") as f:
            f.write("".join("%s=%s\n" % kv for kv in variables.items()))
        os.replace(path + ".tmp", path)  # readers never see half a file
        while _alive(watched):
            time.sleep(1)
    except (KeyboardInterrupt, Stop):
        pass
    finally:
        _ignore_signals()
        try:
            servers.stop()
        finally:
            if _owner(path) == os.getpid():
                os.remove(path)
    return 0


def _read(path):
    """The NAME=VALUE lines of a servers file; {} when there is none."""
    try:
        with open(path) as f:
            return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    except OSError:
        return {}


def _owner(path):
    """The pid of the background servers that wrote `path`, or None."""
    try:
        return int(_read(path)["ORVELLA_SERVERS_PID"])
    except (KeyError, ValueError):
        return None


def use(path, argv):
    variables = _read(path)
    if "ORVELLA_HTTP_PORT" not in variables:
        sys.stderr.write("no test servers in %s (with_servers.py --start)\n" % path)
        return 1
    os.execvpe(argv[0], argv, dict(os.environ, **variables))


def stop(path):
    pid = _owner(path)
    if pid is not None and _alive(pid):
        os.kill(pid, signal.SIGTERM)
        # They remove the file once stopped; their exit may be reaped late.
        for _ in range(200):
            if _owner(path) != pid or not _alive(pid):
                break
            time.sleep(0.05)
    if os.path.exists(path):
        os.remove(path)
    return 0


def start(path):
    stop(path)  # servers left by a run that was killed
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    # Detached, and with none of our output: ctest waits for the output of a
    # test to close, so a server holding it would hold ctest.
    with open(path + ".log", "w") as log:
        server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", path, str(os.getppid())],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    for _ in range(600):
        if _owner(path) == server.pid:
            with open(path) as f:
                sys.stdout.write(f.read())
            return 0
        if server.poll() is not None:
            break
        time.sleep(0.05)
    if server.poll() is None:
        server.kill()
    with open(path + ".log") as log:
        sys.stderr.write("the test servers did not start:\n" + log.read())
    return 1


def main():
    argv = sys.argv[1:]
    if len(argv) == 2 and argv[0] in ("--start", "--stop"):
        return (start if argv[0] == "--start" else stop)(argv[1])
    if len(argv) == 3 and argv[0] == "--serve":
        return serve(argv[1], int(argv[2]))
    if len(argv) >= 4 and argv[0] == "--use" and argv[2] == "--":
        return use(argv[1], [a for a in argv[3:] if a])
    if argv and argv[0] == "--":
        argv = argv[1:]
    return run([a for a in argv if a])  # an empty emulator argument from CMake is dropped


if __name__ == "__main__":
    sys.exit(main())
