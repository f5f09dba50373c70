"""End-to-end scenarios on the real DLL under Wine. Usage: scenarios.py NAME WINDOWS_TREE"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Scenario, device_payload, serial_payload  # noqa: E402

SN = "0123456789ABCDEF"
PHONE = "18D1 4EE2 " + SN
ONLINE_FLOW = [11037, 11049, 11050, 11051, 11052, 11065]
WHITELIST = ('{"data":[{"vid":"18D1","pid":"4EE2","description":"Demo Phone","isadbopen":"yes"},'
             '{"vid":"22B8","pid":"2E76","description":"Closed Phone","isadbopen":"no"}]}\n')


class Failure(Exception):
    pass


def check(condition, what, run=None):
    if not condition:
        detail = "\n" + run.output if run is not None else ""
        raise Failure(what + detail)


def expect_flow(run, ids, what):
    got = [i for i in run.ids() if i in ids or i in (11065, 11066)]
    check(got[:len(ids)] == ids, "%s: expected %s, got %s" % (what, ids, run.ids()), run)


def prepare(s):
    s.put_beside_host("whitelist.json", WHITELIST)


def plugged_after_start(tree):
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb(SN + ":device")
        s.start_cloud()
        run = s.usbmon(["sleep 1000", "plug " + PHONE, "wait WM_DEVICE_ONLINE 90000",
                        "unplug " + PHONE, "wait WM_DEVICE_OFFLINE 30000"])
        check(run.code == 0, "usbmon waits timed out", run)
        expect_flow(run, ONLINE_FLOW, "arrival to online")
        by_id = {m.id: m.text for m in run.messages}
        check(by_id[11037] == serial_payload(SN), "WM_TRY_CONNECT_PHONE payload", run)
        check(by_id[11049] == serial_payload(SN), "WM_CHECKING_ADBMODE payload", run)
        check(by_id[11065] == device_payload(SN, "Demo Phone"), "WM_DEVICE_ONLINE payload", run)
        check(by_id[11066] == device_payload(SN, "Demo Phone"), "WM_DEVICE_OFFLINE payload", run)
        log = s.data_file("usb_log.txt")
        for text in ["step:0->notify ui to try connect the phone...", "step:4->check if the apk was installed?",
                     "usb cable broken, notify ui WM_CHECK_PHONE_EXTRACT"]:
            check(text in log, "log line: " + text)
        check(s.data_file("usb_track.txt") == "", "a phone that came online leaves no track line")


def plugged_at_start(tree):
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb(SN + ":device")
        s.start_cloud()
        run = s.usbmon(["wait WM_DEVICE_ONLINE 90000", "list", "unplug " + PHONE, "wait WM_DEVICE_OFFLINE 30000"],
                       before=["plug " + PHONE])
        check(run.code == 0, "usbmon waits timed out", run)
        expect_flow(run, ONLINE_FLOW, "phone present at start")
        check('list: [{"phone":"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#0123456789ABCDEF"}]' in run.output,
              "phone list while plugged", run)
        check("find a usb phone is" in s.data_file("usb_log.txt"), "the initial scan found the phone")


def never_announced(tree):
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb("")
        s.start_cloud()
        run = s.usbmon(["sleep 1000", "plug 18D1 4EE3 KBD0001 keyboard", "plug 1234 5678 UNKNOWN01",
                        "sleep 3000", "isphone \\\\?\\USB#VID_18D1&PID_4EE3#KBD0001", "hasphone",
                        "unplug 18D1 4EE3 KBD0001 keyboard", "unplug 1234 5678 UNKNOWN01"])
        check(not [m for m in run.messages if m.id != 11066], "nothing is announced", run)
        check("isphone: no" in run.output and "hasphone: no" in run.output, "queries answer no", run)
        check("no this vendor 1234" in s.data_file("usb_log.txt"), "unknown vendor refused in the log")


def adb_debug_off(tree):
    closed_sn = "CLOSED0001"
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb(closed_sn + ":device")
        s.start_cloud()
        run = s.usbmon(["sleep 1000", "plug 22B8 2E76 %s noadb" % closed_sn, "wait WM_ADB_OPEN 60000",
                        "retry %s 11024" % closed_sn, "wait WM_ADB_OPEN 60000",
                        "plug 22B8 2E76 %s" % closed_sn,  # the user switched USB debugging on
                        "retry %s 11024" % closed_sn, "wait WM_DEVICE_ONLINE 90000",
                        "unplug 22B8 2E76 %s" % closed_sn])
        check(run.code == 0, "usbmon waits timed out", run)
        ids = run.ids()
        check(ids.count(11024) == 2, "two WM_ADB_OPEN prompts", run)
        first = [m for m in run.messages if m.id == 11024][0]
        check(first.text == device_payload(closed_sn, "Closed Phone", adb=False, driver=False),
              "WM_ADB_OPEN payload", run)
        track = s.data_file("usb_track.txt").splitlines()
        check(len(track) >= 1 and track[0].endswith("checkadbdebug-->dmfail-->"), "track line of the attempt: %r" % track)
        check("&vid=22B8&pid=2E76&sn=%s&desc=Closed Phone&process=" % closed_sn in track[0], "track header")
        after = ids[ids.index(11024, ids.index(11024) + 1):]
        check(11037 in after and 11065 in after, "second answer re-runs from the driver to online", run)


def two_phones_one_model(tree):
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb("")
        s.start_cloud()
        run = s.usbmon(["list"], before=["plug 18D1 4EE2 AAAA0001", "plug 18D1 4EE2 BBBB0002"])
        check('"phone":"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#AAAA0001"' in run.output and
              '"phone":"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#BBBB0002"' in run.output, "two list elements", run)
        s.usbmon(["unplug 18D1 4EE2 AAAA0001", "unplug 18D1 4EE2 BBBB0002"])


def serial_corrected(tree):
    made_up = "6&2AB5C3F&0&1"
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb("R58M1234567:device")
        s.start_cloud()
        run = s.usbmon(["sleep 1000", "plug 18D1 4EE2 " + made_up, "wait WM_DEVICE_ONLINE 90000",
                        "unplug 18D1 4EE2 " + made_up])
        check(run.code == 0, "usbmon waits timed out", run)
        online = [m for m in run.messages if m.id == 11065][0]
        check(online.json["device_sn"] == "R58M1234567", "the ADB serial replaces the Windows-made one", run)
        log = s.data_file("usb_log.txt")
        check("this system sn has error" in log, "correction logged")


SCENARIOS = {f.__name__: f for f in [plugged_after_start, plugged_at_start, never_announced, adb_debug_off,
                                     two_phones_one_model, serial_corrected]}

if __name__ == "__main__":
    name, tree = sys.argv[1], sys.argv[2]
    try:
        SCENARIOS[name](tree)
    except Failure as e:
        print("FAILED %s: %s" % (name, e))
        sys.exit(1)
    print("passed " + name)
