#!/usr/bin/env python3
"""A stand-in Android phone for end-to-end tests against the real adb server.

It plays one phone on adb's TCP transport on 127.0.0.1, so that
``adb connect 127.0.0.1:PORT`` makes the real adb server list it, and it
answers the few ``shell:`` services that Kelvane sends to a phone.

Usage::

    python3 standin_phone.py --port 0 --mode authorized|unauthorized|offline
                             [--lingguang] [--no-wifi] [--record FILE] [--ready-file FILE]
                             [--verbose]

--port PORT        TCP port on 127.0.0.1; 0 picks a free one.
--mode MODE        authorized:   answers the connection request with its own,
                                 so the server lists the phone as "device";
                   unauthorized: answers with an authentication token and keeps
                                 asking, so the server lists "unauthorized";
                   offline:      accepts the TCP connection and never answers,
                                 so the server lists "offline".
--lingguang        Lingguang (com.antgroup.leopard.android) is installed.
--record FILE      appends every service line the phone is asked to open
                   (without its trailing NUL; a line feed inside one is written
                   as the two characters backslash and n), one per line, flushed
                   at once.  The file is created if missing.
--ready-file FILE  once listening, the chosen port and a line feed are written
                   to FILE (atomically, by renaming a temporary file).  Without
                   it the port is printed as the first line of standard output.
--verbose          logs the traffic to standard error (silent otherwise).

The phone serves any number of connections (the server reconnecting, several
streams on one connection) until SIGTERM or SIGINT, on which it closes its
sockets and exits with status 0.  Its serial for adb is ``127.0.0.1:PORT``.
SIGUSR1 is the user approving USB debugging: the phone becomes authorized.
Several phones are several processes.

Shell services (``shell:COMMAND``; the command is split like a shell would):

- ``pm list packages [OPTIONS] [FILTER]`` prints ``package:NAME`` for every
  installed package whose name contains FILTER.  Installed are "android",
  "com.android.settings", "com.android.shell", and with --lingguang also
  "com.antgroup.leopard.android".
- ``monkey ... -p PACKAGE ...`` prints a typical monkey run ending in the line
  "Events injected: 1" when PACKAGE is installed, otherwise the abort text of
  a real monkey ("** No activities found to run, monkey aborted.").
- ``ip -f inet addr show wlan0`` prints the interface with the address
  127.0.0.1/8, or nothing with --no-wifi (a phone not on Wi-Fi).
- any other command prints ``/system/bin/sh: COMMAND: not found``.

``tcpip:PORT`` answers "restarting in TCP mode port: PORT" and starts
listening on PORT of 127.0.0.1 as well, as the same phone (adb over Wi-Fi).

Plain ``shell:`` carries no exit status, so every answer is just text.  Every
other service is refused (CLSE).

Typical use from a test::

    phone = subprocess.Popen([sys.executable, "standin_phone.py", "--port", "0",
                              "--mode", "authorized", "--lingguang",
                              "--record", rec, "--ready-file", ready])
    # wait for `ready` to exist, read the port, then
    # `adb connect 127.0.0.1:PORT`, ..., `adb disconnect 127.0.0.1:PORT`,
    # phone.terminate(); phone.wait()
"""

import argparse
import os
import secrets
import selectors
import shlex
import signal
import socket
import struct
import sys
import tempfile

A_CNXN = 0x4E584E43
A_AUTH = 0x48545541
A_OPEN = 0x4E45504F
A_OKAY = 0x59414B4F
A_WRTE = 0x45545257
A_CLSE = 0x45534C43

COMMAND_NAMES = {
    A_CNXN: "CNXN", A_AUTH: "AUTH", A_OPEN: "OPEN",
    A_OKAY: "OKAY", A_WRTE: "WRTE", A_CLSE: "CLSE",
}

AUTH_TOKEN = 1
AUTH_SIGNATURE = 2
AUTH_RSAPUBLICKEY = 3

PROTOCOL_VERSION = 0x01000001
MAX_PAYLOAD = 256 * 1024
# Anything bigger than this in one message is not from an adb server.
MAX_ACCEPTED_PAYLOAD = 1024 * 1024
HEADER = struct.Struct("<6I")

BANNER = (b"device::ro.product.name=kelvane;ro.product.model=Standin;"
          b"ro.product.device=standin;features=cmd")

