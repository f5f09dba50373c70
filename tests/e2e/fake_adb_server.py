#!/usr/bin/env python3
# A scriptable stand-in for the ADB server, for tests.
#
# Speaks the host protocol on 127.0.0.1: host:version, host:devices, host:track-devices, host:kill,
# host:transport[-any], host[-serial]:...:forward, and on a transport shell:
# (echo-style) and sync: (push/pull into a folder standing in for the device).
# Prints "READY <port>" once listening; logs one line per request with --log.
import argparse
import os
import select
import signal
import socket
import socketserver
import struct
import sys
import tempfile
import threading
import time


# SERIAL:STATE items, comma or line separated; a SERIAL alone is online.
def parse_devices(text):
    items = [i.strip() for i in text.replace("\n", ",").split(",") if i.strip()]
    return [(i.rpartition(":")[0], i.rpartition(":")[2]) if ":" in i else (i, "device") for i in items]


class Fake:
    def __init__(self, args):
        self.args = args
        self.root = args.root or tempfile.mkdtemp(prefix="fake-adb-")
        self.log_lock = threading.Lock()
        self.asked = {}  # serial -> when host:devices first found it in the file (--appear-after)
        self.tracking = set()  # sockets of host:track-devices clients

    def log(self, line):
        if self.args.log:
            with self.log_lock, open(self.args.log, "a", encoding="utf-8") as f:
                f.write(line + "\n")

    def devices(self):
        if not self.args.devices_file:
            return parse_devices(self.args.devices or "")
        with open(self.args.devices_file, encoding="utf-8") as f:
            return parse_devices(f.read())

    def listing(self, asked=False):
        if self.args.big_listing:
            return "".join("bigserial%06d\tdevice\n" % i for i in range(self.args.big_listing))
        devices = self.devices()
        if self.args.appear_after:
            now = time.monotonic()
            self.asked = {s: t for s, t in self.asked.items() if s in dict(devices)}
            if asked:
                for serial, _ in devices:
                    self.asked.setdefault(serial, now)
            devices = [d for d in devices if now - self.asked.get(d[0], now + 1) >= self.args.appear_after / 1000]
        return "".join("%s\t%s\n" % d for d in devices)

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
        try:
            while fake.args.silent and self.request.recv(4096):
                pass  # a program that holds the port: it takes every connection and never answers
            if fake.args.silent:
                return
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
        except (EOFError, OSError, ValueError):
            return

    def host_request(self, fake, req):
        # Answers a host request; returns the serial when a transport was bound.
        args = fake.args
        if req in ("host:version", "host:devices") and args.close_early:
            self.request.sendall(b"OKAY")
        elif req == "host:version":
            self.okay("%04x" % args.version)
        elif req == "host:devices" and args.fail_devices is not None:
            self.fail(args.fail_devices)
        elif req == "host:devices":
            self.okay(fake.listing(asked=True))
        elif req == "host:track-devices" and not args.no_track:
            self.request.sendall(b"OKAY")
            fake.tracking.add(self.request)
            last = None
            try:
                while self.request in fake.tracking:  # a new list at once and at every change
                    text = fake.listing()
                    if text != last:
                        self.request.sendall(framed(text))
                        last = text
                    if select.select([self.request], [], [], 0.005)[0] and not self.request.recv(64):
                        break  # the client went away
            except OSError:
                pass
            fake.tracking.discard(self.request)
        elif req == "host:kill":
            self.request.sendall(b"OKAY")
            if args.restart_on_kill:  # as a new server would: every tracking client loses its connection
                for sock in list(fake.tracking):
                    fake.tracking.discard(sock)
                    try:
                        sock.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
            else:
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
        serial = online[0] if req == "host:transport-any" and len(online) == 1 else req[len("host:transport:"):]
        if serial in online:
            return serial
        self.fail(("more than one device/emulator" if online else "no devices/emulators found")
                  if req == "host:transport-any" else "device '%s' not found" % serial)
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
            known = fake.args.installed is None or (words + [""])[2] in fake.args.installed.split(",")
            return "Success\n" if known else "Failure [DELETE_FAILED_INTERNAL_ERROR]\n"
        if words[:2] == ["rm", "-f"] and os.path.isfile(fake.device_path(cmd[len("rm -f "):].strip("'"))):
            os.remove(fake.device_path(cmd[len("rm -f "):].strip("'")))
        if words[:2] == ["rm", "-f"]:
            return ""
        return cmd + "\n"

    def sync(self, fake):
        while True:
            ident, value = struct.unpack("<4sI", self.recv_exact(8))
            target = "" if ident == b"QUIT" else self.recv_exact(value).decode()
            fake.log(("%s %s" % (ident.decode("ascii", "replace"), target)).strip())
            if ident not in (b"SEND", b"RECV"):
                return ident == b"QUIT" or self.sync_fail("unsupported sync request")
            (self.sync_send if ident == b"SEND" else self.sync_recv)(fake, target)

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
        chunks = [data[i:i + 65536] for i in range(0, len(data), 65536)]
        self.request.sendall(b"".join(b"DATA" + struct.pack("<I", len(c)) + c for c in chunks) + b"DONE\0\0\0\0")


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    p = argparse.ArgumentParser(description="fake ADB server")
    p.add_argument("port", nargs="?", type=int, default=5037, help="0 picks a free port")
    p.add_argument("--version", type=int, default=41)
    p.add_argument("--devices", help='"SERIAL:STATE,..."')
    p.add_argument("--devices-file", help="the same, re-read on every request")
    p.add_argument("--fail-devices", nargs="?", const="device listing unavailable", help="FAIL host:devices so")
    p.add_argument("--silent", action="store_true", help="accept connections, never answer")
    p.add_argument("--close-early", action="store_true", help="close after OKAY on host:version/host:devices")
    p.add_argument("--big-listing", type=int, default=0, metavar="N", help="list N generated devices")
    p.add_argument("--no-track", action="store_true", help="refuse host:track-devices, as older servers do")
    p.add_argument("--appear-after", type=int, default=0, metavar="MS",
                   help="list a device MS after the first host:devices that found it in the file")
    p.add_argument("--restart-on-kill", action="store_true", help="host:kill drops tracking clients, keeps serving")
    p.add_argument("--installed", help="packages pm uninstall succeeds for (default: any)")
    p.add_argument("--root", help="folder standing in for the device file system")
    p.add_argument("--log", help="append one line per request here")
    server = Server(("127.0.0.1", p.parse_args().port), Handler)
    server.fake = Fake(p.parse_args())
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    print("READY %d" % server.server_address[1], flush=True)
    server.serve_forever(poll_interval=0.05)
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
