#!/usr/bin/env python3
"""A loopback "printer": accepts raw socket jobs and records the exact bytes.

Each connection becomes OUTDIR/job-NNNNNN.bin, renamed into place when the
connection closes, so a file that exists is a whole job; job-NNNNNN.bin.time
holds the arrival time of its first byte and of its last. With --drop-after N,
the first connection is closed after N bytes (a printer that goes away
mid-job) and job-NNNNNN.dropped marks it; later connections are
recorded normally.

--mode stall: a tiny receive buffer, and nothing is ever read (a printer out
of paper that keeps the line open); --mode slow: about 50 KB/s.
--status ok|paper-out|cover-open|offline|silent: answers the ESC/POS
real-time status requests (DLE EOT 1, 2, 4) that open a connection, and
does not record them; silent answers nothing; chatty greets with a line of
text and answers everything it receives with more text, never a status.
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
    parser.add_argument("--mode", default="normal", choices=["normal", "stall", "slow"])
    parser.add_argument("--status", default="")
    args = parser.parse_args()
    answers = {
        "ok": {1: 0x12, 2: 0x12, 4: 0x12},
        "paper-out": {1: 0x12, 2: 0x32, 4: 0x72},
        "cover-open": {1: 0x1A, 2: 0x16, 4: 0x12},
        "offline": {1: 0x1A, 2: 0x12, 4: 0x12},
        "silent": {},
        "chatty": {},
    }.get(args.status)

    os.makedirs(args.out, exist_ok=True)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.mode == "stall":
        server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
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
        querying = answers is not None
        with conn:
            if args.status == "chatty":
                conn.sendall(b"PRINTER READY\r\n")
            if args.mode == "stall":
                # Never read; wait for the sender to give up and close.
                while True:
                    time.sleep(0.2)
                    try:
                        if conn.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b"":
                            break
                    except BlockingIOError:
                        continue
                    except OSError:
                        break
                open(os.path.join(args.out, "job-%06d.stalled" % number), "w").close()
                return
            while True:
                try:
                    data = conn.recv(1024 if args.mode == "slow" else 65536)
                except OSError:
                    data = b""
                if not data:
                    break
                if args.mode == "slow":
                    time.sleep(0.02)
                if first_byte is None:
                    first_byte = time.time()
                received += data
                if args.status == "chatty":
                    try:
                        conn.sendall(b"OK\r\n")
                    except OSError:
                        pass
                while querying and len(received) >= 3 and received[:2] == b"\x10\x04":
                    if received[2] in answers:
                        conn.sendall(bytes([answers[received[2]]]))
                    del received[:3]
                if querying and received and received[:1] != b"\x10":
                    querying = False
                last_byte = time.time()
                if 0 <= limit <= len(received):
                    # Vanish mid-job: nothing is recorded as delivered, only
                    # a marker that the drop happened.
                    conn.shutdown(socket.SHUT_RDWR)
                    open(os.path.join(args.out, "job-%06d.dropped" % number), "w").close()
                    return
        if not received:
            return  # only status queries, or nothing: no job
        path = os.path.join(args.out, "job-%06d.bin" % number)
        if first_byte is not None:
            with open(path + ".time", "w") as f:
                f.write("%.6f\n%.6f\n" % (first_byte, last_byte))
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
