"""End-to-end scenarios on the real DLL under Wine. Usage: scenarios.py NAME WINDOWS_TREE"""
import os
import sys
import time

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
        # The ADB interface's own description names the phone (the whitelist's is for phones without one).
        check(by_id[11065] == device_payload(SN, "Android Phone"), "WM_DEVICE_ONLINE payload", run)
        check(by_id[11066] == device_payload(SN, "Android Phone"), "WM_DEVICE_OFFLINE payload", run)
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
        run = s.usbmon(["sleep 1000", "plug 18D1 C001 KBD0001 keyboard", "plug 1234 5678 UNKNOWN01",
                        "sleep 3000", "isphone \\\\?\\USB#VID_18D1&PID_C001#KBD0001", "hasphone",
                        "unplug 18D1 C001 KBD0001 keyboard", "unplug 1234 5678 UNKNOWN01"])
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


def no_conflict(run):
    check(11045 not in run.ids(), "no WM_PHONE_SN_CONFLICT", run)


def two_phones_one_model(tree):
    a, b = "18D1 4EE2 AAAA0001", "18D1 4EE2 BBBB0002"
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb("AAAA0001:device,BBBB0002:device")
        s.start_cloud()
        run = s.usbmon(["wait WM_DEVICE_ONLINE 90000", "wait WM_DEVICE_ONLINE 90000", "list", "unplug " + a,
                        "unplug " + b, "wait WM_DEVICE_OFFLINE 30000", "wait WM_DEVICE_OFFLINE 30000"],
                       before=["plug " + a, "plug " + b])
        check(run.code == 0, "usbmon waits timed out", run)
        check('"phone":"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#AAAA0001"' in run.output and
              '"phone":"\\\\\\\\?\\\\USB#VID_18D1&PID_4EE2#BBBB0002"' in run.output, "two list elements", run)
        online = sorted(m.json["device_sn"] for m in run.messages if m.id == 11065)
        check(online == ["AAAA0001", "BBBB0002"], "each phone online with its own serial", run)
        offline = sorted(m.json["device_sn"] for m in run.messages if m.id == 11066)
        check(offline == ["AAAA0001", "BBBB0002"], "each phone offline once", run)
        no_conflict(run)


def two_models_second_listed_first(tree):
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb("BBBB0002:device")
        s.start_cloud()
        s.start_host(before=["plug 18D1 4EE2 AAAA0001", "plug 22B8 2E76 BBBB0002"])
        waiting = s.expect("WM_CHECKING_ADB_CONNECTING", 60)
        check(waiting.json["device_sn"] == "AAAA0001", "the unlisted phone is checked first: %s" % waiting.text)
        time.sleep(4)  # inside its 15 s listing wait, the other phone only is listed
        s.set_adb_devices("AAAA0001:device,BBBB0002:device")
        first, second = s.expect("WM_DEVICE_ONLINE", 30), s.expect("WM_DEVICE_ONLINE", 60)
        s.send("unplug 18D1 4EE2 AAAA0001", "unplug 22B8 2E76 BBBB0002")
        run = s.finish()
        check([first.json["device_sn"], second.json["device_sn"]] == ["AAAA0001", "BBBB0002"],
              "each online with its own serial", run)
        no_conflict(run)


def mouse_during_listing_wait(tree):
    mouse = "1234 5679 MOUSE0001 mouse"
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb("")
        s.start_cloud()
        s.start_host()
        s.send("sleep 1000", "plug " + PHONE)
        s.expect("WM_CHECKING_ADB_CONNECTING", 60)
        s.send("plug " + mouse, "sleep 500", "unplug " + mouse)
        time.sleep(3)
        s.set_adb_devices(SN + ":device")
        online = s.expect("WM_DEVICE_ONLINE", 30)
        s.send("unplug " + PHONE)
        s.expect("WM_DEVICE_OFFLINE", 30)
        run = s.finish()
        check(online.json["device_sn"] == SN, "the phone comes online", run)
        check(not {11059, 11040} & set(run.ids()), "no kill or rescan request for the phone", run)
        check("this device had been pluged out" not in s.data_file("usb_log.txt"), "the phone was not stopped")


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


