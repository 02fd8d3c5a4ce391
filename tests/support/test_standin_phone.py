"""Self-test of the stand-in phone: its wire protocol, and its three modes
against the real adb server (skipped when adb is not installed).

Run from this directory with `python3 -m unittest`.
"""

import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import standin_phone as phone_module

HERE = os.path.dirname(os.path.abspath(__file__))
PHONE = os.path.join(HERE, "standin_phone.py")
ADB = shutil.which("adb")
ADB_SERVER_PORT = 5037
LINGGUANG = "com.antgroup.leopard.android"
PM_COMMAND = ["pm", "list", "packages", LINGGUANG]
MONKEY_COMMAND = ["monkey", "-p", LINGGUANG, "-c", "android.intent.category.LAUNCHER", "1"]


class Phone:
    """One stand-in phone process with its own record and ready files."""

    def __init__(self, mode, lingguang=False):
        self.directory = tempfile.TemporaryDirectory()
        self.record_path = os.path.join(self.directory.name, "record")
        ready = os.path.join(self.directory.name, "ready")
        command = [sys.executable, PHONE, "--port", "0", "--mode", mode,
                   "--record", self.record_path, "--ready-file", ready]
        if lingguang:
            command.append("--lingguang")
        self.process = subprocess.Popen(command)
        deadline = time.monotonic() + 10
        while not os.path.exists(ready):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the stand-in phone did not start")
            time.sleep(0.02)
        with open(ready) as handle:
            self.port = int(handle.read())
        self.serial = "127.0.0.1:%d" % self.port

    def records(self):
        try:
            with open(self.record_path) as handle:
                return handle.read().splitlines()
        except FileNotFoundError:
            return []

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        status = self.process.wait(timeout=10)
        self.directory.cleanup()
        return status


# --- wire level, no adb needed ------------------------------------------------

def message(command, arg0, arg1, data=b""):
    return phone_module.pack_message(command, arg0, arg1, data)


