"""Plug to online when the ADB server lists the phone 1,300 ms after WM_CHECKING_ADB_CONNECTING:
with a server that pushes its device list (the pauses end at the change) and with one that
refuses to (the pauses last their whole second). Prints both; asserts nothing."""
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import MESSAGE, Scenario  # noqa: E402
from wine_bench import WHITELIST, stamp_ms  # noqa: E402

LISTED_AFTER_MS = 1300


def lag_after_listed(tree, extra, rounds=3):
    with Scenario(tree) as s:
        s.put_beside_host("whitelist.json", WHITELIST)
        s.start_adb("", extra=["--appear-after", str(LISTED_AFTER_MS)] + extra)
        s.start_host()
        s.send("sleep 1500")
        lags = []
        for i in range(rounds):
            serial = "BENCH%04d" % i  # a serial of its own each round: the server's delay counts from its first listing
            s.set_adb_devices(serial + ":device")
            s.send("plug 18D1 4EE2 " + serial)
            asked = s.expect("WM_CHECKING_ADB_CONNECTING", 60)
            online = s.expect("WM_DEVICE_ONLINE", 60)
            took = stamp_ms(MESSAGE.match(online).group(1)) - stamp_ms(MESSAGE.match(asked).group(1))
            lags.append(took - LISTED_AFTER_MS)
            s.send("unplug 18D1 4EE2 " + serial)
            s.expect("WM_DEVICE_OFFLINE", 30)
        s.finish()
        return statistics.median(lags)


def main(tree):
    pushed = lag_after_listed(tree, [])
    polled = lag_after_listed(tree, ["--no-track"])
    print("WM_DEVICE_ONLINE after WM_CHECKING_ADB_CONNECTING, server lists the phone at %d ms: %6.0f ms with the "
          "pushed list, %.0f ms after the listing   (reference: %6.0f ms with one listing a second, %.0f ms after)"
          % (LISTED_AFTER_MS, LISTED_AFTER_MS + pushed, pushed, LISTED_AFTER_MS + polled, polled))


if __name__ == "__main__":
    main(sys.argv[1])