def header(request, name):
    for key, value in request["headers"]:
        if key.lower() == name.lower():
            return value
    return None


def driver_from_cloud(tree):
    with Scenario(tree) as s:
        prepare(s)
        drivers = os.path.join(s.work, "drivers")
        os.makedirs(drivers)
        with open(os.path.join(drivers, "drv.zip"), "wb") as f:
            f.write(os.urandom(50000))
        # The library runs the installer beside the host that fits the platform it sees.
        for name in ("zordrvinst.exe", "zordrvinstx64.exe"):
            s.put_beside_host(name, copy_of="fake_driver_installer.exe")
        s.start_adb(SN + ":device")
        s.start_cloud({"query": {"18D1:4EE2": {"result": 0, "data": {
            "deviceurl": "{base}/download/driver/drv.zip", "filemd5": "{md5:drv.zip}",
            "generalDriveURL": "", "generalDriveMD5": ""}}}}, drivers=drivers)
        run = s.usbmon(["sleep 1000", "plug %s nodriver" % PHONE, "wait WM_DEVICE_ONLINE 120000",
                        "unplug " + PHONE])
        check(run.code == 0, "usbmon waits timed out", run)
        flow = [i for i in run.ids() if i != 11027]
        want = [11037, 11049, 11050, 11029, 11025, 11062, 11029, 11063, 11051, 11052, 11065]
        check(flow[:len(want)] == want, "driver stages in order: %s" % flow, run)
        progress = [m.json for m in run.messages if m.id == 11027]
        percents = [p["down_progress"] for p in progress]
        check(percents and percents == sorted(set(percents)) and percents[-1] == 100, "progress %s" % percents, run)
        check(all(p.get("device_sn") == SN for p in progress), "progress names the phone", run)
        requests = s.cloud_requests()
        query = [r for r in requests if r["path"].startswith("/api/v1/drive/query/")]
        check(query and query[0]["path"].startswith("/api/v1/drive/query/?vid=18D1&pid=4EE2&os=") and
              "&platform=" in query[0]["path"] and "&tk=" in query[0]["path"], "driver query: %s" % query)
        check(header(query[0], "User-Agent") == "Mozilla/4.0 (compatible; MSIE 5.0; Windows NT 5.0)", "query agent")
        download = [r for r in requests if r["path"] == "/download/driver/drv.zip"]
        check(download and header(download[0], "User-Agent") == "DownFile", "package download: %s" % download)
        log = s.data_file("usb_log.txt")
        check("the return string of the install's program is success:" in log, "installer result read")
        check("we found the adb driver has installed finish" in log, "driver found while installing")


def cloud_unreachable(tree):
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb(SN + ":device")
        run = s.usbmon(["sleep 1000", "plug %s nodriver" % PHONE, "wait WM_DRIVER_DOWNLOAD_ACCESS_URL_FAIL 60000",
                        "unplug " + PHONE])
        check(run.code == 0, "usbmon waits timed out", run)
        expect_flow(run, [11037, 11049, 11050, 11029, 11026], "driver query without a cloud")
        fail = [m for m in run.messages if m.id == 11026][0]
        check(fail.text == device_payload(SN, "Android Phone", driver=False), "access-url payload", run)
        track = s.data_file("usb_track.txt").splitlines()
        check(len(track) == 1 and track[0].endswith("checkadbdebug-->dmok-->checkdriver-->DRIVER_CHECK_URL_FAIL"),
              "track line: %r" % track)


