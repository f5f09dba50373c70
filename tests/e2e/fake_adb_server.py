#!/usr/bin/env python3
"""A scriptable stand-in for the ADB server, for tests.

Speaks the host protocol on 127.0.0.1: host:version, host:devices, host:kill,
host:transport[-any], host[-serial]:...:forward, and on a transport shell:
(echo-style) and sync: (push/pull into a folder standing in for the device).
Prints "READY <port>" once listening; logs one line per request with --log.
"""
import argparse
import os
import signal
import socket
import socketserver
import struct
import sys
import tempfile
import threading


def parse_devices(text):
    devices = []
    for item in text.replace("\n", ",").split(","):
        item = item.strip()
        if not item:
            continue
        serial, _, state = item.rpartition(":")
        if not serial:  # "SERIAL" alone means an online device
            serial, state = state, "device"
        devices.append((serial, state))
    return devices


class Fake:
    def __init__(self, args):
        self.args = args
        self.root = args.root or tempfile.mkdtemp(prefix="fake-adb-")
        self.log_lock = threading.Lock()
        self.forwards = []

    def log(self, line):
        if not self.args.log:
            return
        with self.log_lock, open(self.args.log, "a", encoding="utf-8") as f:
            f.write(line + "\n")

    def devices(self):
        if self.args.devices_file:
            try:
                with open(self.args.devices_file, encoding="utf-8") as f:
                    return parse_devices(f.read())
            except OSError:
                return []
        return parse_devices(self.args.devices or "")

    def listing(self):
        if self.args.big_listing:
            return "".join("bigserial%06d\tdevice\n" % i for i in range(self.args.big_listing))
        return "".join("%s\t%s\n" % d for d in self.devices())

    def device_path(self, remote):
        path = os.path.normpath(os.path.join(self.root, remote.lstrip("/")))
        if not path.startswith(os.path.normpath(self.root)):
            raise ValueError("outside device root")
        return path


def framed(text):
    data = text.encode() if isinstance(text, str) else text
    return b"%04x" % len(data) + data


