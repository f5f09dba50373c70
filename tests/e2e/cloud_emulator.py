#!/usr/bin/env python3
"""Local stand-in for the cloud service that knows phones and their ADB drivers.

Serves the four API endpoints and the whitelist files from a scenario file, driver packages
from a folder, records every request as one JSON line, and misbehaves on demand.

  cloud_emulator.py [--port 18089] [--scenario FILE] [--drivers DIR] [--log FILE]
                    [--tls-cert PEM --tls-key PEM]

Port 0 picks a free port. With a certificate it speaks TLS only (its base URL is then https).
Prints "READY <port>" once listening; exits on SIGTERM.

Scenario (JSON, read again for every request so a test may change it between steps):
  {
    "device":       {"18D1:4EE2": ANSWER, "*": ANSWER},   # /api/v1/drive/device/
    "query":        {...},                               # /api/v1/drive/query/
    "report":       {...},                               # /api/v1/drive/report/
    "installerror": {...},                               # /api/v1/drive/installerror/
    "whitelist":    "device.json text" | {"file": "path"},
    "whitelist_md5": "auto" (default: digest of device.json) | "literal text",
    "faults": {"PATH PREFIX": {FAULT NAME: VALUE, ...}}           # the names: FAULTS below
  }
ANSWER is the JSON document sent back; in its strings "{base}" becomes this server's base URL
and "{md5:NAME}" the digest of driver package NAME. Unknown vid:pid without "*" gets
{"result":1,"data":{"errorCode":20205}} (device) or {"result":1,"data":{"errorCode":20201}}.
"""
import argparse
import hashlib
import http.server
import json
import os
import re
import signal
import ssl
import sys
import threading
import time
import urllib.parse

# Every way the emulator misbehaves on demand, by name; a scenario naming anything else gets 500.
FAULTS = {
    "status": "answer with this HTTP status; the body stays what it would have been",
    "third_member": "API answers carry a third root member",
    "truncate": "close the connection after this many body bytes; Content-Length stays whole",
    "wrong_md5": "device.md5 announces another digest; a driver package has its last byte flipped",
    "delay_ms": "wait this long before answering",
    "trickle_ms": "send the body one byte at a time, this long apart",
}

API = {
    "/api/v1/drive/device/": ("device", 20205),
    "/api/v1/drive/query/": ("query", 20201),
    "/api/v1/drive/report/": ("report", 20204),
    "/api/v1/drive/installerror/": ("installerror", 20207),
}


def load_json(path):
    if not path or not os.path.exists(path):
        return {}
    with open(path, "rb") as f:
        return json.loads(f.read().decode("utf-8") or "{}")