def whitelist_from_cloud(tree):
    cloud_list = ('{"data":[{"vid":"2717","pid":"FF48","description":"Cloud Phone","isadbopen":"yes"},'
                  '{"vid":"18D1","pid":"4EE2","description":"Demo Phone","isadbopen":"yes"}]}\n')
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb("CLOUD0001:device")
        s.start_cloud({"whitelist": cloud_list})
        run = s.usbmon(["sleep 4000", "plug 2717 FF48 CLOUD0001", "wait WM_DEVICE_ONLINE 90000",
                        "unplug 2717 FF48 CLOUD0001"])
        check(run.code == 0, "usbmon waits timed out", run)
        online = [m for m in run.messages if m.id == 11065][0]
        check(online.json["device_sn"] == "CLOUD0001", "phone known from the cloud list", run)
        check("this is a phone via query whitelist" in s.data_file("usb_log.txt"), "accepted by the whitelist")
        check(s.data_file("cloudwhitelist.json") == cloud_list, "cloud copy stored")
        paths = [r["path"] for r in s.cloud_requests()]
        check("/download/device/device.md5" in paths and "/download/device/device.json" in paths, "fetched: %s" % paths)
        check("start update whitelist..." in s.data_file("usb_log.txt"), "update logged")


def foreign_adb_server(tree):
    with Scenario(tree) as s:
        prepare(s)
        # Already running, so the library borrows it; it lists two other phones, not ours.
        s.start_adb("OTHER0001:device,OTHER0002:device")
        s.start_cloud()
        s.start_host()
        s.send("sleep 1000", "plug " + PHONE)
        kill = s.expect("WM_KILL_THIRDPARTY_ADBSERVER", 90)
        check(kill.json["device_sn"] == SN and kill.json["device_desc"] == "Android Phone" and "kill-name" in kill.json,
              "kill request payload: %s" % kill.text)
        s.set_adb_devices(SN + ":device")  # the holder is gone and a server that sees the phone answers
        s.send("kill-adb " + SN)
        s.expect("WM_DEVICE_ONLINE", 90)
        s.send("unplug " + PHONE)
        s.expect("WM_DEVICE_OFFLINE", 30)
        run = s.finish()
        log = s.data_file("usb_log.txt")
        for text in ["wait 15 soconds, no find " + SN, "this device still exist in the windows system",
                     "but we can not find this device in the adbserver", "KILL-ADBSERVER........",
                     "current adbserver pid is"]:
            check(text in log, "log line: " + text)
        check(run.ids().count(11040) == 0, "no rescan request while the host was told what to do", run)


def silent_port_holder(tree):
    with Scenario(tree) as s:
        prepare(s)
        # A program holds 5037, takes every connection and never answers; an adb.exe to launch is at hand.
        s.put_beside_host("adb.exe", copy_of="fake_install_service.exe")
        s.start_adb(SN + ":device", extra=["--silent"])
        s.start_cloud()
        began = time.time()
        s.start_host()
        while "usbmon: started" not in s.output() and time.time() - began < 120:
            time.sleep(0.1)
        took = time.time() - began
        check(took < 30, "IUSB_start returned after %.0f s:\n%s" % (took, s.output()))
        # The port answers connections: the library borrows it, and a phone it cannot list is the holder's.
        s.send("plug " + PHONE)
        kill = s.expect("WM_KILL_THIRDPARTY_ADBSERVER", 180)
        check(kill.json["device_sn"] == SN and "kill-name" in kill.json, "kill request payload: %s" % kill.text)
        s.send("unplug " + PHONE)
        s.expect("WM_DEVICE_OFFLINE", 30)
        run = s.finish()
        check(11065 not in run.ids(), "no phone online through a silent port", run)
        log = s.data_file("usb_log.txt")
        for text in ["the adb server had been started.", "connect 5037 success", "borrow the thirdy party adbserver",
                     "wait 15 soconds, no find " + SN]:
            check(text in log, "log line: " + text)


SCENARIOS = {f.__name__: f for f in [plugged_after_start, plugged_at_start, never_announced, adb_debug_off,
                                     two_phones_one_model, two_models_second_listed_first, mouse_during_listing_wait,
                                     serial_corrected, driver_from_cloud, cloud_unreachable, whitelist_from_cloud,
                                     foreign_adb_server, silent_port_holder]}

if __name__ == "__main__":
    name, tree = sys.argv[1], sys.argv[2]
    try:
        SCENARIOS[name](tree)
    except Failure as e:
        print("FAILED %s: %s" % (name, e))
        sys.exit(1)
    print("passed " + name)
