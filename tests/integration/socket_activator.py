#!/usr/bin/env python3
"""Starts cupsd the way systemd's cups.socket does: this process owns the
listening socket and starts `cupsd -l` on it when a client connects and no
cupsd runs (at start, after a crash, after cupsd exits when idle). The
socket, and so its owner's pid, never change while cupsd comes and goes.

  socket_activator.py SOCKET PIDFILE -- cupsd ARGS...
"""
import os
import select
import signal
import socket
import sys
import time


def main():
    path, pidfile = sys.argv[1], sys.argv[2]
    command = sys.argv[sys.argv.index("--") + 1:]
    if os.path.exists(path):
        os.unlink(path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    os.chmod(path, 0o777)
    listener.listen(128)
    listener.set_inheritable(True)
    child = None
    stopping = False

    def stop(*_):
        nonlocal stopping
        stopping = True

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    while not stopping:
        if child is not None:
            done, _ = os.waitpid(child, os.WNOHANG)
            if done:
                child = None
        if child is None:
            # Started on demand: only once a client is waiting.
            ready, _, _ = select.select([listener], [], [], 0.05)
            if not ready:
                continue
            child = os.fork()
            if child == 0:
                os.dup2(listener.fileno(), 3)
                os.environ["LISTEN_FDS"] = "1"
                os.environ["LISTEN_PID"] = str(os.getpid())
                os.environ["LISTEN_FDNAMES"] = "cups.socket"
                os.execvp(command[0], command)
            with open(pidfile + ".tmp", "w") as f:
                f.write(str(child))
            os.replace(pidfile + ".tmp", pidfile)
        else:
            time.sleep(0.05)
    if child is not None:
        os.kill(child, signal.SIGTERM)
        os.waitpid(child, 0)
    os.unlink(path)


if __name__ == "__main__":
    main()
