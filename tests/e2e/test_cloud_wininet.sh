#!/usr/bin/env bash
# WinInet against the cloud emulator, over plain HTTP and over TLS with a certificate made here
# and trusted by the prefix: the adapter test program makes real requests under Wine, then the
# emulators' request logs are checked for the exact agents, headers and query strings.
#   test_cloud_wininet.sh BUILD_TREE
set -u
tree=$(cd "${1:?Windows build tree}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
exe=$tree/bin/usb_wine_adapter_tests.exe
[ -x "$exe" ] || [ -f "$exe" ] || { echo "missing $exe"; exit 1; }

work=$(mktemp -d)
emulator_pids=()
trusted=
cleanup() {
  for pid in "${emulator_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  [ -n "$trusted" ] && "$top/scripts/wine-run" "$tree/bin/trust_cert.exe" remove "$trusted" >/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX=${WINEPREFIX:-$tree/wineprefix}

# A package of a few chunks, its twins for the cut and bent answers.
mkdir -p "$work/drivers"
python3 -c "import os,sys; sys.stdout.buffer.write(bytes(range(256))*200)" >"$work/drivers/pkg.zip"
cp "$work/drivers/pkg.zip" "$work/drivers/cut.zip"
cp "$work/drivers/pkg.zip" "$work/drivers/bent.zip"
pkg_md5=$(md5sum "$work/drivers/pkg.zip" | cut -d' ' -f1)
pkg_size=$(stat -c %s "$work/drivers/pkg.zip")
cat >"$work/scenario.json" <<JSON
{
  "device": {"*": {"result": 0, "data": {"isadbopen": "yes", "description": "Phone", "deviceurl": ""}}},
  "query": {"18D1:4EE2": {"result": 0, "data": {"deviceurl": "{base}/download/driver/pkg.zip",
                                                "filemd5": "{md5:pkg.zip}"}}},
  "report": {"*": {"result": 0, "data": null}},
  "installerror": {"*": {"result": 0, "data": null}},
  "whitelist": "{\"data\": []}\n",
  "faults": {"/download/driver/cut.zip": {"truncate": 100},
             "/download/driver/bent.zip": {"wrong_md5": true},
             "/api/v1/drive/installerror/": {"status": 500}}
}
JSON

# A certificate for 127.0.0.1, trusted by the prefix for this run only.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -addext "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null &&
  openssl x509 -in "$work/cert.pem" -outform DER -out "$work/cert.der" ||
  { echo "openssl could not make a certificate"; exit 1; }

start_emulator() {  # name [emulator options]; its port in $started_port (no subshell: its pid is kept)
  local name=$1
  shift
  python3 "$here/cloud_emulator.py" --port 0 --scenario "$work/scenario.json" --drivers "$work/drivers" \
    --log "$work/$name.jsonl" "$@" >"$work/$name.out" 2>&1 &
  emulator_pids+=($!)
  for _ in $(seq 100); do grep -q '^READY ' "$work/$name.out" && break; sleep 0.1; done
  started_port=$(awk '/^READY /{print $2}' "$work/$name.out")
}
start_emulator plain
port=$started_port
start_emulator tls --tls-cert "$work/cert.pem" --tls-key "$work/key.pem"
tls_port=$started_port
[ -n "$port" ] && [ -n "$tls_port" ] || { echo "emulators did not start"; cat "$work"/*.out; exit 1; }
echo "cloud emulator on port $port, over TLS on $tls_port"

export USBHELPER_WIN_BUILD=$tree WINEDEBUG=-all
trusted="Z:${work//\//\\}\\cert.der"
"$top/scripts/wine-run" "$tree/bin/trust_cert.exe" add "$trusted" || { echo "the prefix does not trust it"; exit 1; }
export USBHELPER_CLOUD_PORT=$port USBHELPER_CLOUD_TLS_PORT=$tls_port
export USBHELPER_PKG_MD5=$pkg_md5 USBHELPER_PKG_SIZE=$pkg_size
# Wine passes the environment on to Windows programs.
"$top/scripts/wine-run" "$exe" --gtest_filter='WinInetCloud.*:HostInstallService.*'
rc=$?
[ $rc -eq 0 ] || { echo "adapter tests failed ($rc)"; cat "$work/tls.out"; exit $rc; }

python3 - "$work/plain.jsonl" "$work/tls.jsonl" <<'PY'
import json, sys
records = [json.loads(l) for l in open(sys.argv[1])]
secure = [json.loads(l) for l in open(sys.argv[2])]
def find(path_start, method=None):
    return [r for r in records if r["path"].startswith(path_start) and (method is None or r["method"] == method)]
def header(r, name):
    return [v for k, v in r["headers"] if k.lower() == name.lower()]
errors = []
def check(ok, text):
    if not ok:
        errors.append(text)

agent = "Mozilla/4.0 (compatible; MSIE 5.0; Windows NT 5.0)"
get = find("/api/v1/drive/device/?vid=18D1&pid=4EE2&tk=t0", "GET")
check(len(get) == 1, "GET with data appended: %r" % [r["path"] for r in records])
for r in get:
    check(header(r, "User-Agent") == [agent], "request agent %r" % header(r, "User-Agent"))
    check(header(r, "Accept") == ["*/*"], "accept %r" % header(r, "Accept"))
    check(header(r, "Content-Type") == ["application/x-www-form-urlencoded"], "content type %r" % header(r, "Content-Type"))
    check(r["body"] == "", "GET body %r" % r["body"])
post = [r for r in find("/api/v1/drive/report/?vid=18D1&pid=4EE2&os=win7&platform=x64", "POST")
        if r["body"] == "a=1&b=2"]
check(len(post) == 1, "POST body %r" % post)
for r in post:
    check(header(r, "Content-Type") == ["application/x-www-form-urlencoded"], "POST content type")
    check(header(r, "User-Agent") == [agent], "POST agent")
query = find("/api/v1/drive/query/?vid=18D1&pid=4EE2&os=", "GET")
check(len(query) == 1, "driver query %r" % [r["path"] for r in records])
for r in query:
    check("&platform=x" in r["path"] and "&tk=" in r["path"], "driver query string %r" % r["path"])
downloads = find("/download/driver/pkg.zip", "GET")
check(len(downloads) >= 2, "package downloads %d" % len(downloads))
for r in downloads:
    check(header(r, "User-Agent") == ["DownFile"], "download agent %r" % header(r, "User-Agent"))
# Over TLS: the driver query, the digest and the package all reached the TLS emulator.
for start in ("/api/v1/drive/query/?vid=18D1&pid=4EE2&os=", "/download/device/device.md5", "/download/driver/pkg.zip"):
    check([r for r in secure if r["path"].startswith(start)], "over TLS: %s in %r" % (start, [r["path"] for r in secure]))
if errors:
    print("\n".join(errors))
    sys.exit(1)
print("recorded requests: %d, all as expected" % len(records))
PY