LINGGUANG_PACKAGE = "com.antgroup.leopard.android"
SYSTEM_PACKAGES = ["android", "com.android.settings", "com.android.shell"]

MODES = ("authorized", "unauthorized", "offline")


class Stop(Exception):
    """Raised by the signal handler to leave the serving loop."""


def checksum(data):
    return sum(data) & 0xFFFFFFFF


def pack_message(command, arg0, arg1, data=b""):
    return HEADER.pack(command, arg0, arg1, len(data), checksum(data),
                       command ^ 0xFFFFFFFF) + data


def installed_packages(lingguang):
    packages = list(SYSTEM_PACKAGES)
    if lingguang:
        packages.append(LINGGUANG_PACKAGE)
    return sorted(packages)


def pm_output(args, lingguang):
    """Text of `pm ARGS`; only `list packages` is known."""
    if args[:2] != ["list", "packages"]:
        return "Error: unknown command\n" if args else "usage: pm [subcommand]\n"
    name_filter = None
    rest = args[2:]
    i = 0
    while i < len(rest):
        word = rest[i]
        if word == "--user" or word == "--uid":
            i += 2
            continue
        if word.startswith("-"):
            i += 1
            continue
        if name_filter is None:
            name_filter = word
        i += 1
    return "".join("package:%s\n" % name
                   for name in installed_packages(lingguang)
                   if name_filter is None or name_filter in name)


def monkey_output(args, lingguang):
    """Text of a `monkey ARGS` run: one launch of the -p package, if installed."""
    package = None
    for i, word in enumerate(args[:-1]):
        if word == "-p":
            package = args[i + 1]
    lines = ["  bash arg: %s" % word for word in args]
    if package is None or package not in installed_packages(lingguang):
        lines.append("** No activities found to run, monkey aborted.")
        return "\n".join(lines) + "\n"
    lines.append("args: [%s]" % ", ".join(args))
    lines.extend(' arg: "%s"' % word for word in args)
    lines.append('data="%s"' % package)
    for i, word in enumerate(args[:-1]):
        if word == "-c":
            lines.append('data="%s"' % args[i + 1])
    lines.append("Events injected: 1")
    return "\n".join(lines) + "\n"


WLAN_OUTPUT = """30: wlan0: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc mq state UP group default qlen 3000
    inet 127.0.0.1/8 brd 127.255.255.255 scope global wlan0
       valid_lft forever preferred_lft forever
"""


def shell_output(command, lingguang, wifi=True):
    """What the phone's shell prints for COMMAND (as one text)."""
    try:
        words = shlex.split(command)
    except ValueError:
        words = command.split()
    if not words:
        return ""
    if words[0] == "pm":
        return pm_output(words[1:], lingguang)
    if words[0] == "monkey":
        return monkey_output(words[1:], lingguang)
    if words[0] == "ip":
        return WLAN_OUTPUT if wifi else ""
    return "/system/bin/sh: %s: not found\n" % words[0]


class Stream:
    """One stream opened by the server, answered with a fixed text."""

    def __init__(self, local_id, remote_id, chunks):
        self.local_id = local_id
        self.remote_id = remote_id
        self.chunks = chunks  # still to be written, in order


