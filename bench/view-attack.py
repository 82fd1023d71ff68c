#!/usr/bin/env python3
"""What slow connections and unbounded bodies cost 'velmor view'.

Starts the view over two simulated spectrometers (loopback only), attacks it
and reports the server's threads, its resident memory and how long a new
client waits for GET / and GET /api/state during the attack. Bounded: 100
connections, about 15 s per attack, three view processes in turn.

Usage: python3 bench/view-attack.py <velmor-sim> <velmor>
"""

import gzip
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

SLOW_CONNECTIONS = 100
ATTACK_SECONDS = 12
PROBE_TIMEOUT = 15.0


def status_of(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return line.split()[1]
    return "?"


def view_pid(log):
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                    arguments = cmdline.read().split(b"\0")
                if os.path.basename(arguments[0]) == b"velmor" and log.encode() in arguments:
                    return int(entry)
            except OSError:
                pass
    raise RuntimeError("the view process was not found")


class View:
    """One view process over two simulated spectrometers."""

    def __init__(self, sim, velmor):
        self.work = tempfile.TemporaryDirectory()
        log = os.path.join(self.work.name, "view.log")
        self.process = subprocess.Popen(
            [sim, "--devices", "2", "--", velmor, "view", "--port", "0", "--log", log],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        address = self.process.stdout.readline().strip()
        self.port = int(address.rsplit(":", 1)[1].strip("/"))
        self.host = f"127.0.0.1:{self.port}"
        self.pid = view_pid(log)

    def figures(self):
        return (f"threads {status_of(self.pid, 'Threads')}, "
                f"memory {int(status_of(self.pid, 'VmRSS')) // 1024} MB "
                f"(peak {int(status_of(self.pid, 'VmHWM')) // 1024} MB)")

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=PROBE_TIMEOUT)

    def answer_time(self, path):
        start = time.monotonic()
        try:
            with self.connect() as client:
                client.sendall(f"GET {path} HTTP/1.1\r\nHost: {self.host}\r\nConnection: close\r\n\r\n".encode())
                reply = client.recv(64)
            elapsed = time.monotonic() - start
            return f"{elapsed * 1000:.0f} ms ({reply.split(b' ')[1].decode() if reply else 'closed'})"
        except OSError:
            return f"> {PROBE_TIMEOUT:.0f} s (no answer)"

    def probe(self, moment):
        print(f"  {moment}: {self.figures()}; new client: GET / {self.answer_time('/')}, "
              f"GET /api/state {self.answer_time('/api/state')}", flush=True)

    def close(self):
        self.process.send_signal(2)
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.work.cleanup()


def slow_headers(view, stop):
    connections = []
    for _ in range(SLOW_CONNECTIONS):
        try:
            connection = view.connect()
            connection.sendall(f"GET / HTTP/1.1\r\nHost: {view.host}\r\n".encode())
            connections.append(connection)
        except OSError:
            pass
    line = 0
    while not stop.wait(3):
        for connection in connections:
            try:
                connection.sendall(f"X-Slow-{line}: 1\r\n".encode())
            except OSError:
                pass
        line += 1
    for connection in connections:
        connection.close()


def post_head(view, extra):
    return (f"POST /api/settings HTTP/1.1\r\nHost: {view.host}\r\nOrigin: http://{view.host}\r\n"
            f"Content-Type: application/json\r\n{extra}\r\n").encode()


def chunked_body(view, stop):
    megabyte = b"1" * (1 << 20)
    chunk = f"{len(megabyte):x}\r\n".encode() + megabyte + b"\r\n"
    try:
        with view.connect() as client:
            client.sendall(post_head(view, "Transfer-Encoding: chunked\r\n"))
            for _ in range(50):
                if stop.is_set():
                    break
                client.sendall(chunk)
            client.sendall(b"0\r\n\r\n")
            client.recv(64)
    except OSError:
        pass


def gzip_body(view, stop):
    body = gzip.compress(b" " * 15_000_000)
    try:
        with view.connect() as client:
            client.sendall(post_head(view, f"Content-Encoding: gzip\r\nContent-Length: {len(body)}\r\n") + body)
            client.recv(64)
    except OSError:
        pass


def attack(sim, velmor, name, attacker):
    view = View(sim, velmor)
    try:
        time.sleep(2)
        print(f"{name}", flush=True)
        view.probe("before")
        stop = threading.Event()
        thread = threading.Thread(target=attacker, args=(view, stop))
        thread.start()
        time.sleep(2)
        view.probe("during, 2 s in")
        time.sleep(ATTACK_SECONDS - 2 - 2)
        view.probe(f"during, {ATTACK_SECONDS - 2} s in")
        stop.set()
        thread.join(60)
        view.probe("after")
    finally:
        view.close()


def main():
    sim, velmor = sys.argv[1], sys.argv[2]
    attack(sim, velmor, f"{SLOW_CONNECTIONS} connections sending one header line every 3 s", slow_headers)
    attack(sim, velmor, "a 50 MB body sent chunked", chunked_body)
    attack(sim, velmor, "a 15 KB gzip body that inflates to 15 MB", gzip_body)


if __name__ == "__main__":
    main()
