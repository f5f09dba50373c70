"""Whole-library figures under Wine: plug-to-online time of a ready phone, DLL size."""
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import Scenario  # noqa: E402

WHITELIST = '{"data":[{"vid":"18D1","pid":"4EE2","description":"Bench Phone","isadbopen":"yes"}]}\n'


def stamp_ms(stamp):
    h, m, rest = stamp.split(":")
    s, ms = rest.split(".")
    return ((int(h) * 60 + int(m)) * 60 + int(s)) * 1000 + int(ms)


def main(tree, ship_tree):
    rounds = 5
    with Scenario(tree) as s:
        s.put_beside_host("whitelist.json", WHITELIST)
        s.start_adb("BENCH0001:device")
        s.start_host()
        s.send("sleep 1500")
        plug_to_online, query = [], []
        for _ in range(rounds):
            s.send("echo plugged", "plug 18D1 4EE2 BENCH0001")
            s.expect("WM_DEVICE_ONLINE", 60)
            s.send("unplug 18D1 4EE2 BENCH0001")
            s.expect("WM_DEVICE_OFFLINE", 30)
            t = time.time()
            s.send("hasphone", "echo queried")
            while "queried" not in s.output()[-200:]:
                time.sleep(0.01)
            query.append((time.time() - t) * 1000)
        run = s.finish()
        lines = run.output.splitlines()
        marks = [i for i, l in enumerate(lines) if l == "plugged"]
        for i in marks:
            onl = next(m for m in run.messages if m.name == "WM_DEVICE_ONLINE" and lines.index(
                "%s %d %s %s" % (m.stamp, m.id, m.name, m.text)) > i)
            first = next(m for m in run.messages if m.name == "WM_TRY_CONNECT_PHONE" and lines.index(
                "%s %d %s %s" % (m.stamp, m.id, m.name, m.text)) > i)
            plug_to_online.append(stamp_ms(onl.stamp) - stamp_ms(first.stamp))
    online = statistics.median(plug_to_online)
    ref = statistics.median(query)
    print("plug-to-online (first message to WM_DEVICE_ONLINE, ready phone) %7.1f ms median of %d"
          "   (reference: one IUSB_hasPhone round trip through usbmon %.1f ms, ratio %.1f)"
          % (online, rounds, ref, online / ref if ref else 0))
    dll = os.path.getsize(os.path.join(ship_tree, "bin", "usbhelper.dll"))
    bridge = os.path.getsize(os.path.join(ship_tree, "bin", "AdbBridge.dll"))
    print("usbhelper.dll size (32-bit, static runtime) %9d bytes   (reference: AdbBridge.dll %d bytes, ratio %.1f)"
          % (dll, bridge, dll / bridge))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
