#!/usr/bin/env python3
# A scriptable stand-in for the ADB server, for tests.
#   fake_adb_server.py PORT --devices-file FILE [OPTION...]      (port 0 picks a free one)
#
# Speaks the host protocol on 127.0.0.1: host:version, host:devices, host:track-devices, host:kill,
# host:transport[-any], host[-serial]:...:forward, and on a transport shell: (echo-style, pm
# install/uninstall, rm -f) and sync: (push/pull into a folder standing in for the device).
# Prints "READY <port>" once listening. The device list ("SERIAL:STATE" items, comma or line
# separated) is read from the file again on every request.
# Options:
#   --version N          what host:version answers (41)
#   --fail-devices [T]   FAIL host:devices with this text
#   --silent             accept connections, never answer (a program that holds the port)
#   --close-early        close after OKAY on host:version and host:devices
#   --big-listing N      list N generated devices
#   --no-track           refuse host:track-devices, as older servers do
#   --appear-after MS    list a device MS after the first host:devices that found it in the file
#   --restart-on-kill    host:kill drops the tracking clients and keeps serving
#   --installed A,B      the packages pm uninstall succeeds for (default: any)
#   --root DIR           the folder standing in for the device's file system
#   --log FILE           append one line per request (and per sync request) here
import argparse
import os
import select
import signal
import socketserver
import struct
import sys
import tempfile
import threading
import time


def framed(text):
    data = text.encode()
    return b"%04x" % len(data) + data


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True

    def log(self, line):
        if self.args.log:
            with self.lock, open(self.args.log, "a", encoding="utf-8") as f:
                f.write(line + "\n")

    def devices(self):
        with open(self.args.devices_file, encoding="utf-8") as f:
            items = [i.strip() for i in f.read().replace("\n", ",").split(",")]
        return [tuple(i.rsplit(":", 1)) for i in items if i]

    def online(self):
        return [serial for serial, state in self.devices() if state == "device"]

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
        if not path.startswith(self.root):
            raise ValueError("outside device root")
        return path


