#!/usr/bin/env python3
"""A loopback "printer": accepts raw socket jobs and records the exact bytes.

Each connection becomes OUTDIR/job-NNNNNN.bin, renamed into place when the
connection closes, so a file that exists is a whole job; job-NNNNNN.bin.time
holds the arrival time of its first byte and of its last. With --drop-after N,
the first connection is closed after N bytes (a printer that goes away
mid-job) and job-NNNNNN.dropped marks it; later connections are
recorded normally.

--mode stall: a tiny receive buffer, and nothing is ever read (a printer out
of paper that keeps the line open); --mode slow: about 50 KB/s through a
printer-sized 4 KB window.
--status ok|paper-out|cover-open|offline|silent: answers the ESC/POS
real-time status requests (DLE EOT 1, 2, 4) that open a connection, and
does not record them; silent answers nothing; chatty greets with a line of
text and answers everything it receives with more text, never a status.

--escpos: an ESC/POS receipt printer instead, printing at --print-rate bytes
per second from a --buffer of received bytes, onto OUTDIR/paper.bin (every
byte but the commands). It answers DLE EOT at once, sends automatic status
once GS a asks for it (not with --no-asb), and answers a GS ( H process ID
request when everything before it is printed (not with --no-id). Faults, each
once: --stop-at N (printed bytes; --stop-kind paper, cover or feed: it stops,
says so, and after --stop-ms prints on what it holds, as TM printers do; a new
roll shows <<ROLL>> on the paper; with --discard it clears its buffer instead),
--paper-out-at N and --reload-ms (the same, for paper), --power-loss-at N
(received bytes; the buffer is lost and the connection reset; back after
--reboot-ms), --drop-after N (received bytes; it closes the connection after
printing what it has). Where a receipt was cut, the paper shows <<CUT>>. As TM
printers do, it prints on what it holds when the host goes away, and keeps the
latest process ID answer it could not send for the next connection (answers
that pile up shrink to the latest). --latest-only: answers go out every 30 ms,
only the latest of those that came meanwhile. --window N: the receive buffer
of its TCP stack (a printer's is often 4 KB). --asb-every-ms N: automatic
status every N ms, changed or not.
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
    parser.add_argument("--escpos", action="store_true")
    parser.add_argument("--print-rate", type=float, default=2900.0)
    parser.add_argument("--step-ms", type=float, default=5.0)
    parser.add_argument("--buffer", type=int, default=4096)
    parser.add_argument("--paper-out-at", type=int, default=-1)
    parser.add_argument("--reload-ms", type=int, default=200)
    parser.add_argument("--stop-at", type=int, default=-1)
    parser.add_argument("--stop-kind", default="paper", choices=["paper", "cover", "feed"])
    parser.add_argument("--stop-ms", type=int, default=200)
    parser.add_argument("--discard", action="store_true")
    parser.add_argument("--latest-only", action="store_true")
    parser.add_argument("--window", type=int, default=0)
    parser.add_argument("--asb-every-ms", type=int, default=0)
    parser.add_argument("--power-loss-at", type=int, default=-1)
    parser.add_argument("--reboot-ms", type=int, default=200)
    parser.add_argument("--no-id", action="store_true")
    parser.add_argument("--no-asb", action="store_true")
    args = parser.parse_args()
    if args.paper_out_at >= 0:
        args.stop_at, args.stop_kind, args.stop_ms = args.paper_out_at, "paper", args.reload_ms
    if args.escpos:
        return EscPosPrinter(args).run()
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
    elif args.mode == "slow":
        server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
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


class EscPosPrinter:
    """One emulated ESC/POS printer; each connection is served in turn."""

    ASB = {None: bytes([0x10, 0, 0, 0]), "paper": bytes([0x18, 0, 0x0C, 0]),
           "cover": bytes([0x38, 0, 0, 0]), "feed": bytes([0x58, 0, 0, 0])}
    STATUS = {None: {1: 0x12, 2: 0x12, 4: 0x12}, "paper": {1: 0x1A, 2: 0x32, 4: 0x72},
              "cover": {1: 0x1A, 2: 0x16, 4: 0x12}, "feed": {1: 0x1A, 2: 0x1A, 4: 0x12}}
    CUT = b"<<CUT>>"
    ROLL = b"<<ROLL>>"

    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.printed = 0    # data bytes put on paper, over the printer's life
        self.received = 0   # bytes received, over its life
        self.stopped = None  # the kind of stop under way
        self.down_until = 0.0
        self.reserved = b""  # the answer nobody was connected to take
        self.current = None  # the host's latest connection
        # One print head: what a new connection brings prints after what the
        # printer still holds from the last one.
        self.head = threading.Lock()
        os.makedirs(args.out, exist_ok=True)
        self.paper = open(os.path.join(args.out, "paper.bin"), "ab", buffering=0)

    def run(self):
        server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if self.args.window > 0:
            server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.args.window)
        server.bind(("127.0.0.1", 0))
        server.listen(16)
        tmp = self.args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(str(server.getsockname()[1]))
        os.rename(tmp, self.args.port_file)
        while True:
            conn, _ = server.accept()
            if time.time() < self.down_until:
                self.reset(conn)  # switched off: nobody answers
                continue
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    @staticmethod
    def reset(conn):
        import struct
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()

    def send(self, conn, data):
        try:
            conn.sendall(data)
        except OSError:
            pass

    def serve(self, conn):
        pending = bytearray()  # received, not yet printed
        rx = bytearray()       # received, not yet sorted from real-time commands
        state = {"asb": False, "lost": False, "eof": False, "latest": b""}
        cond = threading.Condition()
        with self.lock:
            reserved, self.reserved = self.reserved, b""
            self.current = conn
        if reserved:
            self.send(conn, reserved)
        printer = threading.Thread(target=self.print_loop,
                                   args=(conn, pending, state, cond), daemon=True)
        printer.start()
        if self.args.latest_only:
            threading.Thread(target=self.send_latest, args=(conn, state), daemon=True).start()
        if self.args.asb_every_ms > 0:
            threading.Thread(target=self.chatter, args=(conn, state), daemon=True).start()
        drop_at = self.args.drop_after
        while True:
            with cond:
                while len(pending) >= self.args.buffer and not state["lost"]:
                    cond.wait(0.01)
            if state["lost"]:
                return
            try:
                data = conn.recv(1024)
            except OSError:
                data = b""
            if not data:
                break
            if 0 <= drop_at < self.received + len(data):
                # It closes after what had come by then: a piece sent in
                # one go arrives whole or not at all.
                try:
                    data += conn.recv(65536, socket.MSG_DONTWAIT)
                except OSError:
                    pass
            with self.lock:
                start = self.received
                self.received += len(data)
                lose = 0 <= self.args.power_loss_at < self.received
                if lose:
                    self.args.power_loss_at = -1
                dropping = 0 <= drop_at < self.received
                if dropping:
                    self.args.drop_after = -1
                    drop_at = -1
            if lose:
                with cond:
                    state["lost"] = True
                    pending.clear()
                    cond.notify_all()
                self.paper.write(self.CUT)
                self.down_until = time.time() + self.args.reboot_ms / 1000.0
                self.reset(conn)
                return
            rx += data
            self.sort(conn, rx, pending, cond)
            if dropping:
                break
        with cond:
            state["eof"] = True
            cond.notify_all()
        with self.lock:
            if self.current is conn:
                self.current = None
        printer.join()
        conn.close()

    def sort(self, conn, rx, pending, cond):
        # DLE EOT is answered on arrival, whatever waits to be printed.
        while rx:
            if rx[0] == 0x10:
                if len(rx) < 3:
                    return
                if rx[1] == 0x04 and rx[2] in (1, 2, 4):
                    self.send(conn, bytes([self.STATUS[self.stopped][rx[2]]]))
                    del rx[:3]
                    continue
            with cond:
                pending.append(rx[0])
                cond.notify_all()
            del rx[0]

    def print_loop(self, conn, pending, state, cond):
        with self.head:
            self.print_held(conn, pending, state, cond)

    def print_held(self, conn, pending, state, cond):
        step = self.args.step_ms / 1000.0
        credit = 0.0  # bytes the head may print by now: paced by the clock
        last = time.time()
        while True:
            with cond:
                while not pending and not state["eof"] and not state["lost"]:
                    cond.wait(0.05)
                    last = time.time()
                    credit = 0.0
                if state["lost"] or (not pending and state["eof"]):
                    return
            time.sleep(step)
            now = time.time()
            credit = min(credit + self.args.print_rate * (now - last), self.args.print_rate)
            last = now
            budget = int(credit)
            credit -= budget
            while budget > 0:
                with cond:
                    if state["lost"] or not pending:
                        break
                    command = self.command(pending)
                    if command is None:
                        if state["eof"]:
                            return  # a command cut off at the end: never finished
                        cond.wait(0.01)  # the rest of it is on its way
                        continue
                    if command == b"":
                        byte = bytes(pending[:1])
                        del pending[:1]
                    else:
                        del pending[:len(command)]
                    cond.notify_all()
                if command:
                    self.obey(conn, command, state)
                    continue
                self.paper.write(byte)
                budget -= 1
                with self.lock:
                    self.printed += 1
                    stop = self.printed == self.args.stop_at
                if stop:
                    self.stop(conn, pending, state, cond)

    @staticmethod
    def command(pending):
        # b"": a byte to print; None: a command not yet whole.
        if pending[0] == 0x1D and len(pending) >= 2:
            if pending[1] == 0x61:
                return bytes(pending[:3]) if len(pending) >= 3 else None
            if pending[1] == 0x28:
                return bytes(pending[:11]) if len(pending) >= 11 else None
        elif pending[0] == 0x1D:
            return None
        return b""

    def obey(self, conn, command, state):
        if command[1] == 0x61 and not self.args.no_asb:
            state["asb"] = command[2] != 0
            if state["asb"]:
                self.send(conn, self.ASB[self.stopped])
        elif command[1:3] == b"\x28\x48" and command[5:7] == b"00" and not self.args.no_id:
            answer = b"\x37\x22" + command[7:11] + b"\x00"
            if not state["eof"]:
                if self.args.latest_only:
                    state["latest"] = answer
                else:
                    self.send(conn, answer)
                return
            # The host went away: to its new connection, else kept for it.
            with self.lock:
                current = self.current if self.current is not conn else None
                if current is None:
                    self.reserved = answer
            if current is not None:
                self.send(current, answer)

    def chatter(self, conn, state):
        # Some printers send their status far more often than it changes.
        while not state["lost"] and not state["eof"]:
            time.sleep(self.args.asb_every_ms / 1000.0)
            if state["asb"]:
                self.send(conn, self.ASB[self.stopped])

    def send_latest(self, conn, state):
        while not state["lost"] and not state["eof"]:
            time.sleep(0.03)
            latest, state["latest"] = state["latest"], b""
            if latest:
                self.send(conn, latest)

    def stop(self, conn, pending, state, cond):
        kind = self.args.stop_kind
        if self.args.discard:
            self.paper.write(self.CUT)
        elif kind == "paper":
            self.paper.write(self.ROLL)
        self.stopped = kind
        if state["asb"]:
            self.send(conn, self.ASB[kind])
        time.sleep(self.args.stop_ms / 1000.0)
        if self.args.discard:
            with cond:
                pending.clear()
                cond.notify_all()
        self.stopped = None
        if state["asb"]:
            self.send(conn, self.ASB[None])


if __name__ == "__main__":
    sys.exit(main())
