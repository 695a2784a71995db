#!/usr/bin/env python3
"""Runs a test program with loopback test servers around it.

Usage: with_servers.py -- program [args...]
"""
import os
import subprocess
import sys


def main():
    argv = sys.argv[1:]
    if argv and argv[0] == "--":
        argv = argv[1:]
    argv = [a for a in argv if a]
    return subprocess.call(argv, env=os.environ.copy())


if __name__ == "__main__":
    sys.exit(main())
