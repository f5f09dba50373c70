"""Whole-library figures under Wine: plug-to-online time of a ready phone, DLL size."""
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import MESSAGE, Scenario, read_lines  # noqa: E402

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
        query = []
        for _ in range(rounds):
            s.send("echo plugged", "plug 18D1 4EE2 BENCH0001")
            s.expect("WM_DEVICE_ONLINE", 60)
            s.send("unplug 18D1 4EE2 BENCH0001")
            s.expect("WM_DEVICE_OFFLINE", 30)
            t = time.time()
            s.send("hasphone", "echo queried")
            s.expect("queried", 30)
            query.append((time.time() - t) * 1000)
        s.finish()
        # From each round's first message to its WM_DEVICE_ONLINE, by the host's time stamps.
        plug_to_online, first = [], None
        for line in read_lines(s.out_path):
            m = MESSAGE.match(line)
            if line == "plugged":
                first = None
            elif m and first is None:
                first = stamp_ms(m.group(1))
            elif m and m.group(3) == "WM_DEVICE_ONLINE":
                plug_to_online.append(stamp_ms(m.group(1)) - first)
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