class Connection:
    """One TCP connection from the adb server."""

    def __init__(self, phone, sock, peer):
        self.phone = phone
        self.sock = sock
        self.peer = peer
        self.inbox = b""
        self.outbox = b""
        self.connected = False
        self.remote_max_payload = MAX_PAYLOAD
        self.streams = {}
        self.next_local_id = 1

    # --- sending -----------------------------------------------------------
    def send(self, command, arg0, arg1, data=b""):
        self.phone.log("%s -> %s %#x %#x %d bytes" % (
            self.peer, COMMAND_NAMES.get(command, hex(command)), arg0, arg1,
            len(data)))
        self.outbox += pack_message(command, arg0, arg1, data)

    # --- receiving ---------------------------------------------------------
    def feed(self, data):
        """Takes bytes from the socket; returns False when the connection must end."""
        if self.phone.mode == "offline":
            return True  # swallowed: this phone never answers
        self.inbox += data
        while len(self.inbox) >= HEADER.size:
            command, arg0, arg1, length, _check, magic = HEADER.unpack_from(self.inbox)
            if magic != command ^ 0xFFFFFFFF or length > MAX_ACCEPTED_PAYLOAD:
                self.phone.log("%s: malformed header, dropping the connection" % self.peer)
                return False
            if len(self.inbox) < HEADER.size + length:
                break
            payload = self.inbox[HEADER.size:HEADER.size + length]
            self.inbox = self.inbox[HEADER.size + length:]
            self.phone.log("%s <- %s %#x %#x %d bytes" % (
                self.peer, COMMAND_NAMES.get(command, hex(command)), arg0, arg1,
                length))
            self.handle(command, arg0, arg1, payload)
        return True

    def handle(self, command, arg0, arg1, payload):
        if command == A_CNXN:
            self.on_connect(arg1)
        elif command == A_AUTH:
            self.on_auth(arg0)
        elif command == A_OPEN:
            self.on_open(arg0, payload)
        elif command == A_OKAY:
            self.on_okay(arg0, arg1)
        elif command == A_WRTE:
            # Input to a stream (e.g. stdin for a shell) is acknowledged and
            # dropped; the commands here read nothing.
            if self.connected and arg1 in self.streams:
                self.send(A_OKAY, arg1, arg0)
        elif command == A_CLSE:
            # The server has closed its end: forget the stream, no answer.
            stream = self.streams.get(arg1)
            if stream is not None and stream.remote_id == arg0:
                del self.streams[arg1]
        # Anything else (e.g. a TLS request from a newer server) is ignored.

    def on_connect(self, max_payload):
        self.streams.clear()
        if max_payload > 0:
            self.remote_max_payload = max_payload
        if self.phone.mode == "authorized":
            self.connected = True
            self.send(A_CNXN, PROTOCOL_VERSION, MAX_PAYLOAD, BANNER)
        else:
            self.ask_for_auth()

    def on_auth(self, auth_type):
        if self.phone.mode != "unauthorized":
            return
        if auth_type == AUTH_SIGNATURE:
            # No signature is ever good enough: ask again.
            self.ask_for_auth()
        # A public key (type 3) is accepted silently: the user never approves.

    def ask_for_auth(self):
        self.send(A_AUTH, AUTH_TOKEN, 0, secrets.token_bytes(20))

    def on_open(self, remote_id, payload):
        service = payload.split(b"\0", 1)[0].decode("utf-8", "replace")
        self.phone.record(service)
        if not self.connected or remote_id == 0:
            self.send(A_CLSE, 0, remote_id)
            return
        if service.startswith("tcpip:") and service[len("tcpip:"):].isdigit():
            port = int(service[len("tcpip:"):])
            text = "restarting in TCP mode port: %d\n" % port
            self.phone.listen(port)
        elif not service.startswith("shell:"):
            self.send(A_CLSE, 0, remote_id)
            return
        else:
            text = shell_output(service[len("shell:"):], self.phone.lingguang, self.phone.wifi)
        data = text.encode("utf-8")
        size = max(1, min(self.remote_max_payload, MAX_PAYLOAD))
        chunks = [data[i:i + size] for i in range(0, len(data), size)]
        local_id = self.next_local_id
        self.next_local_id = (self.next_local_id % 0xFFFFFFFF) + 1
        stream = Stream(local_id, remote_id, chunks)
        self.streams[local_id] = stream
        self.send(A_OKAY, local_id, remote_id)
        self.write_next(stream)

    def on_okay(self, remote_id, local_id):
        stream = self.streams.get(local_id)
        if stream is not None and stream.remote_id == remote_id:
            self.write_next(stream)

    def write_next(self, stream):
        """Writes the next chunk (acknowledged by an OKAY), or closes the stream."""
        if stream.chunks:
            self.send(A_WRTE, stream.local_id, stream.remote_id, stream.chunks.pop(0))
        else:
            self.send(A_CLSE, stream.local_id, stream.remote_id)
            del self.streams[stream.local_id]


class Approve(Exception):  # raised by SIGUSR1's handler: the user approves USB debugging
    pass


