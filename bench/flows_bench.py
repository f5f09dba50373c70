"""A hub of phones under Wine: sixteen phones of four models plugged at once and listed by the ADB
server 1.5 s later, each case beside the same run with config_ini.txt's one_phone_at_a_time=1
(phones taken up one after another). Prints figures; asserts nothing.
  - all ready: from the listing to the last WM_DEVICE_ONLINE
  - one phone the server never lists: the other fifteen
  - one phone whose driver download the cloud holds for 8 s: the other fifteen
  - a USB_RETRY for an online phone while another phone waits: to its first answer, the retry's
    WM_CHECKING_ADB_DRIVER"""
import datetime
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import MESSAGE, Scenario, read_lines  # noqa: E402
from wine_bench import stamp_ms  # noqa: E402

MODELS = [("18D1", "4EE2"), ("18D1", "4EE3"), ("22B8", "2E76"), ("2717", "FF48")]
WHITELIST = json.dumps({"data": [{"vid": v, "pid": p, "description": "Bench Phone", "isadbopen": "yes"}
                                 for v, p in MODELS]}) + "\n"
PHONES = 16
HELD_S = 8


def now_ms():
    t = datetime.datetime.now()
    return ((t.hour * 60 + t.minute) * 60 + t.second) * 1000 + t.microsecond // 1000


def messages(s, name):
    # (time stamp, device_sn) of every host message of this name so far.
    out = []
    for line in read_lines(s.out_path):
        m = MESSAGE.match(line)
        if m and m.group(3) == name:
            out.append((stamp_ms(m.group(1)), json.loads(m.group(4)).get("device_sn", "")))
    return out


def wait_count(s, name, count, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        found = messages(s, name)
        if len(found) >= count:
            return found
        time.sleep(0.05)
    raise AssertionError("only %d %s within %ds" % (len(messages(s, name)), name, timeout))


def start(tree, one_at_a_time, cloud="{}", drivers=None):
    s = Scenario(tree)
    s.put_beside_host("whitelist.json", WHITELIST)
    if one_at_a_time:
        s.put_beside_host("config_ini.txt", "[usb]\none_phone_at_a_time=1\n")
    if drivers:
        s.put_beside_host("zordrvinst.exe", copy_of="fake_driver_installer.exe")
        s.put_beside_host("zordrvinstx64.exe", copy_of="fake_driver_installer.exe")
    s.start_adb("")
    s.start_cloud(cloud, drivers or os.path.join(s.work, "drivers"))
    s.start_host()
    s.send("sleep 1500")
    return s


def hub(tree, one_at_a_time, case):
    # Unique in their first eight characters, as the simulated interfaces name them by.
    serials = ["HUB%02dPHN" % i for i in range(PHONES)]
    odd = serials[0]  # plugged first: the one that waits (one after another, it holds the rest)
    with tempfile.TemporaryDirectory(prefix="bench-drivers-") as drivers:
        cloud = "{}"
        if case == "held":
            with open(os.path.join(drivers, "drv.zip"), "wb") as f:
                f.write(os.urandom(50000))
            cloud = json.dumps({"hold": {"/download/driver/drv.zip": HELD_S},
                                "query": {"%s:%s" % MODELS[0]: {"result": 0, "data": {
                                    "deviceurl": "{base}/download/driver/drv.zip", "filemd5": "{md5:drv.zip}",
                                    "generalDriveURL": "", "generalDriveMD5": ""}}}})
        with start(tree, one_at_a_time, cloud, drivers if case == "held" else None) as s:
            for i, serial in enumerate(serials):
                vid, pid = MODELS[i % len(MODELS)]
                s.send("plug %s %s %s%s" % (vid, pid, serial, " nodriver" if case == "held" and i == 0 else ""))
            deadline = time.time() + 60
            while sum(1 for l in read_lines(s.out_path) if l == "plug: ok") < PHONES and time.time() < deadline:
                time.sleep(0.05)
            time.sleep(1.5)
            listed = [sn for sn in serials if not (case == "never" and sn == odd)]
            listed_at = now_ms()
            s.set_adb_devices(",".join(sn + ":device" for sn in listed))
            others = [sn for sn in listed if not (case == "held" and sn == odd)]
            deadline = time.time() + 300
            while time.time() < deadline:
                online = [(t, sn) for t, sn in messages(s, "WM_DEVICE_ONLINE") if sn in others]
                if len(online) >= len(others):
                    break
                time.sleep(0.05)
            s.finish()
            return max(t for t, _ in online) - listed_at


def retry_answer(tree, one_at_a_time):
    with start(tree, one_at_a_time) as s:
        s.set_adb_devices("BENCH0001:device,OTHER0009:device")
        s.send("plug 18D1 4EE2 BENCH0001")
        wait_count(s, "WM_DEVICE_ONLINE", 1, 60)
        s.send("plug 18D1 4EE3 WAITING0002")  # never listed: waits through its attempts
        wait_count(s, "WM_CHECKING_ADB_CONNECTING", 2, 60)
        time.sleep(1)
        before = len(messages(s, "WM_CHECKING_ADB_DRIVER"))
        asked = now_ms()
        s.send("retry BENCH0001 11040")  # a retry starts again from step 1: its first message is 11050
        answered = wait_count(s, "WM_CHECKING_ADB_DRIVER", before + 1, 60)[before][0]
        s.finish()
        return answered - asked


def main(tree):
    rows = [("16 phones, listing to the last WM_DEVICE_ONLINE", lambda one: hub(tree, one, "ready"), 300),
            ("16 phones, one never listed: the other 15", lambda one: hub(tree, one, "never"), 300),
            ("16 phones, one driver download held %d s: the other 15" % HELD_S, lambda one: hub(tree, one, "held"), 300),
            ("USB_RETRY for an online phone while another waits: its 11050", lambda one: retry_answer(tree, one), 50)]
    for title, measure, goal in rows:
        each, reference = measure(False), measure(True)
        print("%-66s %7d ms (goal %d)   (reference: one_phone_at_a_time=1 %7d ms)" % (title, each, goal, reference))


if __name__ == "__main__":
    main(sys.argv[1])