class Emulator(http.server.BaseHTTPRequestHandler):
    server_version = "CloudEmulator/1.0"
    protocol_version = "HTTP/1.0"

    def log_message(self, fmt, *args):  # keep the test output clean
        pass

    # ---- helpers -------------------------------------------------------------------
    def scenario(self):
        return load_json(self.server.options.scenario)

    def base(self):
        scheme = "https" if self.server.options.tls_cert else "http"
        return "%s://127.0.0.1:%d" % (scheme, self.server.server_address[1])

    def driver_path(self, name):
        return os.path.join(self.server.options.drivers or ".", os.path.basename(name))

    def driver_md5(self, name):
        try:
            with open(self.driver_path(name), "rb") as f:
                return hashlib.md5(f.read()).hexdigest()
        except OSError:
            return ""

    def expand(self, value):
        if isinstance(value, str):
            value = value.replace("{base}", self.base())
            return re.sub(r"\{md5:([^}]+)\}", lambda m: self.driver_md5(m.group(1)), value)
        if isinstance(value, list):
            return [self.expand(v) for v in value]
        if isinstance(value, dict):
            return {k: self.expand(v) for k, v in value.items()}
        return value

    def fault(self, scenario, path):
        for prefix, fault in (scenario.get("faults") or {}).items():
            if path.startswith(prefix):
                return fault
        return {}

    def record(self, body):
        if not self.server.options.log:
            return
        line = json.dumps({
            "method": self.command,
            "path": self.path,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": body.decode("latin-1"),
        })
        with self.server.log_lock, open(self.server.options.log, "a") as f:
            f.write(line + "\n")

    def send(self, status, payload, fault, content_type="application/json"):
        if fault.get("status"):
            status = int(fault["status"])
        if fault.get("delay_ms"):
            time.sleep(int(fault["delay_ms"]) / 1000.0)
        sent = payload
        if fault.get("truncate") is not None:
            sent = payload[: int(fault["truncate"])]
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        try:
            if fault.get("trickle_ms"):
                for i in range(len(sent)):
                    self.wfile.write(sent[i:i + 1])
                    self.wfile.flush()
                    time.sleep(int(fault["trickle_ms"]) / 1000.0)
            else:
                self.wfile.write(sent)
                self.wfile.flush()
        except OSError:
            pass
        if len(sent) != len(payload):
            self.close_connection = True
            try:
                self.connection.shutdown(2)
            except OSError:
                pass

    # ---- handlers ------------------------------------------------------------------
    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        self.record(body)
        url = urllib.parse.urlsplit(self.path)
        path = url.path
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        scenario = self.scenario()
        fault = self.fault(scenario, path)
        unknown = sorted(set(fault) - set(FAULTS))
        if unknown:
            self.send(500, ("unknown faults %s" % unknown).encode(), {}, "text/plain")
            return

        if path in API:
            section, missing_code = API[path]
            answers = scenario.get(section) or {}
            key = "%s:%s" % (query.get("vid", ""), query.get("pid", ""))
            if key in answers:
                answer = answers[key]
            elif "*" in answers:
                answer = answers["*"]
            else:
                answer = {"result": 1, "data": {"errorCode": missing_code}}
            answer = self.expand(answer)
            if fault.get("third_member") and isinstance(answer, dict):
                answer = dict(answer)
                answer["extra"] = 1
            self.send(200, json.dumps(answer, ensure_ascii=False).encode("utf-8"), fault)
            return

        if path in ("/download/device/device.json", "/download/device/device.md5"):
            whitelist = scenario.get("whitelist")
            if isinstance(whitelist, dict) and "file" in whitelist:
                with open(whitelist["file"], "rb") as f:
                    document = f.read()
            elif isinstance(whitelist, str):
                document = whitelist.encode("utf-8")
            else:
                self.send(404, b"no whitelist", fault, "text/plain")
                return
            if path.endswith(".json"):
                self.send(200, document, fault)
                return
            digest = scenario.get("whitelist_md5", "auto")
            if digest == "auto":
                digest = hashlib.md5(document).hexdigest()
            if fault.get("wrong_md5"):
                digest = hashlib.md5(document + b"changed").hexdigest()
            self.send(200, digest.encode("utf-8"), fault, "text/plain")
            return

        if path.startswith("/download/driver/"):
            try:
                with open(self.driver_path(path[len("/download/driver/"):]), "rb") as f:
                    data = f.read()
            except OSError:
                self.send(404, b"no such driver", fault, "text/plain")
                return
            if fault.get("wrong_md5") and data:
                data = data[:-1] + bytes([data[-1] ^ 0xFF])
            self.send(200, data, fault, "application/octet-stream")
            return

        self.send(404, b"not found", fault, "text/plain")

    do_GET = handle_any
    do_POST = handle_any


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that speaks plain HTTP to the TLS port, or gives up, is no emulator fault.
        if isinstance(sys.exc_info()[1], (ssl.SSLError, ConnectionError)):
            return
        super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=18089)
    parser.add_argument("--scenario", default="")
    parser.add_argument("--drivers", default="")
    parser.add_argument("--log", default="")
    parser.add_argument("--tls-cert", default="")
    parser.add_argument("--tls-key", default="")
    options = parser.parse_args()

    server = Server(("127.0.0.1", options.port), Emulator)
    if options.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.tls_cert, options.tls_key or None)
        # The handshake happens on the handler's thread, so a slow client holds up no other.
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    server.options = options
    server.log_lock = threading.Lock()

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("READY %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except SystemExit:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
