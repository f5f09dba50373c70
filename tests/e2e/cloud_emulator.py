#!/usr/bin/env python3
# Local stand-in for the cloud service that knows phones and their ADB drivers: the four API
# endpoints and the whitelist files from a scenario file, driver packages from a folder; every
# request recorded as one JSON line; misbehaving on demand.
#   cloud_emulator.py [--port 18089] [--scenario FILE] [--drivers DIR] [--log FILE] [--tls-cert PEM --tls-key PEM]
# Port 0 picks a free port. With a certificate it speaks TLS only (its base URL is then https).
# Prints "READY <port>" once listening; exits on SIGTERM.
#
# Scenario (JSON, read again for every request so a test may change it between steps):
#   {"device": {"18D1:4EE2": ANSWER, "*": ANSWER},   /api/v1/drive/device/; likewise
#    "query": {...}, "report": {...}, "installerror": {...},
#    "whitelist": "device.json text",                 device.md5 is its digest
#    "faults": {"PATH PREFIX": {FAULT: VALUE, ...}}}
# ANSWER is the JSON document sent back; in its strings "{base}" becomes this server's base URL
# and "{md5:NAME}" the digest of driver package NAME. An unknown vid:pid without "*" gets
# {"result":1,"data":{"errorCode":CODE}} with the endpoint's code below.
# Faults (a scenario naming another gets 500):
#   status     answer with this HTTP status; the body stays what it would have been
#   truncate   close the connection after this many body bytes; Content-Length stays whole
#   wrong_md5  device.md5 announces another digest; a driver package has its last byte flipped
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
import urllib.parse

FAULTS = ("status", "truncate", "wrong_md5")
API = {"/api/v1/drive/device/": ("device", 20205), "/api/v1/drive/query/": ("query", 20201),
       "/api/v1/drive/report/": ("report", 20204), "/api/v1/drive/installerror/": ("installerror", 20207)}


class Emulator(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, fmt, *args):  # keep the test output clean
        pass

    def driver(self, name):
        try:
            with open(os.path.join(self.server.options.drivers or ".", os.path.basename(name)), "rb") as f:
                return f.read()
        except OSError:
            return None

    def expand(self, value):
        if isinstance(value, str):
            base = "%s://127.0.0.1:%d" % ("https" if self.server.options.tls_cert else "http", self.server.server_address[1])
            return re.sub(r"\{md5:([^}]+)\}", lambda m: hashlib.md5(self.driver(m.group(1)) or b"").hexdigest(),
                          value.replace("{base}", base))
        if isinstance(value, dict):
            return {k: self.expand(v) for k, v in value.items()}
        return [self.expand(v) for v in value] if isinstance(value, list) else value

    def send(self, status, payload, fault, content_type="application/json"):
        sent = payload[:int(fault["truncate"])] if fault.get("truncate") is not None else payload
        self.send_response(int(fault.get("status") or status))
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        try:
            self.wfile.write(sent)
            self.wfile.flush()
            if len(sent) != len(payload):
                self.close_connection = True
                self.connection.shutdown(2)
        except OSError:
            pass

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        if self.server.options.log:
            line = json.dumps({"method": self.command, "path": self.path, "body": body.decode("latin-1"),
                               "headers": [[k, v] for k, v in self.headers.items()]})
            with self.server.log_lock, open(self.server.options.log, "a") as f:
                f.write(line + "\n")
        url = urllib.parse.urlsplit(self.path)
        path, query = url.path, dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        with open(self.server.options.scenario or os.devnull, "rb") as f:
            scenario = json.loads(f.read().decode("utf-8") or "{}")
        fault = next((f for p, f in (scenario.get("faults") or {}).items() if path.startswith(p)), {})
        if set(fault) - set(FAULTS):
            return self.send(500, ("unknown faults %s" % sorted(set(fault) - set(FAULTS))).encode(), {}, "text/plain")
        if path in API:
            section, missing = API[path]
            answers = scenario.get(section) or {}
            answer = answers.get("%s:%s" % (query.get("vid", ""), query.get("pid", "")),
                                 answers.get("*", {"result": 1, "data": {"errorCode": missing}}))
            return self.send(200, json.dumps(self.expand(answer), ensure_ascii=False).encode("utf-8"), fault)
        if path in ("/download/device/device.json", "/download/device/device.md5"):
            if not isinstance(scenario.get("whitelist"), str):
                return self.send(404, b"no whitelist", fault, "text/plain")
            document = scenario["whitelist"].encode("utf-8")
            if path.endswith(".json"):
                return self.send(200, document, fault)
            digest = hashlib.md5(document + (b"changed" if fault.get("wrong_md5") else b"")).hexdigest()
            return self.send(200, digest.encode("utf-8"), fault, "text/plain")
        data = self.driver(path[len("/download/driver/"):]) if path.startswith("/download/driver/") else None
        if data is None:
            return self.send(404, b"not found", fault, "text/plain")
        if fault.get("wrong_md5") and data:
            data = data[:-1] + bytes([data[-1] ^ 0xFF])
        self.send(200, data, fault, "application/octet-stream")

    do_GET = handle_any
    do_POST = handle_any


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that speaks plain HTTP to the TLS port, or gives up, is no emulator fault.
        if not isinstance(sys.exc_info()[1], (ssl.SSLError, ConnectionError)):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description="cloud service emulator")
    for name, default in (("--port", 18089), ("--scenario", ""), ("--drivers", ""), ("--log", ""),
                          ("--tls-cert", ""), ("--tls-key", "")):
        parser.add_argument(name, type=type(default), default=default)
    options = parser.parse_args()
    server = Server(("127.0.0.1", options.port), Emulator)
    if options.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.tls_cert, options.tls_key or None)
        # The handshake happens on the handler's thread, so a slow client holds up no other.
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    server.options = options
    server.log_lock = threading.Lock()
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    print("READY %d" % server.server_address[1], flush=True)
    server.serve_forever(poll_interval=0.2)
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
