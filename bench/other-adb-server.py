#!/usr/bin/env python3
"""Another tool's adb server, of another version, for measuring how Kelvane
behaves beside it (bench/guest-of-adb.sh).

It listens on 127.0.0.1:PORT and answers as an adb server of VERSION would:
host:version with its version, host:track-devices and host:devices with an
empty list.  host:kill (what an adb client of another version sends before it
starts its own server) ends it; like the adb of an IDE that watches its
server, it comes back BACK seconds later and, if a server of another version
holds the port by then, asks that one to quit (host:kill) and takes the port
again.  Each time it is ended, a line goes to --kills FILE.

    python3 other-adb-server.py [--port 5037] [--version 39] [--back 3]
                                [--kills FILE] [--churn RATE --for SECONDS]

With --churn, the list changes RATE times a second for SECONDS once a
client tracks it ("SER1\tdevice", "SER2\tdevice", ...), host:devices
answering the current one: a stand-in for a list that changes fast.
"""

import argparse
import socket
import threading
import time

current = b""


def request(sock, service):
    data = service.encode()
    sock.sendall(b"%04x" % len(data) + data)


def answer_version(port):
    """The version that answers on the port, or None."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as sock:
            request(sock, "host:version")
            reply = sock.recv(12)
            return int(reply[8:12], 16) if reply[:4] == b"OKAY" else None
    except (OSError, ValueError):
        return None


def take_port(port, version):
    """Listens on the port, first asking a server of another version to quit."""
    while True:
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            listener.bind(("127.0.0.1", port))
            listener.listen(16)
            return listener
        except OSError:
            listener.close()
        other = answer_version(port)
        if other is not None and other != version:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=2) as sock:
                    request(sock, "host:kill")
                    sock.recv(4)
            except OSError:
                pass
        time.sleep(0.2)


def frame(text):
    return b"%04x" % len(text) + text


def churn(conn, rate, seconds):
    """Changes the list `rate` times a second for `seconds`."""
    global current
    for i in range(1, int(rate * seconds) + 1):
        current = b"SER%d\tdevice\n" % i
        try:
            conn.sendall(frame(current))
        except OSError:
            return
        time.sleep(1.0 / rate)


def serve(listener, version, rate, seconds):
    """Serves until asked to quit."""
    tracking = []
    while True:
        conn, _ = listener.accept()
        conn.settimeout(2)
        try:
            length = int(conn.recv(4), 16)
            service = conn.recv(length).decode()
        except (OSError, ValueError):
            conn.close()
            continue
        if service == "host:version":
            conn.sendall(b"OKAY0004%04x" % version)
        elif service in ("host:track-devices", "host:devices"):
            conn.sendall(b"OKAY" + frame(current))
            if service == "host:track-devices":
                tracking.append(conn)
                if rate:
                    threading.Thread(target=churn, args=(conn, rate, seconds), daemon=True).start()
                continue
        elif service == "host:kill":
            conn.sendall(b"OKAY")
            conn.close()
            for other in tracking:
                other.close()
            listener.close()
            return
        else:
            conn.sendall(b"FAIL0000")
        conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=5037)
    parser.add_argument("--version", type=int, default=39)
    parser.add_argument("--back", type=float, default=3.0)
    parser.add_argument("--kills")
    parser.add_argument("--churn", type=float, default=0)
    parser.add_argument("--for", dest="seconds", type=float, default=10)
    args = parser.parse_args()
    while True:
        serve(take_port(args.port, args.version), args.version, args.churn, args.seconds)
        if args.kills:
            with open(args.kills, "a") as kills:
                kills.write("%.1f killed\n" % time.time())
        time.sleep(args.back)


if __name__ == "__main__":
    main()
