#!/usr/bin/python3
"""Runs a test program with the loopback test servers around it.

Usage: with_servers.py [-- program [args...]]

Starts the HTTP server (http_server.py) and the FTP server (ftp_server.py) on
free loopback ports, serving a fresh temporary data directory that
make_test_images.py (when present) fills with test pictures. The program sees:

  ORVELLA_HTTP_PORT   port of the HTTP server
  ORVELLA_FTP_PORT    port of the FTP server (user "user"/"pass", anonymous)
  ORVELLA_DATA_DIR    the data directory (a Linux path)
  ORVELLA_PYTHON      this Python interpreter

The servers stop and the directory goes when the program ends, however it
ends; the exit code is the program's (128 + signal when a signal killed it).
Without a program the servers run until interrupted (Ctrl-C), for use by hand.
"""
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from ftp_server import TestFTPServer  # noqa: E402
from http_server import TestHTTPServer  # noqa: E402


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


def main():
    argv = sys.argv[1:]
    if argv and argv[0] == "--":
        argv = argv[1:]
    argv = [a for a in argv if a]  # an empty emulator argument from CMake

    data_dir = tempfile.mkdtemp(prefix="orvella-data-")
    http = ftp = child = None
    code = 1
    signal.signal(signal.SIGTERM, _raise_stop)
    signal.signal(signal.SIGHUP, _raise_stop)
    try:
        maker = os.path.join(HERE, "make_test_images.py")
        if os.path.exists(maker):
            subprocess.check_call([sys.executable, maker, data_dir])

        http = TestHTTPServer(("127.0.0.1", 0), data_dir)
        http.start()
        ftp = TestFTPServer(("127.0.0.1", 0), data_dir)
        ftp.start()
        http.ftp = ftp

        env = os.environ.copy()
        env["ORVELLA_HTTP_PORT"] = str(http.port)
        env["ORVELLA_FTP_PORT"] = str(ftp.port)
        env["ORVELLA_DATA_DIR"] = data_dir
        env["ORVELLA_PYTHON"] = sys.executable

        if not argv:
            print("ORVELLA_HTTP_PORT=%d ORVELLA_FTP_PORT=%d ORVELLA_DATA_DIR=%s" % (http.port, ftp.port, data_dir),
                  flush=True)
            print("Serving; Ctrl-C stops.", flush=True)
            while True:
                signal.pause()
            return 0

        child = subprocess.Popen(argv, env=env, preexec_fn=_die_with_parent)
        code = child.wait()
        child = None
        if code < 0:
            code = 128 - code
    except (KeyboardInterrupt, Stop):
        code = 130
    finally:
        # A second signal (timeout(1) signals the whole group) must not cut
        # the clean-up short.
        for s in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(s, signal.SIG_IGN)
        try:
            if child is not None:
                child.terminate()
                try:
                    child.wait(5)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        finally:
            if http is not None:
                http.stop()
            if ftp is not None:
                ftp.stop()
            shutil.rmtree(data_dir, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