class Handler(socketserver.StreamRequestHandler):
    def recv_exact(self, n):
        data = self.rfile.read(n)
        if len(data) < n:
            raise EOFError
        return data

    def read_request(self):
        request = self.recv_exact(int(self.recv_exact(4), 16)).decode("utf-8", "replace")
        self.server.log(request)
        return request

    def send(self, data):
        self.request.sendall(data)

    def handle(self):
        try:
            while self.server.args.silent and self.request.recv(4096):
                pass
            if not self.server.args.silent and self.host_request(self.read_request()):
                self.device_request(self.read_request())
        except (EOFError, OSError, ValueError):
            pass

    def host_request(self, req):
        # Answers a host request; true when it bound a transport.
        server, args = self.server, self.server.args
        if req in ("host:version", "host:devices") and args.close_early:
            self.send(b"OKAY")
        elif req == "host:version":
            self.send(b"OKAY" + framed("%04x" % args.version))
        elif req == "host:devices" and args.fail_devices is not None:
            self.send(b"FAIL" + framed(args.fail_devices))
        elif req == "host:devices":
            self.send(b"OKAY" + framed(server.listing(asked=True)))
        elif req == "host:track-devices" and not args.no_track:
            self.track()
        elif req == "host:kill":  # as a new server would: every tracking client loses its connection
            self.send(b"OKAY")
            server.tracking.clear()
            if not args.restart_on_kill:
                threading.Thread(target=server.shutdown, daemon=True).start()
        elif req.startswith("host:transport"):
            online = server.online()
            wanted = online if req == "host:transport-any" else [req[len("host:transport:"):]]
            if len(wanted) == 1 and wanted[0] in online:
                self.send(b"OKAY")
                return True
            self.send(b"FAIL" + framed(("more than one device/emulator" if online else "no devices/emulators found")
                                       if req == "host:transport-any" else "device '%s' not found" % req[15:]))
        elif ":forward:" in req and req.startswith(("host:", "host-serial:")):
            head, _, target = req.partition(":forward:")
            local, sep, remote = target.partition(";")
            online = server.online()
            if not (len(online) == 1 if head == "host" else head[len("host-serial:"):] in online):
                self.send(b"FAIL" + framed("device not found"))
            elif not sep or not local.startswith("tcp:") or not remote:
                self.send(b"FAIL" + framed("cannot bind listener: bad address"))
            else:
                self.send(b"OKAYOKAY")
        else:
            self.send(b"FAIL" + framed("unknown host service"))
        return False

    def track(self):
        # A new list at once and at every change, until the client goes away or the server drops it.
        self.send(b"OKAY")
        self.server.tracking.add(self.request)
        last = None
        while self.request in self.server.tracking:
            text = self.server.listing()
            if text != last:
                self.send(framed(text))
                last = text
            if select.select([self.request], [], [], 0.005)[0] and not self.request.recv(64):
                break
        self.server.tracking.discard(self.request)

    def device_request(self, req):
        if req.startswith("shell:"):
            self.send(b"OKAY" + self.shell(req[len("shell:"):]).encode())
        elif req == "sync:":
            self.send(b"OKAY")
            self.sync()
        else:
            self.send(b"FAIL" + framed("unknown device service"))

    def shell(self, cmd):
        words = cmd.split(" ")
        if words[0] == "echo":
            return cmd[5:] + "\n"
        if words[:3] == ["pm", "install", "-r"]:
            found = os.path.isfile(self.server.device_path(cmd[len("pm install -r "):].strip("'")))
            return "Success\n" if found else "Failure [INSTALL_FAILED_INVALID_URI]\n"
        if words[:2] == ["pm", "uninstall"]:
            known = self.server.args.installed is None or words[-1] in self.server.args.installed.split(",")
            return "Success\n" if known else "Failure [DELETE_FAILED_INTERNAL_ERROR]\n"
        if words[:2] == ["rm", "-f"]:
            path = self.server.device_path(cmd[len("rm -f "):].strip("'"))
            if os.path.isfile(path):
                os.remove(path)
            return ""
        return cmd + "\n"

    def sync(self):
        while True:
            ident, value = struct.unpack("<4sI", self.recv_exact(8))
            target = "" if ident == b"QUIT" else self.recv_exact(value).decode()
            self.server.log(("%s %s" % (ident.decode("ascii", "replace"), target)).strip())
            if ident == b"SEND":
                self.sync_send(target.rpartition(",")[0])
            elif ident == b"RECV":
                self.sync_recv(target)
            else:
                return ident == b"QUIT" or self.sync_fail("unsupported sync request")

    def sync_fail(self, message):
        self.send(b"FAIL" + struct.pack("<I", len(message)) + message.encode())

    def sync_send(self, path):
        data = b""
        while True:
            ident, value = struct.unpack("<4sI", self.recv_exact(8))
            if ident == b"DONE":
                break
            if ident != b"DATA":
                return self.sync_fail("bad packet in SEND")
            data += self.recv_exact(value)
        if path.startswith("/readonly/"):
            return self.sync_fail("Read-only file system")
        local = self.server.device_path(path)
        os.makedirs(os.path.dirname(local), exist_ok=True)
        with open(local, "wb") as f:
            f.write(data)
        self.send(b"OKAY" + struct.pack("<I", 0))

    def sync_recv(self, path):
        try:
            with open(self.server.device_path(path), "rb") as f:
                data = f.read()
        except (OSError, ValueError):
            return self.sync_fail("No such file or directory")
        chunks = [data[i:i + 65536] for i in range(0, len(data), 65536)]
        self.send(b"".join(b"DATA" + struct.pack("<I", len(c)) + c for c in chunks) + b"DONE\0\0\0\0")


def main():
    p = argparse.ArgumentParser(description="fake ADB server")
    p.add_argument("port", type=int)
    p.add_argument("--devices-file", required=True)
    p.add_argument("--fail-devices", nargs="?", const="device listing unavailable")
    for flag in ("--silent", "--close-early", "--no-track", "--restart-on-kill"):
        p.add_argument(flag, action="store_true")
    for option, default in (("--version", 41), ("--big-listing", 0), ("--appear-after", 0)):
        p.add_argument(option, type=int, default=default)
    for option in ("--installed", "--root", "--log"):
        p.add_argument(option)
    server = Server(("127.0.0.1", p.parse_args().port), Handler)
    server.args = p.parse_args()
    server.root = os.path.normpath(server.args.root or tempfile.mkdtemp(prefix="fake-adb-"))
    server.lock, server.asked, server.tracking = threading.Lock(), {}, set()
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    print("READY %d" % server.server_address[1], flush=True)
    server.serve_forever(poll_interval=0.05)
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
