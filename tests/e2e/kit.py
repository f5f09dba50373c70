"""The host kit and the support report under Wine. Usage: kit.py doctor|example_host WINDOWS_TREE"""
import hashlib
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import TOP, Scenario  # noqa: E402
from scenarios import ONLINE_FLOW, PHONE, SN, WHITELIST, Failure, check, prepare  # noqa: E402

UNKNOWN = "1234 5678 UNKNOWN01"


def run_windows(s, argv, cwd, timeout=180):
    """A Windows program's output (through a file: Wine keeps inherited pipes open)."""
    out = os.path.join(s.work, "run.out")
    with open(out, "w") as f:
        code = subprocess.run([s.loader] + argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=f,
                              stderr=subprocess.STDOUT, env=s.env, timeout=timeout).returncode
    with open(out, encoding="latin-1") as f:
        return f.read(), code


def doctor(tree):
    with Scenario(tree) as s:
        prepare(s)
        s.start_adb(SN + ":device")
        usbmon = os.path.join(s.bin, "usbmon.exe")
        out, code = run_windows(s, [usbmon, "--before", "plug " + PHONE, "--before", "plug " + UNKNOWN,
                                    "doctor", "--json"], s.bin)
        check(code == 0 and "{" in out, "doctor --json ran: %s" % out)
        d = json.loads(out[out.index("{"):])
        version = re.compile(r"^\d+\.\d+\.\d+\.\d+$")
        check(all(version.match(d["versions"][k]) for k in ("usbhelper", "adb_bridge")), "versions: %s" % d["versions"])
        server = d["adb_server"]
        check(server["answers"] and server["version"] == 41 and server["devices"] == {SN: "device"},
              "ADB server: %s" % server)
        by_id = {v["id"].upper(): v for v in d["devices"]}
        phone = by_id["USB\\VID_18D1&PID_4EE2\\" + SN]
        check((phone["phone"], phone["why"], phone["adb_interface"], phone["adb_driver"], phone["adb_state"]) ==
              (True, "whitelist", True, True, "device"), "the phone: %s" % phone)
        interface = [v for v in d["devices"] if "VID_18D1&PID_4EE2&MI_01" in v["id"].upper()]
        check(len(interface) == 1 and interface[0]["adb_class"], "its ADB interface: %s" % interface)
        other = by_id["USB\\VID_1234&PID_5678\\UNKNOWN01"]
        check(not other["phone"] and "vendor 1234" in other["why"], "an unknown vendor: %s" % other)
        files = d["files"]
        check(files["whitelist"]["md5"] == hashlib.md5(WHITELIST.encode()).hexdigest() and
              files["whitelist_in_use"] == files["whitelist"]["path"] and files["cloud_whitelist"]["md5"] == "" and
              files["data_directory"].endswith("\\Ostrel\\usb\\"), "files: %s" % files)

        text, code = run_windows(s, [usbmon, "doctor"], s.bin)
        check(code == 0 and len(text.splitlines()) <= 25, "the text report fits one screen:\n" + text)
        for line in ["phone yes (whitelist); ADB interface yes, driver yes, server device", SN + "\tdevice",
                     "phone no (vendor 1234 is not in the vendor list)"]:
            check(line in text, "text report shows %r:\n%s" % (line, text))
        s.reset_devices()


def example_host(tree):
    """examples/host built against the installed kit with the tree's own toolchain, then run."""
    with Scenario(tree) as s:
        kit, build = os.path.join(s.work, "kit"), os.path.join(s.work, "host")
        subprocess.run(["cmake", "--install", tree, "--prefix", kit], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(tree, "CMakeCache.txt")) as f:
            toolchain = re.search(r"^CMAKE_TOOLCHAIN_FILE:\w+=(.*)$", f.read(), re.M).group(1)
        for argv in (["cmake", "-S", os.path.join(TOP, "examples", "host"), "-B", build, "-G", "Ninja",
                      "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_TOOLCHAIN_FILE=" + toolchain, "-DCMAKE_PREFIX_PATH=" + kit],
                     ["cmake", "--build", build]):
            done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            check(done.returncode == 0, "%s:\n%s" % (" ".join(argv), done.stdout))
        check(sorted(os.listdir(os.path.join(kit, "lib"))) ==
              ["AdbBridge.def", "cmake", "libAdbBridge.dll.a", "libusbhelper.dll.a", "usbhelper.def"], "kit lib/")
        s.start_adb(SN + ":device")
        s.start_cloud()
        run_windows(s, [os.path.join(s.bin, "usbmon.exe"), "--before", "plug " + PHONE, "doctor"], s.bin)
        out, code = run_windows(s, [os.path.join(build, "host_example.exe"), "90000"], build)
        ids = [int(line.split(" ", 1)[0]) for line in out.splitlines() if line[:1].isdigit()]
        check(code == 0 and ids[:len(ONLINE_FLOW)] == ONLINE_FLOW and out.rstrip().endswith("online, stop 0"),
              "the host's flow: %s\n%s" % (ids, out))
        s.reset_devices()


if __name__ == "__main__":
    name, tree = sys.argv[1], os.path.abspath(sys.argv[2])
    try:
        {"doctor": doctor, "example_host": example_host}[name](tree)
    except Failure as e:
        print("FAILED %s: %s" % (name, e))
        sys.exit(1)
    print("passed " + name)
