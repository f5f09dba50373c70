#!/bin/sh
# Runs the AdbBridge.dll test exe under Wine against the fake ADB server.
# Usage: run_wine_tests.sh DIR   (DIR holds AdbBridge.dll and adb_bridge_wine_test.exe)
# Exit code: the test exe's, 2 when the setup failed, 77 when Wine cannot run
# programs here at all (ctest reports that as skipped).
set -u
dir=${1:?usage: run_wine_tests.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
fake="$here/../../tests/e2e/fake_adb_server.py"
: "${WINEPREFIX:=/tmp/wine-adb}"
export WINEPREFIX WINEDEBUG=-all

for f in AdbBridge.dll adb_bridge_wine_test.exe; do
  [ -f "$dir/$f" ] || { echo "missing $dir/$f" >&2; exit 2; }
done

${WINE:-wine} cmd /c exit 0 >/dev/null 2>&1 || { echo "wine cannot run programs here" >&2; exit 77; }

work=$(mktemp -d /tmp/adb-wine-XXXXXX)
fake_pid=
port=
cleanup() {
  [ -n "$fake_pid" ] && kill "$fake_pid" 2>/dev/null && wait "$fake_pid" 2>/dev/null
  # A stand-in server the test left running gets told to exit.
  [ -n "$port" ] && python3 - "$port" <<'PY' 2>/dev/null
import socket, sys
try:
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1)
    s.sendall(b"0009host:kill"); s.recv(4)
except OSError:
    pass
PY
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The exe is also copied as adb.exe: IUSB_AdbServerStart looks beside the
# host executable first, and the exe then acts as a minimal server.
cp "$dir/AdbBridge.dll" "$dir/adb_bridge_wine_test.exe" "$work/"
cp "$dir/adb_bridge_wine_test.exe" "$work/adb.exe"

python3 "$fake" 0 --version 39 --devices "WINE1:device,WINE2:offline" \
  --log "$work/requests.log" --root "$work/device" >"$work/ready" 2>"$work/fake.err" &
fake_pid=$!
i=0
while [ $i -lt 100 ] && ! grep -q READY "$work/ready" 2>/dev/null; do
  sleep 0.05; i=$((i + 1))
done
port=$(sed -n 's/^READY //p' "$work/ready")
[ -n "$port" ] || { echo "fake server did not start" >&2; cat "$work/fake.err" >&2; exit 2; }

cd "$work" || exit 2
ANDROID_ADB_SERVER_PORT=$port ${WINE:-wine} ./adb_bridge_wine_test.exe "$@"
rc=$?
# The fake saw what the DLL asked for; keep it in the output for failures.
[ $rc -eq 0 ] || { echo "--- requests seen by the fake server:"; cat "$work/requests.log"; }
exit $rc
