"""examples/host built against the installed host kit with the Windows tree's own toolchain, then
run under Wine with a simulated phone: it links the import library and sees the phone come online.
  example_host.py WINDOWS_TREE"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Scenario  # noqa: E402

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SN = "0123456789ABCDEF"
ONLINE_FLOW = [11037, 11049, 11050, 11051, 11052, 11065]


def main(tree):
    with Scenario(tree) as s:
        kit, build = os.path.join(s.work, "kit"), os.path.join(s.work, "host")
        with open(os.path.join(s.tree, "CMakeCache.txt")) as f:
            toolchain = re.search(r"^CMAKE_TOOLCHAIN_FILE:\w+=(.*)$", f.read(), re.M).group(1)
        for argv in (["cmake", "--install", s.tree, "--prefix", kit],
                     ["cmake", "-S", os.path.join(TOP, "examples", "host"), "-B", build, "-G", "Ninja",
                      "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_TOOLCHAIN_FILE=" + toolchain, "-DCMAKE_PREFIX_PATH=" + kit],
                     ["cmake", "--build", build]):
            done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if done.returncode != 0:
                return "%s:\n%s" % (" ".join(argv), done.stdout)
        if sorted(os.listdir(os.path.join(kit, "lib"))) != ["AdbBridge.def", "cmake", "libAdbBridge.dll.a",
                                                           "libusbhelper.dll.a", "usbhelper.def"]:
            return "the kit's lib/ holds %s" % os.listdir(os.path.join(kit, "lib"))
        s.start_adb(SN + ":device")
        s.start_cloud()
        s.wine(os.path.join(s.bin, "usbmon.exe"), "--before", "plug 18D1 4EE2 " + SN, "doctor")
        out_path = os.path.join(s.work, "host.out")
        with open(out_path, "w") as out:  # through a file: Wine keeps inherited pipes open
            code = subprocess.run([s.loader, os.path.join(build, "host_example.exe"), "90000"], cwd=build, env=s.env,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, timeout=180).returncode
        with open(out_path, encoding="latin-1") as f:
            out = f.read()
        ids = [int(line.split(" ", 1)[0]) for line in out.splitlines() if line[:1].isdigit()]
        s.reset_devices()
        if code != 0 or ids != ONLINE_FLOW or not out.rstrip().endswith("online, stop 0"):
            return "the host printed:\n" + out
    return None


if __name__ == "__main__":
    problem = main(sys.argv[1])
    print(problem or "passed")
    sys.exit(1 if problem else 0)
