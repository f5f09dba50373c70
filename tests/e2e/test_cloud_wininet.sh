#!/usr/bin/env bash
# WinInet against the cloud emulator: the adapter test program makes real requests under Wine,
# then the emulator's request log is checked for the exact agents, headers and query strings.
#   test_cloud_wininet.sh BUILD_TREE
set -u
tree=$(cd "${1:?Windows build tree}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
exe=$tree/bin/usb_wine_adapter_tests.exe
[ -x "$exe" ] || [ -f "$exe" ] || { echo "missing $exe"; exit 1; }

work=$(mktemp -d)
emulator_pid=
cleanup() {
  [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null && wait "$emulator_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

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
  "whitelist": "{\"vendors\": []}\n",
  "faults": {"/download/driver/cut.zip": {"truncate": 100},
             "/download/driver/bent.zip": {"wrong_md5": true}}
}
JSON

python3 "$here/cloud_emulator.py" --port 0 --scenario "$work/scenario.json" --drivers "$work/drivers" \
  --log "$work/requests.jsonl" >"$work/emulator.out" 2>&1 &
emulator_pid=$!
for _ in $(seq 100); do grep -q '^READY ' "$work/emulator.out" && break; sleep 0.1; done
port=$(awk '/^READY /{print $2}' "$work/emulator.out")
[ -n "$port" ] || { echo "emulator did not start"; cat "$work/emulator.out"; exit 1; }
echo "cloud emulator on port $port"

export USBHELPER_WIN_BUILD=$tree WINEDEBUG=-all
export USBHELPER_CLOUD_PORT=$port USBHELPER_PKG_MD5=$pkg_md5 USBHELPER_PKG_SIZE=$pkg_size
export WINEPREFIX=${WINEPREFIX:-$tree/wineprefix}
# Wine passes the environment on to Windows programs.
"$top/scripts/wine-run" "$exe" --gtest_filter='WinInetCloud.*:HostInstallService.*'
rc=$?
[ $rc -eq 0 ] || { echo "adapter tests failed ($rc)"; exit $rc; }

python3 - "$work/requests.jsonl" "$pkg_md5" <<'PY'
import json, sys
records = [json.loads(l) for l in open(sys.argv[1])]
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
post = find("/api/v1/drive/report/?vid=18D1&pid=4EE2&os=win7&platform=x64", "POST")
check(len(post) == 1 and post[0]["body"] == "a=1&b=2", "POST body %r" % post)
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
if errors:
    print("\n".join(errors))
    sys.exit(1)
print("recorded requests: %d, all as expected" % len(records))
PY