def receive_exactly(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            raise EOFError("connection closed after %d bytes" % len(data))
        data += chunk
    return data


def receive_message(sock):
    header = receive_exactly(sock, 24)
    command, arg0, arg1, length, check, magic = struct.unpack("<6I", header)
    data = receive_exactly(sock, length)
    assert magic == command ^ 0xFFFFFFFF, "bad magic"
    assert check == sum(data) & 0xFFFFFFFF, "bad checksum"
    return command, arg0, arg1, data


class WireTests(unittest.TestCase):
    def start(self, mode, lingguang=False):
        phone = Phone(mode, lingguang)
        self.addCleanup(phone.stop)
        return phone

    def connect(self, phone):
        sock = socket.create_connection(("127.0.0.1", phone.port), timeout=5)
        self.addCleanup(sock.close)
        return sock

    def handshake(self, sock, max_payload=0x100000):
        sock.sendall(message(phone_module.A_CNXN, 0x01000001, max_payload, b"host::\0"))
        return receive_message(sock)

    def read_stream(self, sock, remote_id):
        """Collects a stream's data until the phone closes it, acknowledging each write."""
        command, local_id, arg1, _ = receive_message(sock)
        self.assertEqual((command, arg1), (phone_module.A_OKAY, remote_id))
        text = b""
        while True:
            command, arg0, arg1, data = receive_message(sock)
            self.assertEqual((arg0, arg1), (local_id, remote_id))
            if command == phone_module.A_CLSE:
                return text
            self.assertEqual(command, phone_module.A_WRTE)
            text += data
            sock.sendall(message(phone_module.A_OKAY, remote_id, local_id))

    def test_authorized_handshake_answers_with_its_banner(self):
        sock = self.connect(self.start("authorized"))
        command, version, max_payload, banner = self.handshake(sock)
        self.assertEqual(command, phone_module.A_CNXN)
        self.assertEqual(version, 0x01000001)
        self.assertEqual(max_payload, 256 * 1024)
        self.assertTrue(banner.startswith(b"device::"))
        self.assertNotIn(b"shell_v2", banner)

    def test_unauthorized_keeps_asking_and_accepts_the_key_silently(self):
        sock = self.connect(self.start("unauthorized"))
        tokens = []
        command, auth_type, _, token = self.handshake(sock)
        self.assertEqual((command, auth_type, len(token)), (phone_module.A_AUTH, 1, 20))
        tokens.append(token)
        for _ in range(2):
            sock.sendall(message(phone_module.A_AUTH, 2, 0, b"s" * 256))
            command, auth_type, _, token = receive_message(sock)
            self.assertEqual((command, auth_type, len(token)), (phone_module.A_AUTH, 1, 20))
            tokens.append(token)
        self.assertEqual(len(set(tokens)), 3)
        sock.sendall(message(phone_module.A_AUTH, 3, 0, b"key\0"))
        sock.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            sock.recv(1)

    def test_output_is_written_in_acknowledged_pieces_of_the_servers_size(self):
        phone = self.start("authorized", lingguang=True)
        sock = self.connect(phone)
        self.handshake(sock, max_payload=16)
        service = "shell:" + " ".join(MONKEY_COMMAND)
        sock.sendall(message(phone_module.A_OPEN, 7, 0, service.encode() + b"\0"))
        text = self.read_stream(sock, 7)
        self.assertEqual(text.decode(), phone_module.shell_output(" ".join(MONKEY_COMMAND), True))
        self.assertTrue(text.endswith(b"Events injected: 1\n"))
        self.assertEqual(phone.records(), [service])

    def test_other_services_are_refused_and_recorded(self):
        phone = self.start("authorized")
        sock = self.connect(phone)
        self.handshake(sock)
        sock.sendall(message(phone_module.A_OPEN, 5, 0, b"reboot:\0"))
        self.assertEqual(receive_message(sock)[:3], (phone_module.A_CLSE, 0, 5))
        self.assertEqual(phone.records(), ["reboot:"])

    def test_garbage_drops_only_that_connection(self):
        phone = self.start("authorized")
        bad = self.connect(phone)
        bad.sendall(b"\xff" * 24)
        self.assertEqual(bad.recv(1), b"")
        good = self.connect(phone)
        self.assertEqual(self.handshake(good)[0], phone_module.A_CNXN)

    def test_offline_never_answers(self):
        sock = self.connect(self.start("offline"))
        sock.sendall(message(phone_module.A_CNXN, 0x01000001, 4096, b"host::\0"))
        sock.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            sock.recv(1)

    def test_termination_request_ends_the_phone_cleanly(self):
        phone = Phone("authorized")
        self.connect(phone)
        self.assertEqual(phone.stop(), 0)


class ShellTextTests(unittest.TestCase):
    def test_pm_list_packages_filters_by_substring(self):
        cases = [
            # (arguments, Lingguang installed, expected lines)
            ([LINGGUANG], True, ["package:" + LINGGUANG]),
            ([LINGGUANG], False, []),
            (["leopard"], True, ["package:" + LINGGUANG]),
            (["-3", "--user", "0", LINGGUANG], True, ["package:" + LINGGUANG]),
            ([LINGGUANG + ".extra"], True, []),
            (["com.android.shell"], False, ["package:com.android.shell"]),
        ]
        for words, lingguang, expected in cases:
            with self.subTest(words=words, lingguang=lingguang):
                text = phone_module.shell_output(
                    " ".join(["pm", "list", "packages"] + words), lingguang)
                self.assertEqual(text.splitlines(), expected)

    def test_monkey_succeeds_only_for_an_installed_package(self):
        command = " ".join(MONKEY_COMMAND)
        self.assertEqual(phone_module.shell_output(command, True).splitlines()[-1],
                         "Events injected: 1")
        self.assertEqual(phone_module.shell_output(command, False).splitlines()[-1],
                         "** No activities found to run, monkey aborted.")

    def test_unknown_commands_get_the_shell_error(self):
        self.assertEqual(phone_module.shell_output("getprop ro.serialno", True),
                         "/system/bin/sh: getprop: not found\n")
        self.assertEqual(phone_module.shell_output("", True), "")


# --- against the real adb server -----------------------------------------------

server_started_here = False


def adb_server_running():
    try:
        socket.create_connection(("127.0.0.1", ADB_SERVER_PORT), timeout=1).close()
        return True
    except OSError:
        return False


def run_adb(*args, timeout=30):
    return subprocess.run([ADB, *args], capture_output=True, text=True, timeout=timeout)


def tearDownModule():
    if server_started_here:
        run_adb("kill-server")


@unittest.skipIf(ADB is None, "adb is not installed; the real-adb checks are skipped")
class RealADBTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        global server_started_here
        if not adb_server_running():
            server_started_here = True
        run_adb("start-server")

    def start(self, mode, lingguang=False):
        phone = Phone(mode, lingguang)
        self.addCleanup(phone.stop)
        self.addCleanup(run_adb, "disconnect", phone.serial)
        return phone

    def device_line(self, serial):
        for line in run_adb("devices").stdout.splitlines():
            if line.startswith(serial + "\t"):
                return line
        return None

    def wait_for_device_line(self, serial, expected, seconds=5):
        deadline = time.monotonic() + seconds
        while True:
            line = self.device_line(serial)
            if line == expected or time.monotonic() > deadline:
                return line
            time.sleep(0.1)

    def test_authorized_phone_with_lingguang(self):
        phone = self.start("authorized", lingguang=True)
        connect = run_adb("connect", phone.serial)
        self.assertEqual(connect.stdout, "connected to %s\n" % phone.serial)
        self.assertEqual(self.device_line(phone.serial), phone.serial + "\tdevice")

        pm = run_adb("-s", phone.serial, "shell", *PM_COMMAND)
        self.assertEqual(pm.stdout, "package:%s\n" % LINGGUANG)
        monkey = run_adb("-s", phone.serial, "shell", *MONKEY_COMMAND)
        self.assertEqual(monkey.stdout.splitlines()[-1], "Events injected: 1")
        other = run_adb("-s", phone.serial, "shell", "getprop")
        self.assertEqual(other.stdout, "/system/bin/sh: getprop: not found\n")

        self.assertEqual(phone.records(), [
            "shell:" + " ".join(PM_COMMAND),
            "shell:" + " ".join(MONKEY_COMMAND),
            "shell:getprop",
        ])

    def test_authorized_phone_without_lingguang(self):
        phone = self.start("authorized")
        run_adb("connect", phone.serial)
        pm = run_adb("-s", phone.serial, "shell", *PM_COMMAND)
        self.assertEqual((pm.returncode, pm.stdout), (0, ""))
        self.assertEqual(phone.records(), ["shell:" + " ".join(PM_COMMAND)])

    def test_unauthorized_phone(self):
        phone = self.start("unauthorized")
        connect = run_adb("connect", phone.serial)
        self.assertEqual(connect.stdout, "failed to authenticate to %s\n" % phone.serial)
        self.assertEqual(self.wait_for_device_line(phone.serial, phone.serial + "\tunauthorized"),
                         phone.serial + "\tunauthorized")
        self.assertEqual(phone.records(), [])

    def test_offline_phone(self):
        phone = self.start("offline")
        # The server waits about ten seconds for an answer that never comes;
        # disconnecting ends that wait at once.
        connect = subprocess.Popen([ADB, "connect", phone.serial],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            self.assertEqual(self.wait_for_device_line(phone.serial, phone.serial + "\toffline"),
                             phone.serial + "\toffline")
        finally:
            run_adb("disconnect", phone.serial)
            output, _ = connect.communicate(timeout=30)
        self.assertEqual(output, "failed to connect to %s\n" % phone.serial)
        self.assertIsNone(self.device_line(phone.serial))

    def test_two_phones_are_told_apart(self):
        authorized = self.start("authorized", lingguang=True)
        unauthorized = self.start("unauthorized")
        run_adb("connect", authorized.serial)
        run_adb("connect", unauthorized.serial)
        self.assertEqual(self.device_line(authorized.serial), authorized.serial + "\tdevice")
        self.assertEqual(self.wait_for_device_line(unauthorized.serial,
                                                   unauthorized.serial + "\tunauthorized"),
                         unauthorized.serial + "\tunauthorized")
        pm = run_adb("-s", authorized.serial, "shell", *PM_COMMAND)
        self.assertEqual(pm.stdout, "package:%s\n" % LINGGUANG)
        self.assertEqual(unauthorized.records(), [])


if __name__ == "__main__":
    unittest.main()