class Phone:
    def __init__(self, mode, lingguang, record_path, verbose, wifi=True):
        self.wifi = wifi
        self.mode = mode
        self.lingguang = lingguang
        self.record_path = record_path
        self.verbose = verbose
        self.selector = selectors.DefaultSelector()
        self.listeners = []
        self.connections = {}

    def log(self, text):
        if self.verbose:
            print("standin-phone[%d]: %s" % (os.getpid(), text), file=sys.stderr, flush=True)

    def record(self, service):
        self.log("service %r" % service)
        if not self.record_path:
            return
        line = (service.replace("\\", "\\\\").replace("\n", "\\n") + "\n").encode("utf-8")
        try:
            fd = os.open(self.record_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
            try:
                os.write(fd, line)
            finally:
                os.close(fd)
        except OSError as error:
            self.log("cannot record: %s" % error)

    def listen(self, port):
        """Listens on PORT (0: a free one) as well; gives the port."""
        for listener in self.listeners:
            if port and listener.getsockname()[1] == port:
                return port
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", port))
        listener.listen(16)
        listener.setblocking(False)
        self.selector.register(listener, selectors.EVENT_READ, None)
        self.listeners.append(listener)
        return listener.getsockname()[1]

    def serve(self):
        while True:
            try:
                for key, events in self.selector.select():
                    if key.data is None:
                        self.accept(key.fileobj)
                    else:
                        self.service(key.data, events)
            except Approve:
                self.mode = "authorized"
                for connection in self.connections.values():
                    connection.on_connect(0)
                    self.selector.modify(connection.sock, selectors.EVENT_READ | selectors.EVENT_WRITE, connection)

    def accept(self, listener):
        try:
            sock, peer = listener.accept()
        except OSError:
            return
        sock.setblocking(False)
        connection = Connection(self, sock, "%s:%d" % peer)
        self.connections[sock] = connection
        self.selector.register(sock, selectors.EVENT_READ, connection)
        self.log("%s connected" % connection.peer)

    def service(self, connection, events):
        alive = True
        try:
            if events & selectors.EVENT_READ:
                data = connection.sock.recv(65536)
                alive = bool(data) and connection.feed(data)
                if not data:
                    self.log("%s closed by the server" % connection.peer)
            if alive and connection.outbox:
                sent = connection.sock.send(connection.outbox)
                connection.outbox = connection.outbox[sent:]
        except (BlockingIOError, InterruptedError):
            pass
        except (Stop, Approve):
            raise
        except Exception as error:  # odd input must never end the phone
            self.log("%s: %r, dropping the connection" % (connection.peer, error))
            alive = False
        if not alive:
            self.drop(connection)
            return
        wanted = selectors.EVENT_READ | (selectors.EVENT_WRITE if connection.outbox else 0)
        self.selector.modify(connection.sock, wanted, connection)

    def drop(self, connection):
        try:
            self.selector.unregister(connection.sock)
        except (KeyError, ValueError):
            pass
        self.connections.pop(connection.sock, None)
        connection.sock.close()

    def close(self):
        for connection in list(self.connections.values()):
            self.drop(connection)
        for listener in self.listeners:
            self.selector.unregister(listener)
            listener.close()
        self.selector.close()


def announce(port, ready_file):
    if ready_file is None:
        print(port, flush=True)
        return
    directory = os.path.dirname(os.path.abspath(ready_file))
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=".standin-phone-")
    with os.fdopen(fd, "w") as handle:
        handle.write("%d\n" % port)
    os.replace(temporary, ready_file)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="A stand-in Android phone for adb.")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--mode", choices=MODES, required=True)
    parser.add_argument("--lingguang", action="store_true")
    parser.add_argument("--no-wifi", action="store_true")
    parser.add_argument("--record")
    parser.add_argument("--ready-file")
    parser.add_argument("--verbose", action="store_true")
    return parser.parse_args(argv)


def main(argv=None):
    options = parse_arguments(argv)

    def stop(_signum, _frame):
        raise Stop()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    def approve(_signum, _frame): raise Approve()  # noqa: E704

    signal.signal(signal.SIGUSR1, approve)
    phone = Phone(options.mode, options.lingguang, options.record, options.verbose, not options.no_wifi)
    try:
        port = phone.listen(options.port)
        announce(port, options.ready_file)
        phone.log("listening on 127.0.0.1:%d as %s" % (port, options.mode))
        phone.serve()
    except Stop:
        pass
    finally:
        phone.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
