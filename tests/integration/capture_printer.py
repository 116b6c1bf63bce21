#!/usr/bin/env python3
"""A loopback "printer": accepts raw socket jobs and records the exact bytes.

Each connection becomes OUTDIR/job-NNNNNN.bin, renamed into place when the
connection closes, so a file that exists is a whole job; job-NNNNNN.bin.time
holds the arrival time of its first byte. With --drop-after N,
the first connection is closed after N bytes (a printer that goes away
mid-job) and job-NNNNNN.dropped marks it; later connections are
recorded normally.
"""
import argparse
import os
import socket
import sys
import threading
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--drop-after", type=int, default=-1)
    args = parser.parse_args()

    os.makedirs(args.out, exist_ok=True)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.getsockname()[1]))
    os.rename(tmp, args.port_file)

    counter = [0]
    drop = [args.drop_after]

    def serve(conn, number, limit):
        received = bytearray()
        first_byte = None
        with conn:
            while True:
                data = conn.recv(65536)
                if not data:
                    break
                if first_byte is None:
                    first_byte = time.time()
                received += data
                if 0 <= limit <= len(received):
                    # Vanish mid-job: nothing is recorded as delivered, only
                    # a marker that the drop happened.
                    conn.shutdown(socket.SHUT_RDWR)
                    open(os.path.join(args.out, "job-%06d.dropped" % number), "w").close()
                    return
        path = os.path.join(args.out, "job-%06d.bin" % number)
        if first_byte is not None:
            with open(path + ".time", "w") as f:
                f.write("%.6f\n" % first_byte)
        with open(path + ".part", "wb") as f:
            f.write(received)
        os.rename(path + ".part", path)

    while True:
        conn, _ = server.accept()
        # Numbered here, in the order the connections came in.
        counter[0] += 1
        limit = drop[0]
        drop[0] = -1
        threading.Thread(target=serve, args=(conn, counter[0], limit), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
