#!/usr/bin/env python3
# Local stand-in for the cloud service that knows phones and their ADB drivers, on
# 127.0.0.1:18089: the four API endpoints and the whitelist files from a scenario file, driver
# packages from a folder; every request recorded as one JSON line.
#   cloud_emulator.py SCENARIO DRIVERS_DIR LOG [CERT.pem KEY.pem]
# With a certificate it speaks TLS only (its base URL is then https). Prints "READY <port>" once
# listening; exits on SIGTERM.
#
# Scenario (JSON, read again for every request):
#   {"device": {"18D1:4EE2": ANSWER, "*": ANSWER},   /api/v1/drive/device/; likewise
#    "query": {...}, "report": {...}, "installerror": {...},
#    "whitelist": "device.json text",                  device.md5 is its digest; none: 404
#    "hold": {"/download/driver/NAME": SECONDS}}       answers that path only after so long
# ANSWER is the JSON document sent back; in its strings "{base}" becomes this server's base URL
# and "{md5:NAME}" the digest of driver package NAME. An unknown vid:pid without "*" gets
# {"result":1,"data":{"errorCode":CODE}} with the endpoint's code below.
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

API = {"/api/v1/drive/device/": ("device", 20205), "/api/v1/drive/query/": ("query", 20201),
       "/api/v1/drive/report/": ("report", 20204), "/api/v1/drive/installerror/": ("installerror", 20207)}


class Emulator(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, fmt, *args):  # keep the test output clean
        pass

    def driver(self, name):
        path = os.path.join(self.server.drivers, os.path.basename(name))
        if os.path.isfile(path):
            with open(path, "rb") as f:
                return f.read()

    def expand(self, value):
        if isinstance(value, dict):
            return {k: self.expand(v) for k, v in value.items()}
        if not isinstance(value, str):
            return value
        value = value.replace("{base}", "%s://127.0.0.1:%d" % (self.server.scheme, self.server.server_address[1]))
        return re.sub(r"\{md5:([^}]+)\}", lambda m: hashlib.md5(self.driver(m.group(1)) or b"").hexdigest(), value)

    def do_GET(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        with self.server.lock, open(self.server.log, "a") as f:
            f.write(json.dumps({"method": self.command, "path": self.path, "body": body.decode("latin-1"),
                                "headers": [[k, v] for k, v in self.headers.items()]}) + "\n")
        url = urllib.parse.urlsplit(self.path)
        with open(self.server.scenario, encoding="utf-8") as f:
            scenario = json.loads(f.read() or "{}")
        whitelist = scenario.get("whitelist", "").encode("utf-8")
        time.sleep(float((scenario.get("hold") or {}).get(url.path, 0)))
        if url.path in API:
            section, missing = API[url.path]
            query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
            answers = scenario.get(section) or {}
            answer = answers.get("%s:%s" % (query.get("vid", ""), query.get("pid", "")),
                                 answers.get("*", {"result": 1, "data": {"errorCode": missing}}))
            self.reply(json.dumps(self.expand(answer), ensure_ascii=False).encode("utf-8"), "application/json")
        elif url.path == "/download/device/device.json" and whitelist:
            self.reply(whitelist, "application/json")
        elif url.path == "/download/device/device.md5" and whitelist:
            self.reply(hashlib.md5(whitelist).hexdigest().encode(), "text/plain")
        elif url.path.startswith("/download/driver/") and self.driver(url.path) is not None:
            self.reply(self.driver(url.path), "application/octet-stream")
        else:
            self.reply(b"not found", "text/plain", 404)

    do_POST = do_GET

    def reply(self, data, content_type, status=200):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that speaks plain HTTP to the TLS port, or gives up, is no emulator fault.
        if not isinstance(sys.exc_info()[1], (ssl.SSLError, ConnectionError)):
            super().handle_error(request, client_address)


def main(scenario, drivers, log, cert=None, key=None):
    server = Server(("127.0.0.1", 18089), Emulator)
    server.scenario, server.drivers, server.log, server.lock = scenario, drivers, log, threading.Lock()
    server.scheme = "https" if cert else "http"
    if cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        # The handshake happens on the handler's thread, so a slow client holds up no other.
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    print("READY %d" % server.server_address[1], flush=True)
    server.serve_forever(poll_interval=0.2)
    server.server_close()


if __name__ == "__main__":
    main(*sys.argv[1:])