class Handler(socketserver.BaseRequestHandler):
    def recv_exact(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.request.recv(n - len(buf))
            if not chunk:
                raise EOFError
            buf += chunk
        return buf

    def read_request(self):
        length = int(self.recv_exact(4), 16)
        return self.recv_exact(length).decode("utf-8", "replace")

    def okay(self, payload=None):
        self.request.sendall(b"OKAY" + (framed(payload) if payload is not None else b""))

    def fail(self, message):
        self.request.sendall(b"FAIL" + framed(message))

    def handle(self):
        fake = self.server.fake
        if fake.args.silent:
            # A program that holds the port: it takes every connection and never answers.
            try:
                while self.request.recv(4096):
                    pass
            except OSError:
                pass
            return
        try:
            serial = None
            while True:
                req = self.read_request()
                fake.log(req)
                if serial is None:
                    serial = self.host_request(fake, req)
                    if serial is None:
                        return
                else:
                    self.device_request(fake, serial, req)
                    return
        except (EOFError, ConnectionError, ValueError):
            return

    def host_request(self, fake, req):
        """Answers a host request; returns the serial when a transport was bound."""
        args = fake.args
        if req == "host:version":
            if args.close_early:
                self.request.sendall(b"OKAY")
                return None
            self.okay("%04x" % args.version)
        elif req == "host:devices":
            if args.fail_devices is not None:
                self.fail(args.fail_devices)
            elif args.close_early:
                self.request.sendall(b"OKAY")
            else:
                self.okay(fake.listing())
        elif req == "host:kill":
            self.request.sendall(b"OKAY")
            threading.Thread(target=self.server.shutdown, daemon=True).start()
        elif req.startswith("host:transport"):
            serial = self.pick_device(fake, req)
            if serial is not None:
                self.request.sendall(b"OKAY")
            return serial
        elif ":forward:" in req and req.startswith(("host:", "host-serial:")):
            self.forward(fake, req)
        else:
            self.fail("unknown host service")
        return None

    def pick_device(self, fake, req):
        online = [s for s, state in fake.devices() if state == "device"]
        if req == "host:transport-any":
            if len(online) == 1:
                return online[0]
            self.fail("no devices/emulators found" if not online else "more than one device/emulator")
            return None
        serial = req[len("host:transport:"):]
        if serial in online:
            return serial
        self.fail("device '%s' not found" % serial)
        return None

    def forward(self, fake, req):
        head, _, target = req.partition(":forward:")
        serial = head[len("host-serial:"):] if head.startswith("host-serial:") else None
        online = [s for s, state in fake.devices() if state == "device"]
        local, sep, remote = target.partition(";")
        if (serial is not None and serial not in online) or (serial is None and len(online) != 1):
            self.fail("device not found")
        elif not sep or not local.startswith("tcp:") or not remote:
            self.fail("cannot bind listener: bad address")
        else:
            fake.forwards.append((serial, local, remote))
            self.request.sendall(b"OKAYOKAY")

    def device_request(self, fake, serial, req):
        if req.startswith("shell:"):
            self.request.sendall(b"OKAY")
            self.request.sendall(self.shell(fake, req[len("shell:"):]).encode())
        elif req == "sync:":
            self.request.sendall(b"OKAY")
            self.sync(fake)
        else:
            self.fail("unknown device service")

    def shell(self, fake, cmd):
        words = cmd.split(" ")
        if words[0] == "echo":
            return cmd[5:] + "\n"
        if words[:3] == ["pm", "install", "-r"]:
            path = cmd[len("pm install -r "):].strip("'")
            return "Success\n" if os.path.isfile(fake.device_path(path)) else \
                "Failure [INSTALL_FAILED_INVALID_URI]\n"
        if words[:2] == ["pm", "uninstall"]:
            package = words[2] if len(words) > 2 else ""
            if fake.args.installed is not None and package not in fake.args.installed.split(","):
                return "Failure [DELETE_FAILED_INTERNAL_ERROR]\n"
            return "Success\n"
        if words[:2] == ["rm", "-f"]:
            try:
                os.remove(fake.device_path(cmd[len("rm -f "):].strip("'")))
            except OSError:
                pass
            return ""
        return cmd + "\n"

    def sync(self, fake):
        while True:
            ident, value = struct.unpack("<4sI", self.recv_exact(8))
            ident = ident.decode("ascii", "replace")
            if ident == "QUIT":
                fake.log("QUIT")
                return
            target = self.recv_exact(value).decode()
            fake.log("%s %s" % (ident, target))
            if ident == "SEND":
                self.sync_send(fake, target)
            elif ident == "RECV":
                self.sync_recv(fake, target)
            else:
                self.sync_fail("unsupported sync request")
                return

    def sync_fail(self, message):
        data = message.encode()
        self.request.sendall(b"FAIL" + struct.pack("<I", len(data)) + data)

    def sync_send(self, fake, target):
        path, _, _mode = target.rpartition(",")
        data = b""
        while True:
            ident, value = struct.unpack("<4sI", self.recv_exact(8))
            if ident == b"DATA":
                data += self.recv_exact(value)
            elif ident == b"DONE":
                break
            else:
                return self.sync_fail("bad packet in SEND")
        if path.startswith("/readonly/"):
            return self.sync_fail("Read-only file system")
        local = fake.device_path(path)
        os.makedirs(os.path.dirname(local), exist_ok=True)
        with open(local, "wb") as f:
            f.write(data)
        self.request.sendall(b"OKAY" + struct.pack("<I", 0))

    def sync_recv(self, fake, path):
        try:
            with open(fake.device_path(path), "rb") as f:
                data = f.read()
        except (OSError, ValueError):
            return self.sync_fail("No such file or directory")
        for i in range(0, len(data), 65536):
            chunk = data[i:i + 65536]
            self.request.sendall(b"DATA" + struct.pack("<I", len(chunk)) + chunk)
        self.request.sendall(b"DONE" + struct.pack("<I", 0))


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("port", nargs="?", type=int, default=5037, help="0 picks a free port")
    p.add_argument("--version", type=int, default=41)
    p.add_argument("--devices", help='"SERIAL:STATE,..."')
    p.add_argument("--devices-file", help="same format, re-read on every request")
    p.add_argument("--fail-devices", nargs="?", const="device listing unavailable",
                   help="answer host:devices with FAIL and this message")
    p.add_argument("--silent", action="store_true", help="accept connections, never answer")
    p.add_argument("--close-early", action="store_true",
                   help="close after OKAY on host:version/host:devices")
    p.add_argument("--big-listing", type=int, default=0, metavar="N",
                   help="list N generated devices (N=200 gives about 4.6 KB)")
    p.add_argument("--installed", help="packages pm uninstall succeeds for (default: any)")
    p.add_argument("--root", help="folder standing in for the device file system")
    p.add_argument("--log", help="append one line per request here")
    args = p.parse_args()

    server = Server(("127.0.0.1", args.port), Handler)
    server.fake = Fake(args)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    print("READY %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.05)
    except KeyboardInterrupt:
        pass
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
