#!/bin/sh
# Runs the AdbBridge.dll test exe under Wine against the fake ADB server.
# Usage: run_wine_tests.sh WIN_BUILD [gtest options]
#   WIN_BUILD is a Windows build tree (AdbBridge.dll and adb_bridge_wine_test.exe
#   in WIN_BUILD/bin) or the folder holding both.
# Exit code: the test exe's, 2 when the setup failed, 77 when Wine cannot run
# programs here at all (ctest reports that as skipped).
set -u
tree=$(cd "${1:?usage: run_wine_tests.sh WIN_BUILD}" && pwd) || exit 2
shift
here=$(cd "$(dirname "$0")" && pwd)
fake="$here/../../tests/e2e/fake_adb_server.py"

bin=
for d in "$tree/bin" "$tree"; do
  if [ -f "$d/AdbBridge.dll" ] && [ -f "$d/adb_bridge_wine_test.exe" ]; then bin=$d; break; fi
done
[ -n "$bin" ] || { echo "no AdbBridge.dll + adb_bridge_wine_test.exe under $tree" >&2; exit 2; }

# The loader scripts/wine-env chose for the calling script (32-bit where the kernel allows
# it); picked the same way when run by hand.
if [ -z "${USBHELPER_WINE:-}" ] && [ -f "$here/../../scripts/wine-env" ]; then
  . "$here/../../scripts/wine-env"
fi
wine=${WINE:-${USBHELPER_WINE:-wine}}
[ -d "$tree/wineprefix" ] && : "${WINEPREFIX:=$tree/wineprefix}"
export WINEDEBUG=${WINEDEBUG:--all}
[ -n "${WINEPREFIX:-}" ] && export WINEPREFIX

# A 32-bit exe needs a kernel that runs 32-bit code; say so rather than fail.
"$wine" "$bin/adb_bridge_wine_test.exe" --gtest_list_tests >/dev/null 2>&1 </dev/null ||
  { echo "$wine cannot run $bin/adb_bridge_wine_test.exe here" >&2; exit 77; }

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
cp "$bin/AdbBridge.dll" "$bin/adb_bridge_wine_test.exe" "$work/"
cp "$bin/adb_bridge_wine_test.exe" "$work/adb.exe"

python3 "$fake" 0 --version 39 --devices "WINE1:device,WINE2:offline" \
  --log "$work/requests.log" --root "$work/device" >"$work/ready" 2>"$work/fake.err" &
fake_pid=$!
i=0
while [ $i -lt 100 ] && ! grep -q READY "$work/ready" 2>/dev/null; do
  sleep 0.05; i=$((i + 1))
done
port=$(sed -n 's/^READY //p' "$work/ready")
[ -n "$port" ] || { echo "fake server did not start" >&2; cat "$work/fake.err" >&2; exit 2; }

# Output goes through a file: Wine's helper processes can hold inherited pipes open.
cd "$work" || exit 2
ANDROID_ADB_SERVER_PORT=$port "$wine" ./adb_bridge_wine_test.exe "$@" >"$work/out" 2>&1 </dev/null
rc=$?
cat "$work/out"
[ $rc -eq 0 ] || { echo "--- requests seen by the fake server:"; cat "$work/requests.log"; }
exit $rc
